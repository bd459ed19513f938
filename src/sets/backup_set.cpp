#include "sets/backup_set.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <strings.h>
#include <vector>

namespace sets {
namespace {

constexpr std::size_t MaxDescription = 255;

const char* const DescFileName = "desc.txt";

bool IsValidUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        std::uint32_t min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra)
            return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

// `text` without a multi-byte sequence that was cut off at its end.
std::string DropCutSequence(const std::string& text) {
    std::size_t lead = text.size();
    for (std::size_t back = 0; back < 4 && lead > 0; ++back) {
        const auto c = static_cast<unsigned char>(text[--lead]);
        if ((c & 0xC0) != 0x80) {
            const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return text.size() - lead < need ? text.substr(0, lead) : text;
        }
    }
    return text;
}

// Windows-1252 to UTF-8: 0x80-0x9F hold the typographic characters; the five
// bytes Windows leaves undefined map to the C1 controls of the same value, as
// Windows' own conversion does; the rest is Latin-1.
std::string Windows1252ToUtf8(const std::string& text) {
    static const std::uint16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        std::uint32_t cp = c;
        if (c >= 0x80 && c < 0xA0)
            cp = high[c - 0x80];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// A silent false would make a failed backup look as if nothing happened:
// why no set was made, from the last error.
std::string SetFailure(const std::string& backupDir) {
    return "Could not create a backup set in " + backupDir + ": " +
           platform::SysErrorMessage(platform::GetLastError());
}

} // namespace

bool IsSetName(std::string_view Name) {
    if (Name.size() < 4 || Name.size() > 7 || strncasecmp(Name.data(), "MFB", 3) != 0)
        return false;
    return std::all_of(Name.begin() + 3, Name.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool CreateBackupSet(const std::string& BackupDir, const std::string& Description,
                     std::string& SetPath, std::string& Why, bool flush) {
    const std::uint32_t attrs = platform::GetFileAttributes(BackupDir);
    if (attrs == platform::INVALID_FILE_ATTRIBUTES || !(attrs & platform::faDirectory)) {
        if (attrs != platform::INVALID_FILE_ATTRIBUTES)
            platform::SetLastError(platform::ERROR_DIRECTORY);
        Why = SetFailure(BackupDir);
        return false;
    }

    // The folder is its own claim on the number: no temporary file is made on
    // the way (one a killed run would leave behind), and numbers whose folder
    // is taken are passed over.
    std::string folder;
    if (platform::CreateUniqueDirectory(BackupDir, "MFB", folder) == 0) {
        Why = "Error creating temporary file in target directory!";
        return false;
    }
    SetPath = folder + platform::PathDelim;

    // The mark goes in first: a run killed from here on leaves a set that
    // says it is unfinished. desc.txt's write flushes the folder, the mark
    // with it; without one, the mark is flushed on its own.
    const std::string description = platform::CutUtf8(Description, MaxDescription);
    if (!platform::WriteWholeFile(SetPath + UnfinishedName, "", 0, flush && description.empty())) {
        const std::uint32_t error = platform::GetLastError();
        platform::RemoveDirectory(SetPath);
        platform::SetLastError(error);
        Why = SetFailure(BackupDir);
        return false;
    }
    WriteSetDescription(SetPath, description, flush);
    return true;
}

bool MarkSetFinished(const std::string& SetPath, bool flush) {
    return flush ? platform::DeleteFileFlushed(SetPath + UnfinishedName)
                 : platform::DeleteFile(SetPath + UnfinishedName);
}

bool IsSetUnfinished(const std::string& SetPath) {
    return platform::GetFileAttributes(SetPath + UnfinishedName) !=
           platform::INVALID_FILE_ATTRIBUTES;
}

std::string ReadSetOrigin(const std::string& SetPath) {
    std::string head;
    if (!platform::ReadFileHead(SetPath + OriginName, DescriptionReadLimit, head))
        return {};
    return head.substr(0, head.find_first_of("\r\n"));
}

void WriteSetDescription(const std::string& SetPath, const std::string& Description, bool flush) {
    if (Description.empty())
        return;
    const std::string line = platform::CutUtf8(Description, MaxDescription) + "\r\n";
    // Whole or not at all: a run killed here leaves no empty desc.txt.
    platform::WriteWholeFile(SetPath + DescFileName, line.data(), line.size(), flush);
}

namespace {

// The entries of the set folder SetPath when it holds nothing but desc.txt,
// the origin and the unfinished mark (`marked` tells whether the mark is there); false
// when it holds anything else or is no folder of its own (a link).
bool HoldsNoCopy(const std::string& SetPath, std::vector<std::string>& names, bool& marked) {
    marked = false;
    std::string folder = SetPath;
    folder.pop_back();
    if (platform::IsSymbolicLink(folder))
        return false;
    platform::FileSearch search;
    if (search.FindFirst(SetPath + "*.*", platform::faAnyFile)) {
        do {
            const platform::SearchRec& rec = search.Rec();
            if (rec.Name == "." || rec.Name == "..")
                continue;
            const bool mark = platform::EqualIgnoringAsciiCase(rec.Name, UnfinishedName);
            if ((!mark && !platform::EqualIgnoringAsciiCase(rec.Name, DescFileName) &&
                 !platform::EqualIgnoringAsciiCase(rec.Name, OriginName)) ||
                (rec.Attr & platform::faDirectory))
                return false;
            marked |= mark;
            names.push_back(rec.Name);
        } while (search.FindNext());
    }
    return true;
}

} // namespace

bool RemoveEmptySet(const std::string& SetPath) {
    std::vector<std::string> names;
    bool marked = false;
    std::string failed;
    return HoldsNoCopy(SetPath, names, marked) &&
           platform::RemoveFolderWithFiles(SetPath, names, failed);
}

void RemoveStaleSets(const std::string& BackupDir) {
    const std::time_t minuteAgo = std::time(nullptr) - 60;
    std::vector<std::string> stale;
    platform::FileSearch search;
    if (!search.FindFirst(BackupDir + "MFB*", platform::faDirectory))
        return;
    do {
        const platform::SearchRec& rec = search.Rec();
        if ((rec.Attr & platform::faDirectory) && IsSetName(rec.Name) &&
            rec.WriteTime.tv_sec < minuteAgo)
            stale.push_back(BackupDir + rec.Name + platform::PathDelim);
    } while (search.FindNext());
    for (const std::string& set : stale) {
        // Only what this program marked as its own unfinished set.
        std::vector<std::string> names;
        bool marked = false;
        std::string failed;
        if (HoldsNoCopy(set, names, marked) && marked)
            platform::RemoveFolderWithFiles(set, names, failed);
    }
}

std::string ReadDescriptionFile(const std::string& FolderPath) {
    // Bytes all the way: the folder's name need not be UTF-8.
    std::string head;
    if (!platform::ReadFileHead(FolderPath + DescFileName, DescriptionReadLimit, head))
        return {};
    return DescriptionFromHead(head);
}

std::string DescriptionFromHead(std::string_view head) {
    std::string line;
    bool ended = false;
    for (const char c : head) {
        // A file from Linux may end its line with LF alone.
        if (c == '\r' || c == '\n' || c == '\x1A') {
            ended = true;
            break;
        }
        line += c;
    }
    if (!ended && head.size() >= DescriptionReadLimit)
        line = DropCutSequence(line); // the read limit, not the writer, cut it
    if (!IsValidUtf8(line)) {
        // Written on Windows in its ANSI code page: 255 characters there.
        line.resize(std::min(line.size(), MaxDescription));
        line = Windows1252ToUtf8(line);
    }
    return platform::CutUtf8(line, MaxDescription);
}

void ReadSetDescription(const std::string& BackupDir, const std::string& SetName,
                        std::string& Description) {
    Description = ReadDescriptionFile(BackupDir + SetName + platform::PathDelim);
}

} // namespace sets
