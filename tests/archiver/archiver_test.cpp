// pkzip.exe run as the backup program runs it: a separate process in a chosen
// folder, with Info-ZIP and Python's zipfile as the independent judges of the
// zip files it writes and as the makers of the ones it reads.

#include "common/run_program.h"
#include "common/test_env.h"
#include "zip.h"

#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testenv::Listing;
using testenv::ReadFile;
using testenv::WriteFile;

namespace {

using Result = testenv::Outcome;
using Args = std::vector<std::string>;

Result RunProgram(const std::string& program, const Args& args, const std::string& cwd) {
    QStringList list;
    for (const std::string& a : args)
        list << QString::fromStdString(a);
    return testenv::RunProgram(QString::fromStdString(program), list, QString::fromStdString(cwd),
                               QProcessEnvironment::systemEnvironment(), 60000);
}

Result Pkzip(const Args& args, const std::string& cwd) {
    return RunProgram(QCoreApplication::applicationDirPath().toStdString() + "/pkzip.exe", args,
                      cwd);
}

// Runs a python3 script with `args` as sys.argv[1:]; it must succeed.
std::string Python(const char* script, const Args& args, const std::string& cwd) {
    Args all{"-c", script};
    all.insert(all.end(), args.begin(), args.end());
    Result r = RunProgram("python3", all, cwd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

// Names (sorted) and a check of what a zip file holds, as Python reads it.
constexpr char kPyList[] = "import sys, zipfile\n"
                           "z = zipfile.ZipFile(sys.argv[1])\n"
                           "assert z.testzip() is None\n"
                           "print('|'.join(i.filename for i in z.infolist()))\n";

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

std::string Folder(const std::string& name) {
    std::string path = testenv::Scratch() + "/" + name;
    fs::create_directories(path);
    return path;
}

time_t Mtime(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

void SetMtime(const std::string& path, time_t t) {
    const timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

time_t LocalTime(int year, int mon, int day, int hour, int min, int sec) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

std::string RandomBytes(std::size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string Text(std::size_t lines) {
    std::string s;
    for (std::size_t i = 0; i < lines; ++i)
        s += "line " + std::to_string(i) + " of a save file\r\n";
    return s;
}

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

// A failure: non-zero exit, nothing on standard output, exactly one line on
// standard error that contains `part`.
void ExpectFailure(const Result& r, int code, const std::string& part) {
    EXPECT_EQ(r.exitCode, code);
    EXPECT_TRUE(r.out.empty()) << r.out;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
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

TEST(ArchiverRoundTrip, BytesNamesAndTimesComeBackAlsoThroughInfoZipAndPython) {
    const std::string src = Folder("src"), set = Folder("set"), dst = Folder("dst");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"characters.lpl", Text(5000)},     // deflated
        {"game1.sav", RandomBytes(300000)}, // does not shrink: stored
        {"empty.sav", ""},
        {"\xC3\xA9t\xC3\xA9.sav", Text(3)}, // "été.sav"
        {"w\\.sav", "a backslash is a letter on Linux"},
    };
    time_t when = LocalTime(2019, 3, 4, 5, 6, 7); // an odd second: DOS time can't hold it
    for (const auto& [name, bytes] : files) {
        WriteFile(src + "/" + name, bytes);
        SetMtime(src + "/" + name, when);
        when += 86400 * 100 + 1;
        Result r = Pkzip({"-add", set + "/backup", name}, src);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(r.err.empty() && r.out.empty());
    }
    EXPECT_EQ(Listing(set), std::vector<std::string>{"backup.zip"}); // no temporary file left
    Result test = RunProgram("unzip", {"-t", set + "/backup.zip"}, src);
    EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
    // Python decodes the names as UTF-8 only when the entry's flag says so.
    EXPECT_EQ(Python(kPyList, {set + "/backup.zip"}, src),
              "characters.lpl|game1.sav|empty.sav|\xC3\xA9t\xC3\xA9.sav|w\\.sav\n");

    // Extracted by the archiver itself and by Info-ZIP.
    const Result extracted[] = {Pkzip({"-extract", "-overwrite", set + "/backup"}, dst),
                                RunProgram("unzip", {"-q", set + "/backup.zip"}, Folder("unzip"))};
    for (const auto& [out, r] : {std::pair{dst, extracted[0]}, {Folder("unzip"), extracted[1]}}) {
        SCOPED_TRACE(out);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const auto& [name, bytes] : files) {
            SCOPED_TRACE(name);
            EXPECT_EQ(ReadFile(out + "/" + name), bytes);
            EXPECT_EQ(Mtime(out + "/" + name), Mtime(src + "/" + name));
        }
        EXPECT_EQ(Listing(out).size(), files.size());
    }
}

TEST(ArchiverRoundTrip, AddingReplacesTheEntryOfTheSameName) {
    const std::string src = Folder("src"), dst = Folder("dst");
    const std::string arch = testenv::Scratch() + "/set";
    WriteFile(src + "/a.sav", "first a");
    WriteFile(src + "/b.sav", Text(100));
    ASSERT_EQ(Pkzip({"-add", arch, "a.sav"}, src).exitCode, 0);
    ASSERT_EQ(Pkzip({"-add", arch, "b.sav"}, src).exitCode, 0);
    EXPECT_EQ(Python(kPyList, {arch + ".zip"}, src), "a.sav|b.sav\n");

    // Same name in other letter case, as Windows sees it: replaced in place.
    fs::rename(src + "/a.sav", src + "/A.SAV");
    WriteFile(src + "/A.SAV", "second a, longer than the first");
    ASSERT_EQ(Pkzip({"-add", arch, "A.SAV"}, src).exitCode, 0);
    EXPECT_EQ(Python(kPyList, {arch + ".zip"}, src), "A.SAV|b.sav\n");

    // Extraction replaces what is there, found in any letter case as Wine
    // finds it (the archive's name too: a set copied from Windows), keeps its
    // permissions, leaves the rest.
    fs::rename(arch + ".zip", arch + ".ZIP");
    WriteFile(dst + "/B.sav", "old b");
    ASSERT_EQ(chmod((dst + "/B.sav").c_str(), 0640), 0);
    WriteFile(dst + "/other.sav", "untouched");
    Result r = Pkzip({"-extract", "-overwrite", arch}, dst);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(dst + "/A.SAV"), "second a, longer than the first");
    EXPECT_EQ(ReadFile(dst + "/B.sav"), Text(100));
    EXPECT_EQ(ReadFile(dst + "/other.sav"), "untouched");
    struct stat st {};
    ASSERT_EQ(stat((dst + "/B.sav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(Listing(dst), (std::vector<std::string>{"A.SAV", "B.sav", "other.sav"}));
}

TEST(ArchiverRoundTrip, TheConsoleFileGoesToStandardOutputTheRestIntoTheFolder) {
    const std::string src = Folder("src"), dst = Folder("dst"), none = Folder("none");
    const std::string arch = testenv::Scratch() + "/game1";
    const std::string save = RandomBytes(20000);
    WriteFile(src + "/game1.sav", save);
    WriteFile(src + "/game1.bak", "spare");
    for (const char* name : {"game1.sav", "game1.bak"})
        ASSERT_EQ(Pkzip({"-add", arch, name}, src).exitCode, 0);

    Result r = Pkzip({"-extract", "-overwrite", arch, "-console", "GAME1.SAV"}, dst);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, save);
    EXPECT_EQ(Listing(dst), std::vector<std::string>{"game1.bak"});
    EXPECT_EQ(ReadFile(dst + "/game1.bak"), "spare");

    // An archive without the file is refused whole.
    ExpectFailure(Pkzip({"-extract", "-overwrite", arch, "-console", "game2.sav"}, none), 1,
                  "holds no file \"game2.sav\"");
    EXPECT_TRUE(Listing(none).empty());
}

// ---------------------------------------------------------------------------

TEST(ArchiverInterop, ExtractsWhatInfoZipAndPythonWrite) {
    const std::string src = Folder("src");
    WriteFile(src + "/deflated.sav", Text(3000));
    WriteFile(src + "/stored.sav", Text(50));
    SetMtime(src + "/deflated.sav", LocalTime(2015, 6, 7, 8, 9, 11));
    ASSERT_EQ(RunProgram("zip", {"-q", "-j", "zip.zip", "deflated.sav"}, src).exitCode, 0);
    ASSERT_EQ(RunProgram("zip", {"-q", "-0", "-j", "zip.zip", "stored.sav"}, src).exitCode, 0);
    // Written to a pipe, zip adds data descriptors after the data.
    ASSERT_EQ(RunProgram("sh", {"-c", "zip -q -j - deflated.sav | cat > pipe.zip"}, src).exitCode,
              0);
    // Python writing to an unseekable stream also uses data descriptors.
    Python("import io, sys, zipfile\n"
           "class Unseekable(io.RawIOBase):\n"
           "    def __init__(self, f): self.f = f\n"
           "    def writable(self): return True\n"
           "    def write(self, b): return self.f.write(b)\n"
           "for name, out in (('py.zip', None), ('pydd.zip', Unseekable)):\n"
           "    with open(name, 'wb') as f, zipfile.ZipFile(out(f) if out else f, 'w') as z:\n"
           "        z.writestr(zipfile.ZipInfo('stored.sav', (2001, 2, 3, 4, 5, 6)),\n"
           "                   open('stored.sav', 'rb').read())\n"
           "        z.write('deflated.sav', compress_type=zipfile.ZIP_DEFLATED)\n"
           "assert zipfile.ZipFile('pydd.zip').infolist()[1].flag_bits & 8\n",
           {}, src);

    // Info-ZIP's extended timestamp keeps the odd second; Python writes only
    // the DOS time: local time in 2-second steps.
    const time_t exact = LocalTime(2015, 6, 7, 8, 9, 11), even = exact - 1;
    const time_t pyStored = LocalTime(2001, 2, 3, 4, 5, 6);
    struct Case {
        const char* Archive;
        time_t Deflated;
        time_t Stored; // 0: the archive has no stored.sav
    };
    for (const Case& c : {Case{"zip", exact, Mtime(src + "/stored.sav")}, Case{"pipe", exact, 0},
                          Case{"py", even, pyStored}, Case{"pydd", even, pyStored}}) {
        SCOPED_TRACE(c.Archive);
        const std::string dst = Folder(std::string("dst-") + c.Archive);
        Result r = Pkzip({"-extract", "-overwrite", src + "/" + c.Archive}, dst);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ReadFile(dst + "/deflated.sav"), Text(3000));
        EXPECT_EQ(Mtime(dst + "/deflated.sav"), c.Deflated);
        EXPECT_EQ(testenv::Exists(dst + "/stored.sav"), c.Stored != 0);
        if (c.Stored) {
            EXPECT_EQ(ReadFile(dst + "/stored.sav"), Text(50));
            EXPECT_EQ(Mtime(dst + "/stored.sav"), c.Stored);
        }
    }
}

TEST(ArchiverInterop, AddsToAnInfoZipArchiveAndRefusesZip64) {
    const std::string src = Folder("src");
    WriteFile(src + "/first.sav", Text(500));
    WriteFile(src + "/second.sav", Text(700));
    ASSERT_EQ(RunProgram("zip", {"-q", "-j", "arch.zip", "first.sav"}, src).exitCode, 0);
    Result r = Pkzip({"-add", src + "/arch", "second.sav"}, src);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Result test = RunProgram("unzip", {"-t", "arch.zip"}, src);
    EXPECT_EQ(test.exitCode, 0) << test.out;
    EXPECT_EQ(Python(kPyList, {"arch.zip"}, src), "first.sav|second.sav\n");

    ASSERT_EQ(RunProgram("zip", {"-q", "-fz", "-j", "big.zip", "first.sav"}, src).exitCode, 0);
    const std::string before = ReadFile(src + "/big.zip");
    ExpectFailure(Pkzip({"-add", src + "/big", "second.sav"}, src), 1, "Zip64");
    ExpectFailure(Pkzip({"-extract", "-overwrite", src + "/big"}, Folder("dst")), 1, "Zip64");
    EXPECT_EQ(ReadFile(src + "/big.zip"), before);
    EXPECT_TRUE(Listing(Folder("dst")).empty());
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

TEST(ArchiverTimes, NtfsTimesOutOfRangeKeepTheExtractionTime) {
    // An NTFS extra field (0x000A) with one FILETIME; an extended timestamp
    // (0x5455) behind it when `unix` is set.
    auto entryWith = [](std::uint64_t filetime, bool unix) {
        std::string ntfs("\x0A\x00\x20\x00\0\0\0\0\x01\x00\x18\x00", 12);
        for (int i = 0; i < 3; ++i)
            for (int b = 0; b < 8; ++b)
                ntfs += static_cast<char>(filetime >> (8 * b));
        if (unix)
            ntfs += std::string("\x55\x54\x05\x00\x01\x10\x00\x00\x00", 9);
        archiver::ZipEntry e;
        e.DosDate = (40 << 9) | (1 << 5) | 1;
        e.CentralExtra = ntfs;
        return e;
    };
    constexpr std::uint64_t k1970 = 116444736000000000;
    const struct {
        std::uint64_t filetime;
        bool unix;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        {k1970 + 86400 * 10000000ull + 5, false, 86400},
        {0, false, -11644473600}, // 1601, the first FILETIME
        {0x7FFFFFFFFFFFFFFF, false, (0x7FFFFFFFFFFFFFFF - k1970) / 10000000},
        {0x8000000000000000, false, std::nullopt},
        {0xFFFFFFFFFFFFFFFF, false, std::nullopt},
        {0x8000000000000001, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filetime);
        const std::optional<timespec> t = archiver::EntryMtime(entryWith(c.filetime, c.unix));
        ASSERT_EQ(t.has_value(), c.seconds.has_value());
        if (t) {
            EXPECT_EQ(t->tv_sec, *c.seconds);
        }
    }
}

} // namespace
