#include "sets/manifest.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

namespace sets {
namespace {

constexpr std::size_t kDigestDigits = 64;
constexpr std::size_t kMaxName = 255;
constexpr const char* kSeparator = "  ";

bool NeedsEscape(std::string_view name) {
    return name.find_first_of("\\\n\r") != std::string_view::npos;
}

// One line, without its LF; nullptr or what is wrong with it.
const char* ParseLine(std::string_view line, ManifestEntry& entry) {
    const bool escaped = !line.empty() && line.front() == '\\';
    if (escaped)
        line.remove_prefix(1);
    if (line.size() < kDigestDigits ||
        !integrity::ParseDigestHex(line.substr(0, kDigestDigits), entry.Digest))
        return "no SHA-256";
    line.remove_prefix(kDigestDigits);
    if (line.substr(0, 2) != kSeparator)
        return "no two blanks after the SHA-256";
    line.remove_prefix(2);
    const std::size_t digits = line.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos)
        return "no size";
    if (digits > 1 && line.front() == '0')
        return "a size with a leading zero";
    const auto [end, error] = std::from_chars(line.data(), line.data() + digits, entry.Size);
    if (error != std::errc() || entry.Size > std::uint64_t{INT64_MAX})
        return "a size out of range";
    line.remove_prefix(digits);
    if (line.substr(0, 2) != kSeparator)
        return "no two blanks after the size";
    line.remove_prefix(2);
    if (escaped) {
        if (!platform::UnescapeName(line, entry.Name))
            return "a wrong escape in the name";
    } else {
        if (line.find('\r') != std::string_view::npos)
            return "a carriage return in the name";
        entry.Name = line;
    }
    if (!IsManifestName(entry.Name))
        return "a name that is no bare file name";
    return nullptr;
}

} // namespace

const ManifestEntry* Manifest::Find(std::string_view name) const {
    for (const ManifestEntry& entry : Entries)
        if (platform::EqualIgnoringAsciiCase(entry.Name, name))
            return &entry;
    return nullptr;
}

void Manifest::Put(ManifestEntry entry) {
    for (ManifestEntry& held : Entries) {
        if (platform::EqualIgnoringAsciiCase(held.Name, entry.Name)) {
            held = std::move(entry);
            return;
        }
    }
    Entries.push_back(std::move(entry));
}

bool IsManifestName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxName && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string FormatManifest(const Manifest& manifest) {
    std::string text;
    for (const ManifestEntry& entry : manifest.Entries) {
        const bool escape = NeedsEscape(entry.Name);
        text += (escape ? "\\" : "") + integrity::DigestHex(entry.Digest) + kSeparator +
                std::to_string(entry.Size) + kSeparator +
                (escape ? platform::EscapeName(entry.Name) : entry.Name) + "\n";
    }
    return text;
}

bool ParseManifest(std::string_view text, Manifest& manifest, std::string& why) {
    manifest.Entries.clear();
    if (!text.empty() && text.back() != '\n') {
        why = "the last line has no end (cut short?)";
        return false;
    }
    std::unordered_set<std::string> names;
    std::size_t number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        ++number;
        const std::size_t end = text.find('\n', pos);
        ManifestEntry entry;
        const char* problem = ParseLine(text.substr(pos, end - pos), entry);
        if (!problem && !names.insert(platform::LowerAscii(entry.Name)).second)
            problem = "a name listed twice";
        if (problem) {
            why = "line " + std::to_string(number) + ": " + problem;
            manifest.Entries.clear();
            return false;
        }
        manifest.Entries.push_back(std::move(entry));
        pos = end + 1;
    }
    return true;
}

ManifestRead ReadManifest(const std::string& folder, Manifest& manifest, std::string* why) {
    manifest.Entries.clear();
    std::string text;
    std::string problem;
    if (!platform::ReadSmallFile(folder + ManifestName, MaxManifestBytes, text)) {
        const std::uint32_t error = platform::GetLastError();
        if (error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND)
            return ManifestRead::Missing;
        if (error != platform::ERROR_FILE_TOO_LARGE)
            return ManifestRead::Unreadable;
        problem = "larger than " + std::to_string(MaxManifestBytes) + " bytes";
    } else if (ParseManifest(text, manifest, problem)) {
        return ManifestRead::Read;
    }
    if (why)
        *why = problem;
    return ManifestRead::Damaged;
}

bool HashEntry(const std::string& folder, const std::string& name, ManifestEntry& entry) {
    entry.Name = name;
    return integrity::HashFile(folder + name, entry.Digest, entry.Size);
}

bool WriteManifest(const std::string& folder, const Manifest& manifest, bool flush) {
    for (const ManifestEntry& entry : manifest.Entries) {
        if (!IsManifestName(entry.Name)) {
            platform::SetLastError(platform::ERROR_INVALID_NAME);
            return false;
        }
    }
    const std::string text = FormatManifest(manifest);
    if (text.size() > MaxManifestBytes) {
        platform::SetLastError(platform::ERROR_FILE_TOO_LARGE);
        return false;
    }
    return platform::WriteWholeFile(folder + ManifestName, text.data(), text.size(), flush);
}

} // namespace sets
