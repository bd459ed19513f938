#include "gui/shell/remote_window.h"

#include "gui/operations/restore_dialog.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "gui/widgets/text_fit.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "remote/push_pull.h"
#include "remote/remote_setting.h"
#include "settings/backup_config.h"

#include <QDateTime>
#include <QEvent>
#include <QEventLoop>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

TfmRemote* fmRemote = nullptr;

namespace {

// How many average characters wide the window is: its hint reads in few
// lines, and it fits a Steam Deck's screen at a large font.
constexpr int LineLength = 96;
// The rows of sets the list shows without scrolling.
constexpr int ListRows = 12;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Text that quotes what a remote holds (its machines, sets, files and
// descriptions, also in rclone's words), shown as the command line shows it:
// a control character as \xHH.
QString Shown(const std::string& s) {
    return Q(platform::PrintableText(s));
}

// The reports of a run on the worker thread: its messages kept for the one
// message at its end, its progress lines handed to the progress window on
// the window's thread.
class WorkerReporter : public core::Reporter {
public:
    explicit WorkerReporter(QWidget* window) : window_(window) {}

    void Message(const std::string& text) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(text);
    }
    void ProgressText(const std::string& text) override {
        QMetaObject::invokeMethod(
            window_,
            [line = Shown(text)] {
                if (fmInfo)
                    fmInfo->SetStatus(line);
            },
            Qt::QueuedConnection);
    }
    // Another run holds the backup folder: the progress window says so and
    // offers Cancel, answered on the window's thread.
    void WaitStart(const std::string& caption, const std::string& text) override {
        QMetaObject::invokeMethod(
            window_,
            [window = window_, caption = Q(caption), text = Q(text)] {
                if (!fmInfo)
                    return;
                fmInfo->SetWaiting(true);
                fmInfo->setWindowTitle(caption);
                fmInfo->ShowOver(window);
                fmInfo->SetStatus(text);
                fmInfo->ShowPending();
            },
            Qt::QueuedConnection);
    }
    bool KeepWaiting() override {
        bool cancelled = false;
        QMetaObject::invokeMethod(
            window_, [&cancelled] { cancelled = fmInfo && fmInfo->Cancelled(); },
            Qt::BlockingQueuedConnection);
        return !cancelled;
    }
    void WaitOver() override {
        QMetaObject::invokeMethod(
            window_,
            [window = window_] {
                if (!fmInfo)
                    return;
                // Hidden to be modal no more; the run goes on, in view.
                fmInfo->SetWaiting(false);
                fmInfo->ShowOver(window);
            },
            Qt::QueuedConnection);
    }
    std::vector<std::string> Messages() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    QWidget* window_;
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

remote::Where Here() {
    return {std::string(), std::string(), BackupConfig.BackupDir.Get(), ComputerName};
}

QString Count(std::size_t count, const char* one, const char* many) {
    return QString("%1 %2").arg(count).arg(count == 1 ? one : many);
}

// The one message a push or a pull ends with: what it did, then whatever
// went wrong, in rclone's words where rclone failed.
QString OutcomeText(const remote::RemoteRun& run, const std::vector<std::string>& messages,
                    bool push) {
    QString text;
    if (!run.Unusable) {
        if (run.Sets.empty()) {
            text = run.Ok() ? (push ? "Nothing to push." : "Nothing to pull.")
                            : (push ? "Nothing was pushed." : "Nothing was pulled.");
        } else if (push) {
            text = "Pushed " + Count(run.Sets.size(), "set", "sets") + ".";
        } else {
            QStringList names;
            for (const remote::MovedSet& set : run.Sets)
                names << Shown(set.Local);
            text =
                "Pulled " + Count(run.Sets.size(), "set", "sets") + ": " + names.join(", ") + ".";
        }
    }
    for (std::size_t i = 0; i < messages.size(); ++i)
        text += (text.isEmpty() ? "" : i == 0 ? "\n\n" : "\n") + Shown(messages[i]);
    return text;
}

QString HereText(const remote::RemoteSetInfo& set) {
    if (!set.Whole)
        return "incomplete";
    if (set.Here.empty())
        return "no";
    return set.Mine ? QString("yes") : "as " + Shown(set.Here);
}

} // namespace

struct TfmRemote::Outcome {
    remote::RemoteRun Run;
    std::vector<std::string> Messages;
    remote::Status Listed;
    std::vector<remote::RemoteSetInfo> Sets;
};

TfmRemote::TfmRemote(QWidget* parent) : QDialog(parent) {
    setObjectName("fmRemote");
    setWindowTitle("Remote");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    LbRemote = new QLabel("Remote:", this);
    LbRemote->setObjectName("LbRemote");
    EdRemote = new QLineEdit(this);
    EdRemote->setObjectName("EdRemote");
    EdRemote->setToolTip("An rclone remote and a folder on it");
    EdRemote->setPlaceholderText("mydrive:moonforge");
    LbRemote->setBuddy(EdRemote);
    ui::ShowPathStart(EdRemote);

    LbHint = new QLabel(this);
    LbHint->setObjectName("LbHint");
    LbHint->setTextFormat(Qt::PlainText);
    LbHint->setWordWrap(true);

    auto makeButton = [this](const char* name, const QString& caption, const QString& hint) {
        auto* button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setToolTip(hint);
        button->setAutoDefault(false);
        return button;
    };
    BtPush = makeButton("BtPush", "Push", "Copy this machine's sets that the remote lacks to it");
    BtPull = makeButton("BtPull", "Pull",
                        "File the other machines' sets that are not here yet as new sets");
    BtRefresh = makeButton("BtRefresh", "Refresh", "List what the remote holds now");
    BtClose = makeButton("BtClose", "Close", {});
    BtClose->setDefault(true);

    lvRemoteSets = new QTreeWidget(this);
    lvRemoteSets->setObjectName("lvRemoteSets");
    lvRemoteSets->setHeaderLabels({"Set", "Date", "Files", "Here", "Description"});
    lvRemoteSets->setRootIsDecorated(true);
    lvRemoteSets->setUniformRowHeights(true);
    lvRemoteSets->setSelectionMode(QAbstractItemView::NoSelection);
    lvRemoteSets->header()->setStretchLastSection(true);

    LbState = new QLabel(this);
    LbState->setObjectName("LbState");
    LbState->setTextFormat(Qt::PlainText);
    LbState->setWordWrap(true);
    LbState->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* remoteRow = new QHBoxLayout();
    remoteRow->addWidget(LbRemote);
    remoteRow->addWidget(EdRemote, 1);
    auto* buttons = new QHBoxLayout();
    for (QPushButton* button : {BtPush, BtPull, BtRefresh})
        buttons->addWidget(button);
    buttons->addStretch(1);
    auto* bottom = new QHBoxLayout();
    bottom->addWidget(LbState, 1);
    bottom->addWidget(BtClose, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(remoteRow);
    layout->addWidget(LbHint);
    layout->addLayout(buttons);
    layout->addWidget(lvRemoteSets, 1);
    layout->addLayout(bottom);

    setTabOrder(EdRemote, BtPush);
    setTabOrder(BtPush, BtPull);
    setTabOrder(BtPull, BtRefresh);
    setTabOrder(BtRefresh, lvRemoteSets);
    setTabOrder(lvRemoteSets, BtClose);

    connect(EdRemote, &QLineEdit::textChanged, this, &TfmRemote::UpdateButtons);
    connect(BtPush, &QPushButton::clicked, this, &TfmRemote::BtPushClick);
    connect(BtPull, &QPushButton::clicked, this, &TfmRemote::BtPullClick);
    connect(BtRefresh, &QPushButton::clicked, this, &TfmRemote::BtRefreshClick);
    connect(BtClose, &QPushButton::clicked, this, &QDialog::accept);
    UpdateButtons();
    FitToText();
}

void TfmRemote::UpdateButtons() {
    const bool remote = !EdRemote->text().trimmed().isEmpty();
    for (QPushButton* button : {BtPush, BtPull, BtRefresh})
        button->setEnabled(remote);
}

bool TfmRemote::KeepRemote() {
    const std::string typed = EdRemote->text().trimmed().toStdString();
    std::string kept;
    remote::ReadRemoteSetting(SettingsFilePath(), kept);
    if (typed == kept)
        return true;
    if (remote::WriteRemoteSetting(SettingsFilePath(), typed))
        return true;
    ui::ShowMessage(Q("Cannot create file " + remote::RemoteSettingPath(SettingsFilePath()) + ": " +
                      platform::SysErrorMessage(platform::GetLastError())),
                    {}, ui::MessageIcon::Error);
    return false;
}

void TfmRemote::RunInBackground(const QString& caption,
                                const std::function<void(core::Reporter&)>& work,
                                Outcome& outcome) {
    remote::Where at = Here();
    at.Remote = EdRemote->text().trimmed().toStdString();
    busy_ = true;
    setEnabled(false);
    if (fmInfo) {
        fmInfo->setWindowTitle(caption);
        fmInfo->SetStatus("Starting rclone...");
        fmInfo->ShowOver(this);
    }
    WorkerReporter reporter(this);
    QEventLoop loop;
    // The window's thread goes on painting and taking events while rclone
    // runs, which over a network takes seconds.
    std::thread worker([&] {
        if (work)
            work(reporter);
        reporter.ProgressText("listing " + remote::HideSecrets(at.Remote));
        outcome.Listed = remote::ListRemoteSets(at, outcome.Sets);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    outcome.Messages = reporter.Messages();
    if (fmInfo) {
        fmInfo->ShowPending();
        fmInfo->hide();
    }
    setEnabled(true);
    busy_ = false;
    ShowSets(outcome);
}

void TfmRemote::BtPushClick() {
    if (busy_ || !KeepRemote())
        return;
    remote::PushChoices choices;
    choices.At = Here();
    choices.At.Remote = EdRemote->text().trimmed().toStdString();
    Outcome outcome;
    RunInBackground(
        "Pushing sets",
        [&](core::Reporter& reporter) { outcome.Run = remote::Push(choices, reporter); }, outcome);
    ui::ShowMessage(OutcomeText(outcome.Run, outcome.Messages, true), {},
                    outcome.Run.Ok() ? ui::MessageIcon::None : ui::MessageIcon::Warning);
}

void TfmRemote::BtPullClick() {
    if (busy_ || !KeepRemote())
        return;
    remote::PullChoices choices;
    choices.At = Here();
    choices.At.Remote = EdRemote->text().trimmed().toStdString();
    if (!remote::ReadMaxFileSizeSetting(SettingsFilePath(), choices.MaxFileSize)) {
        ui::ShowMessage(Q("Cannot read file " + remote::MaxFileSizeSettingPath(SettingsFilePath()) +
                          ": " + platform::SysErrorMessage(platform::GetLastError())),
                        {}, ui::MessageIcon::Error);
        return;
    }
    Outcome outcome;
    RunInBackground(
        "Pulling sets",
        [&](core::Reporter& reporter) { outcome.Run = remote::Pull(choices, reporter); }, outcome);
    // Cancelled while it waited for another run: it did nothing, and says so
    // no more than a cancelled backup does.
    if (!outcome.Run.Stopped)
        ui::ShowMessage(OutcomeText(outcome.Run, outcome.Messages, false), {},
                        outcome.Run.Ok() ? ui::MessageIcon::None : ui::MessageIcon::Warning);
}

void TfmRemote::BtRefreshClick() {
    if (busy_ || EdRemote->text().trimmed().isEmpty() || !KeepRemote())
        return;
    Outcome outcome;
    RunInBackground("Looking at the remote", {}, outcome);
}

void TfmRemote::ShowSets(const Outcome& outcome) {
    lvRemoteSets->clear();
    if (!outcome.Listed.Good()) {
        LbState->setText(Shown("The remote could not be listed: " + outcome.Listed.Message));
        return;
    }
    QTreeWidgetItem* machine = nullptr;
    std::size_t waiting = 0;
    for (const remote::RemoteSetInfo& set : outcome.Sets) {
        if (!machine || machine->data(0, Qt::UserRole).toString() != Q(set.Machine)) {
            machine = new QTreeWidgetItem(
                lvRemoteSets, {Shown(set.Machine) + (set.Mine ? " (this machine)" : "")});
            machine->setData(0, Qt::UserRole, Q(set.Machine));
            machine->setFirstColumnSpanned(true);
            QFont bold = machine->font(0);
            bold.setBold(true);
            machine->setFont(0, bold);
            machine->setExpanded(true);
        }
        const QDateTime time = QDateTime::fromSecsSinceEpoch(set.Time, Qt::LocalTime);
        new QTreeWidgetItem(machine,
                            {Shown(set.Set), FormatSetDate(time, QLocale::system()),
                             QString::number(set.Files), HereText(set), Shown(set.Description)});
        waiting += !set.Mine && set.Whole && set.Here.empty();
    }
    for (int column = 0; column < lvRemoteSets->columnCount() - 1; ++column)
        lvRemoteSets->resizeColumnToContents(column);
    if (outcome.Sets.empty())
        LbState->setText("The remote holds no set yet.");
    else
        LbState->setText(
            Count(outcome.Sets.size(), "set", "sets") + " on the remote; " +
            (waiting == 0 ? QString("every set of the other machines is here.")
                          : Count(waiting, "set", "sets") + " of other machines not here yet."));
}

void TfmRemote::FitToText() {
    lvRemoteSets->setMinimumHeight(lvRemoteSets->fontMetrics().height() * (ListRows + 2));
    layout()->activate();
    const int width = std::max(fontMetrics().averageCharWidth() * LineLength,
                               layout()->totalMinimumSize().width());
    const int height = layout()->totalHeightForWidth(width);
    setFixedSize(width, height > 0 ? height : layout()->totalSizeHint().height());
}

void TfmRemote::showEvent(QShowEvent* event) {
    std::string remote;
    remote::ReadRemoteSetting(SettingsFilePath(), remote);
    if (!busy_) {
        EdRemote->setText(Q(remote));
        LbHint->setText(
            Q("An rclone remote and a folder on it: a remote set up with rclone config "
              "(mydrive:moonforge), or one made on the fly (:webdav,url='http://nas:8080':"
              "moonforge). Push copies this machine's sets to REMOTE/" +
              (ComputerName.empty() ? std::string("<machine name>") : ComputerName) +
              "/; Pull files each set of another machine that is not here yet as a new set. "
              "Nothing on the remote is ever replaced or removed."));
        LbState->clear();
        lvRemoteSets->clear();
    }
    FitToText();
    QDialog::showEvent(event);
    // The list once the window is up: rclone may take a while.
    if (!remote.empty())
        QTimer::singleShot(0, this, [this] {
            if (isVisible())
                BtRefreshClick();
        });
}

void TfmRemote::reject() {
    // rclone's thread is waited for: the window stays while it runs.
    if (!busy_)
        QDialog::reject();
}
