// Measures what the unwatched backups cost, in a sandbox of their own:
//   start: the time `mfbackup-cli wrap --` adds before the game starts, from
//          the launcher's start of it to the game's first instruction, against
//          the launcher starting the game itself;
//   end:   the time from the game's end to the end of `wrap` for a typical
//          session's saves (the character list, the multiplayer game and ten
//          single-player games, 3.3 MB), against core::Backup of the same
//          saves timed by itself;
//   watch: the resident memory of `mfbackup-cli watch` while it waits, and
//          how often it woke (its context switches) over the seconds given.
//
// Usage: auto_bench [work-folder [rounds [watch-seconds]]]
// Each figure is the median of the rounds (default 20); watch-seconds
// defaults to 10. The program runs itself as the stand-in game.

#include "core/backup.h"
#include "platform/process.h"

#include "save_content.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "auto_bench: %s\n", what.c_str());
    std::exit(1);
}

// The monotonic clock in ms: one clock for every process of the machine.
double NowMs() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void Stamp(const std::string& file) {
    std::ofstream(file) << std::to_string(NowMs());
}

double ReadStamp(const std::string& file) {
    std::ifstream in(file);
    double ms = 0;
    if (!(in >> ms))
        Die("no time stamp in " + file);
    return ms;
}

// A session's saves: what the game writes when it is played for a while.
void WriteSession(const std::string& saveDir, std::uint32_t seed) {
    auto write = [](const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    };
    write(saveDir + "characters/characters.lpl", MakeContent(64 * 1024, seed));
    write(saveDir + "net/net.sav", MakeContent(512 * 1024, seed + 1));
    for (int i = 1; i <= 10; ++i)
        write(saveDir + "games/game" + std::to_string(i) + ".sav",
              MakeContent(256 * 1024, seed + 1 + static_cast<std::uint32_t>(i)));
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Their reports are not the figures.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        Die("cannot start " + args[0]);
    return pid;
}

int Run(const std::vector<std::string>& args) {
    int status = 0;
    ::waitpid(Spawn(args), &status, 0);
    return status;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One field of /proc/PID/status, in its own unit (kB, or a count).
long StatusField(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0)
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

class Quiet : public core::Reporter {
public:
    void Message(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

} // namespace

int main(int argc, char** argv) {
    // As the stand-in game: stamp the start, or write a session and stamp
    // the end.
    if (argc == 3 && std::strcmp(argv[1], "--stamp") == 0) {
        Stamp(argv[2]);
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--game") == 0) {
        WriteSession(argv[3], static_cast<std::uint32_t>(std::atoi(argv[4])));
        Stamp(argv[2]);
        return 0;
    }

    const std::string work =
        fs::absolute(argc > 1 ? argv[1] : fs::temp_directory_path() / "mfbackup-auto-bench")
            .string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int watchSeconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    fs::remove_all(work);
    const std::string home = work + "/home";
    const std::string gameDir = work + "/pfx/drive_c/Program Files/Corvanta Software/Moonforge/";
    const std::string saveDir = gameDir + "save/";
    const std::string backupDir = home + "/Moonforge Backup/";
    for (const std::string& dir : {saveDir + "characters", saveDir + "net", saveDir + "games",
                                   backupDir, home + "/.config", work + "/run"})
        fs::create_directories(dir);
    fs::permissions(work + "/run", fs::perms::owner_all);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/.local/state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (work + "/run").c_str(), 1);
    ::setenv("WINEPREFIX", (work + "/pfx").c_str(), 1);
    // A notification is started and not waited for; with no bus it fails
    // unheard.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);

    const std::string self = platform::ModuleDirectory() + "auto_bench";
    const std::string cli = platform::ModuleDirectory() + "mfbackup-cli";
    const std::string stamp = work + "/stamp";
    if (Run({cli, "settings", "set", "game-dir", gameDir}) != 0 ||
        Run({cli, "settings", "set", "backup-dir", backupDir}) != 0)
        Die("cannot write the settings");
    WriteSession(saveDir, 1);
    Run({cli, "backup", "--kinds", "all", "--desc", "first"}); // every save clean

    // start: from the launcher's spawn to the game's first instruction.
    std::vector<double> direct, wrapped;
    for (int r = 0; r < rounds; ++r) {
        double t0 = NowMs();
        Run({self, "--stamp", stamp});
        direct.push_back(ReadStamp(stamp) - t0);
        t0 = NowMs();
        Run({cli, "wrap", "--", self, "--stamp", stamp});
        wrapped.push_back(ReadStamp(stamp) - t0);
    }
    std::printf("start  game alone %.2f ms, through wrap %.2f ms: wrap adds %.2f ms\n",
                Median(direct), Median(wrapped), Median(wrapped) - Median(direct));

    // end: from the game's end to wrap's end, against the backup alone.
    core::BackupChoices choices;
    choices.GameDir = gameDir;
    choices.BackupDir = backupDir;
    choices.Kinds = {true, true, true};
    choices.Description = "alone";
    std::vector<double> after, alone;
    for (int r = 0; r < rounds; ++r) {
        const auto seed = static_cast<std::uint32_t>(100 + 20 * r);
        Run({cli, "wrap", "--", self, "--game", stamp, saveDir, std::to_string(seed)});
        after.push_back(NowMs() - ReadStamp(stamp));
        WriteSession(saveDir, seed + 10);
        Quiet quiet;
        const double t0 = NowMs();
        if (core::Backup(choices, quiet).Done != 12)
            Die("the backup alone did not take the 12 saves");
        alone.push_back(NowMs() - t0);
    }
    std::printf("end    game's end to wrap's end %.2f ms, the backup alone %.2f ms: wrap adds "
                "%.2f ms\n",
                Median(after), Median(alone), Median(after) - Median(alone));

    // watch: memory and wakeups while nothing is written.
    const pid_t watch = Spawn({cli, "watch"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long switches = StatusField(watch, "voluntary_ctxt_switches") +
                          StatusField(watch, "nonvoluntary_ctxt_switches");
    std::this_thread::sleep_for(std::chrono::seconds(watchSeconds));
    const long woke = StatusField(watch, "voluntary_ctxt_switches") +
                      StatusField(watch, "nonvoluntary_ctxt_switches") - switches;
    std::printf("watch  VmRSS %ld kB (RssAnon %ld kB, RssFile %ld kB), %ld wakeups in %d s\n",
                StatusField(watch, "VmRSS"), StatusField(watch, "RssAnon"),
                StatusField(watch, "RssFile"), woke, watchSeconds);
    ::kill(watch, SIGTERM);
    ::waitpid(watch, nullptr, 0);

    std::printf("rounds %d; each line's figures are medians\n", rounds);
    fs::remove_all(work);
    return 0;
}
