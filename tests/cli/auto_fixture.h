#pragma once

// mfbackup-cli run as a launcher, systemd or a second user runs it: the built
// program in the background, on the test's game tree and settings, with
// stand-in games first on PATH.

#include "automation/run_log.h"
#include "common/game_tree.h"
#include "common/run_program.h"
#include "common/settings_file.h"
#include "platform/folder_lock.h"

#include <QElapsedTimer>
#include <QProcess>

#include <string>
#include <vector>

#include <sys/stat.h>

// One mfbackup-cli started in the background; killed if still running at
// the end.
class Running {
public:
    Running(const QStringList& args, const QProcessEnvironment& env) {
        p_.setProcessEnvironment(env);
        p_.setWorkingDirectory(QString::fromStdString(testenv::Scratch()));
        p_.setReadChannel(QProcess::StandardError);
        p_.start(MF_CLI, args);
        p_.closeWriteChannel();
    }
    ~Running() {
        if (p_.state() != QProcess::NotRunning) {
            p_.kill();
            p_.waitForFinished();
        }
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    // Waits until its standard error holds `text`: false when it ended or
    // `ms` passed first.
    bool WaitForError(const std::string& text, int ms = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (Err().find(text) == std::string::npos) {
            if (p_.state() == QProcess::NotRunning || clock.elapsed() > ms)
                return false;
            p_.waitForReadyRead(50);
        }
        return true;
    }
    // Its exit status once it ended; -1 when it did not within `ms` or a
    // signal ended it.
    int Finish(int ms = 30000) {
        if (!p_.waitForFinished(ms) || p_.exitStatus() != QProcess::NormalExit)
            return -1;
        return p_.exitCode();
    }
    std::string Err() {
        err_ += p_.readAllStandardError().toStdString();
        return err_;
    }
    void Signal(int sig) { ::kill(static_cast<pid_t>(p_.processId()), sig); }

private:
    QProcess p_;
    std::string err_;
};

class AutoTest : public GameTree {
protected:
    void SetUp() override {
        GameTree::SetUp();
        BackupConfig.SinglePlayer = 0; // wrap and watch take every kind all the same
        ASSERT_TRUE(testenv::SaveSettings());
        std::filesystem::remove(automation::RunLogPath()); // when several tests share a process
        bin_ = testenv::Scratch() + "/bin/";
        // game STATUS: writes the character list, leaves a child that writes
        // it again once the game has ended, and ends with STATUS ("kill":
        // killed by SIGKILL).
        Script("game", "#!/bin/sh\n"
                       "save=\"$MF_TEST_GAME_DIR/save/characters/characters.lpl\"\n"
                       "printf first > \"$save\"\n"
                       "( sleep 0.3; printf 'last write' > \"$save\" ) &\n"
                       "[ \"$1\" = kill ] && kill -KILL $$\n"
                       "exit \"$1\"\n");
        // quitter: plays until SIGTERM, then saves and ends with 3.
        Script("quitter", "#!/bin/sh\n"
                          "save=\"$MF_TEST_GAME_DIR/save/characters/characters.lpl\"\n"
                          "trap 'printf \"saved on quit\" > \"$save\"; exit 3' TERM\n"
                          ": > \"$MF_TEST_SCRATCH/playing\"\n"
                          "while :; do sleep 0.05; done\n");
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("PATH", QString::fromStdString(bin_) + ":" + env_.value("PATH"));
        env_.insert("MF_TEST_GAME_DIR", QString::fromStdString(gameDir));
        // No notification but where a test gives a bus of its own.
        env_.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    }
    void Script(const std::string& name, const std::string& text) {
        testenv::WriteFile(bin_ + name, text);
        ::chmod((bin_ + name).c_str(), 0755);
    }
    testenv::Outcome Cli(const QStringList& args) {
        return testenv::RunProgram(MF_CLI, args, QString::fromStdString(testenv::Scratch()), env_);
    }
    std::string SaveFile() const { return gameDir + "save/characters/characters.lpl"; }
    // The run log's lines.
    static std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        const std::string text = testenv::ReadFile(automation::RunLogPath());
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1)
            lines.push_back(text.substr(at, end - at));
        return lines;
    }
    std::string Description(const std::string& set) const {
        return testenv::ReadFile(backupDir + set + "/desc.txt");
    }

    std::string bin_;
    QProcessEnvironment env_;
};
