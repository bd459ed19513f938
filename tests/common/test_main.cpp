#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

// Made before anything reads the environment, removed after the run.
struct Sandbox {
    std::string root;

    Sandbox() {
        std::string tmpl = std::filesystem::temp_directory_path().string() + "/mftest-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        root = tmpl;
        for (const char* sub : {"home", "home/.config", "wineprefix", "scratch"})
            std::filesystem::create_directories(root + "/" + sub);
        setenv("HOME", (root + "/home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
        setenv("WINEPREFIX", (root + "/wineprefix").c_str(), 1);
        setenv("MF_TEST_SCRATCH", (root + "/scratch").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
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
