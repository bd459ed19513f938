#pragma once

// Path helpers in the Windows style the program is written in, with '/' as
// the separator. Pure string functions: they never touch the disk.

#include <string>
#include <string_view>

namespace platform {

inline constexpr char PathDelim = '/';

// The folder part of a path: everything up to and including the last PathDelim
// ("" when there is none).
std::string ExtractFilePath(std::string_view path);
// The name part: everything after the last PathDelim.
std::string ExtractFileName(std::string_view path);
// `path` with a PathDelim appended unless it is empty or already ends with one.
std::string IncludeTrailingPathDelimiter(std::string_view path);
// `path` without the PathDelims it ends in, except a lone "/".
std::string WithoutTrailingDelimiters(std::string path);

// `text` with A-Z made a-z and every other byte as it is: how names are
// compared ignoring case, whatever their encoding.
std::string LowerAscii(std::string_view text);
// Whether `a` and `b` are the same bytes but for ASCII letter case.
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);

// A name as part of one line of a text file: each backslash, LF and CR
// written as "\\", "\n" and "\r", as GNU sha256sum escapes names.
std::string EscapeName(std::string_view name);
// Back from EscapeName. False for another backslash sequence, a backslash at
// the end or a NUL: no line that EscapeName writes.
bool UnescapeName(std::string_view text, std::string& name);

// Cuts `text` to at most `maxBytes` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string_view text, std::size_t maxBytes);
// `text` with its control characters (C0, DEL, and C1 as UTF-8 writes them)
// shown as \xHH: a name from a remote or a medium, harmless on a terminal
// (no escape sequence, no bell, no line of its own) and in a window.
std::string PrintableText(std::string_view text);

// The path as it exists on disk: each component that does not exist as written
// is looked up ignoring ASCII case among its parent's entries (as Wine does).
// Components that exist in no case are kept as written, and so is the rest.
// Every call of this layer that takes a path resolves it this way first.
std::string ResolveCase(std::string_view path);

} // namespace platform
