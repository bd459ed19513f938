#pragma once

// Draws the check box of each item of a check list in the list's own colours:
// a frame in the text colour, softened, on the list's background, and the
// check mark in the text colour. Some styles draw it in a shade of the window
// colour, which on a dark list is next to invisible.

#include <QStyledItemDelegate>

namespace ui {

class CheckListDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

} // namespace ui
