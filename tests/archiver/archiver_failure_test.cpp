// How pkzip.exe is called and how it refuses: its command line, hostile and
// damaged archives, its limits, and what a killed run leaves behind.

#include "archiver_fixture.h"
#include "zip.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <deque>

namespace {

// Writes sys.argv[1] with "good.sav" and then one hostile entry sys.argv[2]
// of kind sys.argv[3] ("windows": made on Windows, where a backslash separates).
constexpr char kPyHostile[] = "import sys, zipfile\n"
                              "path, name, kind = sys.argv[1:4]\n"
                              "with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                              "    z.writestr('good.sav', 'good ' * 100)\n"
                              "    info = zipfile.ZipInfo(name)\n"
                              "    if kind == 'windows':\n"
                              "        info.create_system = 0\n"
                              "    if kind == 'symlink':\n"
                              "        info.create_system = 3\n"
                              "        info.external_attr = 0o120777 << 16\n"
                              "    z.writestr(info, '../outside.sav')\n";

// How pkzip.exe ended (its exit code, or minus the signal that ended it) and
// its own peak memory in KiB, as python3 running it sees them; `preload`
// goes into LD_PRELOAD.
struct Child {
    int Code = 0;
    long MaxRssKiB = 0;
};
Child PkzipChild(const Args& args, const std::string& cwd, const std::string& preload = "") {
    Args all{preload, QCoreApplication::applicationDirPath().toStdString() + "/pkzip.exe"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out =
        Python("import os, resource, subprocess, sys\n"
               "env = dict(os.environ, LD_PRELOAD=sys.argv[1])\n"
               "r = subprocess.run(sys.argv[2:], env=env, stdin=subprocess.DEVNULL)\n"
               "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n",
               all, cwd);
    Child child;
    std::sscanf(out.c_str(), "%d %ld", &child.Code, &child.MaxRssKiB);
    return child;
}

// Archives made here with the archiver's own writer, so that the headers can
// say what a hostile maker would have them say. Entries refer to `storage`.
archiver::ZipEntry Entry(const std::string& name, const std::string& content,
                         std::deque<std::string>& storage) {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_mtim.tv_sec = LocalTime(2020, 1, 2, 3, 4, 6);
    storage.push_back(content);
    const std::string& kept = storage.back();
    storage.emplace_back();
    return archiver::MakeEntry(name, kept, st, storage.back());
}

void WriteZipFile(const std::string& path, const std::vector<archiver::ZipEntry>& entries) {
    archiver::ZipArchive archive;
    archive.Entries = entries;
    std::string bytes;
    archiver::WriteZip(archive, [&](const void* p, std::size_t n) {
        bytes.append(static_cast<const char*>(p), n);
    });
    WriteFile(path, bytes);
}

// ---------------------------------------------------------------------------

TEST(ArchiverCommandLine, UsageNamesTheProgramAndBothCommands) {
    const std::string dir = Folder("work");
    for (const Args& args : {Args{"-?"}, Args{}}) {
        Result r = Pkzip(args, dir);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.empty()) << r.err;
        EXPECT_EQ(r.out.rfind("The archiver of Moonforge Backup Tool.", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("pkzip.exe -add ARCHIVE FILE [-nosync]"), std::string::npos);
        EXPECT_NE(r.out.find("pkzip.exe -extract -overwrite ARCHIVE"), std::string::npos);
        EXPECT_NE(r.out.find("pkzip.exe -test ARCHIVE"), std::string::npos);
        EXPECT_EQ(r.out.find("PKZIP"), std::string::npos);
        EXPECT_NE(r.out.find("more than 1000 entries"), std::string::npos);
        EXPECT_NE(r.out.find("less than 64 MiB free"), std::string::npos);
    }
    EXPECT_TRUE(Listing(dir).empty());
}

TEST(ArchiverCommandLine, BadArgumentsGiveCodeTwoAndOneLine) {
    const std::string dir = Folder("work");
    WriteFile(dir + "/f.sav", "data");
    const std::vector<Args> bad = {
        {"-add", "arch"},
        {"-add", "arch", "f.sav", "more"},
        {"-extract", "arch"},
        {"-extract", "-extract", "arch"},
        {"-delete", "arch", "f"},
        {"-add", "", "f.sav"},
        {"-add", "arch", ""},
        {"-add", "arch", "sub/f.sav"},
        {"-add", "arch", "../f"},
        {"-add", "arch/", "f.sav"},
        {"-extract", "-overwrite", "arch", "-console"},
        {"-extract", "-overwrite", "arch", "-add", "f.sav"},
        {"-extract", "-overwrite", "arch", "-console", "sub/f.sav"},
        {"-test"},
        {"-test", "arch", "more"},
    };
    for (const Args& args : bad) {
        SCOPED_TRACE(args.size() > 1 ? args[1] : args[0]);
        ExpectFailure(Pkzip(args, dir), 2, "Bad arguments");
    }
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"f.sav"});
}

TEST(ArchiverCommandLine, FailuresGiveCodeOneAndOneLine) {
    const std::string dir = Folder("work");
    fs::create_directories(dir + "/folder.sav");
    WriteFile(dir + "/f.sav", "data");

    ExpectFailure(Pkzip({"-extract", "-overwrite", dir + "/missing"}, dir), 1,
                  "Archive not found: " + dir + "/missing.zip");
    ExpectFailure(Pkzip({"-add", dir + "/arch", "nofile.sav"}, dir), 1, "nofile.sav");
    ExpectFailure(Pkzip({"-add", dir + "/arch", "folder.sav"}, dir), 1, "not a regular file");
    ExpectFailure(Pkzip({"-add", dir + "/no such folder/arch", "f.sav"}, dir), 1,
                  "No such file or directory");
    WriteFile(dir + "/plain.zip", "not a zip file at all, but long enough to be searched");
    ExpectFailure(Pkzip({"-extract", "-overwrite", dir + "/plain"}, dir), 1, "Damaged archive");

    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"f.sav", "folder.sav", "plain.zip"}));
}

// ---------------------------------------------------------------------------

TEST(ArchiverSafety, EntriesThatLeaveTheFolderRefuseTheWholeArchive) {
    const std::string root = Folder("root");
    const std::string dst = root + "/game/save";
    fs::create_directories(dst);
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"../escape.sav", "name"}, {"../../escape.sav", "name"},  {root + "/absolute.sav", "name"},
        {"sub/inner.sav", "name"}, {"sub\\inner.sav", "windows"}, {"\\root.sav", "windows"},
        {"folder/", "name"},       {"a..b.sav", "name"},          {"link.sav", "symlink"},
        {"GOOD.sav", "name"}, // the same name twice, as Windows compares names
    };
    for (const auto& [name, kind] : hostile) {
        SCOPED_TRACE(name);
        const std::string arch = root + "/hostile.zip";
        Python(kPyHostile, {(arch), name, (kind)}, root);
        Result r = Pkzip({"-extract", "-overwrite", root + "/hostile"}, dst);
        ExpectFailure(r, 1, "Refused archive");
        EXPECT_TRUE(Listing(dst).empty()) << "the sound entry must not be extracted either";
        EXPECT_EQ(Listing(root), (std::vector<std::string>{"game", "hostile.zip"}));
        EXPECT_EQ(Listing(root + "/game"), std::vector<std::string>{"save"});
    }
}

TEST(ArchiverSafety, DamagedArchivesChangeNothingAndFailTheTest) {
    const std::string src = Folder("src"), set = Folder("set"), dst = Folder("dst");
    WriteFile(src + "/a.sav", Text(4000));         // deflated
    WriteFile(src + "/b.sav", RandomBytes(20000)); // stored: only the CRC can tell
    ASSERT_EQ(Pkzip({"-add", set + "/good", "a.sav"}, src).exitCode, 0);
    ASSERT_EQ(Pkzip({"-add", set + "/good", "b.sav"}, src).exitCode, 0);
    const std::string good = ReadFile(set + "/good.zip");
    // Where each entry's data starts, from its local header.
    const std::string offsets =
        Python("import struct, sys, zipfile\n"
               "raw = open(sys.argv[1], 'rb').read()\n"
               "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
               "    n, m = struct.unpack('<HH', raw[i.header_offset + 26:i.header_offset + 30])\n"
               "    print(i.header_offset + 30 + n + m)\n",
               {set + "/good.zip"}, src);
    const std::size_t aData = std::stoul(offsets);
    const std::size_t bData = std::stoul(offsets.substr(offsets.find('\n') + 1));

    // What was damaged, the archive, and the start of what -test says after
    // the archive's name.
    struct Damage {
        std::string What, Bytes, Test;
    };
    std::vector<Damage> damaged;
    const auto damage = [&](const char* what, std::size_t at, char mask, const char* test) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ mask);
        damaged.push_back({what, bad, test});
    };
    const std::size_t aCentral = good.find("PK\x01\x02");
    damaged.push_back({"truncated end", good.substr(0, good.size() - 10), "no end of central"});
    damaged.push_back({"truncated half", good.substr(0, good.size() / 2), "no end of central"});
    damage("deflated data", aData + 100, 0x55, "entry \"a.sav\" has corrupt compressed data");
    damage("stored data", bData + 5000, 0x01, "entry \"b.sav\" fails its CRC check");
    damage("recorded CRC", good.rfind("PK\x01\x02") + 16, 0x01, "entry \"b.sav\" fails its CRC");
    damage("recorded size", aCentral + 24, 0x01, "entry \"a.sav\" is shorter than recorded");
    damage("local header", 1, 'P' ^ 'X', "entry \"a.sav\" has no local header");
    // a.sav's timestamp field overruns
    damage("extra field", aCentral + 46 + 5 + 2, 0x40 ^ 5, "entry \"a.sav\" has a broken extra");

    WriteFile(dst + "/a.sav", "old a");
    WriteFile(dst + "/b.sav", "old b");
    const Result whole = Pkzip({"-test", set + "/good"}, dst);
    EXPECT_EQ(whole.exitCode, 0);
    EXPECT_EQ(whole.out + whole.err, "");
    for (const auto& [what, bytes, test] : damaged) {
        SCOPED_TRACE(what);
        WriteFile(set + "/bad.zip", bytes);
        ExpectFailure(Pkzip({"-test", set + "/bad"}, dst), 1,
                      "Damaged archive " + set + "/bad.zip: " + test);
        ExpectFailure(Pkzip({"-extract", "-overwrite", set + "/bad"}, dst), 1, "archive");
        EXPECT_EQ(ReadFile(dst + "/a.sav"), "old a");
        EXPECT_EQ(ReadFile(dst + "/b.sav"), "old b");
        EXPECT_EQ(Listing(dst), (std::vector<std::string>{"a.sav", "b.sav"}));

        // Adding to it leaves it as it was, too.
        ExpectFailure(Pkzip({"-add", set + "/bad", "a.sav"}, src), 1, "left unchanged");
        EXPECT_EQ(ReadFile(set + "/bad.zip"), bytes);
        EXPECT_EQ(Listing(set), (std::vector<std::string>{"bad.zip", "good.zip"}));
    }
}

TEST(ArchiverSafety, ReadOnlyFilesAndFoldersAreNotReplaced) {
    const std::string src = Folder("src"), dst = Folder("dst");
    const std::string arch = testenv::Scratch() + "/set";
    WriteFile(src + "/a.sav", "new a");
    WriteFile(src + "/b.sav", "new b");
    ASSERT_EQ(Pkzip({"-add", arch, "a.sav"}, src).exitCode, 0);
    ASSERT_EQ(Pkzip({"-add", arch, "b.sav"}, src).exitCode, 0);

    WriteFile(dst + "/b.sav", "old b");
    ASSERT_EQ(chmod((dst + "/b.sav").c_str(), 0444), 0); // refused even for root
    ExpectFailure(Pkzip({"-extract", "-overwrite", arch}, dst), 1, "read-only");
    EXPECT_EQ(ReadFile(dst + "/b.sav"), "old b");
    EXPECT_EQ(Listing(dst), std::vector<std::string>{"b.sav"});

    ASSERT_EQ(chmod((dst + "/b.sav").c_str(), 0644), 0);
    fs::create_directories(dst + "/a.sav");
    ExpectFailure(Pkzip({"-extract", "-overwrite", arch}, dst), 1, "folder");
    EXPECT_EQ(ReadFile(dst + "/b.sav"), "old b");
}

// ---------------------------------------------------------------------------

TEST(ArchiverLimits, TooManyEntriesOrTooLittleRoomLeftIsRefusedBeforeWriting) {
    const std::string set = Folder("set"), dst = Folder("dst");
    WriteFile(dst + "/a0.sav", "old");
    std::deque<std::string> storage;
    std::vector<archiver::ZipEntry> entries;
    for (int i = 0; i < 1001; ++i)
        entries.push_back(Entry("a" + std::to_string(i) + ".sav", "x", storage));
    WriteZipFile(set + "/many.zip", entries);
    entries.pop_back();
    WriteZipFile(set + "/thousand.zip", entries);
    // Sizes no disk here has room for: 1000 times 4 GiB - 2, as the headers say.
    for (archiver::ZipEntry& e : entries)
        e.Size = 0xFFFFFFFE;
    WriteZipFile(set + "/huge.zip", entries);

    ExpectFailure(Pkzip({"-extract", "-overwrite", set + "/many"}, dst), 1,
                  "holds 1001 entries, more than 1000");
    ExpectFailure(Pkzip({"-extract", "-overwrite", set + "/huge"}, dst), 1,
                  "less than 64 MiB free");
    EXPECT_EQ(Listing(dst), std::vector<std::string>{"a0.sav"});
    EXPECT_EQ(ReadFile(dst + "/a0.sav"), "old");
    // Adding to an archive past the limit is refused as well, and so is a 1001st entry; one
    // that replaces an entry of a thousand is not.
    ExpectFailure(Pkzip({"-add", set + "/many", "a0.sav"}, dst), 1, "more than 1000");
    WriteFile(dst + "/new.sav", "new");
    const std::string thousand = ReadFile(set + "/thousand.zip");
    ExpectFailure(Pkzip({"-add", set + "/thousand", "new.sav"}, dst), 1, "more than 1000");
    EXPECT_EQ(ReadFile(set + "/thousand.zip"), thousand);
    Result r = Pkzip({"-add", set + "/thousand", "a0.sav"}, dst);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // At the edges, on a file system of 80 MiB.
    const std::string small = testenv::Scratch() + "/small";
    testenv::TmpfsMount mount(small, 80 << 20);
    if (!mount.Mounted())
        GTEST_SKIP() << "No small file system for the edges of the limits: " << mount.Reason();
    WriteZipFile(set + "/room.zip", {Entry("big.sav", std::string(15 << 20, '\0'), storage)});
    WriteZipFile(set + "/noroom.zip", {Entry("big.sav", std::string(17 << 20, '\0'), storage)});
    r = Pkzip({"-extract", "-overwrite", set + "/thousand"}, small);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Listing(small).size(), 1000u);
    for (const auto& e : fs::directory_iterator(small))
        fs::remove(e.path());
    // 1 MiB to spare on either side, for what the file system keeps besides.
    r = Pkzip({"-extract", "-overwrite", set + "/room"}, small);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    fs::remove(small + "/big.sav");
    ExpectFailure(Pkzip({"-extract", "-overwrite", set + "/noroom"}, small), 1,
                  "less than 64 MiB free");
    EXPECT_TRUE(Listing(small).empty());
}

TEST(ArchiverLimits, TheArchiveIsReadAPieceAtATime) {
    const std::string src = Folder("src"), dst = Folder("dst");
    // 64 MiB stored, as zip stores it with -0: its bytes are read, not inflated.
    WriteFile(src + "/big.sav", "");
    ASSERT_EQ(truncate((src + "/big.sav").c_str(), 64 << 20), 0);
    ASSERT_EQ(RunProgram("zip", {"-q", "-0", "-j", "big.zip", "big.sav"}, src).exitCode, 0);
    const Child child = PkzipChild({"-extract", "-overwrite", src + "/big"}, dst);
    EXPECT_EQ(child.Code, 0);
    EXPECT_LT(child.MaxRssKiB, 24 * 1024) << "the archive was read whole";
    EXPECT_EQ(fs::file_size(dst + "/big.sav"), 64u << 20);
}

TEST(ArchiverTemporaries, AKilledRunLeavesNoTemporaryFileAndStaleOnesAreRemoved) {
    const std::string src = Folder("src"), set = Folder("set"), dst = Folder("dst");
    WriteFile(src + "/a.sav", Text(100));
    WriteFile(src + "/b.sav", "new b");
    ASSERT_EQ(Pkzip({"-add", set + "/arch", "a.sav"}, src).exitCode, 0);
    ASSERT_EQ(Pkzip({"-add", set + "/arch", "b.sav"}, src).exitCode, 0);
    const std::string archive = ReadFile(set + "/arch.zip");
    WriteFile(dst + "/a.sav", "old a");

    // Killed once each file is written, before any is put in place.
    Child child = PkzipChild({"-extract", "-overwrite", set + "/arch"}, dst, KILL_AT_SYNC);
    EXPECT_EQ(child.Code, -SIGKILL);
    EXPECT_EQ(Listing(dst), std::vector<std::string>{"a.sav"});
    EXPECT_EQ(ReadFile(dst + "/a.sav"), "old a");
    WriteFile(src + "/a.sav", "changed a");
    child = PkzipChild({"-add", set + "/arch", "a.sav"}, src, KILL_AT_SYNC);
    EXPECT_EQ(child.Code, -SIGKILL);
    EXPECT_EQ(Listing(set), std::vector<std::string>{"arch.zip"});
    EXPECT_EQ(ReadFile(set + "/arch.zip"), archive);
    // -nosync leaves the flush to the caller: the same run gets through.
    child = PkzipChild({"-add", set + "/arch", "a.sav", "-nosync"}, src, KILL_AT_SYNC);
    EXPECT_EQ(child.Code, 0);
    EXPECT_EQ(Pkzip({"-extract", "-overwrite", set + "/arch", "-console", "a.sav"}, src).out,
              "changed a");

    // Ours and older than a minute: removed by the next extraction there.
    const time_t old = time(nullptr) - 120;
    for (const char* name : {".pkzip-AbC123", ".pkzip-Fresh1", ".pkzip-Old", ".pkzip-AbC1234"})
        WriteFile(dst + "/" + name, "left behind");
    fs::create_directory(dst + "/.pkzip-Dir123");
    for (const char* name : {".pkzip-AbC123", ".pkzip-Old", ".pkzip-AbC1234", ".pkzip-Dir123"})
        SetMtime(dst + "/" + name, old);
    Result r = Pkzip({"-extract", "-overwrite", set + "/arch"}, dst);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Listing(dst),
              (std::vector<std::string>{".pkzip-AbC1234", ".pkzip-Dir123", ".pkzip-Fresh1",
                                        ".pkzip-Old", "a.sav", "b.sav"}));
}

} // namespace
