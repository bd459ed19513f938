// A pattern and a name (the input cut at its first NUL byte) matched as a
// directory search matches them.

#include "fuzz_check.h"
#include "platform/dir_search.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string WithCase(std::string_view text, bool upper) {
    std::string out(text);
    for (char& c : out)
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\0');
    const std::string_view pattern = input.substr(0, cut);
    const std::string_view name = cut == std::string_view::npos ? "" : input.substr(cut + 1);

    const bool matches = platform::MatchesWildcard(pattern, name);
    // Letter case never matters; "*" and "*.*" find every name.
    FUZZ_CHECK(platform::MatchesWildcard(WithCase(pattern, true), WithCase(name, false)) ==
               matches);
    FUZZ_CHECK(platform::MatchesWildcard("*", name));
    FUZZ_CHECK(platform::MatchesWildcard("*.*", name));
    // A pattern without wildcards finds its own name, unless it ends in "."
    // (asking for a name without one).
    if (pattern.find_first_of("*?") == std::string_view::npos && !pattern.empty() &&
        pattern.back() != '.')
        FUZZ_CHECK(platform::MatchesWildcard(pattern, pattern));
    return 0;
}
