#include "platform/folder_lock.h"
#include "platform/run_folder.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

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

    // The lock of a folder that can't be locked itself needs the run folder.
    const testenv::TmpfsMount open(fallback, 1 << 16); // mode 0755
    FolderLock::DirectoryLocksForTesting(false);
    FolderLock lock;
    EXPECT_EQ(lock.TryLock(testenv::Scratch()), FolderLock::Outcome::Failed);
    FolderLock::DirectoryLocksForTesting(true);
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
            testenv::WriteFile(left.Path() + "/desc.txt", "left\n");
        [[maybe_unused]] const auto n = ::write(report[1], left.Path().c_str(), left.Path().size());
        ::pause();
    }
    std::string left(4096, '\0');
    left.resize(std::max<ssize_t>(::read(report[0], left.data(), left.size()), 0));
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    ASSERT_EQ(testenv::ReadFile(left + "/desc.txt"), "left\n");

    TemporaryEntry next;
    ASSERT_TRUE(next.MakeFile("rclone", ""));
    EXPECT_FALSE(testenv::Exists(left));
    EXPECT_EQ(testenv::ReadFile(live.Path()), "kept\n");
}
