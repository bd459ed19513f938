#pragma once

// The program's one message box: one OK button, modal. Everything that tells
// the user something goes through ShowMessage, so tests can answer it.

#include <QString>
#include <QStringList>

class QMessageBox;
class QWidget;

#include <functional>
#include <memory>
#include <vector>

namespace ui {

enum class MessageIcon { None, Information, Warning, Error };

struct Message {
    QString text;
    QString caption; // as shown: the application title when none was given
    MessageIcon icon = MessageIcon::None;
};

// The title of message boxes without a caption of their own.
QString ApplicationTitle();

// Shows `text` in a box with one OK button, modal over the program's windows,
// and returns when it was closed. An empty caption means the application title.
void ShowMessage(const QString& text, const QString& caption = {},
                 MessageIcon icon = MessageIcon::None);

// The real box for `m`, at least as wide as its title, not yet shown.
std::unique_ptr<QMessageBox> MakeMessageBox(const Message& m, QWidget* parent = nullptr);

// Replaces the real box; returns the previous handler. An empty handler puts
// the real box back.
using MessageHandler = std::function<void(const Message&)>;
MessageHandler SetMessageHandler(MessageHandler handler);

// Collects every message shown while it lives, instead of showing it.
// An optional hook runs for each message (for example to look at the screen
// while the box would be up).
class MessageCapture {
public:
    explicit MessageCapture(std::function<void(const Message&)> hook = {});
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    const std::vector<Message>& messages() const { return messages_; }
    QStringList texts() const;
    void clear() { messages_.clear(); }

private:
    std::vector<Message> messages_;
    std::function<void(const Message&)> hook_;
    MessageHandler previous_;
};

} // namespace ui
