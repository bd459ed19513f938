// Runs the backup and the set list the way the dialogs do (showing the
// dialog, pressing OK) and compares them with the system's own tools, in the
// same run:
//   plain backup of 1,000 files of 64 KiB   vs  `cp -p -r` of the save folder, then `sync`
//   compressed backup of 200 files of 256 KiB  vs  Info-ZIP `zip` started once per file
//   restore list of 2,000 sets (figure only)
//
// Usage: operations_bench [work-folder] [rounds]
// The work folder (default: $TMPDIR or /tmp) gets a temporary subfolder of
// about 250 MiB, removed at the end. Each figure is the median of the rounds
// (default 3); written data is synced before each timing.

#include "config/backup_config.h"
#include "operations/backup_dialog.h"
#include "operations/restore_dialog.h"
#include "platform/attributes.h"
#include "platform/process.h"
#include "storage/archiver_call.h"
#include "ui/info_window.h"
#include "ui/message_box.h"

#include "save_content.h"

#include <QApplication>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

double Seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The save tree: characters.lpl, net.sav and game files up to `count`.
std::vector<std::string> MakeGameTree(const std::string& gameDir, int count, std::size_t bytes) {
    std::vector<std::string> files = {gameDir + "save/characters/characters.lpl",
                                      gameDir + "save/net/net.sav"};
    for (int i = 0; static_cast<int>(files.size()) < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "game%04d.sav", i + 1);
        files.push_back(gameDir + "save/games/" + name);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        fs::create_directories(fs::path(files[i]).parent_path());
        std::ofstream(files[i], std::ios::binary)
            << MakeContent(bytes, static_cast<std::uint32_t>(i));
    }
    return files;
}

// Every source changed again, everything on disk. Nothing is deleted until
// the end: ext4 makes new files slow to allocate while many were just deleted,
// which would only measure the order of the steps.
void PrepareBackup(const std::vector<std::string>& files) {
    for (const std::string& f : files)
        platform::SetFileAttributes(f, platform::faArchive);
    Run("sync");
}

// Shows the Backup dialog and presses OK, as the user does.
void BackupAsTheDialogDoes() {
    fmBackup->show();
    fmBackup->Button1->click();
    if (fmBackup->isVisible())
        ++failures;
}

// The files of the newest set.
std::size_t NewestSetFiles(const std::string& backupDir) {
    fs::path newest;
    for (const auto& set : fs::directory_iterator(backupDir))
        if (newest.empty() || set.last_write_time() > fs::last_write_time(newest))
            newest = set.path();
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(newest))
        n += e.is_regular_file() ? 1 : 0;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string work = argc > 1 ? argv[1] : fs::temp_directory_path().string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (platform::SearchProgram(ArchiverName).empty() || platform::SearchProgram("zip").empty()) {
        std::fprintf(stderr, "needs %s beside this program and Info-ZIP zip on PATH\n",
                     ArchiverName);
        return 2;
    }
    std::string root = work + "/mfopsbench-XXXXXX";
    if (!mkdtemp(root.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    root += "/";
    const std::string gameDir = root + "Moonforge/";
    const std::string gameDir2 = root + "Moonforge 2/";
    const std::string backupDir = root + "Moonforge Backup/";
    const std::string other = root + "other/";

    ui::SetMessageHandler([](const ui::Message& m) {
        std::fprintf(stderr, "message: %s\n", m.text.toUtf8().constData());
        ++failures;
    });
    BackupConfig.GameDir.Set(gameDir);
    BackupConfig.BackupDir.Set(backupDir);
    fs::create_directories(backupDir);
    BackupConfig.Characters = BackupConfig.Multiplayer = BackupConfig.SinglePlayer = 1;
    BackupConfig.OwnerOnRestore = 0;
    fmInfo = new TfmInfo;
    fmBackup = new TfmBackup;
    fmRestore = new TfmRestore;

    // Plain backup against cp -p -r and sync.
    {
        BackupConfig.ZipBackups = 0;
        const auto files = MakeGameTree(gameDir, 1000, 64 * 1024);
        std::vector<double> ours, theirs;
        for (int r = 0; r < rounds; ++r) {
            PrepareBackup(files);
            ours.push_back(Seconds(BackupAsTheDialogDoes));
            if (NewestSetFiles(backupDir) != files.size())
                ++failures;
            const std::string target = other + "plain" + std::to_string(r);
            fs::create_directories(other);
            Run("sync");
            theirs.push_back(Seconds([&] {
                Run("cp -p -r \"" + gameDir + "save\" \"" + target + "\"");
                Run("sync");
            }));
        }
        const double a = Median(ours), b = Median(theirs);
        std::printf("plain backup, 1000 x 64 KiB:     %.3f s   cp -p -r + sync %.3f s   ratio %.2f"
                    " (target <= 1.30)\n",
                    a, b, a / b);
    }

    // Compressed backup against zip once per file.
    {
        BackupConfig.ZipBackups = 1;
        BackupConfig.GameDir.Set(gameDir2);
        const auto files = MakeGameTree(gameDir2, 200, 256 * 1024);
        std::vector<double> ours, theirs;
        for (int r = 0; r < rounds; ++r) {
            PrepareBackup(files);
            ours.push_back(Seconds(BackupAsTheDialogDoes));
            if (NewestSetFiles(backupDir) != files.size())
                ++failures;
            const std::string target = other + "zip" + std::to_string(r) + "/";
            fs::create_directories(target);
            Run("sync");
            theirs.push_back(Seconds([&] {
                for (const std::string& f : files) {
                    const std::string name = fs::path(f).filename().string();
                    Run("zip -q -j \"" + target + name.substr(0, name.find('.')) + ".zip\" \"" + f +
                        "\"");
                }
            }));
        }
        const double a = Median(ours), b = Median(theirs);
        std::printf("compressed backup, 200 x 256 KiB: %.3f s   zip per file %.3f s   ratio %.2f"
                    " (target <= 1.50)\n",
                    a, b, a / b);
    }

    // The restore list of 2,000 sets, as showing the dialog builds it.
    {
        BackupConfig.BackupDir.Set(root + "Many sets/");
        const std::string backupDir = root + "Many sets/";
        for (int i = 0; i < 2000; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "MFB%X", i + 1);
            fs::create_directories(backupDir + name);
            std::ofstream(backupDir + name + "/desc.txt", std::ios::binary)
                << "Set number " << i + 1 << "\r\n";
        }
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) {
            times.push_back(Seconds([] { fmRestore->show(); }));
            if (fmRestore->SetList.size() != 2000)
                ++failures;
            fmRestore->hide();
        }
        std::printf("restore list, 2000 sets:          %.3f s\n", Median(times));
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
