#include "core/text.h"

#include <iostream>

#include "core/stop.h"

namespace zeb {

std::string pad(std::string_view s, std::size_t w) {
  std::string r(s.substr(0, w));
  r.resize(w, ' ');
  return r;
}

std::string rtrim(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

std::string trim(std::string_view s) {
  std::size_t a = 0;
  while (a < s.size() && s[a] == ' ') ++a;
  return rtrim(s.substr(a));
}

int strlen_blank(std::string_view s) {
  std::size_t p = s.find(' ');
  return static_cast<int>(p == std::string_view::npos ? s.size() : p);
}

std::string columns(std::string_view s, std::size_t a, std::size_t b) {
  std::string r;
  for (std::size_t n = a; n <= b; ++n) r += char_at(s, n);
  return r;
}

std::string fit_field(const std::string& name, std::size_t w, const std::string& what) {
  std::string t = rtrim(name);
  if (t.size() <= w) return t;
  std::cout << "NAME TOO LONG: " << what << " needs " << t.size() << " characters, the field holds " << w << '\n';
  std::cout << "NAME: " << t << '\n';
  stop_run("name longer than its field");
}

}  // namespace zeb
