// Compresses N files (default 200 of 256 KiB) one archive each through
// RunArchiver and the project's pkzip.exe, and the same files with Info-ZIP's
// `zip -q -j` started once per file through the same launcher, in one run.
//
//   storage_bench [files [KiB [rounds]]]
//
// Prints the wall time of each round and the ratio of the best rounds.

#include "launcher/app_exec.h"
#include "launcher/archiver_call.h"
#include "platform/process.h"

#include "save_content.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

int failures = 0;

double RunPkzip(const std::vector<std::string>& names, const std::string& srcDir,
                const std::string& outDir) {
    const auto start = Clock::now();
    for (const std::string& name : names) {
        const std::string stem = name.substr(0, name.find('.'));
        std::string why;
        if (!RunArchiver(ArchiverName, CompressParams(outDir + stem, name), srcDir, why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            ++failures;
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double RunZip(const std::vector<std::string>& names, const std::string& srcDir,
              const std::string& outDir) {
    const auto start = Clock::now();
    for (const std::string& name : names) {
        const std::string stem = name.substr(0, name.find('.'));
        TAppExec exec;
        exec.ExeName = "zip";
        exec.Wait = true;
        exec.ExeParams = {"-q", "-j", "\"" + outDir + stem + ".zip\"", "\"" + srcDir + name + "\""};
        try {
            exec.Execute();
            if (exec.ExitSignaled() || exec.ExitCode() != 0)
                ++failures;
        } catch (const EAppExec& e) {
            std::fprintf(stderr, "zip: %s\n", e.what());
            ++failures;
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uintmax_t FolderBytes(const std::string& dir) {
    std::uintmax_t total = 0;
    for (const auto& e : fs::directory_iterator(dir))
        total += e.file_size();
    return total;
}

void Refill(const std::string& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int kib = argc > 2 ? std::atoi(argv[2]) : 256;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (count <= 0 || kib <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: storage_bench [files [KiB [rounds]]]\n");
        return 2;
    }

    const std::string pkzip = platform::SearchProgram(ArchiverName);
    const std::string zip = platform::SearchProgram("zip");
    if (pkzip.empty() || zip.empty()) {
        std::fprintf(stderr, "needs %s beside this program and Info-ZIP zip on PATH\n",
                     ArchiverName);
        return 2;
    }

    std::string root = (fs::temp_directory_path() / "mfbench-XXXXXX").string();
    if (!mkdtemp(root.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string srcDir = root + "/save/games/";
    const std::string pkDir = root + "/Moonforge Backup/MFB1/";
    const std::string zipDir = root + "/zip/";
    fs::create_directories(srcDir);

    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back("game" + std::to_string(i + 1) + ".sav");
        std::ofstream(srcDir + names.back(), std::ios::binary)
            << MakeContent(static_cast<std::size_t>(kib) * 1024, static_cast<std::uint32_t>(i));
    }

    std::printf("%d files of %d KiB, %d rounds\npkzip.exe: %s\nzip:       %s\n", count, kib, rounds,
                pkzip.c_str(), zip.c_str());
    double bestPk = 1e99, bestZip = 1e99;
    for (int r = 0; r < rounds; ++r) {
        // Alternate the order so neither side always runs on a warmer cache.
        double pk, zp;
        if (r % 2 == 0) {
            Refill(pkDir), pk = RunPkzip(names, srcDir, pkDir);
            Refill(zipDir), zp = RunZip(names, srcDir, zipDir);
        } else {
            Refill(zipDir), zp = RunZip(names, srcDir, zipDir);
            Refill(pkDir), pk = RunPkzip(names, srcDir, pkDir);
        }
        std::printf("round %d: RunArchiver+pkzip.exe %.3f s (%.2f ms/file), zip -q -j %.3f s "
                    "(%.2f ms/file), ratio %.2f\n",
                    r + 1, pk, pk * 1000 / count, zp, zp * 1000 / count, pk / zp);
        bestPk = std::min(bestPk, pk);
        bestZip = std::min(bestZip, zp);
    }
    std::printf("best: pkzip.exe %.3f s, zip %.3f s, ratio %.2f (target <= 1.50)\n", bestPk,
                bestZip, bestPk / bestZip);
    std::printf("archive bytes: pkzip.exe %ju, zip %ju (input %ju)\n", FolderBytes(pkDir),
                FolderBytes(zipDir), static_cast<std::uintmax_t>(count) * kib * 1024);

    fs::remove_all(root);
    if (failures) {
        std::printf("%d runs failed\n", failures);
        return 1;
    }
    return 0;
}
