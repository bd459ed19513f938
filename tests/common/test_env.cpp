#include "test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testenv {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

const std::string& Home() {
    static const std::string v = env("HOME");
    return v;
}
const std::string& ConfigHome() {
    static const std::string v = env("XDG_CONFIG_HOME");
    return v;
}
const std::string& WinePrefix() {
    static const std::string v = env("WINEPREFIX");
    return v;
}
const std::string& Scratch() {
    static const std::string v = env("MF_TEST_SCRATCH");
    return v;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void Rewrite(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

namespace {

// Why the test process can't have a mount namespace of its own ("" when it
// has one): made once, its mounts leave with the process.
std::string OwnMountNamespace() {
    if (::geteuid() != 0)
        return "mounting needs root";
    static const int unshared = [] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return errno;
        return 0;
    }();
    return unshared == 0 ? std::string()
                         : std::string("no mount namespace of our own: ") + std::strerror(unshared);
}

} // namespace

TmpfsMount::TmpfsMount(const std::string& path, std::size_t bytes) : path_(path) {
    std::filesystem::create_directories(path);
    reason_ = OwnMountNamespace();
    if (!reason_.empty())
        return;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
}

TmpfsMount::~TmpfsMount() {
    if (Mounted())
        ::umount2(path_.c_str(), MNT_DETACH);
}

ReadOnlyMount::ReadOnlyMount(const std::string& path, const std::string& source) : path_(path) {
    if (!source.empty())
        std::filesystem::create_directories(path);
    reason_ = OwnMountNamespace();
    if (!reason_.empty())
        return;
    const std::string& from = source.empty() ? path : source;
    if (::mount(from.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        reason_ = std::string("cannot bind-mount: ") + std::strerror(errno);
        return;
    }
    if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        reason_ = std::string("cannot make a mount read-only: ") + std::strerror(errno);
        ::umount2(path.c_str(), MNT_DETACH);
    }
}

ReadOnlyMount::~ReadOnlyMount() {
    if (Mounted())
        ::umount2(path_.c_str(), MNT_DETACH);
}

} // namespace testenv
