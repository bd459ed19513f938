// The rclone adapter against a local folder and over WebDAV: `rclone serve
// webdav` on 127.0.0.1, reached by an on-the-fly remote string or by a remote
// of a configuration file of its own.

#include "common/manifests.h"
#include "common/served_remote.h"
#include "common/test_env.h"
#include "platform/capture.h"
#include "remote/rclone.h"
#include "remote/remote_sets.h"
#include "remote/remote_setting.h"
#include "sets/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using remote::Status;

namespace {

const std::string kMachine = "HOST-1";

// Each file below `folder`: which file it is and when it was last written.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat st;
        ::stat(entry.path().c_str(), &st);
        files[entry.path().string()] = std::to_string(st.st_ino) + "@" +
                                       std::to_string(st.st_mtim.tv_sec) + "." +
                                       std::to_string(st.st_mtim.tv_nsec);
    }
    return files;
}

using testenv::RemoteKind;

// A remote whose files lie in `served_` on this disk, where the tests look at
// them and damage them.
class RemoteTest : public ::testing::TestWithParam<RemoteKind> {
protected:
    void SetUp() override {
        served =
            std::make_unique<testenv::ServedRemote>(GetParam(), testenv::Scratch() + "/served");
        served_ = served->Served();
        remote_ = served->Remote();
        backup_ = testenv::Scratch() + "/backup/";
        ASSERT_TRUE(remote::Rclone::Find(rclone_, served->ConfigFile()).Good());
        MakeSet("MFB1", {{"game1.sav", "first character"}, {"net.sav", "net"}},
                "Before the dragon");
        MakeSet("MFB2", {{"characters.lpl", std::string(70000, 'c')}}, "");
    }

    void MakeSet(const std::string& name, const std::map<std::string, std::string>& files,
                 const std::string& desc) {
        std::vector<std::string> names;
        for (const auto& [file, bytes] : files) {
            testenv::WriteFile(backup_ + name + "/" + file, bytes);
            names.push_back(file);
        }
        if (!desc.empty())
            testenv::WriteFile(backup_ + name + "/desc.txt", desc + "\r\n");
        ASSERT_TRUE(testenv::WriteManifestOf(backup_ + name + "/", names));
    }

    std::vector<Status> Put(const std::vector<std::string>& sets) {
        return remote::PutSets(rclone_, remote_, kMachine, backup_, sets);
    }

    std::unique_ptr<testenv::ServedRemote> served;
    std::string served_; // the remote's files
    std::string backup_; // this machine's sets
    std::string remote_;
    remote::Rclone rclone_;
};

TEST_P(RemoteTest, PutSetsAreListedUnderThisMachineWithEveryFileAndASecondPutChangesNothing) {
    for (const Status& status : Put({"MFB1", "MFB2"}))
        EXPECT_TRUE(status.Good()) << status.Message;
    std::vector<remote::RemoteMachine> machines;
    ASSERT_TRUE(remote::ListRemote(rclone_, remote_, machines).Good());
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines[0].Name, kMachine);
    ASSERT_EQ(machines[0].Sets.size(), 2u);
    for (const remote::RemoteSet& set : machines[0].Sets) {
        EXPECT_TRUE(set.HasChecksums());
        std::map<std::string, std::uint64_t> here, there;
        for (const auto& entry : fs::directory_iterator(backup_ + set.Name))
            here[entry.path().filename()] = entry.file_size();
        for (const remote::RemoteFile& file : set.Files)
            there[file.Name] = file.Size.value_or(0);
        EXPECT_EQ(there, here) << set.Name;
    }
    std::map<std::string, std::string> descriptions;
    ASSERT_TRUE(remote::ReadDescriptions(rclone_, remote_, descriptions).Good());
    EXPECT_EQ(descriptions,
              (std::map<std::string, std::string>{{kMachine + "/MFB1", "Before the dragon"}}));

    // A second put of the same sets changes nothing there.
    const auto before = Snapshot(served_);
    for (const Status& status : Put({"MFB2", "MFB1"}))
        EXPECT_TRUE(status.Good()) << status.Message;
    EXPECT_EQ(Snapshot(served_), before);
}

// What the remote may already hold in a set's folder. With the set's
// checksums file there the set is whole: one holding another file is
// refused, naming the file, and left as it was. Without it, files of the
// set's own names are what a put that did not end left, and are copied
// again; a file of another name is never touched.
TEST_P(RemoteTest, ASetFolderOnTheRemoteIsFinishedWhenAPutLeftItHalfAndElseLeftAsItWas) {
    const struct {
        const char* file;
        const char* bytes;
        bool whole;    // the set's own checksums file beside it
        bool putAgain; // the file is copied again and the set put
    } cases[] = {
        {"game1.sav", "First character", true, false}, // same size, other content
        {"net.sav", "a longer net", true, false},      // other size
        {".mfbackup-sums", "the checksums of another set\n", false, false},
        {"notes.txt", "mine", false, false}, // a file the set does not have
        {"game1.sav", "First character", false, true},
        {"net.sav", "ne", false, true}, // cut short
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.whole ? " in a whole set" : ""));
        fs::remove_all(served_ + "/" + kMachine);
        const std::string folder = served_ + "/" + kMachine + "/MFB1/";
        testenv::WriteFile(folder + c.file, c.bytes);
        if (c.whole)
            fs::copy_file(backup_ + "MFB1/.mfbackup-sums", folder + ".mfbackup-sums");
        const std::vector<Status> result = Put({"MFB1", "MFB2"});
        EXPECT_TRUE(result[1].Good()) << result[1].Message;
        if (c.putAgain) {
            EXPECT_TRUE(result[0].Good()) << result[0].Message;
            EXPECT_EQ(testenv::ReadFile(folder + c.file),
                      testenv::ReadFile(backup_ + "MFB1/" + c.file));
            EXPECT_TRUE(testenv::Exists(folder + ".mfbackup-sums"));
            continue;
        }
        EXPECT_EQ(result[0].What, Status::Refused);
        EXPECT_NE(result[0].Message.find(c.file), std::string::npos) << result[0].Message;
        EXPECT_EQ(testenv::ReadFile(folder + c.file), c.bytes);
        if (!c.whole && std::string(c.file) != sets::ManifestName) {
            EXPECT_FALSE(testenv::Exists(folder + ".mfbackup-sums"));
        }
    }
}

// A fetched set is checked against the remote set's checksums; a set that
// does not match them, or whose checksums list a file that is no save, is
// refused, and nothing is left here once the download goes.
TEST_P(RemoteTest, FetchChecksEachSetAndRefusesTheDamagedOnesLeavingNothing) {
    ASSERT_TRUE(Put({"MFB1"})[0].Good());
    const std::string original = served_ + "/" + kMachine + "/MFB1/";
    const struct {
        const char* name;
        void (*damage)(const std::string& folder);
        const char* said; // "" when it passes
    } cases[] = {
        {"intact", [](const std::string&) {}, ""},
        {"checksums left on their way up",
         [](const std::string& f) { testenv::WriteFile(f + ".mfbackup-sums.new", "half"); }, ""},
        {"changed byte",
         [](const std::string& f) { testenv::WriteFile(f + "game1.sav", "first Character"); },
         "game1.sav is damaged (checksum)"},
        {"cut short", [](const std::string& f) { testenv::WriteFile(f + "net.sav", "ne"); },
         "net.sav is damaged (size)"},
        {"missing file", [](const std::string& f) { fs::remove(f + "net.sav"); },
         "net.sav is missing"},
        {"unlisted file", [](const std::string& f) { testenv::WriteFile(f + "game9.sav", "x"); },
         "game9.sav"},
        {"no checksums", [](const std::string& f) { fs::remove(f + ".mfbackup-sums"); },
         "no checksums"},
        {"listed origin",
         [](const std::string& f) {
             testenv::WriteFile(f + ".mfbackup-origin", "OTHER/MFB9\n");
             testenv::WriteManifestOf(f, {"game1.sav", "net.sav", ".mfbackup-origin"});
         },
         "its checksums list .mfbackup-origin, which is no save file"},
    };
    std::map<std::string, std::string> said; // by machine
    for (const auto& c : cases) {
        std::string machine = std::string("OTHER-") + c.name;
        std::replace(machine.begin(), machine.end(), ' ', '-');
        said[machine] = c.said;
        fs::create_directories(served_ + "/" + machine);
        fs::copy(original, served_ + "/" + machine + "/MFB1");
        c.damage(served_ + "/" + machine + "/MFB1/");
    }
    const std::string parent = testenv::Scratch() + "/pulled/";
    fs::create_directories(parent);
    {
        remote::Download download;
        remote::FetchFilter filter;
        filter.Skip = kMachine;
        ASSERT_TRUE(remote::FetchSets(rclone_, remote_, filter, parent, download).Good());
        ASSERT_EQ(download.Sets().size(), std::size(cases));
        for (const remote::Download::Set& set : download.Sets()) {
            SCOPED_TRACE(set.Machine);
            EXPECT_EQ(set.Name, "MFB1");
            const std::string& expected = said.at(set.Machine);
            if (!expected.empty()) {
                EXPECT_EQ(set.Check.What, Status::Refused);
                EXPECT_NE(set.Check.Message.find(expected), std::string::npos) << set.Check.Message;
                continue;
            }
            EXPECT_TRUE(set.Check.Good()) << set.Check.Message;
            EXPECT_EQ(set.Checksums.Entries.size(), 2u);
            EXPECT_EQ(set.Description, "Before the dragon");
            EXPECT_NE(set.Time, 0);
            EXPECT_EQ(testenv::ReadFile(set.Folder + "game1.sav"), "first character");
        }
    }
    EXPECT_TRUE(fs::is_empty(parent));
}

// What a pull must not take again: its own machine's sets, the sets it has,
// and with one machine named, the others'.
TEST_P(RemoteTest, FetchTakesTheSetsTheFilterLetsThroughAndNothingElse) {
    for (const char* machine : {"ALPHA", "BRAVO"})
        for (const char* set : {"MFB1", "MFB2"}) {
            fs::create_directories(served_ + "/" + machine + "/" + set);
            fs::copy(backup_ + set, served_ + "/" + machine + "/" + set);
        }
    testenv::WriteFile(served_ + "/BRAVO/stray.txt", "beside the sets");
    testenv::WriteFile(served_ + "/BRAVO/MFB2/deeper/file", "below a set");
    const struct {
        remote::FetchFilter filter;
        std::vector<std::string> taken;
    } cases[] = {
        {{"", "", {}}, {"ALPHA/MFB1", "ALPHA/MFB2", "BRAVO/MFB1", "BRAVO/MFB2"}},
        {{"", "ALPHA", {"BRAVO/MFB1"}}, {"BRAVO/MFB2"}},
        {{"BRAVO", "", {}}, {"BRAVO/MFB1", "BRAVO/MFB2"}},
        {{"BRAVO", "ALPHA", {"BRAVO/MFB2", "ALPHA/MFB1"}}, {"BRAVO/MFB1"}},
        {{"CHARLIE", "", {}}, {}},
    };
    const std::string parent = testenv::Scratch() + "/pulled/";
    fs::create_directories(parent);
    for (const auto& c : cases) {
        remote::Download download;
        ASSERT_TRUE(remote::FetchSets(rclone_, remote_, c.filter, parent, download).Good());
        std::vector<std::string> taken;
        for (const remote::Download::Set& set : download.Sets()) {
            taken.push_back(set.Machine + "/" + set.Name);
            EXPECT_TRUE(set.Check.Good()) << set.Check.Message;
        }
        std::sort(taken.begin(), taken.end());
        EXPECT_EQ(taken, c.taken) << c.filter.Only << " " << c.filter.Skip;
    }
}

INSTANTIATE_TEST_SUITE_P(Remotes, RemoteTest,
                         ::testing::Values(RemoteKind::LocalFolder, RemoteKind::WebdavOnTheFly,
                                           RemoteKind::WebdavConfigFile),
                         [](const auto& info) { return testenv::KindName(info.param); });

// A fetch killed before its end leaves its hidden folder: the next fetch
// removes it, but not the folder of a fetch still going.
TEST(Rclone, AFetchRemovesTheFolderAKilledFetchLeftButNotOneInUse) {
    remote::Rclone rclone;
    ASSERT_TRUE(remote::Rclone::Find(rclone).Good());
    const std::string parent = testenv::Scratch() + "/backup/";
    testenv::WriteFile(parent + ".mfpull-killed/HOST/MFB1/game1.sav", "half");
    testenv::WriteFile(parent + ".mfpull-going/HOST/MFB1/game1.sav", "coming");
    const int going = ::open((parent + ".mfpull-going").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(going, LOCK_EX), 0);
    const std::string served = testenv::Scratch() + "/served";
    fs::create_directories(served);
    remote::Download download;
    ASSERT_TRUE(remote::FetchSets(rclone, served, {}, parent, download).Good());
    EXPECT_FALSE(testenv::Exists(parent + ".mfpull-killed"));
    EXPECT_EQ(testenv::ReadFile(parent + ".mfpull-going/HOST/MFB1/game1.sav"), "coming");
    ::close(going);
}

TEST(Rclone, WithoutRcloneOnThePathTheErrorSaysItIsNotInstalled) {
    const std::string path = std::getenv("PATH");
    const std::string empty = testenv::Scratch() + "/no-programs";
    fs::create_directories(empty);
    setenv("PATH", empty.c_str(), 1);
    remote::Rclone rclone;
    const Status status = remote::Rclone::Find(rclone);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(status.What, Status::NoRclone);
    EXPECT_EQ(status.Message.rfind("rclone is not installed (Debian package rclone)", 0), 0u);
}

// Nothing listens on the port: rclone's failure is quoted with its exit code
// and its words, the password is not, and a get leaves nothing here.
TEST(Rclone, AnUnreachableRemoteFailsWithRclonesExitCodeQuotedAndLeavesNothing) {
    remote::Rclone rclone;
    ASSERT_TRUE(remote::Rclone::Find(rclone).Good());
    const std::string remote = testenv::WebdavRemote(testenv::FreePort());
    const std::size_t pass = remote.find("pass=") + 5;
    const std::string obscured = remote.substr(pass, remote.size() - 1 - pass);
    const std::string backup = testenv::Scratch() + "/backup/";
    testenv::WriteFile(backup + "MFB1/game1.sav", "save");
    ASSERT_TRUE(testenv::WriteManifestOf(backup + "MFB1/", {"game1.sav"}));
    const std::string parent = testenv::Scratch() + "/pulled";
    fs::create_directories(parent);

    remote::Download download;
    const Status results[] = {remote::PutSets(rclone, remote, kMachine, backup, {"MFB1"})[0],
                              remote::FetchSets(rclone, remote, {}, parent, download)};
    for (const Status& status : results) {
        EXPECT_EQ(status.What, Status::RcloneFailed);
        EXPECT_NE(status.ExitCode, 0);
        EXPECT_NE(status.Message.find("exit code " + std::to_string(status.ExitCode) + ": "),
                  std::string::npos)
            << status.Message;
        EXPECT_NE(status.Message.find("connection refused"), std::string::npos) << status.Message;
        EXPECT_EQ(status.Message.find(obscured), std::string::npos) << status.Message;
    }
    EXPECT_TRUE(fs::is_empty(parent));
}

TEST(Rclone, RemoteStringsTakeAPathAndHideTheirSecrets) {
    const struct {
        const char* remote;
        const char* joined;
    } joins[] = {
        {"saves:", "saves:M/S"},
        {"saves:dir", "saves:dir/M/S"},
        {"saves:dir/", "saves:dir/M/S"},
        {":webdav,url='http://h:8080':", ":webdav,url='http://h:8080':M/S"},
        {"/home/me/remote", "/home/me/remote/M/S"},
    };
    for (const auto& j : joins)
        EXPECT_EQ(remote::JoinRemote(j.remote, "M/S"), j.joined);
    const struct {
        const char* text;
        const char* hidden;
    } secrets[] = {
        {"for \":webdav,url='http://h',user=u,pass=abc:M\": refused",
         "for \":webdav,url='http://h',user=u,pass=***:M\": refused"},
        {":s3,access_key_id=AK,secret_access_key='x,y':b",
         ":s3,access_key_id=***,secret_access_key=***:b"},
        {":webdav,url='http://me:pw@h/dav':", ":webdav,url='http://me:***@h/dav':"},
        {"saves:dir/pass=file", "saves:dir/pass=file"},
    };
    for (const auto& s : secrets)
        EXPECT_EQ(remote::HideSecrets(s.text), s.hidden);
}

TEST(RemoteSetting, IsOneLineBesideTheSettingsFileWrittenWhole) {
    const std::string settings = testenv::ConfigHome() + "/mfbackup.ini";
    const std::string file = testenv::ConfigHome() + "/mfbackup-remote";
    EXPECT_EQ(remote::RemoteSettingPath(settings), file);
    std::string remote = "stale";
    EXPECT_TRUE(remote::ReadRemoteSetting(settings, remote));
    EXPECT_EQ(remote, "");

    const std::string webdav = ":webdav,url='http://nas:8080',user=me,pass=xyz:saves";
    ASSERT_TRUE(remote::WriteRemoteSetting(settings, webdav));
    EXPECT_EQ(testenv::ReadFile(file), webdav + "\n");
    EXPECT_FALSE(remote::WriteRemoteSetting(settings, "a:\nb:"));
    EXPECT_TRUE(remote::ReadRemoteSetting(settings, remote));
    EXPECT_EQ(remote, webdav);

    testenv::WriteFile(file, "gdrive:saves\r\n");
    EXPECT_TRUE(remote::ReadRemoteSetting(settings, remote));
    EXPECT_EQ(remote, "gdrive:saves");
    EXPECT_TRUE(remote::WriteRemoteSetting(settings, ""));
    EXPECT_FALSE(testenv::Exists(file));
}

// The largest file a pull takes: a number of bytes in a file of its own,
// the default without it; anything else there is no such setting.
TEST(RemoteSetting, TheMaxFileSizeIsANumberBesideTheSettingsFile) {
    const std::string settings = testenv::ConfigHome() + "/mfbackup.ini";
    const struct {
        const char* text; // nullptr: no file
        bool read;
        std::uint64_t bytes;
    } cases[] = {{nullptr, true, remote::DefaultMaxFileSize},
                 {"65536\n", true, 65536},
                 {"64K\n", false, 0},
                 {"0\n", false, 0},
                 {"99999999999999999999\n", false, 0}};
    for (const auto& c : cases) {
        fs::remove(remote::MaxFileSizeSettingPath(settings));
        if (c.text)
            testenv::WriteFile(remote::MaxFileSizeSettingPath(settings), c.text);
        std::uint64_t bytes = 0;
        EXPECT_EQ(remote::ReadMaxFileSizeSetting(settings, bytes), c.read) << c.text;
        EXPECT_EQ(c.read ? bytes : 0, c.bytes);
    }
}

} // namespace
