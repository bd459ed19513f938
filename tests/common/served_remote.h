#pragma once

// A remote for rclone whose files lie in a folder of the test's own: the
// folder itself, or `rclone serve webdav` on 127.0.0.1 with a user and a
// password, reached through a remote made on the fly or one of a
// configuration file. The server is started and stopped with the object.

#include "common/test_env.h"
#include "platform/capture.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testenv {

// A port of 127.0.0.1 that nothing listens on now.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
    ::close(fd);
    return ntohs(addr.sin_port);
}

inline bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// A password as rclone's configuration keeps it.
inline std::string Obscured(const std::string& password) {
    platform::CapturedRun run;
    EXPECT_TRUE(platform::RunCaptured(platform::FindOnPath("rclone"), {"obscure", password}, run));
    return run.Out.substr(0, run.Out.find('\n'));
}

// An on-the-fly WebDAV remote at `port` that nothing may answer.
inline std::string WebdavRemote(int port, const std::string& path = {}) {
    return ":webdav,url='http://127.0.0.1:" + std::to_string(port) +
           "',user=mf,pass=" + Obscured("s3cret") + ":" + path;
}

enum class RemoteKind { LocalFolder, WebdavOnTheFly, WebdavConfigFile };

inline const char* KindName(RemoteKind kind) {
    static const char* const names[] = {"LocalFolder", "WebdavOnTheFly", "WebdavConfigFile"};
    return names[static_cast<int>(kind)];
}

inline void PrintTo(RemoteKind kind, std::ostream* out) {
    *out << KindName(kind);
}

class ServedRemote {
public:
    // The remote's files in `folder`, made anew (tests may share a process).
    ServedRemote(RemoteKind kind, const std::string& folder) : served_(folder) {
        std::filesystem::remove_all(served_);
        std::filesystem::create_directories(served_);
        if (kind == RemoteKind::LocalFolder) {
            remote_ = served_;
            return;
        }
        const int port = FreePort();
        server_.start(QString::fromStdString(platform::FindOnPath("rclone")),
                      {"serve", "webdav", QString::fromStdString(served_), "--addr",
                       QString("127.0.0.1:%1").arg(port), "--user", "mf", "--pass", "s3cret",
                       // The tests change the served folder behind its back.
                       "--dir-cache-time", "0s"});
        EXPECT_TRUE(server_.waitForStarted());
        for (int i = 0; i < 200 && !Accepts(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_TRUE(Accepts(port));
        if (kind == RemoteKind::WebdavOnTheFly) {
            remote_ = WebdavRemote(port);
            return;
        }
        config_ = folder + ".conf";
        WriteFile(config_,
                  "[saves]\ntype = webdav\nurl = http://127.0.0.1:" + std::to_string(port) +
                      "\nvendor = other\nuser = mf\npass = " + Obscured("s3cret") + "\n");
        served_ += "/moonforge";
        std::filesystem::create_directories(served_);
        remote_ = "saves:moonforge";
    }
    ~ServedRemote() {
        if (server_.state() != QProcess::NotRunning) {
            server_.terminate();
            server_.waitForFinished(5000);
        }
    }
    ServedRemote(const ServedRemote&) = delete;
    ServedRemote& operator=(const ServedRemote&) = delete;

    const std::string& Served() const { return served_; }     // the remote's files on disk
    const std::string& Remote() const { return remote_; }     // the rclone remote string
    const std::string& ConfigFile() const { return config_; } // rclone's, "" for its own

    // Stops the server (SIGSTOP: it no longer answers; SIGKILL: it is gone)
    // or lets a stopped one go on (SIGCONT).
    void Signal(int signal) {
        if (server_.processId() > 0)
            ::kill(static_cast<pid_t>(server_.processId()), signal);
    }

private:
    std::string served_;
    std::string remote_;
    std::string config_;
    QProcess server_;
};

} // namespace testenv
