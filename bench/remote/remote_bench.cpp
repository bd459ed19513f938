// Measures a push and a pull of sets through rclone against plain
// `rclone copy` of the same folders, in the same run:
//   push: remote::Push of 20 sets (5 files of 64 KiB each, desc.txt,
//         checksums): a look at the remote, one copy of every file, one
//         check of them all, the checksums and their check; against one
//         `rclone copy` of the folder holding the sets, and one per set;
//   pull: remote::Pull of those 20 sets into another backup folder (one
//         copy, each set checked and filed as a new set); against one
//         `rclone copy` of the machine's folder, and one per set folder.
//
// Usage: remote_bench [work-folder [rounds [remote [KiB]]]]
// Without a remote, a folder in the work folder serves as one; give an rclone
// remote string (an on-the-fly `:webdav,url=...:`) to measure over a protocol,
// and a size per file other than 64 KiB to see what the per-call cost of
// rclone weighs against the bytes. Each round writes to fresh paths of the
// remote; each figure is the median of the rounds (default 3), with the
// ratio of the medians.

#include "platform/capture.h"
#include "remote/push_pull.h"
#include "remote/rclone.h"
#include "sets/manifest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSets = 20;
constexpr int kFiles = 5;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "remote_bench: %s\n", what.c_str());
    std::exit(1);
}

void PlainCopy(const std::string& from, const std::string& to) {
    platform::CapturedRun run;
    if (!platform::RunCaptured(platform::FindOnPath("rclone"), {"copy", "--quiet", from, to},
                               run) ||
        run.Status.Code != 0)
        Die("rclone copy " + from + " failed: " + run.Err);
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string SetName(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "MFB%X", 0x100 + i);
    return name;
}

// The messages of a run, which a good run has none of.
class Quiet : public core::Reporter {
public:
    void Message(const std::string& text) override { Die(text); }
};

void Expect(const remote::RemoteRun& run, std::size_t sets) {
    if (!run.Ok() || run.Sets.size() != sets)
        Die("moved " + std::to_string(run.Sets.size()) + " sets, not " + std::to_string(sets));
}

void Print(const char* what, const char* one, double ours, double all, double each) {
    std::printf("%s  %.3f s  rclone copy (%s)  %.3f s  ratio %.2f  (one per set %.3f s, ratio "
                "%.2f)\n",
                what, ours, one, all, ours / all, each, ours / each);
}

} // namespace

int main(int argc, char** argv) {
    const fs::path work =
        (argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path()) / "mf-remote-bench";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string remote = argc > 3 && *argv[3] ? argv[3] : (work / "remote").string();
    const std::size_t fileSize = (argc > 4 ? std::max(1, std::atoi(argv[4])) : 64) * 1024;
    remote::Rclone rclone;
    if (const remote::Status found = remote::Rclone::Find(rclone); !found.Good())
        Die(found.Message);

    const std::string backup = (work / "backup").string() + "/";
    std::mt19937_64 rng(42);
    std::vector<std::string> sets;
    for (int s = 0; s < kSets; ++s) {
        const std::string name = SetName(s);
        fs::create_directories(backup + name);
        std::vector<std::string> files;
        for (int f = 0; f < kFiles; ++f) {
            files.push_back("game" + std::to_string(f) + ".sav");
            std::string bytes(fileSize, '\0');
            for (char& c : bytes)
                c = static_cast<char>(rng());
            std::ofstream(backup + name + "/" + files.back(), std::ios::binary) << bytes;
        }
        std::ofstream(backup + name + "/desc.txt") << "Set " << s << "\r\n";
        sets::Manifest manifest;
        for (const std::string& file : files) {
            manifest.Entries.emplace_back();
            if (!sets::HashEntry(backup + name + "/", file, manifest.Entries.back()))
                Die("cannot hash " + file);
        }
        if (!sets::WriteManifest(backup + name + "/", manifest))
            Die("cannot write the checksums of " + name);
        sets.push_back(name);
    }

    Quiet quiet;
    std::vector<double> push, copyAll, copyEach, pull, getAll, getEach;
    for (int r = 0; r < rounds; ++r) {
        const std::string round = "r" + std::to_string(r);
        remote::PushChoices pushing;
        pushing.At = {remote::JoinRemote(remote, round), {}, backup, "ours"};
        auto start = Clock::now();
        Expect(remote::Push(pushing, quiet), kSets);
        push.push_back(Seconds(start));

        start = Clock::now();
        PlainCopy(backup, remote::JoinRemote(remote, round + "-all"));
        copyAll.push_back(Seconds(start));

        start = Clock::now();
        for (const std::string& set : sets)
            PlainCopy(backup + set, remote::JoinRemote(remote, round + "-each/" + set));
        copyEach.push_back(Seconds(start));

        remote::PullChoices pulling;
        pulling.At = pushing.At;
        pulling.At.Machine = "theirs";
        pulling.At.BackupDir = (work / (round + "-pulled")).string() + "/";
        fs::create_directories(pulling.At.BackupDir);
        start = Clock::now();
        Expect(remote::Pull(pulling, quiet), kSets);
        pull.push_back(Seconds(start));

        start = Clock::now();
        PlainCopy(remote::JoinRemote(remote, round + "/ours"),
                  (work / (round + "-plain-all")).string());
        getAll.push_back(Seconds(start));

        start = Clock::now();
        for (const std::string& set : sets)
            PlainCopy(remote::JoinRemote(remote, round + "/ours/" + set),
                      (work / (round + "-plain-each") / set).string());
        getEach.push_back(Seconds(start));
    }

    std::printf("%d sets of %d files of %zu KiB, %d rounds, remote %s\n", kSets, kFiles,
                fileSize / 1024, rounds, remote::HideSecrets(remote).c_str());
    Print("push", "one", Median(push), Median(copyAll), Median(copyEach));
    Print("pull", "one", Median(pull), Median(getAll), Median(getEach));
    fs::remove_all(work);
    return 0;
}
