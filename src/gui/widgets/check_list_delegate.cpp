#include "gui/widgets/check_list_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

namespace ui {
namespace {

QColor Mix(const QColor& a, const QColor& b, double share) {
    return QColor::fromRgbF(a.redF() * share + b.redF() * (1 - share),
                            a.greenF() * share + b.greenF() * (1 - share),
                            a.blueF() * share + b.blueF() * (1 - share));
}

} // namespace

void CheckListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QWidget* widget = item.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
    if (!(item.features & QStyleOptionViewItem::HasCheckIndicator))
        return;

    // Painted over the style's own box, in the same place.
    const QRect box = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &item, widget)
                          .adjusted(1, 1, -1, -1);
    const QPalette::ColorGroup group =
        item.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    const QColor base = item.palette.color(group, QPalette::Base);
    const QColor text = item.palette.color(group, QPalette::Text);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(Mix(text, base, 0.7), 1));
    painter->setBrush(base);
    painter->drawRect(QRectF(box).adjusted(0.5, 0.5, -0.5, -0.5));
    if (item.checkState != Qt::Unchecked) {
        painter->setPen(QPen(text, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        const QRectF in = QRectF(box).adjusted(3, 3, -3, -3);
        if (item.checkState == Qt::PartiallyChecked) {
            painter->drawLine(QPointF(in.left(), in.center().y()),
                              QPointF(in.right(), in.center().y()));
        } else {
            QPainterPath tick;
            tick.moveTo(in.left(), in.top() + in.height() * 0.55);
            tick.lineTo(in.left() + in.width() * 0.4, in.bottom());
            tick.lineTo(in.right(), in.top());
            painter->drawPath(tick);
        }
    }
    painter->restore();
}

} // namespace ui
