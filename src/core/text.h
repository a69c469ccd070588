// Fixed-width text fields: names are std::string in memory; widths apply where
// text is written or compared.
#pragma once

#include <string>
#include <string_view>

namespace zeb {

// s cut or blank-padded to exactly w characters.
std::string pad(std::string_view s, std::size_t w);

// s without its trailing blanks.
std::string rtrim(std::string_view s);

// s without leading and trailing blanks.
std::string trim(std::string_view s);

// Number of characters before the first blank (the whole length when there is none).
int strlen_blank(std::string_view s);

// True when s starts with prefix.
inline bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Character n (1-based) of s, or a blank beyond its end.
inline char char_at(std::string_view s, std::size_t n) { return n >= 1 && n <= s.size() ? s[n - 1] : ' '; }

// Columns a..b (1-based, inclusive) of s, blank-padded where s is shorter.
std::string columns(std::string_view s, std::size_t a, std::size_t b);

// A name that must fit a field of w characters: returned unchanged when it fits;
// a longer name stops the run with a clear message naming what it is for
// (a cut name would open another file, or none).
std::string fit_field(const std::string& name, std::size_t w, const std::string& what);

}  // namespace zeb
