#pragma once

// mfbackup-cli run as a user runs it, on a game tree in the test's Wine
// prefix, with the settings file pointing at it.

#include "common/game_tree.h"
#include "common/run_program.h"
#include "common/settings_file.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <ctime>

class CliTree : public GameTree {
protected:
    void SetUp() override {
        GameTree::SetUp();
        ASSERT_TRUE(testenv::SaveSettings());
    }
    static testenv::Outcome
    Cli(const QStringList& args,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        return testenv::RunProgram(MF_CLI, args, QString::fromStdString(testenv::Scratch()), env);
    }
    // Runs and expects `exitCode`; the output is kept for a look afterwards.
    std::string Run(const QStringList& args, int exitCode = 0,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        last = Cli(args, env);
        EXPECT_EQ(last.exitCode, exitCode) << args.join(' ').toStdString() << "\n" << last.err;
        return last.out;
    }
    static std::string Lines(const Names& lines) {
        std::string out;
        for (const std::string& line : lines)
            out += line + "\n";
        return out;
    }
    static QJsonDocument Json(const std::string& text) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(text));
    }
    // The owner block a restore writes (this machine's name, as the settings
    // name it), followed by the rest of `data`.
    static std::string Owned(const std::string& data) {
        const std::string machine =
            Json(Cli({"settings", "--json"}).out).object()["machine_name"].toString().toStdString();
        std::string block(81, '\0');
        block.replace(0, machine.size(), machine);
        return block + (data.size() > block.size() ? data.substr(block.size()) : "");
    }
    // Gives the folders the last-write time `age` seconds before a fixed
    // moment, so that the sets' order by date is known.
    static constexpr std::time_t base = 1796638532;
    void Age(const std::vector<std::pair<std::string, int>>& ages) {
        for (const auto& [name, age] : ages)
            std::filesystem::last_write_time(
                backupDir + name, std::filesystem::file_time_type::clock::from_sys(
                                      std::chrono::system_clock::from_time_t(base - age)));
    }
    static std::string DateOf(int age) {
        return QDateTime::fromSecsSinceEpoch(base - age)
            .toString("yyyy-MM-dd'T'HH:mm:ss")
            .toStdString();
    }

    testenv::Outcome last;
};
