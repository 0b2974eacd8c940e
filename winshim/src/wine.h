// The text of a Wine prefix's registry files (system.reg, user.reg,
// userdef.reg), as Wine writes and reads it: names and strings of UTF-16
// units with C-like escapes and \x for units outside printable ASCII, key
// paths relative to the file's root, the times of keys, and the order in
// which Wine keeps keys and values.
#pragma once

#include "internal.h"

namespace winshim {

// The first line of every file.
constexpr char kWineHeader[] = "WINE REGISTRY Version 2";

// Reads text as Wine escapes it, from s[pos] up to the first `close` that
// no backslash escapes (a '"' for a string, a ']' for a key path): UTF-16LE
// units into `out`, and pos just after the closer. False when the line ends
// first. Bytes above 127 are UTF-8, as Wine reads them; one that is no
// UTF-8 ends the text there, as it does for Wine.
bool ReadWineText(std::string_view s, size_t &pos, char close, std::string *out);

// UTF-16LE units written as Wine writes them between quotes, or, with
// `key_path`, in a section's key path (where '[' and ']' are escaped, and
// '"' is not).
void AppendWineText(std::string &out, std::string_view utf16, bool key_path);

// A key path (names split by '\') as a section of a Wine file names it:
// each name escaped, joined by an escaped backslash. False when a name is no
// UTF-8, which has no exact UTF-16 form.
bool WineKeyPath(std::string_view path, std::string *out);

// The two times that a key's lines carry, of now: the seconds since 1970
// after its path, and the "#time=" line's 100-nanosecond ticks since 1601.
struct WineTime {
    std::string seconds;   // "1796814694"
    std::string filetime;  // "1dd87ce0d270906"
};
WineTime WineTimeNow();

// Wine's order of names: UTF-16 units compared one by one, each folded to
// lower case. With `paths`, names split by '\' are compared a name at a
// time, so that a key comes before its subkeys and they before its next
// sibling. Names that only Wine's folding makes alike (beyond ASCII) sort
// apart, by their first unit that differs in ASCII's. Negative, zero or
// positive.
int CompareWine(std::string_view a, std::string_view b, bool paths);

}  // namespace winshim
