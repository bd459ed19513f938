#pragma once

// The game tree with the progress window the dialogs report to and the
// message boxes they show, and what the dialog tests share.

#include "common/game_tree.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>

inline QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Enabled and checked of a dialog's three kind boxes, then OK: "EC E- -- OK".
template <typename Dialog> std::string Kinds(const Dialog* d) {
    std::string s;
    for (QCheckBox* box : {d->ckChar, d->ckMulti, d->ckSingle})
        s += std::string(box->isEnabled() ? "E" : "-") + (box->isChecked() ? "C " : "- ");
    return s + (d->Button1->isEnabled() ? "OK" : "--");
}

// The focus on `w`, its window active, as a click would leave them.
inline void Focus(QWidget* w) {
    QApplication::setActiveWindow(w->window());
    w->setFocus();
    QApplication::processEvents();
}

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
    // The boxes shown so far, one text after the other.
    std::string Shown() const { return messages.texts().join("|").toStdString(); }

    ui::MessageCapture messages;
};

// A DialogTree with the dialog `D` made anew for each test after Configure(),
// known to the program as `*global` when one is given.
template <typename D> class DialogTest : public DialogTree {
protected:
    explicit DialogTest(D** global = nullptr) : global_(global) {}
    virtual void Configure() {}
    void SetUp() override {
        DialogTree::SetUp();
        medium = testenv::Scratch() + "/MEDIUM";
        std::filesystem::create_directories(medium);
        Configure();
        dlg = new D;
        if (global_)
            *global_ = dlg;
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dlg;
        if (global_)
            *global_ = nullptr;
    }
    std::string Kinds() const { return ::Kinds(dlg); }

    std::string medium; // Export's and Import's folder, without the trailing '/'
    D* dlg = nullptr;

private:
    D** global_;
};
