#include "gui/shell/auto_backup_window.h"

#include "gui/shell/watch_service.h"
#include "gui/widgets/text_fit.h"
#include "platform/process.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>

TfmAutoBackup* fmAutoBackup = nullptr;

namespace shell {

QString ShellWord(const QString& word) {
    static const QRegularExpression plain("^[A-Za-z0-9_@%+=:,./-]+$");
    if (plain.match(word).hasMatch())
        return word;
    return "'" + QString(word).replace("'", "'\\''") + "'";
}

QString CliPath() {
    const QString found = QStandardPaths::findExecutable("mfbackup-cli");
    if (!found.isEmpty())
        return found;
    return QString::fromStdString(platform::ModuleDirectory()) + "mfbackup-cli";
}

QString CliCommand() {
    if (!QStandardPaths::findExecutable("mfbackup-cli").isEmpty())
        return "mfbackup-cli";
    return ShellWord(CliPath());
}

} // namespace shell

namespace {

// How many average characters a line of the window's texts holds: wide enough
// to read in few lines, narrow enough for a small screen at a large font.
constexpr int LineLength = 90;

QLabel* MakeText(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QLineEdit* MakeLine(QWidget* parent, const char* name, const QString& hint) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(true);
    edit->setToolTip(hint);
    ui::ShowPathStart(edit);
    return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const QString& hint = {}) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout* Row(QWidget* first, QWidget* second) {
    auto* row = new QHBoxLayout();
    row->addWidget(first, 1);
    row->addWidget(second);
    return row;
}

const char* const SteamText =
    "In your Steam library, right-click Moonforge and choose Properties. On the General page, "
    "paste this line into Launch Options. From then on, each time you quit the game, its new "
    "saves are backed up.";
const char* const LutrisText =
    "Lutris: right-click the game and choose Configure. On the System options tab (turn on "
    "Advanced at the top if you can't see it), paste this into \"Command prefix\":";
const char* const HeroicText =
    "Heroic: open the game's settings and go to Advanced (Other in some versions). Add a "
    "\"Wrapper command\" with this program as its path and wrap -- as its arguments:";

// A titled group of the window, and the layout of its rows.
QVBoxLayout* MakeGroup(QWidget* parent, const char* name, const QString& title, QGroupBox*& box) {
    box = new QGroupBox(title, parent);
    box->setObjectName(name);
    return new QVBoxLayout(box);
}

// The names of a text, its line and the line's Copy button, and the hints of
// the line and the button.
struct RowNames {
    const char* Text;
    const char* Line;
    const char* Button;
};
struct RowHints {
    QString Line;
    QString Button;
};

// A text, and under it a read-only line with its Copy button, in `layout`.
void AddCopyRow(QVBoxLayout* layout, RowNames names, const QString& words, const RowHints& hints,
                QLabel*& text, QLineEdit*& line, QPushButton*& button) {
    QWidget* group = layout->parentWidget();
    text = MakeText(group, names.Text, words);
    line = MakeLine(group, names.Line, hints.Line);
    button = MakeButton(group, names.Button, "Copy", hints.Button);
    layout->addWidget(text);
    layout->addLayout(Row(line, button));
}

void Copy(QLineEdit* edit) {
    QGuiApplication::clipboard()->setText(edit->text());
    // The selection shows what went to the clipboard.
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

} // namespace

TfmAutoBackup::TfmAutoBackup(QWidget* parent) : QDialog(parent) {
    setObjectName("fmAutoBackup");
    setWindowTitle("Automatic backups");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    LbIntro = MakeText(this, "LbIntro",
                       "Moonforge Backup Tool can back up your saves by itself, so that a backup "
                       "is there even on the day you forgot to make one. One of these ways is "
                       "enough; each takes only the saves that changed.");

    auto* steam = MakeGroup(this, "GbSteam", "Steam", GbSteam);
    AddCopyRow(steam, {"LbSteam", "EdLaunchOption", "BtCopy"}, SteamText,
               {"Steam's launch option", "Copy the line to the clipboard"}, LbSteam, EdLaunchOption,
               BtCopy);
    auto* launchers = MakeGroup(this, "GbLaunchers", "Lutris and Heroic", GbLaunchers);
    AddCopyRow(launchers, {"LbLutris", "EdPrefix", "BtCopyPrefix"}, LutrisText,
               {"Lutris' command prefix", "Copy the prefix"}, LbLutris, EdPrefix, BtCopyPrefix);
    launchers->addSpacing(fontMetrics().height() / 2);
    AddCopyRow(launchers, {"LbHeroic", "EdProgram", "BtCopyProgram"}, HeroicText,
               {"The command-line program's path", "Copy the path"}, LbHeroic, EdProgram,
               BtCopyProgram);

    GbWatch = new QGroupBox("Watching the save folders", this);
    GbWatch->setObjectName("GbWatch");
    LbWatch = MakeText(GbWatch, "LbWatch",
                       "Or let a small service watch the save folders in the background: a "
                       "little while after the game saved, the new saves are backed up, however "
                       "you start the game. Once on, it starts by itself each time you log in.");
    LbWatchState = MakeText(GbWatch, "LbWatchState", {});
    BtWatch = MakeButton(GbWatch, "BtWatch", "Turn on");
    auto* watch = new QVBoxLayout(GbWatch);
    watch->addWidget(LbWatch);
    watch->addLayout(Row(LbWatchState, BtWatch));

    BtClose = MakeButton(this, "BtClose", "Close");
    BtClose->setDefault(true);
    auto* bottom = new QHBoxLayout();
    bottom->addStretch(1);
    bottom->addWidget(BtClose);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(LbIntro);
    for (QGroupBox* group : {GbSteam, GbLaunchers, GbWatch})
        layout->addWidget(group);
    layout->addLayout(bottom);

    Watch = new shell::WatchService(this);
    ShowWatchState();
    FitToText();

    connect(BtCopy, &QPushButton::clicked, this, &TfmAutoBackup::BtCopyClick);
    connect(BtCopyPrefix, &QPushButton::clicked, this, &TfmAutoBackup::BtCopyPrefixClick);
    connect(BtCopyProgram, &QPushButton::clicked, this, &TfmAutoBackup::BtCopyProgramClick);
    connect(BtWatch, &QPushButton::clicked, this, &TfmAutoBackup::BtWatchClick);
    connect(BtClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(Watch, &shell::WatchService::Changed, this, &TfmAutoBackup::ShowWatchState);
}

void TfmAutoBackup::BtCopyClick() {
    Copy(EdLaunchOption);
}
void TfmAutoBackup::BtCopyPrefixClick() {
    Copy(EdPrefix);
}
void TfmAutoBackup::BtCopyProgramClick() {
    Copy(EdProgram);
}
void TfmAutoBackup::BtWatchClick() {
    Watch->Toggle();
}

void TfmAutoBackup::Refresh() {
    const QString command = shell::CliCommand();
    EdLaunchOption->setText(command + " wrap -- %command%");
    EdPrefix->setText(command + " wrap --");
    EdProgram->setText(shell::CliPath());
    Watch->Refresh();
}

void TfmAutoBackup::ShowWatchState() {
    using State = shell::WatchService::State;
    const State state = Watch->state();
    const bool on = state == State::On;
    QString text;
    switch (state) {
    case State::Checking:
        text = "Watching the save folders: checking...";
        break;
    case State::Unavailable:
        text = "systemd is not available here";
        break;
    case State::NotInstalled:
        text = "The watch service " + shell::WatchUnit + " is not installed here";
        break;
    case State::On:
        text = Watch->busy() ? "Watching the save folders: turning off..."
                             : "Watching the save folders: on";
        break;
    case State::Off:
    case State::Failed:
        text = Watch->busy() ? "Watching the save folders: turning on..."
                             : "Watching the save folders: off";
        if (state == State::Failed && !Watch->busy())
            text += ", it stopped with an error (journalctl --user -u mfbackup-watch says why)";
        break;
    }
    const bool settled = state == State::On || state == State::Off || state == State::Failed;
    if (settled && !Watch->detail().isEmpty())
        text += "\nsystemctl: " + Watch->detail();
    LbWatchState->setText(text);

    BtWatch->setText(on ? "Turn off" : "Turn on");
    BtWatch->setEnabled(settled && !Watch->busy());
    // A disabled button says why when pointed at.
    BtWatch->setToolTip(settled ? QString() : Watch->detail().isEmpty() ? text : Watch->detail());
}

void TfmAutoBackup::FitToText() {
    layout()->activate();
    const int width = std::max(fontMetrics().averageCharWidth() * LineLength,
                               layout()->totalMinimumSize().width());
    setFixedSize(width, heightForWidth(width));
}

void TfmAutoBackup::showEvent(QShowEvent* event) {
    Refresh();
    FitToText();
    QDialog::showEvent(event);
}

bool TfmAutoBackup::event(QEvent* event) {
    const bool done = QDialog::event(event);
    // A text changed its height: the layouts inside have taken it in by the
    // time the window's own layout is asked again, not before.
    if (event->type() == QEvent::LayoutRequest)
        FitToText();
    return done;
}

void TfmAutoBackup::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        FitToText();
}
