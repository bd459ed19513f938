#pragma once

// QMenuBar shows an item's icon instead of its caption. The program's menu
// bar shows both, image first, so this style sizes and draws the items itself
// and leaves the rest (background, highlight, access keys) to the base style.

#include <QProxyStyle>

namespace shell {

class MenuBarStyle : public QProxyStyle {
    Q_OBJECT
public:
    static constexpr int Gap = 4; // between image and caption

    using QProxyStyle::QProxyStyle;

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
};

} // namespace shell
