#include "platform/folder_lock.h"
#include "platform/run_folder.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

// What a child process writes on `fd` up to a newline.
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

} // namespace

TEST(RunFolder, IsInTheUsersRuntimeFolderWhenWritableElsePrivateInTmp) {
    const std::string uid = std::to_string(::getuid());
    const std::string runtime = "/run/user/" + uid, fallback = "/tmp/mfbackup-" + uid;
    const testenv::TmpfsMount run("/run/user", 1 << 20);
    if (!run.Mounted())
        GTEST_SKIP() << run.Reason();
    std::string why;
    EXPECT_EQ(RunFolder(why), fallback); // no runtime folder
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    EXPECT_EQ(RunFolder(why), runtime + "/mfbackup");
    const testenv::ReadOnlyMount readOnly(runtime);
    ASSERT_TRUE(readOnly.Mounted()) << readOnly.Reason();
    EXPECT_EQ(RunFolder(why), fallback);

    const testenv::TmpfsMount open(fallback, 1 << 16); // mode 0755
    FolderLock lock;
    EXPECT_EQ(lock.TryLock(testenv::Scratch()), FolderLock::Outcome::Failed);
    EXPECT_EQ(lock.Error(), runtime + "/mfbackup: Read-only file system; " + fallback +
                                " is open to other users");
}

TEST(TemporaryEntry, WhatAKilledRunLeftIsRemovedByTheNextAndWhatALiveOneHoldsStays) {
    TemporaryEntry live;
    ASSERT_TRUE(live.MakeFile("rclone", "kept\n"));
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t killed = ::fork();
    if (killed == 0) {
        TemporaryEntry left;
        if (left.MakeFolder("remote"))
            testenv::WriteFile(left.Path() + "/desc.txt", "left");
        [[maybe_unused]] const auto n =
            ::write(report[1], (left.Path() + "\n").data(), left.Path().size() + 1);
        ::pause();
    }
    const std::string left = ReadLine(report[0]);
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    ASSERT_TRUE(testenv::Exists(left + "/desc.txt"));

    TemporaryEntry next;
    ASSERT_TRUE(next.MakeFile("rclone", ""));
    EXPECT_FALSE(testenv::Exists(left));
    EXPECT_EQ(testenv::ReadFile(live.Path()), "kept\n");
}
