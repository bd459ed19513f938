// Any bytes as ARCHIVE.zip, extracted as pkzip.exe -extract -overwrite does
// into an empty folder of its own: afterwards it holds exactly the entries'
// files, as plain files, or nothing at all; nothing appears beside it and no
// temporary file is left.

#include "commands.h"
#include "files.h"
#include "fuzz_check.h"
#include "zip.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The names in `dir`, without "." and "..".
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

// A work folder made once: on a RAM file system when there is one, since
// every extracted file is flushed. Removed at exit (it outlives the statics).
const std::string& WorkFolder() {
    static const std::string* folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp ? tmp : "/tmp";
        auto* path = new std::string(base + "/mf-fuzz-extract-XXXXXX");
        FUZZ_CHECK(mkdtemp(path->data()) != nullptr);
        FUZZ_CHECK(mkdir((*path + "/out").c_str(), 0755) == 0);
        std::atexit([] {
            unlink((WorkFolder() + "/input.zip").c_str());
            rmdir((WorkFolder() + "/out").c_str());
            rmdir(WorkFolder().c_str());
        });
        return path;
    }();
    return *folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& work = WorkFolder();
    const std::string out = work + "/out";
    const int fd =
        open((work + "/input.zip").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);

    char cwd[4096];
    FUZZ_CHECK(getcwd(cwd, sizeof cwd) != nullptr);
    FUZZ_CHECK(chdir(out.c_str()) == 0);
    bool extracted = true;
    try {
        archiver::Extract(work + "/input");
    } catch (const archiver::Failure&) {
        extracted = false;
    }
    FUZZ_CHECK(chdir(cwd) == 0);

    // All or nothing: the entries' files, or no file at all.
    FUZZ_CHECK(Names(work).size() == 2); // input.zip and out
    std::vector<std::string> names = Names(out), expected;
    if (extracted) {
        const archiver::MemorySource source(
            std::string_view(reinterpret_cast<const char*>(data), size));
        for (const archiver::ZipEntry& e : archiver::ParseZip(source, 1000).Entries)
            expected.push_back(e.Name);
    }
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    FUZZ_CHECK(names == expected);
    for (const std::string& name : names) {
        struct stat st;
        FUZZ_CHECK(lstat((out + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode));
        FUZZ_CHECK(unlink((out + "/" + name).c_str()) == 0);
    }
    return 0;
}
