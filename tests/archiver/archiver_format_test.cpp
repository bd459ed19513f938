// What pkzip.exe writes and reads: round trips through it and through
// Info-ZIP and Python, archives the other tools made, and entry times.

#include "archiver_fixture.h"
#include "zip.h"

#include <optional>

namespace {

// Names (sorted) and a check of what a zip file holds, as Python reads it.
constexpr char kPyList[] = "import sys, zipfile\n"
                           "z = zipfile.ZipFile(sys.argv[1])\n"
                           "assert z.testzip() is None\n"
                           "print('|'.join(i.filename for i in z.infolist()))\n";

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
