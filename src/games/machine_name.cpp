#include "games/machine_name.h"

#include "games/lines.h"
#include "platform/base_folders.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <cstdlib>

#include <unistd.h>

namespace games {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The code unit a C escape letter stands for (\a \b \t \n \v \f \r \e); 0 for another.
char16_t ControlEscape(char e) {
    constexpr std::string_view letters = "abtnvfre";
    constexpr char16_t units[] = {7, 8, 9, 10, 11, 12, 13, 27};
    const std::size_t at = letters.find(e);
    return at == std::string_view::npos ? 0 : units[at];
}

// Decodes a string as Wine writes it in registry files, from `pos` up to the
// unescaped `end` character: \\ \" and the C escapes, \x with up to four hex
// digits and \ with up to three octal digits for UTF-16 code units. Returns
// false when `end` never comes; `pos` is then past it.
bool DecodeWineString(std::string_view text, std::size_t& pos, char end, std::string& out) {
    char16_t high = 0; // a high surrogate waiting for its pair
    auto unit = [&](char16_t u) {
        if (high && u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(high) - 0xD800) << 10) + (u - 0xDC00));
            high = 0;
            return;
        }
        if (high)
            AppendUtf8(out, 0xFFFD);
        high = 0;
        if (u >= 0xD800 && u <= 0xDBFF)
            high = u;
        else
            AppendUtf8(out, u >= 0xDC00 && u <= 0xDFFF ? 0xFFFD : u);
    };
    auto flush = [&] {
        if (high)
            AppendUtf8(out, 0xFFFD);
        high = 0;
    };
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c == end) {
            flush();
            return true;
        }
        if (c != '\\' || pos == text.size()) {
            flush();
            out += c; // plain bytes (UTF-8 already) pass through
            continue;
        }
        const char e = text[pos++];
        if (const char16_t control = ControlEscape(e)) {
            unit(control);
        } else if (e == 'x') {
            unsigned value = 0;
            int digits = 0;
            while (digits < 4 && pos < text.size() && HexDigit(text[pos]) >= 0) {
                value = value * 16 + static_cast<unsigned>(HexDigit(text[pos++]));
                ++digits;
            }
            unit(digits == 0 ? u'x' : static_cast<char16_t>(value));
        } else if (e >= '0' && e <= '7') {
            unsigned value = static_cast<unsigned>(e - '0');
            for (int digits = 1;
                 digits < 3 && pos < text.size() && text[pos] >= '0' && text[pos] <= '7'; ++digits)
                value = value * 8 + static_cast<unsigned>(text[pos++] - '0');
            unit(static_cast<char16_t>(value));
        } else {
            flush();
            out += e; // \\, \" and anything else stand for themselves
        }
    }
    flush();
    return false;
}

// Key names compare with one backslash between components and ASCII case
// ignored, whether the caller wrote them as in the file (doubled) or not.
std::string NormalizeKey(std::string_view key) {
    std::string out;
    for (char c : key) {
        if (c == '\\' && !out.empty() && out.back() == '\\')
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == '\\')
        out.pop_back();
    return platform::LowerAscii(out);
}

bool NetbiosChar(char32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (char s : std::string_view("!@#$%^&')(-_{}"))
        if (c == static_cast<char32_t>(s))
            return true;
    return false;
}

} // namespace

std::string WinePrefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix)
        return platform::WithoutTrailingDelimiters(prefix);
    const std::string home = platform::HomeDirectory();
    if (home.empty())
        return {};
    return platform::IncludeTrailingPathDelimiter(home) + ".wine";
}

RegistryString FindRegistryString(std::string_view regText, std::string_view key,
                                  std::string_view name) {
    const std::string wantedKey = NormalizeKey(key);
    bool inKey = false;
    for (std::size_t next = 0; next < regText.size();) {
        const std::string_view line = detail::NextLine(regText, next);
        if (line.empty())
            continue;

        if (line[0] == '[') {
            // "[Key\\Name] 1700000000": the key, then its time stamp.
            std::size_t pos = 1;
            std::string keyName;
            inKey = DecodeWineString(line, pos, ']', keyName) && NormalizeKey(keyName) == wantedKey;
            continue;
        }
        if (!inKey)
            continue;

        std::size_t pos;
        std::string valueName;
        if (line[0] == '@') {
            pos = 1; // the key's default value, asked for with an empty name
        } else if (line[0] == '"') {
            pos = 1;
            if (!DecodeWineString(line, pos, '"', valueName))
                continue;
        } else {
            continue; // "#time=", comments, continuation lines of hex data
        }
        if (pos >= line.size() || line[pos] != '=' ||
            !platform::EqualIgnoringAsciiCase(valueName, name))
            continue;
        std::string_view data = line.substr(pos + 1);
        // REG_SZ is written bare; REG_EXPAND_SZ as str(2): and REG_SZ may
        // come as str(1):. Every other type is not a string.
        for (std::string_view tag : {"str(1):", "str(2):"})
            if (data.substr(0, tag.size()) == tag)
                data.remove_prefix(tag.size());
        RegistryString result;
        std::size_t at = 1;
        if (data.empty() || data[0] != '"' || !DecodeWineString(data, at, '"', result.Value)) {
            result.Value.clear();
            result.Result = RegistryString::WrongType;
            return result;
        }
        result.Result = RegistryString::Found;
        return result;
    }
    return {};
}

std::string WineComputerNameFromHost(std::string_view hostName) {
    hostName = hostName.substr(0, hostName.find('.'));
    std::string out;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < hostName.size() && chars < 15; ++chars) {
        const auto c = static_cast<unsigned char>(hostName[i]);
        // One character, however many bytes its UTF-8 takes, becomes one "_".
        std::size_t len = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 1;
        if (c < 0x80) {
            const char32_t upper = c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
            out += NetbiosChar(upper) ? static_cast<char>(upper) : '_';
        } else {
            out += '_';
        }
        i += len;
    }
    return out;
}

RegistryString ReadComputerNameValue(const std::string& prefix) {
    if (prefix.empty())
        return {};
    // A registry far beyond any real one (a few MiB) is read only this far.
    constexpr std::size_t cap = 64u << 20;
    std::string text;
    if (!platform::ReadFileHead(prefix + "/system.reg", cap, text))
        return {};
    return FindRegistryString(
        text, "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName", "ComputerName");
}

RegistryString ReadComputerNameValue() {
    return ReadComputerNameValue(WinePrefix());
}

std::string HostComputerName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return {};
    return WineComputerNameFromHost(host);
}

} // namespace games
