// Measures the platform layer against the system's own tools:
//   CopyFile of 1,000 files of 64 KiB and of 20 files of 16 MiB, against
//   `cp -p` of the same files in the same run (one cp for all the files);
//   a directory search (FindFirst/FindNext, every attribute) of 5,000 entries.
//
// Usage: platform_bench [work-folder] [rounds]
// The work folder (default: $TMPDIR or /tmp) gets a temporary subfolder of
// up to about 2 GiB with 5 rounds, removed at the end. Each figure is the median of the rounds
// (default 5); caches are warm and written data is synced before each timing.
// The ratio is of the median wall times; the CPU time (user + system) of each
// side is printed too, as it is steadier on a busy machine.

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "platform_bench: %s (error %u: %s)\n", what.c_str(),
                 platform::GetLastError(),
                 platform::SysErrorMessage(platform::GetLastError()).c_str());
    std::exit(1);
}

void Run(const std::string& commandLine) {
    platform::Process p;
    if (!p.Start(commandLine) || !p.Wait() || p.Status().Signaled || p.Status().Code != 0)
        Die("failed: " + commandLine.substr(0, 200));
}

void WriteRandomFile(const std::string& path, std::size_t size, std::mt19937_64& rng) {
    std::vector<std::uint64_t> data((size + 7) / 8);
    for (auto& word : data)
        word = rng();
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, data.data(), size) != static_cast<ssize_t>(size) || ::close(fd) != 0)
        Die("cannot write " + path);
}

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// User and system time of this process or of its waited-for children.
double CpuMs(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Set {
    const char* label;
    int count;
    std::size_t size;
    std::vector<std::string> names;
};

} // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::string root = base + "/mfbench-XXXXXX";
    if (!::mkdtemp(root.data()))
        Die("cannot create a folder in " + base);

    std::mt19937_64 rng(42);
    Set sets[] = {{"1000 x 64 KiB", 1000, 64 * 1024, {}}, {"20 x 16 MiB", 20, 16u << 20, {}}};
    int setIndex = 0;
    for (Set& set : sets) {
        const std::string src = root + "/src" + std::to_string(setIndex++);
        if (!platform::CreateDirectory(src))
            Die("cannot create " + src);
        for (int i = 0; i < set.count; ++i) {
            set.names.push_back(src + "/save" + std::to_string(i) + ".sav");
            WriteRandomFile(set.names.back(), set.size, rng);
        }
    }

    std::printf("platform_bench in %s, median of %d rounds\n", root.c_str(), rounds);
    bool withinTarget = true;
    for (const Set& set : sets) {
        std::vector<double> ours, theirs, oursCpu, theirsCpu;
        for (int round = 0; round < rounds; ++round) {
            // Fresh folders each round. Small files stay until the set is done:
            // files deleted a moment ago make ext4 look harder for free inodes,
            // which would blur the figures of whoever comes next.
            const std::string suffix = std::to_string(round);
            const std::string a = root + "/copyfile" + suffix, b = root + "/cp" + suffix;
            if (set.size >= (1u << 20) && round > 0) {
                const std::string prev = std::to_string(round - 1);
                Run("rm -rf " + Quote(root + "/copyfile" + prev) + " " +
                    Quote(root + "/cp" + prev));
            }
            if (!platform::CreateDirectory(a) || !platform::CreateDirectory(b))
                Die("cannot create the target folders");
            ::sync();

            // Alternate which goes first so neither always meets the other's write-back.
            auto timeCopyFile = [&] {
                const double cpu = CpuMs(RUSAGE_SELF);
                const auto start = Clock::now();
                for (const std::string& name : set.names)
                    if (!platform::CopyFile(name, a + "/" + name.substr(name.rfind('/') + 1),
                                            false))
                        Die("CopyFile " + name);
                ours.push_back(Ms(Clock::now() - start));
                oursCpu.push_back(CpuMs(RUSAGE_SELF) - cpu);
            };
            auto timeCp = [&] {
                std::string command = "cp -p --";
                for (const std::string& name : set.names)
                    command += " " + Quote(name);
                command += " " + Quote(b + "/");
                const double cpu = CpuMs(RUSAGE_CHILDREN);
                const auto start = Clock::now();
                Run(command);
                theirs.push_back(Ms(Clock::now() - start));
                theirsCpu.push_back(CpuMs(RUSAGE_CHILDREN) - cpu);
            };
            if (round % 2 == 0) {
                timeCopyFile();
                ::sync();
                timeCp();
            } else {
                timeCp();
                ::sync();
                timeCopyFile();
            }
        }
        std::string cleanUp = "rm -rf";
        for (int round = 0; round < rounds; ++round)
            cleanUp += " " + Quote(root + "/copyfile" + std::to_string(round)) + " " +
                       Quote(root + "/cp" + std::to_string(round));
        Run(cleanUp);
        const double ratio = Median(ours) / Median(theirs);
        withinTarget = withinTarget && ratio <= 1.3;
        std::printf("CopyFile %-14s %8.1f ms   cp -p %8.1f ms   ratio %.2f   (CPU %.0f / %.0f ms, "
                    "ratio %.2f)\n",
                    set.label, Median(ours), Median(theirs), ratio, Median(oursCpu),
                    Median(theirsCpu), Median(oursCpu) / Median(theirsCpu));
    }

    // A folder of 5,000 entries: files, a few folders, half of the files clean.
    const std::string many = root + "/many";
    if (!platform::CreateDirectory(many))
        Die("cannot create " + many);
    for (int i = 0; i < 5000; ++i) {
        const std::string name = many + "/Entry" + std::to_string(i) + (i % 100 == 0 ? "" : ".sav");
        if (i % 100 == 0) {
            if (!platform::CreateDirectory(name))
                Die("cannot create " + name);
        } else {
            WriteRandomFile(name, 100, rng);
            if (i % 2 == 0 && !platform::SetFileAttributes(name, 0))
                Die("cannot clear the archive bit of " + name);
        }
    }
    std::vector<double> searches;
    std::size_t found = 0;
    for (int round = 0; round < rounds; ++round) {
        found = 0;
        const auto start = Clock::now();
        platform::FileSearch search;
        for (bool ok = search.FindFirst(many + "/*.*", platform::faAnyFile); ok;
             ok = search.FindNext())
            ++found;
        searches.push_back(Ms(Clock::now() - start));
    }
    std::printf("Search of %d entries (%zu found with . and ..) %9.1f ms\n", 5000, found,
                Median(searches));

    Run("rm -rf " + Quote(root));
    std::printf("CopyFile within 1.3 x cp -p: %s\n", withinTarget ? "yes" : "NO");
    return 0;
}
