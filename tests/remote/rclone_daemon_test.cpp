// One rclone rcd for a command, against folders of the test's own and a
// server that takes connections and never answers.

#include "common/served_remote.h"
#include "common/test_env.h"
#include "integrity/sha256.h"
#include "platform/loopback_socket.h"
#include "remote/rclone_daemon.h"

#include <QJsonArray>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

using remote::RcloneDaemon;
using remote::Status;

class RcloneDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a/one", "a/two", "three"})
            testenv::WriteFile(src_.toStdString() + "/" + name, name);
        testenv::WriteFile(dst_.toStdString() + "/three", "another three");
        const Status started = daemon_->Start();
        ASSERT_TRUE(started.Good()) << started.Message;
    }

    const std::string root_ = testenv::Scratch() + "/";
    const QString src_ = QString::fromStdString(root_ + "src");
    const QString dst_ = QString::fromStdString(root_ + "dst");
    std::unique_ptr<RcloneDaemon> daemon_ = std::make_unique<RcloneDaemon>();
};

TEST_F(RcloneDaemonTest, CopiesTheListedFilesButReplacesNoDifferentOne) {
    // Enough files for an answer in chunks.
    std::string listed = "a/one\nthree\n";
    for (int i = 0; i < 60; ++i) {
        testenv::WriteFile(root_ + "src/a/" + std::to_string(i), "more");
        listed += "a/" + std::to_string(i) + "\n";
    }
    testenv::WriteFile(root_ + "list", listed);
    const QJsonObject copy{
        {"srcFs", src_},
        {"dstFs", dst_},
        {"_config", QJsonObject{{"Immutable", true}}},
        {"_filter",
         QJsonObject{{"FilesFromRaw", QJsonArray{QString::fromStdString(root_ + "list")}}}}};
    QJsonObject out;
    const Status copied = daemon_->Call("sync/copy", copy, out);
    EXPECT_EQ(copied.What, Status::RcloneFailed);
    EXPECT_NE(copied.Message.find("immutable file modified (three: "), std::string::npos)
        << copied.Message;
    EXPECT_EQ(testenv::ReadFile(root_ + "dst/three"), "another three");
    EXPECT_FALSE(testenv::Exists(root_ + "dst/a/two"));

    const QJsonObject opt{{"recurse", true}, {"hashTypes", QJsonArray{"sha256"}}};
    ASSERT_TRUE(daemon_->Call("operations/list", {{"fs", dst_}, {"remote", "a"}, {"opt", opt}}, out)
                    .Good());
    const QJsonArray list = out.value("list").toArray();
    EXPECT_EQ(list.size(), 61);
    for (const QJsonValue& item : list)
        if (item["Path"] == "a/one") {
            EXPECT_EQ(item["Size"].toInteger(), 5);
            EXPECT_EQ(item["Hashes"]["sha256"].toString().toStdString(),
                      integrity::DigestHex(integrity::Sha256::Of("a/one")));
        }
}

TEST_F(RcloneDaemonTest, DoesEachCallOrSaysWhyInRclonesWords) {
    const struct {
        const char* method;
        QJsonObject params;
        const char* words; // "" for success
        int code;
    } calls[] = {
        {"operations/copyfile",
         {{"srcFs", src_}, {"srcRemote", "a/two"}, {"dstFs", dst_}, {"dstRemote", "b/two"}},
         "",
         0},
        {"operations/list", {{"fs", src_}, {"remote", "none"}}, "directory not found", 404},
        {"operations/copyfile",
         {{"srcFs", src_}, {"srcRemote", "none"}, {"dstFs", dst_}, {"dstRemote", "none"}},
         "failed: object not found",
         500},
        {"sync/copy", {{"srcFs", src_ + "/none"}, {"dstFs", dst_}}, "directory not found", 500},
    };
    for (const auto& call : calls) {
        QJsonObject out;
        const Status status = daemon_->Call(call.method, call.params, out);
        EXPECT_EQ(status.Good(), *call.words == '\0') << call.method << ": " << status.Message;
        EXPECT_NE(status.Message.find(call.words), std::string::npos) << status.Message;
        EXPECT_EQ(status.ExitCode, call.code) << call.method;
    }
    EXPECT_EQ(testenv::ReadFile(root_ + "dst/b/two"), "a/two");
}

TEST_F(RcloneDaemonTest, RefusesACallWithoutItsPassword) {
    for (const std::string auth : {"", "Authorization: Basic bWY6Z3Vlc3M=\r\n"}) {
        platform::LoopbackSocket socket;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string answer;
        ASSERT_EQ(socket.Connect(daemon_->Port(), deadline), 0);
        ASSERT_EQ(socket.SendAll("POST /operations/list HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
                                     "Content-Length: 2\r\nConnection: close\r\n\r\n{}",
                                 deadline),
                  0);
        ASSERT_EQ(socket.ReceiveAll(answer, 1 << 20, deadline), 0);
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 401") << answer;
    }
}

TEST_F(RcloneDaemonTest, LeavesNoRcloneRunningOnceGone) {
    const pid_t pid = daemon_->Pid();
    ASSERT_GT(pid, 0);
    daemon_.reset();
    EXPECT_NE(::kill(pid, 0), 0); // neither running nor left unreaped
}

TEST_F(RcloneDaemonTest, StopsACallThatMakesNoProgress) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), size), 0);
    ASSERT_EQ(::listen(server, 16), 0); // the kernel takes connections, no one answers
    ::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &size);
    const QString stuck = QString::fromStdString(testenv::WebdavRemote(ntohs(addr.sin_port)));
    ::setenv("MFBACKUP_RCLONE_STALL_SECONDS", "1", 1);
    ASSERT_TRUE(daemon_->Start().Good());

    const struct {
        const char* method;
        QJsonObject params;
        const char* words;
    } calls[] = {
        {"sync/copy", {{"srcFs", src_}, {"dstFs", stuck}}, "was stopped: no progress for 1 s"},
        {"operations/list", {{"fs", stuck}, {"remote", ""}}, "gave no answer in 1 s"},
    };
    for (const auto& call : calls) {
        QJsonObject out;
        const Status status = daemon_->Call(call.method, call.params, out);
        EXPECT_EQ(status.ExitCode, -1);
        EXPECT_NE(status.Message.find(call.words), std::string::npos) << status.Message;
        EXPECT_NE(status.Message.find(",pass=***:"), std::string::npos) << status.Message;
    }
    ::close(server);
}

} // namespace
