#include "games/game_locations.h"

#include "games/lines.h"
#include "games/machine_name.h"
#include "platform/base_folders.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include <dirent.h>

namespace games {

namespace {

// Real files are a few kilobytes; anything beyond this is not worth reading.
constexpr std::size_t kLauncherFileCap = 1 << 20;
// A folder of prefixes or game files with more entries than this is no
// launcher's; the rest is left unread.
constexpr std::size_t kMaxFolderEntries = 4096;
constexpr std::size_t kMaxPathBytes = 4096;

const char* const kInstallFolders[] = {
    "drive_c/Program Files/Corvanta Software/Moonforge/",
    // A 32-bit installer in a 64-bit prefix lands here.
    "drive_c/Program Files (x86)/Corvanta Software/Moonforge/",
};

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The subfolders of `dir` (links to folders too), by name.
std::vector<std::string> SubFolders(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d)) {
        if (names.size() >= kMaxFolderEntries)
            break;
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<std::string> folders;
    for (const std::string& name : names)
        if (platform::IsFolder(dir + "/" + name))
            folders.push_back(dir + "/" + name);
    return folders;
}

// The files of `dir` whose name ends with `suffix`, by name.
std::vector<std::string> FilesEndingWith(const std::string& dir, std::string_view suffix) {
    std::vector<std::string> files;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return files;
    std::size_t seen = 0;
    while (const dirent* e = ::readdir(d)) {
        if (++seen > kMaxFolderEntries)
            break;
        const std::string_view name(e->d_name);
        if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
            files.push_back(dir + "/" + std::string(name));
    }
    ::closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

// Collects prefixes in search order, each real folder once.
class PrefixList {
public:
    void Add(const std::string& path, const char* launcher) {
        // A relative path would lead wherever the program happens to run.
        if (path.empty() || path.front() != platform::PathDelim || path.size() > kMaxPathBytes ||
            !platform::IsFolder(platform::ResolveCase(path + "/drive_c")))
            return;
        char* real = ::realpath(path.c_str(), nullptr);
        const std::string key = real ? real : path;
        std::free(real);
        if (seen_.insert(key).second)
            places_.push_back({platform::WithoutTrailingDelimiters(path), launcher});
    }
    void AddEach(const std::vector<std::string>& paths, const char* launcher) {
        for (const std::string& path : paths)
            Add(path, launcher);
    }
    std::vector<WinePrefixPlace> Take() { return std::move(places_); }

private:
    std::unordered_set<std::string> seen_;
    std::vector<WinePrefixPlace> places_;
};

struct Places {
    std::string home, wine, data, config;
    std::vector<std::string> steamRoots;
    std::vector<std::string> lutrisGameFolders;
    std::string games;
    std::vector<std::string> bottles;
    std::vector<std::string> heroic;
    std::string playOnLinux;
};

Places SearchedPlaces() {
    Places p;
    p.home = platform::HomeDirectory();
    p.wine = WinePrefix();
    p.data = platform::DataHome();
    p.config = platform::ConfigHome();
    p.steamRoots = {p.home + "/.steam/steam", p.data + "/Steam", p.home + "/.local/share/Steam",
                    p.home + "/.var/app/com.valvesoftware.Steam/.local/share/Steam"};
    p.lutrisGameFolders = {p.config + "/lutris/games", p.data + "/lutris/games"};
    p.games = p.home + "/Games";
    p.bottles = {p.data + "/bottles/bottles",
                 p.home + "/.var/app/com.usebottles.bottles/data/bottles/bottles"};
    p.heroic = {p.games + "/Heroic/Prefixes", p.games + "/Heroic/Prefixes/default"};
    p.playOnLinux = p.home + "/.PlayOnLinux/wineprefix";
    for (auto* list : {&p.steamRoots, &p.lutrisGameFolders, &p.bottles}) {
        // XDG folders are often the usual ones: name each place once.
        std::vector<std::string> unique;
        for (const std::string& s : *list)
            if (std::find(unique.begin(), unique.end(), s) == unique.end())
                unique.push_back(s);
        *list = std::move(unique);
    }
    return p;
}

// Steam's own folder is a library too; the file lists it in its new form.
std::vector<std::string> SteamLibraries(const std::string& root) {
    std::vector<std::string> libraries = {root};
    for (const char* file : {"/steamapps/libraryfolders.vdf", "/config/libraryfolders.vdf"}) {
        std::string text;
        if (platform::ReadFileHead(root + file, kLauncherFileCap, text))
            for (std::string& library : ParseSteamLibraryFolders(text))
                libraries.push_back(platform::WithoutTrailingDelimiters(std::move(library)));
    }
    return libraries;
}

std::string ExpandHome(const std::string& path, const std::string& home) {
    if (path == "~")
        return home;
    if (path.compare(0, 2, "~/") == 0)
        return home + path.substr(1);
    return path;
}

std::string WithHomeAsTilde(const std::string& path, const std::string& home) {
    if (!home.empty() && home != "/" && path.compare(0, home.size(), home) == 0 &&
        (path.size() == home.size() || path[home.size()] == platform::PathDelim))
        return "~" + path.substr(home.size());
    return path;
}

// --- libraryfolders.vdf -----------------------------------------------------

// Tokens of Valve's KeyValues text: quoted or bare strings, braces; "//"
// comments and "[$PLATFORM]" conditions are skipped.
class VdfTokens {
public:
    enum Kind { End, Open, Close, Text };

    explicit VdfTokens(std::string_view text) : text_(text) {}

    Kind Next(std::string& out) {
        for (;;) {
            while (pos_ < text_.size() && IsBlank(text_[pos_]))
                ++pos_;
            if (pos_ >= text_.size())
                return End;
            const char c = text_[pos_];
            if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                const auto eol = text_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol + 1;
                continue;
            }
            if (c == '{' || c == '}') {
                ++pos_;
                return c == '{' ? Open : Close;
            }
            out.clear();
            if (c == '"') {
                Quoted(out);
                return Text;
            }
            const std::size_t start = pos_;
            while (pos_ < text_.size() && !IsBlank(text_[pos_]) && text_[pos_] != '"' &&
                   text_[pos_] != '{' && text_[pos_] != '}')
                ++pos_;
            if (c == '[')
                continue; // a condition
            out.assign(text_.substr(start, pos_ - start));
            return Text;
        }
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    // A quoted string; one left open runs to the end of the text.
    void Quoted(std::string& out) {
        ++pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"')
                return;
            if (c == '\\' && pos_ < text_.size()) {
                const char e = text_[pos_++];
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                continue;
            }
            out += c;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::vector<std::string> ParseSteamLibraryFolders(std::string_view vdf) {
    std::vector<std::string> libraries;
    VdfTokens tokens(vdf);
    // No recursion: only the depth and the keys of the two outer levels
    // matter ("libraryfolders" { "1" { "path" "..." } }).
    std::size_t depth = 0;
    std::string entryKey; // the key of the open object at depth 2
    std::string key, text;
    bool haveKey = false;
    for (;;) {
        const VdfTokens::Kind kind = tokens.Next(text);
        if (kind == VdfTokens::End)
            break;
        if (kind == VdfTokens::Open) {
            if (depth == 1)
                entryKey = haveKey ? key : std::string();
            ++depth;
            haveKey = false;
            continue;
        }
        if (kind == VdfTokens::Close) {
            if (depth > 0)
                --depth;
            haveKey = false;
            continue;
        }
        if (!haveKey) {
            key = std::move(text);
            haveKey = true;
            continue;
        }
        haveKey = false;
        const bool listed =
            (depth == 1 && AllDigits(key)) ||
            (depth == 2 && AllDigits(entryKey) && platform::EqualIgnoringAsciiCase(key, "path"));
        if (listed && !text.empty() && text[0] == platform::PathDelim &&
            text.size() <= kMaxPathBytes && text.find('\0') == std::string::npos &&
            std::find(libraries.begin(), libraries.end(), text) == libraries.end()) {
            libraries.push_back(text);
            if (libraries.size() >= kMaxSteamLibraries)
                break;
        }
    }
    return libraries;
}

std::string ParseLutrisPrefix(std::string_view yml) {
    bool inGame = false;
    std::size_t childIndent = 0; // of the first key in "game:", 0 before it
    for (std::size_t pos = 0; pos < yml.size();) {
        const std::string_view line = detail::NextLine(yml, pos);
        const std::size_t indent = line.find_first_not_of(' ');
        if (indent == std::string_view::npos || line[indent] == '#')
            continue;
        std::string_view content = line.substr(indent);
        if (indent == 0) {
            inGame = content.substr(0, 5) == "game:" &&
                     content.find_first_not_of(' ', 5) == std::string_view::npos;
            childIndent = 0;
            continue;
        }
        if (!inGame)
            continue;
        if (childIndent == 0)
            childIndent = indent;
        if (indent != childIndent || content.substr(0, 7) != "prefix:")
            continue;
        content.remove_prefix(7);
        const std::size_t valueStart = content.find_first_not_of(" \t");
        if (valueStart == std::string_view::npos)
            return {};
        content.remove_prefix(valueStart);
        std::string value;
        if (content[0] == '"' || content[0] == '\'') {
            const char quote = content[0];
            std::size_t i = 1;
            for (; i < content.size(); ++i) {
                const char c = content[i];
                if (c == quote) {
                    // '' stands for ' inside single quotes.
                    if (quote == '\'' && i + 1 < content.size() && content[i + 1] == '\'') {
                        value += '\'';
                        ++i;
                        continue;
                    }
                    break;
                }
                if (quote == '"' && c == '\\' && i + 1 < content.size()) {
                    const char e = content[++i];
                    value += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                    continue;
                }
                value += c;
            }
            if (i >= content.size())
                return {}; // never closed
            return value;
        }
        // A plain value ends at a comment; "~" alone is YAML's null.
        const std::size_t comment = content.find(" #");
        value.assign(content.substr(0, comment));
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.pop_back();
        return value == "~" || value == "null" ? std::string() : value;
    }
    return {};
}

std::vector<WinePrefixPlace> FindWinePrefixes() {
    const Places p = SearchedPlaces();
    PrefixList list;
    list.Add(p.wine, "Wine");
    list.Add(p.home + "/.wine", "Wine");

    for (const std::string& root : p.steamRoots) {
        if (!platform::IsFolder(root))
            continue;
        for (const std::string& library : SteamLibraries(root))
            for (const std::string& game : SubFolders(library + "/steamapps/compatdata"))
                list.Add(game + "/pfx", "Steam");
    }

    for (const std::string& folder : p.lutrisGameFolders)
        for (const std::string& file : FilesEndingWith(folder, ".yml")) {
            std::string text;
            if (platform::ReadFileHead(file, kLauncherFileCap, text))
                list.Add(ExpandHome(ParseLutrisPrefix(text), p.home), "Lutris");
        }
    list.AddEach(SubFolders(p.games), "Lutris");

    for (const std::string& folder : p.bottles)
        list.AddEach(SubFolders(folder), "Bottles");
    for (const std::string& folder : p.heroic)
        list.AddEach(SubFolders(folder), "Heroic");
    list.AddEach(SubFolders(p.playOnLinux), "PlayOnLinux");
    return list.Take();
}

std::vector<GameInstallation> FindGameInstallations() {
    std::vector<GameInstallation> found;
    for (const WinePrefixPlace& prefix : FindWinePrefixes())
        for (const char* folder : kInstallFolders) {
            const std::string dir = platform::ResolveCase(prefix.Path + "/" + folder);
            if (!platform::IsFolder(dir))
                continue;
            const bool hasSave = platform::IsFolder(platform::ResolveCase(dir + "save"));
            found.push_back(
                {platform::IncludeTrailingPathDelimiter(dir), prefix.Launcher, hasSave});
        }
    std::stable_partition(found.begin(), found.end(),
                          [](const GameInstallation& g) { return g.HasSave; });
    return found;
}

std::vector<std::string> WinePrefixSearchPlaces() {
    const Places p = SearchedPlaces();
    const auto shown = [&](const std::string& path) { return WithHomeAsTilde(path, p.home); };
    const auto join = [&](const std::vector<std::string>& paths, const char* below) {
        std::string line;
        for (const std::string& path : paths)
            line += (line.empty() ? "" : ", ") + shown(path) + below;
        return line;
    };
    std::vector<std::string> lines;
    lines.push_back("Wine: " + join({p.wine, p.home + "/.wine"}, ""));
    lines.push_back("Steam: " + join(p.steamRoots, "") +
                    " (steamapps/compatdata/*/pfx of each library in libraryfolders.vdf)");
    lines.push_back("Lutris: " + join(p.lutrisGameFolders, "/*.yml") + ", " + shown(p.games) +
                    "/*");
    lines.push_back("Bottles: " + join(p.bottles, "/*"));
    lines.push_back("Heroic: " + join(p.heroic, "/*"));
    lines.push_back("PlayOnLinux: " + shown(p.playOnLinux) + "/*");
    return lines;
}

std::string PrefixOfPath(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind(platform::PathDelim, end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        if (platform::EqualIgnoringAsciiCase(path.substr(begin, end - begin), "drive_c"))
            return begin > 1 ? std::string(path.substr(0, begin - 1))
                             : std::string(begin, platform::PathDelim);
        if (slash == std::string_view::npos)
            break;
        end = slash;
    }
    return {};
}

} // namespace games
