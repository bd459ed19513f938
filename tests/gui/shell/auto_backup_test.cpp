// Help > Automatic backups: the lines a player pastes into Steam, Lutris and
// Heroic, and the save watcher's service turned on and off through a stand-in
// systemctl that keeps the unit's state in a file and notes each call.

#include "gui/shell/application.h"
#include "gui/shell/auto_backup_window.h"
#include "gui/shell/main_window.h"
#include "gui/shell/watch_service.h"

#include "common/run_program.h"
#include "common/test_env.h"
#include "platform/process.h"
#include "settings/backup_config.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using State = shell::WatchService::State;

// Answers as systemctl 252 does for the state in <script>.state: on, off,
// masked, missing (no such unit), nobus (no user instance), hang.
const char* const FakeSystemctl = R"(#!/bin/sh
echo "$*" >>"$0.calls"
read -r state <"$0.state"
case $state:$2 in
nobus:*) echo "Failed to connect to bus: No medium found" >&2; exit 1 ;;
hang:*) exec /bin/sleep 30 ;;
missing:is-enabled)
    echo "Failed to get unit file state for $3: No such file or directory" >&2; exit 1 ;;
on:is-enabled) echo enabled ;;
on:is-active) echo active ;;
masked:is-enabled) echo masked; exit 1 ;;
masked:enable) echo "Failed to enable unit: Unit file $4 is masked." >&2; exit 1 ;;
*:is-enabled) echo disabled; exit 1 ;;
*:is-active) echo inactive; exit 3 ;;
*:enable) echo on >"$0.state" ;;
*:disable) echo off >"$0.state" ;;
esac
)";

bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

class AutoBackup : public testing::Test {
protected:
    void SetUp() override {
        InitialiseSettings();
        QCoreApplication::setApplicationName(shell::ApplicationTitle);
        fake_ = testenv::Scratch() + "/systemctl";
        testenv::WriteFile(fake_, FakeSystemctl);
        std::filesystem::permissions(fake_, std::filesystem::perms::owner_all);
        SetFake("off");
        shell::SetSystemctl(QString::fromStdString(fake_));
        path_ = std::getenv("PATH");
        shell::CreateWindows();
    }
    void TearDown() override {
        shell::DestroyWindows();
        shell::SetSystemctl({});
        setenv("PATH", path_.c_str(), 1);
    }

    void SetFake(const std::string& state) { testenv::WriteFile(fake_ + ".state", state + "\n"); }
    QStringList Calls() const {
        return QString::fromStdString(testenv::ReadFile(fake_ + ".calls"))
            .split('\n', Qt::SkipEmptyParts);
    }
    // Shows the window and waits until systemctl's answers are in.
    void ShowWindow() {
        fmAutoBackup->show();
        EXPECT_TRUE(Settled()) << fmAutoBackup->LbWatchState->text().toStdString();
    }
    bool Settled() {
        return WaitUntil([] {
            return fmAutoBackup->Watch->state() != State::Checking && !fmAutoBackup->Watch->busy();
        });
    }

    std::string fake_;
    std::string path_;
};

// PATH finds the program: its bare name; it doesn't: the full path of the one
// beside the running program (a file there that can't be run is no program).
TEST_F(AutoBackup, TheLinesNameTheProgramAsPathFindsItElseByItsFullPath) {
    const std::string bin = testenv::Scratch() + "/bin";
    testenv::WriteFile(bin + "/mfbackup-cli", "#!/bin/sh\n");
    const std::string other = testenv::Scratch() + "/other";
    testenv::WriteFile(other + "/mfbackup-cli", "not a program\n");
    std::filesystem::permissions(bin + "/mfbackup-cli", std::filesystem::perms::owner_all);

    const QString beside = QString::fromStdString(platform::ModuleDirectory()) + "mfbackup-cli";
    const struct {
        std::string path;
        QString command;
        QString program;
    } cases[] = {{other + ":" + bin, "mfbackup-cli", QString::fromStdString(bin) + "/mfbackup-cli"},
                 {other, beside, beside},
                 {"", beside, beside}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        setenv("PATH", c.path.c_str(), 1);
        fmAutoBackup->Refresh();
        EXPECT_EQ(fmAutoBackup->EdLaunchOption->text(), c.command + " wrap -- %command%");
        EXPECT_EQ(fmAutoBackup->EdPrefix->text(), c.command + " wrap --");
        EXPECT_EQ(fmAutoBackup->EdProgram->text(), c.program);
    }
}

// A shell given the word gets back the path as it is.
TEST_F(AutoBackup, APathIsQuotedAsAShellReadsIt) {
    for (const QString path : {"/usr/lib/mfbackup/mfbackup-cli", "/home/me/My Games/mfbackup-cli",
                               "/opt/it's $HOME/`x`/\\/mfbackup-cli", "/opt/a\"b;c&d|e*/cli"}) {
        const QString word = shell::ShellWord(path);
        const testenv::Outcome r = testenv::RunProgram("/bin/sh", {"-c", "printf %s " + word});
        EXPECT_EQ(QString::fromStdString(r.out), path) << word.toStdString();
    }
    EXPECT_EQ(shell::ShellWord("/usr/lib/mfbackup/mfbackup-cli"), "/usr/lib/mfbackup/mfbackup-cli");
}

TEST_F(AutoBackup, EachCopyButtonPutsItsLineOnTheClipboard) {
    ShowWindow();
    const std::pair<QPushButton*, QLineEdit*> pairs[] = {
        {fmAutoBackup->BtCopy, fmAutoBackup->EdLaunchOption},
        {fmAutoBackup->BtCopyPrefix, fmAutoBackup->EdPrefix},
        {fmAutoBackup->BtCopyProgram, fmAutoBackup->EdProgram}};
    for (const auto& [button, edit] : pairs) {
        QGuiApplication::clipboard()->clear();
        button->click();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), edit->text())
            << button->objectName().toStdString();
        EXPECT_FALSE(edit->text().isEmpty());
    }
}

TEST_F(AutoBackup, TheWatchStateIsWhatSystemctlAnswersAndTheButtonSaysWhyItCannot) {
    const QString unit = "mfbackup-watch.service";
    const struct {
        std::string fake; // "" for no systemctl at all
        QString state;
        QString button; // "" when it is disabled
        QString why;    // what the disabled button's tooltip holds
    } cases[] = {
        {"on", "Watching the save folders: on", "Turn off", ""},
        {"off", "Watching the save folders: off", "Turn on", ""},
        {"nobus", "systemd is not available here", "", "Failed to connect to bus"},
        {"", "systemd is not available here", "", "could not be started"},
        {"missing", "The watch service mfbackup-watch.service is not installed here", "",
         "No such file or directory"},
        {"hang", "systemd is not available here", "", "did not answer within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fake);
        std::filesystem::remove(fake_ + ".calls");
        SetFake(c.fake);
        shell::SetSystemctl(QString::fromStdString(c.fake.empty() ? fake_ + ".none" : fake_));
        fmAutoBackup->Watch->SetTimeout(500);
        // The window comes up at once, whatever systemctl does.
        QElapsedTimer clock;
        clock.start();
        fmAutoBackup->show();
        EXPECT_LT(clock.elapsed(), 400);
        EXPECT_TRUE(Settled());

        EXPECT_EQ(fmAutoBackup->LbWatchState->text(), c.state);
        EXPECT_EQ(fmAutoBackup->BtWatch->isEnabled(), !c.button.isEmpty());
        if (!c.button.isEmpty())
            EXPECT_EQ(fmAutoBackup->BtWatch->text(), c.button);
        else
            EXPECT_TRUE(fmAutoBackup->BtWatch->toolTip().contains(c.why))
                << fmAutoBackup->BtWatch->toolTip().toStdString();
        if (c.fake == "on" || c.fake == "off") {
            EXPECT_EQ(Calls(),
                      QStringList({"--user is-enabled " + unit, "--user is-active " + unit}));
        }
        fmAutoBackup->hide();
    }
}

TEST_F(AutoBackup, TheButtonEnablesAndStartsTheServiceAndDisablesItWhenOn) {
    ShowWindow();
    ASSERT_EQ(fmAutoBackup->LbWatchState->text(), "Watching the save folders: off");
    std::filesystem::remove(fake_ + ".calls");

    const QString unit = "mfbackup-watch.service";
    fmAutoBackup->BtWatch->click();
    EXPECT_FALSE(fmAutoBackup->BtWatch->isEnabled()) << "a second click while it runs";
    EXPECT_TRUE(Settled());
    EXPECT_EQ(Calls().value(0), "--user enable --now " + unit);
    EXPECT_EQ(fmAutoBackup->LbWatchState->text(), "Watching the save folders: on");
    EXPECT_EQ(fmAutoBackup->BtWatch->text(), "Turn off");

    std::filesystem::remove(fake_ + ".calls");
    fmAutoBackup->BtWatch->click();
    EXPECT_TRUE(Settled());
    EXPECT_EQ(Calls().value(0), "--user disable --now " + unit);
    EXPECT_EQ(fmAutoBackup->LbWatchState->text(), "Watching the save folders: off");

    // What systemctl says when it can't is shown under the state, and the
    // window grows to hold it.
    SetFake("masked");
    fmAutoBackup->Refresh();
    EXPECT_TRUE(Settled());
    fmAutoBackup->BtWatch->click();
    EXPECT_TRUE(Settled());
    EXPECT_EQ(fmAutoBackup->LbWatchState->text(),
              "Watching the save folders: off\nsystemctl: Failed to enable unit: Unit file " +
                  unit + " is masked.");
    const auto whole = [] {
        for (auto* label : fmAutoBackup->findChildren<QLabel*>())
            if (label->heightForWidth(label->width()) > label->height())
                return false;
        return true;
    };
    EXPECT_TRUE(WaitUntil(whole, 1000)) << "a text is cut off";
}

} // namespace
