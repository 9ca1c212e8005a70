// Text from devices is 8-bit text in the system's ANSI code page; the
// window systems take UTF-8.  Device text is decoded once, where it enters
// the program, so that every byte shows as a character: passed on as it is,
// a byte that is not valid UTF-8 made a toolkit drop the whole text.
#pragma once

#include <string>
#include <string_view>

namespace os {

// `text` in the ANSI code page as UTF-8.  The code page here is Windows-1252
// (Western European), as on the systems the displays are sold for; its five
// unassigned bytes map to the code points of the same value, as Windows
// maps them.  Never fails: every byte becomes one character.
std::string AnsiToUtf8(std::string_view text);

// Appends the code point `code` (at most U+10FFFF) to `out` as UTF-8.
void AppendUtf8(std::string& out, char32_t code);

// `text` as valid UTF-8: its well-formed UTF-8 sequences as they are, every
// other byte taken as Latin-1.  For texts of unknown origin that must make
// valid JSON without losing a byte (the update history, the request log).
std::string Utf8OrLatin1(std::string_view text);

}  // namespace os
