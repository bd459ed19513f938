// mfbackup-cli on a hostile machine. Killed with SIGKILL at ten moments spread
// over a backup (plain and compressed), a restore with owner update (of a
// plain and of a compressed set) and a settings save: wherever a kill lands,
// no torn file in a set or the game folder, every source not wholly in a set
// still marked changed, the settings file one of its two whole records, no
// temporary left but the whole copy a replace holds for an instant under a
// hidden name, and no game file restored before the safety set of what the
// game held is whole. And backing up onto a full disk: nothing partial, every
// source that did not fit still marked changed, the rest restored from it.

#include "cli_tree.h"
#include "sets/archive_names.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"
#include "zip.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

enum class Work { PlainBackup, CompressedBackup, PlainRestore, CompressedRestore, SettingsSave };
const char* const kWorkNames[] = {"PlainBackup", "CompressedBackup", "PlainRestore",
                                  "CompressedRestore", "SettingsSave"};

bool IsTemporary(const std::string& name) {
    return name.rfind(".mfcopy-", 0) == 0 || name.rfind(".pkzip-", 0) == 0 ||
           (name.size() > 4 && name.compare(name.size() - 4, 4, ".TMP") == 0);
}

// The entries of a zip file by name; throws when it is not whole.
std::map<std::string, std::string> ZipEntries(const std::string& path) {
    const std::string bytes = testenv::ReadFile(path);
    const archiver::MemorySource source(bytes);
    std::map<std::string, std::string> entries;
    for (const archiver::ZipEntry& e : archiver::ParseZip(source, 1000).Entries) {
        std::string& data = entries[e.Name];
        archiver::ReadEntry(e, [&](const unsigned char* p, std::size_t n) {
            data.append(reinterpret_cast<const char*>(p), n);
        });
    }
    return entries;
}

// The game's save files, random bytes (no archive makes them smaller), and
// what the sets made of them must hold.
class SaveTreeTest : public CliTree {
protected:
    void SetUp() override {
        CliTree::SetUp();
        owner = CliTree::Owned("");
    }

    // The save files: `sizes` by path below "save/".
    void MakeFiles(const std::map<std::string, std::size_t>& sizes) {
        std::mt19937 random(7);
        for (const auto& [rel, size] : sizes) {
            std::string& data = files[rel];
            data.resize(size);
            for (char& c : data)
                c = static_cast<char>(random());
            old[rel] = "old " + rel; // what the game holds before a restore
        }
    }

    static std::string SettingsPath() { return testenv::ConfigHome() + "/mfbackup.ini"; }
    std::string Path(const std::string& rel) const { return gameDir + "save/" + rel; }

    // Game files with the backed-up content, all changed, and no set.
    void FreshGame(const std::map<std::string, std::string>& content) {
        for (const auto& [rel, data] : content)
            testenv::WriteFile(Path(rel), data);
    }
    void NoSets() {
        for (const auto& e : fs::directory_iterator(backupDir))
            fs::remove_all(e.path());
    }
    // What a restore with owner update makes of `data`.
    std::string Owned(const std::string& data) const {
        return owner + (data.size() > owner.size() ? data.substr(owner.size()) : "");
    }

    // Every file below `roots` with a temporary's name.
    static std::vector<std::string> Temporaries(const std::vector<std::string>& roots) {
        std::vector<std::string> found;
        for (const std::string& root : roots)
            for (const auto& e : fs::recursive_directory_iterator(root))
                if (IsTemporary(e.path().filename().string()))
                    found.push_back(e.path().string());
        return found;
    }

    // The files of a set checked whole against the sources; `held` gets the
    // sources the set holds. An archive the archiver was replacing may be
    // left, whole, under its temporary name.
    void CheckSet(const std::string& set, bool zip, std::set<std::string>& held) {
        for (const auto& e : fs::directory_iterator(set)) {
            const std::string name = e.path().filename().string();
            const bool archiverTemp = name.rfind(".pkzip-", 0) == 0;
            if (name == "desc.txt") {
                EXPECT_EQ(testenv::ReadFile(e.path()), "crash test\r\n");
            } else if (name == sets::UnfinishedName) {
                EXPECT_EQ(testenv::ReadFile(e.path()), "");
            } else if (name == sets::ManifestName) {
                // Written whole, and only once every file it lists is.
                sets::Manifest manifest;
                ASSERT_EQ(sets::ReadManifest(set, manifest), sets::ManifestRead::Read) << set;
                for (const sets::ManifestEntry& listed : manifest.Entries) {
                    sets::ManifestEntry now;
                    EXPECT_TRUE(sets::HashEntry(set, listed.Name, now) && now == listed)
                        << set << listed.Name;
                }
            } else if (zip && (archiverTemp || e.path().extension() == ".zip")) {
                try {
                    for (const auto& [entry, data] : ZipEntries(e.path())) {
                        const std::string rel = SourceNamed(entry);
                        EXPECT_EQ(data, files[rel]) << e.path() << ": " << entry;
                        if (!archiverTemp) {
                            EXPECT_EQ(sets::ArchiveBaseName(entry) + ".zip", name);
                            held.insert(rel);
                        }
                    }
                } catch (const std::exception& error) {
                    ADD_FAILURE() << "torn archive " << e.path() << ": " << error.what();
                }
                transients += archiverTemp;
            } else if (!zip && !SourceNamed(name).empty()) {
                EXPECT_EQ(testenv::ReadFile(e.path()), files[SourceNamed(name)]) << e.path();
                held.insert(SourceNamed(name));
            } else {
                ADD_FAILURE() << "left in the set: " << e.path();
            }
        }
    }
    static bool Unfinished(const std::string& set) {
        return fs::exists(set + sets::UnfinishedName);
    }
    std::string SourceNamed(const std::string& name) const {
        for (const auto& [rel, data] : files)
            if (fs::path(rel).filename() == name)
                return rel;
        return {};
    }

    std::map<std::string, std::string> files; // below "save/": the sources
    std::map<std::string, std::string> old;
    std::string owner;  // the owner block this machine's name gives
    int transients = 0; // whole copies found under a temporary name
};

class CrashTest : public SaveTreeTest, public testing::WithParamInterface<Work> {
protected:
    void SetUp() override {
        SaveTreeTest::SetUp();
        // A killed program's archiver, left running, comes to us to be waited for.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        std::map<std::string, std::size_t> sizes{{"characters/characters.lpl", 150000},
                                                 {"net/net.sav", 90000},
                                                 {"games/game01.bak", 5000}}; // in game01.zip
        for (int i = 1; i <= 24; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "games/game%02d.sav", i);
            sizes[name] = 20000 + 4000 * i;
        }
        MakeFiles(sizes);
        recordA = testenv::ReadFile(SettingsPath());
    }

    // Starts mfbackup-cli in a process group of its own, kills it with
    // SIGKILL `delay` after the start unless it has ended (the whole group
    // when `group`, else the program alone, its archiver running on), and
    // returns when every process of the group has ended. Without a delay it
    // runs to its end. The time to its end or the kill, in ms.
    double RunKilled(const std::vector<std::string>& args,
                     std::optional<std::chrono::microseconds> delay, bool group) {
        std::vector<std::string> all{MF_CLI};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string log = testenv::Scratch() + "/cli.log";
        const std::string cwd = testenv::Scratch();

        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || chdir(cwd.c_str()) != 0)
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        setpgid(pid, pid);
        int status = 0;
        if (delay) {
            const auto ns = start.tv_nsec + std::chrono::nanoseconds(*delay).count();
            timespec until{start.tv_sec + static_cast<time_t>(ns / 1'000'000'000),
                           static_cast<long>(ns % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            if (waitpid(pid, &status, WNOHANG) == 0)
                kill(group ? -pid : pid, SIGKILL);
        }
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &end);
        while (waitpid(-pid, nullptr, 0) > 0 || errno == EINTR) {
        }
        if (!WIFSIGNALED(status) && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
            ADD_FAILURE() << "mfbackup-cli failed:\n" << testenv::ReadFile(log);
        return (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
    }

    // After a backup: where the kill landed, and the checks.
    std::string CheckBackup(bool zip) {
        const std::regex setName("MFB[0-9A-F]{1,4}");
        std::set<std::string> held;
        std::size_t sets = 0;
        for (const auto& e : fs::directory_iterator(backupDir)) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(e.is_directory() && std::regex_match(name, setName))
                << "left in the backup folder: " << name;
            if (!e.is_directory())
                continue;
            ++sets;
            const std::string set = e.path().string() + "/";
            CheckSet(set, zip, held);
            // Whole, or said to be unfinished (but in the instant between
            // the folder and its mark: then empty).
            EXPECT_TRUE(Unfinished(set) || fs::exists(set + sets::ManifestName) ||
                        fs::is_empty(set))
                << set << " is neither whole nor marked unfinished";
        }
        std::size_t clean = 0;
        for (const auto& [rel, data] : files) {
            EXPECT_EQ(testenv::ReadFile(Path(rel)), data) << rel;
            if (!Changed(Path(rel))) {
                ++clean;
                EXPECT_TRUE(held.count(rel)) << rel << " is marked backed up but in no set";
            }
        }
        EXPECT_EQ(Temporaries({gameDir}), std::vector<std::string>{});
        if (sets == 0)
            return "no set";
        return "set " + std::to_string(held.size()) + "/" + std::to_string(files.size()) + ", " +
               std::to_string(clean) + " clean";
    }

    // After a restore: each game file the old one or the whole new one, the
    // owner block in what was restored as the set's file.
    std::string CheckRestore(bool zip) {
        std::size_t restored = 0;
        std::vector<std::string> temps = Temporaries({gameDir, backupDir});
        for (const auto& [rel, data] : files) {
            const std::string now = testenv::ReadFile(Path(rel));
            // A plain set restores only *.sav and *.lpl; an archive also
            // extracts the file it holds beside its own (game01.bak), as it is.
            const bool target = fs::path(rel).extension() != ".bak";
            const std::string restoredAs = target ? Owned(data) : zip ? data : old[rel];
            EXPECT_TRUE(now == old[rel] || now == restoredAs) << rel << " is torn";
            restored += now != old[rel];
            // A replace killed between its two steps: a whole copy of the
            // new content under the temporary name, removed by the next run.
            for (auto t = temps.begin(); t != temps.end();) {
                if (fs::path(*t).parent_path() == fs::path(Path(rel)).parent_path() &&
                    testenv::ReadFile(*t) == restoredAs) {
                    t = temps.erase(t);
                    ++transients;
                } else {
                    ++t;
                }
            }
        }
        EXPECT_EQ(temps, std::vector<std::string>{});
        for (const char* dir : {"characters", "net", "games"})
            for (const auto& e : fs::directory_iterator(Path(dir)))
                EXPECT_TRUE(IsTemporary(e.path().filename().string()) ||
                            files.count(std::string(dir) + "/" + e.path().filename().string()))
                    << "left in the game: " << e.path();
        const std::size_t kept = KeptBeforeRestoring();
        if (restored > 0) {
            EXPECT_EQ(kept, files.size() - 1) << "a game file changed before all were kept";
        }
        return "restored " + std::to_string(restored) + "/" + std::to_string(files.size()) +
               ", kept " + std::to_string(kept);
    }

    // The files of the safety set this run made: none until it is whole,
    // with its checksums; every copy in it (a killed run may leave some
    // without checksums) is what the game held.
    std::size_t KeptBeforeRestoring() {
        std::size_t kept = 0;
        for (const std::string& set : Sets()) {
            if (std::find(setsBefore.begin(), setsBefore.end(), set) != setsBefore.end())
                continue;
            const std::string folder = backupDir + set + "/";
            sets::Manifest sums;
            const bool whole =
                sets::ReadManifest(folder, sums) == sets::ManifestRead::Read && !Unfinished(folder);
            std::size_t copies = 0;
            for (const auto& e : fs::directory_iterator(folder)) {
                const std::string name = e.path().filename().string();
                if (name == "desc.txt" || name == sets::ManifestName ||
                    name == sets::UnfinishedName)
                    continue;
                ++copies;
                EXPECT_EQ(testenv::ReadFile(e.path()), old[SourceNamed(name)]) << e.path();
            }
            EXPECT_TRUE(!whole || sums.Entries.size() == copies) << folder;
            kept += whole ? copies : 0;
        }
        return kept;
    }

    std::string CheckSettings() {
        const std::string now = testenv::ReadFile(SettingsPath());
        EXPECT_TRUE(now == recordA || now == recordB) << "torn settings file";
        for (const auto& e : fs::directory_iterator(testenv::ConfigHome())) {
            const std::string name = e.path().filename().string();
            if (name == "mfbackup.ini")
                continue;
            EXPECT_TRUE(IsTemporary(name) && testenv::ReadFile(e.path()) == recordB)
                << "left in the settings folder: " << name;
            ++transients;
        }
        return now == recordA ? "old record" : "new record";
    }

    std::string recordA, recordB;
    std::vector<std::string> setsBefore; // of a restore
};

TEST_P(CrashTest, EveryFileIsWholeAndEveryChangeKeptWhereverTheKillLands) {
    const Work work = GetParam();
    std::vector<std::string> args;
    std::function<void()> prepare;
    std::function<std::string()> check;
    switch (work) {
    case Work::PlainBackup:
    case Work::CompressedBackup:
        args = {"backup", "--kinds",    "all",
                "--desc", "crash test", work == Work::PlainBackup ? "--plain" : "--zip"};
        prepare = [&] {
            NoSets();
            FreshGame(files);
        };
        check = [&, work] { return CheckBackup(work == Work::CompressedBackup); };
        break;
    case Work::PlainRestore:
    case Work::CompressedRestore: {
        const bool zip = work == Work::CompressedRestore;
        FreshGame(files);
        ASSERT_EQ(Cli({"backup", "--kinds", "all", zip ? "--zip" : "--plain"}).exitCode, 0);
        ASSERT_EQ(Sets().size(), 1u);
        args = {"restore", Sets()[0], "--owner"};
        prepare = [&] {
            FreshGame(old);
            setsBefore = Sets();
        };
        check = [&, zip] { return CheckRestore(zip); };
        break;
    }
    case Work::SettingsSave:
        args = {"settings", "set", "zip", "on"};
        prepare = [&] { testenv::WriteFile(SettingsPath(), recordA); };
        check = [&] { return CheckSettings(); };
        break;
    }

    // Once to the end: how long it takes, and what a whole run leaves; and
    // how long the program takes to start and end doing nothing.
    prepare();
    const double whole = RunKilled(args, std::nullopt, true);
    const double idle = std::min(RunKilled({"settings"}, std::nullopt, true), whole);
    if (work == Work::SettingsSave) {
        recordB = testenv::ReadFile(SettingsPath());
        ASSERT_NE(recordB, recordA);
    }
    const std::string done = check();
    for (const std::string& set : Sets())
        EXPECT_FALSE(Unfinished(backupDir + set + "/")) << set;
    ASSERT_FALSE(HasFailure()) << "an uninterrupted run";
    std::ostringstream report;
    report << kWorkNames[static_cast<int>(work)] << ": " << whole << " ms to the end (" << done
           << "), " << idle << " ms doing nothing; killed at";
    // One kill while it starts, nine spread over its work.
    for (int i = 0; i < 10; ++i) {
        prepare();
        const double at = i == 0 ? idle / 2 : idle + (whole - idle) * (i - 0.5) / 9;
        const auto delay = std::chrono::microseconds(static_cast<long>(at * 1000));
        const double ran = RunKilled(args, delay, i % 2 == 0);
        report << (i ? "," : "") << " " << static_cast<int>(ran * 10) / 10.0 << " ms (" << check()
               << ")";
        ASSERT_FALSE(HasFailure()) << "killed after " << ran << " ms";
    }
    report << "; whole copies left under a temporary name: " << transients;
    std::cout << report.str() << std::endl;

    // What a kill left under a temporary name goes with the next run that
    // writes into its folder: the archiver's once a minute old (made so here).
    const std::vector<std::string> roots{gameDir, testenv::ConfigHome()};
    const timespec longAgo[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
    for (const std::string& temp : Temporaries(roots))
        ASSERT_EQ(utimensat(AT_FDCWD, temp.c_str(), longAgo, AT_SYMLINK_NOFOLLOW), 0);
    prepare();
    RunKilled(args, std::nullopt, true);
    EXPECT_EQ(Temporaries(roots), std::vector<std::string>{});
    RecordProperty("kills", report.str());
}

// Backups into a 2 MiB disk that cannot take every save file.
class FullDiskTest : public SaveTreeTest {};

TEST_F(FullDiskTest, NothingIsPartialWhatDidNotFitStaysChangedAndTheRestRestores) {
    const std::string disk = testenv::Scratch() + "/disk";
    testenv::TmpfsMount mount(disk, 2 << 20);
    if (!mount.Mounted())
        GTEST_SKIP() << "No 2 MiB file system to fill, so no full-disk backup: " << mount.Reason();
    backupDir = disk + "/";
    BackupConfig.BackupDir.Set(backupDir);
    ASSERT_TRUE(testenv::SaveSettings());
    // In this order: 1.6 MiB fit, the third does not, the fourth fits again.
    MakeFiles({{"characters/characters.lpl", 800 << 10},
               {"net/net.sav", 800 << 10},
               {"games/game01.sav", 600 << 10},
               {"games/game02.sav", 200 << 10},
               {"games/game03.sav", 400 << 10}});
    for (const bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "compressed" : "plain");
        NoSets();
        FreshGame(files);
        const testenv::Outcome backup =
            Cli({"backup", "--kinds", "all", "--desc", "crash test", zip ? "--zip" : "--plain"});
        EXPECT_EQ(backup.exitCode, 1) << backup.err;
        ASSERT_EQ(Sets().size(), 1u);
        const std::string set = Sets()[0];
        std::set<std::string> held;
        CheckSet(backupDir + set + "/", zip, held);
        EXPECT_EQ(transients, 0);
        EXPECT_EQ(held.size(), 3u);
        for (const auto& [rel, data] : files) {
            const std::string message = (zip ? "error zipping " : "error copying ") + Path(rel);
            EXPECT_EQ(Changed(Path(rel)), !held.count(rel)) << rel;
            EXPECT_EQ(backup.err.find(message) != std::string::npos, !held.count(rel))
                << backup.err;
        }

        // Restored out of the full disk: what the set holds, owner included.
        FreshGame(old);
        const testenv::Outcome restore = Cli({"restore", QString::fromStdString(set), "--owner"});
        EXPECT_EQ(restore.exitCode, 0) << restore.err;
        for (const auto& [rel, data] : files)
            EXPECT_EQ(testenv::ReadFile(Path(rel)), held.count(rel) ? Owned(data) : old[rel]);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, CrashTest,
                         testing::Values(Work::PlainBackup, Work::CompressedBackup,
                                         Work::PlainRestore, Work::CompressedRestore,
                                         Work::SettingsSave),
                         [](const auto& info) { return kWorkNames[static_cast<int>(info.param)]; });

} // namespace
