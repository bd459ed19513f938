#include "gui/shell/menu_bar_style.h"

#include "gui/shell/menu_images.h"

#include <QPainter>
#include <QStyleOptionMenuItem>

namespace shell {
namespace {

const QStyleOptionMenuItem* ItemWithImageAndCaption(const QStyleOption* option) {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (!item || item->icon.isNull() || item->text.isEmpty())
        return nullptr;
    return item;
}

const QSize ImageSize(MenuImageWidth, MenuImageHeight);

} // namespace

QSize MenuBarStyle::sizeFromContents(ContentsType type, const QStyleOption* option,
                                     const QSize& size, const QWidget* widget) const {
    if (type == CT_MenuBarItem) {
        if (const auto* item = ItemWithImageAndCaption(option)) {
            const QSize text = item->fontMetrics.size(Qt::TextShowMnemonic, item->text);
            const QSize contents(ImageSize.width() + Gap + text.width(),
                                 std::max(ImageSize.height(), text.height()));
            return QProxyStyle::sizeFromContents(type, option, contents, widget);
        }
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

void MenuBarStyle::drawControl(ControlElement element, const QStyleOption* option,
                               QPainter* painter, const QWidget* widget) const {
    const QStyleOptionMenuItem* item =
        element == CE_MenuBarItem ? ItemWithImageAndCaption(option) : nullptr;
    if (!item) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }

    // The base style draws the item's ground and highlight...
    QStyleOptionMenuItem ground = *item;
    ground.text.clear();
    ground.icon = QIcon();
    QProxyStyle::drawControl(element, &ground, painter, widget);

    // ...and the image and caption go side by side, centred as one block.
    const bool enabled = item->state & State_Enabled;
    const bool active = (item->state & State_Selected) && (item->state & State_Sunken);
    const QSize text = item->fontMetrics.size(Qt::TextShowMnemonic, item->text);
    const int blockWidth = ImageSize.width() + Gap + text.width();
    const QRect& r = item->rect;
    const int left = r.x() + (r.width() - blockWidth) / 2;

    const QPixmap image = item->icon.pixmap(ImageSize, painter->device()->devicePixelRatioF(),
                                            enabled ? QIcon::Normal : QIcon::Disabled);
    painter->drawPixmap(
        QRect(QPoint(left, r.y() + (r.height() - ImageSize.height()) / 2), ImageSize), image);

    int alignment = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::TextDontClip |
                    Qt::TextSingleLine;
    if (!proxy()->styleHint(SH_UnderlineShortcut, item, widget))
        alignment |= Qt::TextHideMnemonic;
    const QRect textRect(left + ImageSize.width() + Gap, r.y(), text.width(), r.height());
    proxy()->drawItemText(painter, textRect, alignment, item->palette, enabled, item->text,
                          active ? QPalette::HighlightedText : QPalette::ButtonText);
}

} // namespace shell
