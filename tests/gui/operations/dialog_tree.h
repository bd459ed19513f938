#pragma once

// The game tree with the progress window the dialogs report to.

#include "common/game_tree.h"
#include "gui/widgets/info_window.h"

class DialogTree : public GameTree {
protected:
    void SetUp() override {
        GameTree::SetUp();
        fmInfo = new TfmInfo;
    }
    void TearDown() override {
        // The progress window may have been moved under a dialog: it goes first.
        delete fmInfo;
        fmInfo = nullptr;
        GameTree::TearDown();
    }
};
