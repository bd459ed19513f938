// Measures the put and the get of sets through rclone against plain
// `rclone copy` of the same folders, in the same run:
//   put: PutSets of 20 sets (5 files of 64 KiB each, desc.txt, checksums)
//        against one `rclone copy` of the folder holding them, and against
//        one `rclone copy` per set folder;
//   get: GetSet of each of the 20 sets (checked, then kept) against one
//        `rclone copy` per set folder, and one of the machine's folder.
//
// Usage: remote_bench [work-folder [rounds [remote]]]
// Without a remote, a folder in the work folder serves as one; give an rclone
// remote string (an on-the-fly `:webdav,url=...:`) to measure over a protocol.
// Each round writes to fresh paths of the remote; each figure is the median
// of the rounds (default 3), with the ratio of the medians.

#include "platform/capture.h"
#include "remote/rclone.h"
#include "remote/remote_sets.h"
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
constexpr std::size_t kFileSize = 64 * 1024;

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

} // namespace

int main(int argc, char** argv) {
    const fs::path work =
        (argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path()) / "mf-remote-bench";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string remote = argc > 3 ? argv[3] : (work / "remote").string();

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
            std::string bytes(kFileSize, '\0');
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

    std::vector<double> put, copyAll, copyEach, get, getEach, getAll;
    for (int r = 0; r < rounds; ++r) {
        const std::string round = "r" + std::to_string(r) + "-";
        auto start = Clock::now();
        for (const remote::Status& status :
             remote::PutSets(rclone, remote, round + "ours", backup, sets))
            if (!status.Good())
                Die(status.Message);
        put.push_back(Seconds(start));

        start = Clock::now();
        PlainCopy(backup, remote::JoinRemote(remote, round + "all"));
        copyAll.push_back(Seconds(start));

        start = Clock::now();
        for (const std::string& set : sets)
            PlainCopy(backup + set, remote::JoinRemote(remote, round + "each/" + set));
        copyEach.push_back(Seconds(start));

        const std::string pulled = (work / (round + "pulled")).string() + "/";
        fs::create_directories(pulled);
        start = Clock::now();
        for (const std::string& set : sets) {
            remote::StagedSet staged;
            const remote::Status status =
                remote::GetSet(rclone, remote, round + "ours", set, pulled, staged);
            if (!status.Good())
                Die(status.Message);
            if (!staged.Keep(pulled + set))
                Die("cannot keep " + set);
        }
        get.push_back(Seconds(start));

        start = Clock::now();
        for (const std::string& set : sets)
            PlainCopy(remote::JoinRemote(remote, round + "ours/" + set),
                      (work / (round + "plain-each") / set).string());
        getEach.push_back(Seconds(start));

        start = Clock::now();
        PlainCopy(remote::JoinRemote(remote, round + "ours"),
                  (work / (round + "plain-all")).string());
        getAll.push_back(Seconds(start));
    }

    std::printf("%d sets of %d files of %zu KiB, %d rounds, remote %s\n", kSets, kFiles,
                kFileSize / 1024, rounds, remote::HideSecrets(remote).c_str());
    std::printf(
        "put   %.3f s  rclone copy (one)  %.3f s  ratio %.2f  (one per set %.3f s, ratio %.2f)\n",
        Median(put), Median(copyAll), Median(put) / Median(copyAll), Median(copyEach),
        Median(put) / Median(copyEach));
    std::printf("get   %.3f s  rclone copy (one per set)  %.3f s  ratio %.2f  (one for all %.3f s, "
                "ratio %.2f)\n",
                Median(get), Median(getEach), Median(get) / Median(getEach), Median(getAll),
                Median(get) / Median(getAll));
    fs::remove_all(work);
    return 0;
}
