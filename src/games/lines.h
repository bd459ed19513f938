#pragma once

// Reading the launchers' and Wine's text files line by line; not part of the
// layer's interface.

#include <cstddef>
#include <string_view>

namespace games::detail {

// The line of `text` that starts at `pos`, without its "\n" or "\r\n";
// `pos` moves past it. Call while `pos < text.size()`.
inline std::string_view NextLine(std::string_view text, std::size_t& pos) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos)
        end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace games::detail
