#include <QApplication>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Made before anything reads the environment, removed after the run.
struct Sandbox {
    std::string root;

    Sandbox() {
        root = makeRoot(std::filesystem::temp_directory_path().string());
        if (!keepsUserXattrs(root)) {
            // The changed-since-backup mark lives in a user extended attribute;
            // a tmpfs /tmp on older kernels drops them, so use the build folder.
            std::filesystem::remove_all(root);
            const std::string local = std::filesystem::current_path().string() + "/test-tmp";
            std::filesystem::create_directories(local);
            root = makeRoot(local);
        }
        for (const char* sub : {"home", "home/.config", "wineprefix", "scratch", "runtime"})
            std::filesystem::create_directories(root + "/" + sub);
        setenv("HOME", (root + "/home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
        // The launchers' files and the stamp store: never the user's own.
        setenv("XDG_DATA_HOME", (root + "/home/.local/share").c_str(), 1);
        setenv("XDG_STATE_HOME", (root + "/home/.local/state").c_str(), 1);
        setenv("WINEPREFIX", (root + "/wineprefix").c_str(), 1);
        // A runtime folder, as a desktop session has (Qt looks for one).
        std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
        setenv("MF_TEST_SCRATCH", (root + "/scratch").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    static std::string makeRoot(const std::string& parent) {
        std::string tmpl = parent + "/mftest-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        return tmpl;
    }

    static bool keepsUserXattrs(const std::string& dir) {
        const std::string probe = dir + "/.xattr-probe";
        if (FILE* f = std::fopen(probe.c_str(), "w"))
            std::fclose(f);
        const bool ok = setxattr(probe.c_str(), "user.mftest", "1", 1, 0) == 0;
        std::remove(probe.c_str());
        return ok;
    }

    ~Sandbox() {
        std::error_code ec;
        // Tests may leave read-only files behind; make them removable first.
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root, ec);
    }
};

} // namespace

int main(int argc, char** argv) {
    Sandbox sandbox;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
