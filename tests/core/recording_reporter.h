#pragma once

// What a run of the core told its reporter, written down; and the game and
// backup folders the runs work on.

#include "common/game_folders.h"
#include "core/backup.h"
#include "core/reporter.h"
#include "core/restore.h"
#include "sets/manifest.h"
#include "sets/verify.h"

#include <functional>
#include <string>
#include <vector>

class RecordingReporter : public core::Reporter {
public:
    // Each text the user reads (a message, or a failure's text), in order.
    void Message(const std::string& text) override {
        said.push_back(text);
        if (onSaid)
            onSaid(text);
    }
    void Failure(const std::string& text, const std::string& cause) override {
        causes.push_back(cause);
        Message(text);
    }
    // The progress window: "[caption]", each line, "[hidden]".
    void ProgressShow(const std::string& caption) override {
        progress.push_back("[" + caption + "]");
    }
    void ProgressText(const std::string& text) override {
        progress.push_back(text);
        if (onProgress)
            onProgress(text); // e.g. the game writing the file about to be read
    }
    void ProgressHide() override { progress.push_back("[hidden]"); }
    void ProgressStep(std::size_t index, std::size_t total, const std::string& name) override {
        steps.push_back(std::to_string(index) + "/" + std::to_string(total) + " " + name);
    }
    // "source -> target" of each file done (or failed), kept or planned;
    // "target: why" of each refused.
    void FileDone(const std::string& source, const std::string& target, bool ok) override {
        (ok ? done : failed).push_back(source + " -> " + target);
    }
    void FileKept(const std::string& source, const std::string& target) override {
        kept.push_back(source + " -> " + target);
    }
    void FilePlanned(const std::string& source, const std::string& target) override {
        planned.push_back(target.empty() ? source : source + " -> " + target);
    }
    void FileRefusal(const std::string& /*source*/, const std::string& target,
                     const std::string& why) override {
        refused.push_back(target + ": " + why);
    }

    // A wait for the backup folder's lock: "wait caption: text" and "wait
    // over" among the texts; onWait answers whether to go on waiting.
    void WaitStart(const std::string& caption, const std::string& text) override {
        said.push_back("wait " + caption + ": " + text);
    }
    bool KeepWaiting() override { return onWait ? onWait() : true; }
    void WaitOver() override { said.push_back("wait over"); }

    std::function<void(const std::string&)> onSaid; // e.g. the game saving meanwhile
    std::function<void(const std::string&)> onProgress;
    std::function<bool()> onWait;
    Names said, causes, progress, steps, done, failed, kept, planned, refused;
};

// The folders, a reporter, and the runs as the front ends start them.
class CoreTree : public GameFolders {
protected:
    core::RunResult Backup(const sets::KindSet& kinds = {true, true, true}, bool zip = false,
                           const std::string& description = {}) {
        return core::Backup({gameDir, backupDir, kinds, description, zip, false}, reporter);
    }
    // Backs up every kind into a new set; its name.
    std::string BackUpAll(bool zip = false) {
        const Names before = Sets();
        EXPECT_TRUE(Backup({true, true, true}, zip).Ok()) << Joined(reporter.said);
        return NewSet(before);
    }
    core::RestorePlan Plan(const std::string& set, bool zip = false, bool safety = false,
                           const sets::KindSet& kinds = {true, true, true}) const {
        return {backupDir, gameDir, set, kinds, zip, safety, zip};
    }
    core::RunResult Restore(const core::RestorePlan& plan,
                            const std::optional<std::string>& owner = {}, bool dryRun = false) {
        return core::Restore({plan, owner, dryRun}, reporter);
    }
    // The set is finished, its checksums list each of its files (but
    // desc.txt) and each matches.
    static ::testing::AssertionResult Whole(const std::string& set) {
        sets::Manifest sums;
        if (sets::ReadManifest(set, sums) != sets::ManifestRead::Read)
            return ::testing::AssertionFailure() << "no checksums in " << set;
        Names listed, files = Files(set);
        for (const sets::ManifestEntry& entry : sums.Entries)
            listed.push_back(entry.Name);
        std::sort(listed.begin(), listed.end());
        std::erase(files, sets::ManifestName);
        std::erase(files, "desc.txt");
        const sets::SetCheck check = sets::VerifySet(set, set);
        if (listed != files || check.Status() != sets::SetStatus::Ok)
            return ::testing::AssertionFailure() << sets::StatusWord(check.Status()) << ", listed "
                                                 << Joined(listed) << " of " << Joined(files);
        return ::testing::AssertionSuccess();
    }
    static std::string Joined(const Names& lines) {
        std::string out;
        for (const std::string& line : lines)
            out += line + "|";
        return out;
    }

    RecordingReporter reporter;
};
