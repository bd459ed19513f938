#pragma once

// Keeping every text readable whatever font and theme the desktop gives.
//
// The dialogs are laid out by hand, in pixels, for one font. A desktop with a
// larger font (or another style) would cut their labels, check boxes and
// buttons short. KeepTextVisible grows each such control to its text in the
// font actually in use; a field right of a grown control gives way first,
// keeping its right edge, then whatever lies right of or below it moves
// along, so that columns and rows stay aligned; the window grows to hold it.
// A button keeps 4 px between its frame and its text at either side.
// Where the text fits already, nothing moves: the hand-made layout stands.

class QLabel;
class QLineEdit;
class QWidget;

namespace ui {

// Fits `window`'s controls whenever it is shown or its font or style
// changes. The geometry the controls have at the first fit is their design;
// each fit starts again from it.
void KeepTextVisible(QWidget* window);

// The width and height a control needs to show its text in its own font and
// style (labels, check boxes, radio buttons, push buttons, group box titles);
// an invalid size for other widgets.
struct TextNeed {
    int width = -1;
    int height = -1;
    bool valid() const { return width >= 0; }
};
TextNeed TextNeedOf(const QWidget* control);

// Makes `line` the footer of the window it is in: a word-wrapped line the width of the
// window under everything else, the window growing by its height while it is
// shown. It is no control of the design: fitting places it last.
void SetFooter(QLabel* line);

// Fits `window` again now, after a text or a footer changed while it is up.
void FitNow(QWidget* window);

// A one-line field that holds a path: without the focus it shows the start of
// the path (where the folders that tell it apart are), and a path too long for
// the field is in its tooltip, after the field's own hint.
void ShowPathStart(QLineEdit* edit);

} // namespace ui
