#include "gui/widgets/message_box.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QWidget>

namespace ui {
namespace {

MessageHandler& handler() {
    static MessageHandler h;
    return h;
}

QMessageBox::Icon toQt(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

QString ApplicationTitle() {
    return QCoreApplication::applicationName();
}

void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    Message m{text, caption.isEmpty() ? ApplicationTitle() : caption, icon};
    if (handler()) {
        handler()(m);
        return;
    }
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent)
        parent = QApplication::activeWindow();
    MakeMessageBox(m, parent)->exec();
}

std::unique_ptr<QMessageBox> MakeMessageBox(const Message& m, QWidget* parent) {
    auto box =
        std::make_unique<QMessageBox>(toQt(m.icon), m.caption, m.text, QMessageBox::Ok, parent);
    box->setObjectName("MessageBox");
    box->setWindowModality(Qt::ApplicationModal);
    // A box narrower than its title has the title cut by the window frame:
    // room for the title in a bold face, and for the frame's buttons.
    QFont titleFont = box->font();
    titleFont.setBold(true);
    const int titleHeight = QFontMetrics(titleFont).height();
    const int width = QFontMetrics(titleFont).horizontalAdvance(m.caption) + 6 * titleHeight;
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box;
}

MessageHandler SetMessageHandler(MessageHandler h) {
    MessageHandler previous = std::move(handler());
    handler() = std::move(h);
    return previous;
}

MessageCapture::MessageCapture(std::function<void(const Message&)> hook) : hook_(std::move(hook)) {
    previous_ = SetMessageHandler([this](const Message& m) {
        messages_.push_back(m);
        if (hook_)
            hook_(m);
    });
}

MessageCapture::~MessageCapture() {
    SetMessageHandler(std::move(previous_));
}

QStringList MessageCapture::texts() const {
    QStringList out;
    for (const Message& m : messages_)
        out << m.text;
    return out;
}

} // namespace ui
