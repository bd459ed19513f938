// Times the backup and the restore through the program's own dialogs (shown
// offscreen, OK pressed, timed from the press until the dialog has closed)
// against the system's tools doing the same work, in the same run:
//
//   plain backup, 1,000 files of 64 KiB      cp -p -r of the save folder, then sync -f on the copy
//   compressed backup, 200 files of 256 KiB  Info-ZIP `zip -q -j`, started once per file
//   plain restore of that set                cp -p of the set's files into the game's folders
//   compressed restore of that set           `unzip -q -o`, started once per archive
//   both restores keeping the current saves  the same, after the system's tools made what the
//     first (a safety set)                     safety set holds: cp -p -r of the save folder,
//                                              or zip -q -j per file for a compressed set, then
//                                              sync -f on it (the safety set is flushed too)
//   restore list of 2,000 sets               (a figure only)
//
// Each round writes the save files afresh and syncs before each side is
// timed; the two sides take turns at going first. Owner update is off. The
// figures are the medians of the rounds, and their ratio, program over
// reference.
//
// Usage: operations_bench [work-folder [rounds [case...]]]
// The work folder (default: $TMPDIR or /tmp) gets a temporary subfolder of
// about 1 GiB, removed at the end. Rounds default to 5. Cases: plain, zip,
// restore, unzip, safety, unzip-safety, list (default: all); a restore case
// runs its backup first, untimed, for the set to restore.

#include "gui/operations/backup_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/widgets/info_window.h"
#include "gui/widgets/message_box.h"
#include "launcher/archiver_call.h"
#include "platform/process.h"
#include "settings/backup_config.h"

#include "save_content.h"

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

int failures = 0;

void Run(const std::string& commandLine) {
    platform::Process p;
    if (!p.Start(commandLine) || !p.Wait() || p.Status().Signaled || p.Status().Code != 0) {
        std::fprintf(stderr, "failed: %s\n", commandLine.c_str());
        ++failures;
    }
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

double Seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Takes a file's pages out of the page cache (once they are on disk).
void DropFromCache(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

// A save tree: characters.lpl, net.sav and game files up to `count` files.
struct GameTree {
    std::string Dir; // the game folder, ending in '/'
    std::vector<std::string> Files;
    std::size_t Bytes = 0;

    GameTree(std::string dir, int count, std::size_t bytes) : Dir(std::move(dir)), Bytes(bytes) {
        Files = {Dir + "save/characters/characters.lpl", Dir + "save/net/net.sav"};
        for (int i = 0; static_cast<int>(Files.size()) < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "game%04d.sav", i + 1);
            Files.push_back(Dir + "save/games/" + name);
        }
        for (const char* sub : {"save/characters", "save/net", "save/games"})
            fs::create_directories(Dir + sub);
    }

    // Every file written afresh (new content: changed for the backup), then
    // everything synced, so that no side pays for flushing the other's data.
    // What earlier rounds wrote leaves the page cache first: each round then
    // writes into memory the kernel gave back, as the first did, instead of
    // ever more (which a virtual machine may hand out ever more slowly).
    void WriteAfresh(const std::string& root) {
        Run("sync");
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file())
                DropFromCache(e.path());
        ++generation_;
        for (std::size_t i = 0; i < Files.size(); ++i)
            std::ofstream(Files[i], std::ios::binary | std::ios::trunc)
                << MakeContent(Bytes, static_cast<std::uint32_t>(i * 7919 + generation_));
        Run("sync");
    }

private:
    std::uint32_t generation_ = 0;
};

// The sets of the backup folder.
std::set<std::string> Sets(const std::string& backupDir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(backupDir))
        if (e.is_directory())
            names.insert(e.path().filename().string());
    return names;
}

// The set that is in the backup folder now and was not in `before` (one).
std::string NewSet(const std::string& backupDir, const std::set<std::string>& before) {
    std::string added;
    for (const std::string& name : Sets(backupDir))
        if (!before.count(name)) {
            if (!added.empty())
                ++failures;
            added = name;
        }
    if (added.empty())
        ++failures;
    return added;
}

// The save files a set holds: its visible files but desc.txt.
std::size_t SetFiles(const std::string& setFolder) {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(setFolder)) {
        const std::string name = e.path().filename().string();
        n += e.is_regular_file() && name[0] != '.' && name != "desc.txt" ? 1 : 0;
    }
    return n;
}

// Shows the Backup dialog, then presses OK, as the user does: timed from the
// press until the dialog has closed.
double BackupAsTheDialogDoes() {
    fmBackup->show();
    const double s = Seconds([] { fmBackup->Button1->click(); });
    if (fmBackup->isVisible())
        ++failures;
    return s;
}

// Shows the Restore dialog, ticks `setName`, sets the safety box, presses
// OK: timed from the press until the dialog has closed.
double RestoreAsTheDialogDoes(const std::string& setName, bool safety) {
    fmRestore->show();
    fmRestore->ckOwner->setChecked(false);
    fmRestore->ckSafety->setChecked(safety);
    bool ticked = false;
    for (std::size_t row = 0; row < fmRestore->SetList.size(); ++row)
        if (fmRestore->SetList[row].Object->SetName() == setName) {
            fmRestore->ckRestore->item(static_cast<int>(row))->setCheckState(Qt::Checked);
            ticked = true;
        }
    if (!ticked || !fmRestore->Button1->isEnabled()) {
        std::fprintf(stderr, "set %s can't be restored\n", setName.c_str());
        ++failures;
        fmRestore->hide();
        return 0;
    }
    const double s = Seconds([] { fmRestore->Button1->click(); });
    if (fmRestore->isVisible())
        ++failures;
    return s;
}

struct Figures {
    std::vector<double> Ours, Theirs;
};

// `rounds` rounds of the two sides, taking turns at going first; each side
// gets a freshly written and synced tree.
Figures Rounds(int rounds, const std::string& root, GameTree& tree,
               const std::function<double(int)>& ours, const std::function<double(int)>& theirs) {
    Figures f;
    for (int r = 0; r < rounds; ++r) {
        for (int side = 0; side < 2; ++side) {
            tree.WriteAfresh(root);
            if ((side == 0) == (r % 2 == 0))
                f.Ours.push_back(ours(r));
            else
                f.Theirs.push_back(theirs(r));
        }
    }
    return f;
}

void Report(const char* what, const char* reference, const Figures& f, double target) {
    const double a = Median(f.Ours), b = Median(f.Theirs);
    std::printf("%-34s %7.3f s   %-36s %7.3f s   ratio %.2f (target <= %.2f)\n", what, a, reference,
                b, a / b, target);
    // Each round too: a median hides whether the rounds agree.
    for (const auto* side : {&f.Ours, &f.Theirs}) {
        std::printf("  %s", side == &f.Ours ? "program:  " : "reference:");
        for (const double t : *side)
            std::printf(" %.3f", t);
        std::printf("\n");
    }
    std::fflush(stdout);
}

// Info-ZIP's zip started once per file, each into its own archive in `target`.
void ZipEach(const GameTree& tree, const std::string& target) {
    for (const std::string& f : tree.Files) {
        const std::string name = fs::path(f).filename().string();
        Run("zip -q -j " + Quoted(target + name.substr(0, name.find('.'))) + " " + Quoted(f));
    }
}

// Copies the set's files into the game's folders as `cp -p` does, one cp per
// folder.
void CopySetWithCp(const std::string& setFolder, const GameTree& tree) {
    Run("sh -c \"cp -p '" + setFolder + "characters.lpl' '" + tree.Dir +
        "save/characters/' && cp -p '" + setFolder + "net.sav' '" + tree.Dir +
        "save/net/' && cp -p '" + setFolder + "'game*.sav '" + tree.Dir + "save/games/'\"");
}

// Extracts each archive of the set into its game folder with `unzip -o`.
void UnzipSet(const std::string& setFolder, const GameTree& tree) {
    for (const std::string& file : tree.Files) {
        const std::string name = fs::path(file).filename().string();
        const std::string archive = setFolder + name.substr(0, name.find('.')) + ".zip";
        Run("unzip -q -o " + Quoted(archive) + " -d " + Quoted(fs::path(file).parent_path()));
    }
}

// What the safety set does, done by the system's tools: the save files
// copied (or each compressed, as the set is with `zip`) and flushed.
void KeepWithTools(const GameTree& tree, const std::string& target, bool zip) {
    if (!zip) {
        Run("cp -p -r " + Quoted(tree.Dir + "save") + " " + Quoted(target));
    } else {
        fs::create_directories(target);
        ZipEach(tree, target + "/");
    }
    Run("sync -f " + Quoted(target));
}

bool Wanted(const std::vector<std::string>& cases, const char* name) {
    return cases.empty() || std::find(cases.begin(), cases.end(), name) != cases.end();
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);
    const std::string work = argc > 1 ? argv[1] : fs::temp_directory_path().string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::vector<std::string> cases(argv + std::min(argc, 3), argv + argc);
    for (const char* tool : {ArchiverName, "zip", "unzip", "cp", "sync"})
        if (platform::SearchProgram(tool).empty()) {
            std::fprintf(stderr, "needs %s beside this program or on PATH\n", tool);
            return 2;
        }
    std::string root = work + "/mfopsbench-XXXXXX";
    if (!mkdtemp(root.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    root += "/";
    const std::string backupDir = root + "Moonforge Backup/";
    const std::string other = root + "other/";
    fs::create_directories(backupDir);
    fs::create_directories(other);

    ui::SetMessageHandler([](const ui::Message& m) {
        std::fprintf(stderr, "message: %s\n", m.text.toUtf8().constData());
        ++failures;
    });
    BackupConfig.BackupDir.Set(backupDir);
    BackupConfig.Characters = BackupConfig.Multiplayer = BackupConfig.SinglePlayer = 1;
    BackupConfig.OwnerOnRestore = 0;
    fmInfo = new TfmInfo;
    fmBackup = new TfmBackup;
    fmRestore = new TfmRestore;
    std::printf("medians of %d rounds, program (dialog, OK pressed until closed) vs reference\n",
                rounds);

    // One tree and one case per kind of set; each restore restores the set
    // the last backup of its kind made.
    for (const bool zip : {false, true}) {
        const char* backupCase = zip ? "zip" : "plain";
        const char* restoreCase = zip ? "unzip" : "restore";
        const char* safetyCase = zip ? "unzip-safety" : "safety";
        if (!Wanted(cases, backupCase) && !Wanted(cases, restoreCase) && !Wanted(cases, safetyCase))
            continue;
        BackupConfig.ZipBackups = zip ? 1 : 0;
        GameTree tree(root + (zip ? "Moonforge zip/" : "Moonforge/"), zip ? 200 : 1000,
                      (zip ? 256 : 64) * 1024);
        BackupConfig.GameDir.Set(tree.Dir);
        std::string setName;
        auto backup = [&](int) {
            const auto before = Sets(backupDir);
            const double s = BackupAsTheDialogDoes();
            setName = NewSet(backupDir, before);
            if (SetFiles(backupDir + setName) != tree.Files.size())
                ++failures;
            return s;
        };
        if (Wanted(cases, backupCase)) {
            const Figures f = Rounds(rounds, root, tree, backup, [&](int r) {
                const std::string target = other + backupCase + std::to_string(r) + "/";
                fs::create_directories(target);
                return Seconds([&] {
                    if (!zip) {
                        Run("cp -p -r " + Quoted(tree.Dir + "save") + " " + Quoted(target));
                        Run("sync -f " + Quoted(target));
                        return;
                    }
                    ZipEach(tree, target);
                });
            });
            Report(zip ? "compressed backup, 200 x 256 KiB" : "plain backup, 1000 x 64 KiB",
                   zip ? "zip -q -j per file" : "cp -p -r + sync -f", f, zip ? 0.7 : 1.1);
        } else {
            tree.WriteAfresh(root);
            backup(0);
        }
        const std::string setFolder = backupDir + setName + "/";
        for (const bool safety : {false, true}) {
            if (!Wanted(cases, safety ? safetyCase : restoreCase))
                continue;
            const Figures f = Rounds(
                rounds, root, tree, [&](int) { return RestoreAsTheDialogDoes(setName, safety); },
                [&](int r) {
                    const std::string kept = other + safetyCase + std::to_string(r);
                    return Seconds([&] {
                        if (safety)
                            KeepWithTools(tree, kept, zip);
                        if (zip)
                            UnzipSet(setFolder, tree);
                        else
                            CopySetWithCp(setFolder, tree);
                    });
                });
            const std::string what = std::string(zip ? "compressed" : "plain") + " restore" +
                                     (safety ? ", safety set" : "");
            const std::string reference =
                std::string(safety ? (zip ? "zip + sync, " : "cp -r + sync, ") : "") +
                (zip ? "unzip -o per archive" : "cp -p of the files");
            Report(what.c_str(), reference.c_str(), f, 1.1);
        }
    }

    // The restore list of 2,000 sets, as showing the dialog builds it.
    if (Wanted(cases, "list")) {
        const std::string many = root + "Many sets/";
        BackupConfig.BackupDir.Set(many);
        for (int i = 0; i < 2000; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "MFB%X", i + 1);
            fs::create_directories(many + name);
            std::ofstream(many + name + "/desc.txt", std::ios::binary)
                << "Set number " << i + 1 << "\r\n";
        }
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) {
            times.push_back(Seconds([] { fmRestore->show(); }));
            if (fmRestore->SetList.size() != 2000)
                ++failures;
            fmRestore->hide();
        }
        std::printf("%-34s %7.3f s\n", "restore list, 2000 sets", Median(times));
    }

    delete fmInfo; // before the dialogs it may have been shown over
    fmInfo = nullptr;
    delete fmRestore;
    delete fmBackup;
    fs::remove_all(root);
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    return 0;
}
