#include "cli/auto_commands.h"

#include "automation/run_log.h"
#include "automation/session.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/shared.h"
#include "core/backup.h"
#include "platform/process.h"
#include "platform/save_watch.h"
#include "remote/push_pull.h"
#include "sets/kinds.h"
#include "settings/backup_config.h"

#include <QDateTime>
#include <QLocale>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {
namespace {

// The signals a launcher, a terminal or systemd end a program with.
constexpr std::array<int, 3> kEndSignals = {SIGTERM, SIGINT, SIGHUP};

// "7 Dec 2026 16:09": local time, short, and alike in every locale.
std::string ShortDate() {
    return QLocale::c().toString(QDateTime::currentDateTime(), "d MMM yyyy HH:mm").toStdString();
}

sets::KindSet AllKinds() {
    return {true, true, true};
}

// The reports of a backup no one watches: its messages on standard error as
// `backup` gives them, but no line per file (standard output is the game's),
// the first kept to tell a failure by; a wait for the backup folder is given
// up once `stop` is set.
class UnwatchedReporter : public ConsoleReporter {
public:
    UnwatchedReporter(Console& console, const std::atomic<bool>* stop)
        : ConsoleReporter(console, {}), stop_(stop) {}

    void Message(const std::string& text) override {
        Keep(text);
        ConsoleReporter::Message(text);
    }
    void Failure(const std::string& text, const std::string& cause) override {
        Keep(cause.empty() ? text : text + ": " + cause);
        ConsoleReporter::Failure(text, cause);
    }
    void FileDone(const std::string&, const std::string&, bool) override {}
    bool KeepWaiting() override { return !(stop_ && stop_->load()); }

    std::string FirstText;

private:
    void Keep(const std::string& text) {
        if (FirstText.empty())
            FirstText = text;
    }

    const std::atomic<bool>* stop_;
};

// One backup no one watches: what it takes, and how it is described.
struct Job {
    sets::KindSet Kinds;
    std::optional<bool> Zip; // as the settings say when not given
    std::string Description; // the date is added
    const std::atomic<bool>* Stop = nullptr;
    bool HoldWritten = false; // see core::BackupChoices
};

// What an unwatched backup came to, in words.
struct BackupOutcome {
    bool Failed = false;
    bool Made = false; // a set was made and finished
    bool Stopped = false;
    bool Unchanged = false; // no set, no failure: the core said "Nothing found to backup!"
    bool Held = false;      // files were left for the next backup
    std::string Line;       // for standard error and the run log
    std::string Summary;    // the notification's; "" when there is nothing to show
    std::string Body;
};

BackupOutcome UnwatchedBackup(const Options& options, const Job& job, Console& console) {
    UnwatchedReporter reporter(console, job.Stop);
    core::RunResult result;
    std::string description;
    try {
        // Read afresh for each backup: a change made meanwhile counts.
        LoadSettings(options.ConfigFile, true, console);
        RequireBackupFolder();
        RequireGameFolder();
        core::BackupChoices choices;
        choices.GameDir = BackupConfig.GameDir.Get();
        choices.BackupDir = BackupConfig.BackupDir.Get();
        choices.Kinds = job.Kinds;
        choices.Zip = job.Zip.value_or(BackupConfig.ZipBackups != 0);
        choices.Description = description = job.Description + " " + ShortDate();
        choices.Stop = job.Stop;
        choices.HoldWritten = job.HoldWritten;
        result = core::Backup(choices, reporter);
    } catch (const std::exception& e) {
        reporter.Message(e.what());
        ++result.Failures;
    }

    BackupOutcome outcome;
    outcome.Failed = result.Failures != 0;
    outcome.Stopped = result.Stopped;
    outcome.Held = result.Held != 0;
    const std::string into =
        result.NewSet.empty() ? std::string() : FileCount(result.Done) + " into " + result.NewSet;
    const std::string held =
        outcome.Held ? FileCount(result.Held) + " being written, left for the next backup" : "";
    if (outcome.Failed) {
        outcome.Summary = "Moonforge backup failed";
        outcome.Body = reporter.FirstText + (into.empty() ? "" : "; " + into);
        outcome.Line = outcome.Summary + ": " + outcome.Body + (held.empty() ? "" : "; " + held);
    } else if (outcome.Stopped) {
        outcome.Line =
            "Moonforge backup stopped" + (into.empty() ? "" : ": " + into + " left unfinished");
    } else if (!into.empty()) {
        outcome.Made = true;
        outcome.Summary = "Moonforge saves backed up: " + into;
        outcome.Line = outcome.Summary + (held.empty() ? "" : "; " + held);
        outcome.Body = description;
    } else if (outcome.Held) {
        outcome.Line = held;
    } else {
        outcome.Unchanged = true;
        outcome.Line = "nothing changed";
    }
    return outcome;
}

// A backup told where someone may look: standard error and, for a set made
// or a failure, the desktop's notifications. The notifier runs beside this
// program, without being waited for; with no session bus it fails unheard.
void Tell(const BackupOutcome& outcome, Console& console) {
    if (!outcome.Unchanged)
        console.Error("mfbackup-cli: " + outcome.Line);
    if (outcome.Summary.empty())
        return;
    const std::string notifier = platform::ModuleDirectory() + "mfbackup-notify";
    platform::StartDetached(notifier, {notifier, outcome.Summary, outcome.Body});
}

// --push: once a backup made a set, every set the remote of the setting
// lacks is pushed, told on standard error (standard output is the game's);
// the run log gets what came of it after the backup's outcome.
void PushAfter(const Options& options, BackupOutcome& outcome, Console& console) {
    if (!options.Push || !outcome.Made)
        return;
    remote::RemoteRun run;
    try {
        remote::PushChoices choices;
        choices.At = RemoteWhere(options);
        ConsoleReporter reporter(console, {});
        run = remote::Push(choices, reporter);
    } catch (const std::exception& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        outcome.Failed = true;
        outcome.Line += std::string("; push failed: ") + e.what();
        return;
    }
    std::vector<std::string> names;
    for (const remote::MovedSet& set : run.Sets) {
        console.Error(
            PrintableText("mfbackup-cli: pushed " + set.Set + " (" + FileCount(set.Files) + ")"));
        names.push_back(set.Set);
    }
    if (!run.Ok()) {
        outcome.Failed = true;
        outcome.Line +=
            "; push failed" + (names.empty() ? "" : " after pushing " + Join(names, ", "));
    } else {
        outcome.Line += names.empty() ? "; nothing to push" : "; pushed " + Join(names, ", ");
    }
}

void Log(const std::string& command, const std::string& outcome, Console& console) {
    if (!automation::AppendRunLog(command, outcome))
        console.Error("mfbackup-cli: could not write to the run log " + automation::RunLogPath());
}

// `arg` as a shell reads it back: as it stands when it holds only plain
// characters, else in single quotes.
std::string ShellWord(const std::string& arg) {
    static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                "_-+=.,/:@%";
    if (!arg.empty() && arg.find_first_not_of(plain) == std::string::npos)
        return arg;
    std::string quoted = "'";
    for (const char c : arg)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string WrapCommandText(const std::vector<std::string>& command) {
    std::string text = "wrap --";
    for (const std::string& arg : command)
        text += " " + ShellWord(arg);
    return text;
}

void Ignore(int) {}

// The watcher's stop: set by SIGTERM, SIGINT or SIGHUP, which also wake the
// watch it waits on.
std::atomic<bool> gStop{false};
std::atomic<platform::SaveWatch*> gWatch{nullptr};

void OnStop(int) {
    gStop = true;
    if (platform::SaveWatch* watch = gWatch.load())
        watch->Stop();
}

// SIGTERM, SIGINT and SIGHUP go to `handler` while it lives; with
// `keepIgnored` a signal the parent had ignored stays ignored.
class EndSignalsCaught {
public:
    EndSignalsCaught(void (*handler)(int), bool keepIgnored) {
        struct sigaction sa = {};
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kEndSignals.size(); ++i) {
            ::sigaction(kEndSignals[i], nullptr, &old_[i]);
            if (!keepIgnored || old_[i].sa_handler != SIG_IGN)
                ::sigaction(kEndSignals[i], &sa, nullptr);
        }
    }
    ~EndSignalsCaught() {
        for (std::size_t i = 0; i < kEndSignals.size(); ++i)
            ::sigaction(kEndSignals[i], &old_[i], nullptr);
    }
    EndSignalsCaught(const EndSignalsCaught&) = delete;
    EndSignalsCaught& operator=(const EndSignalsCaught&) = delete;

private:
    std::array<struct sigaction, kEndSignals.size()> old_{};
};

// The three kinds' save folders of the game in `gameDir`.
std::vector<std::string> SaveFolders(const std::string& gameDir) {
    std::vector<std::string> folders;
    for (sets::Kind kind : sets::AllKinds)
        folders.push_back(gameDir + sets::KindFolder(kind));
    return folders;
}

// The settings read again once their file changed; false, said, when they
// could not be read (the backup reads them again anyway).
bool ReadSettingsAgain(const Options& options, Console& console) {
    try {
        LoadSettings(options.ConfigFile, false, console);
        return true;
    } catch (const std::exception& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        return false;
    }
}

} // namespace

int Wrap(const Options& options, Console& console) {
    const std::vector<std::string>& command = options.Arguments;
    // While the wrapper lives, SIGTERM, SIGINT and SIGHUP do not end it:
    // during the game RunSession passes them on, and a backup is done whole
    // (a SIGKILL still ends it, and the saves stay changed for the next one).
    // A signal the launcher had ignored stays ignored, also for the game.
    const EndSignalsCaught held(Ignore, true);
    const Job job{options.Kinds ? options.Kinds->Kinds : AllKinds(), options.Zip,
                  options.Description.value_or("After playing")};
    std::string logged;
    if (options.Before) {
        Job before = job;
        before.Description = "Before playing";
        const BackupOutcome outcome = UnwatchedBackup(options, before, console);
        Tell(outcome, console);
        logged = "before: " + outcome.Line + "; ";
    }

    // The game gets the signal dispositions the launcher gave: this program
    // ignores SIGPIPE for itself alone.
    std::signal(SIGPIPE, SIG_DFL);
    const automation::SessionResult session = automation::RunSession(command);
    std::signal(SIGPIPE, SIG_IGN);
    if (!session.Started) {
        console.Error("mfbackup-cli: " + command[0] + ": " + session.Error);
        Log(WrapCommandText(command), logged + "not started: " + session.Error, console);
        return session.ExitStatus;
    }
    BackupOutcome outcome = UnwatchedBackup(options, job, console);
    Tell(outcome, console);
    PushAfter(options, outcome, console);
    Log(WrapCommandText(command),
        logged + "exit " + std::to_string(session.ExitStatus) + "; " + outcome.Line, console);
    return session.ExitStatus;
}

int Watch(const Options& options, Console& console) {
    const std::chrono::seconds quiet(options.Quiet.value_or(300));
    const EndSignalsCaught stops(OnStop, false);
    // The game may still be writing a save when its quiet time is over.
    Job job{AllKinds(), std::nullopt, "Saved while playing", &gStop};
    job.HoldWritten = true;
    std::string gameDir = BackupConfig.GameDir.Get();
    std::unique_ptr<platform::SaveWatch> watch;
    // Gone before the watch is: a signal never reaches a watch destroyed.
    const struct ForgetWatch {
        ~ForgetWatch() { gWatch = nullptr; }
    } forget;
    // A new game folder, from settings read again: watched from now on.
    const auto follow = [&] {
        if (BackupConfig.GameDir.Get() == gameDir)
            return;
        gameDir = BackupConfig.GameDir.Get();
        gWatch = nullptr;
        watch.reset();
    };
    int status = ExitOk;
    while (!gStop) {
        if (!watch) {
            // The settings file too: a game folder set meanwhile is watched
            // at once, not after the next write in the old one.
            watch = std::make_unique<platform::SaveWatch>(SaveFolders(gameDir), SettingsFilePath());
            if (!watch->Ok()) {
                console.Error("mfbackup-cli: cannot watch the save folders: " + watch->Error());
                return ExitFailed;
            }
            gWatch = watch.get();
            if (gStop) // before the watch could be woken
                break;
            console.Error("mfbackup-cli: watching the save folders in " + gameDir + "save/");
        }
        const platform::SaveWatch::Wake wake = watch->Wait(quiet);
        if (wake == platform::SaveWatch::Wake::Stopped) {
            if (!gStop) {
                console.Error("mfbackup-cli: cannot watch the save folders: " + watch->Error());
                status = ExitFailed;
            }
            break;
        }
        if (wake == platform::SaveWatch::Wake::Settings) {
            if (ReadSettingsAgain(options, console))
                follow();
            continue;
        }
        BackupOutcome outcome = UnwatchedBackup(options, job, console);
        Tell(outcome, console);
        PushAfter(options, outcome, console);
        Log("watch", outcome.Line, console);
        status = outcome.Failed ? ExitFailed : ExitOk;
        if (outcome.Stopped || options.Once)
            break;
        follow(); // the settings were read again for the backup
    }
    return status;
}

} // namespace cli
