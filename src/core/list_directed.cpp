#include "core/list_directed.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "core/stop.h"

namespace zeb {

namespace {
bool is_sep(char c) { return c == ' ' || c == ',' || c == '/' || c == '\t' || c == '\r' || c == '\n'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

std::optional<long long> parse_int_item(std::string_view s) {
  std::size_t p = 0;
  bool neg = false;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) neg = s[p++] == '-';
  if (p >= s.size()) return std::nullopt;
  unsigned long long v = 0;
  for (; p < s.size(); ++p) {
    if (!std::isdigit(static_cast<unsigned char>(s[p]))) return std::nullopt;
    v = v * 10 + static_cast<unsigned long long>(s[p] - '0');
    if (v > static_cast<unsigned long long>(LLONG_MAX)) return std::nullopt;
  }
  return neg ? -static_cast<long long>(v) : static_cast<long long>(v);
}

std::optional<double> parse_real_item(std::string_view s) {
  // Fortran real forms: [sign] digits [. digits] [(E|D|Q) [sign] digits],
  // also the exponent sign alone ("1.5+3"), and Inf/Infinity/NaN.
  std::string t;
  std::size_t p = 0;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) t += s[p++];
  std::string rest(s.substr(p));
  std::string lower;
  for (char c : rest) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "inf" || lower == "infinity") return t == "-" ? -HUGE_VAL : HUGE_VAL;
  if (lower == "nan") return std::nan("");
  bool digits = false;
  while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) {
    t += s[p++];
    digits = true;
  }
  if (p < s.size() && s[p] == '.') {
    t += s[p++];
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) {
      t += s[p++];
      digits = true;
    }
  }
  if (!digits) return std::nullopt;
  if (p < s.size()) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[p])));
    if (c == 'e' || c == 'd' || c == 'q') {
      ++p;
    } else if (c != '+' && c != '-') {
      return std::nullopt;
    }
    t += 'e';
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) t += s[p++];
    bool exp_digits = false;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) {
      t += s[p++];
      exp_digits = true;
    }
    if (!exp_digits || p != s.size()) return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size()) return std::nullopt;
  if (errno == ERANGE && std::isinf(v)) return std::nullopt;  // overflow is a read error
  return v;
}

ListReader::ListReader(std::string_view record, std::string context) : rec_(record), context_(std::move(context)) {}

void ListReader::fail(const std::string& what, const std::string& text) const {
  std::string msg = what + " '" + text + "' in list-directed input";
  if (!context_.empty()) msg = context_ + ": " + msg;
  run_error(msg);
}

Got ListReader::next_item(std::string& text, bool& quoted) {
  if (repeat_left_ > 0) {
    --repeat_left_;
    text = repeat_text_;
    quoted = repeat_quoted_;
    return repeat_null_ ? Got::Null : Got::Value;
  }
  if (slashed_) return Got::Slash;
  if (ended_) return Got::End;
  // Skip the separator after the previous value: blanks, then at most one comma.
  while (p_ < rec_.size() && is_blank(rec_[p_])) ++p_;
  if (after_value_) {
    after_value_ = false;
    if (p_ < rec_.size() && rec_[p_] == ',') {
      ++p_;
      while (p_ < rec_.size() && is_blank(rec_[p_])) ++p_;
    }
  }
  if (p_ >= rec_.size()) {
    ended_ = true;
    return Got::End;
  }
  char c = rec_[p_];
  if (c == '/') {
    slashed_ = true;
    return Got::Slash;
  }
  if (c == ',') {
    // A comma with no value before it: a null value.
    ++p_;
    return Got::Null;
  }
  quoted = false;
  text.clear();
  // A repeat count r* in front of the value?
  std::size_t q = p_;
  while (q < rec_.size() && std::isdigit(static_cast<unsigned char>(rec_[q]))) ++q;
  if (q > p_ && q < rec_.size() && rec_[q] == '*') {
    long long r = std::strtoll(rec_.substr(p_, q - p_).c_str(), nullptr, 10);
    if (r < 1 || r > 1000000) fail("bad repeat count", rec_.substr(p_, q - p_));
    p_ = q + 1;
    bool null = p_ >= rec_.size() || is_sep(rec_[p_]);
    std::string t;
    bool tq = false;
    if (!null) {
      Got g = next_item(t, tq);
      if (g != Got::Value) null = true;
    } else {
      after_value_ = true;
    }
    repeat_left_ = static_cast<int>(r);
    repeat_null_ = null;
    repeat_text_ = t;
    repeat_quoted_ = tq;
    return next_item(text, quoted);
  }
  if (c == '\'' || c == '"') {
    quoted = true;
    ++p_;
    for (;;) {
      if (p_ >= rec_.size()) break;  // an unterminated quote runs to the end of the record
      if (rec_[p_] == c) {
        if (p_ + 1 < rec_.size() && rec_[p_ + 1] == c) {
          text += c;
          p_ += 2;
          continue;
        }
        ++p_;
        break;
      }
      text += rec_[p_++];
    }
  } else {
    while (p_ < rec_.size() && !is_sep(rec_[p_])) text += rec_[p_++];
  }
  after_value_ = true;
  return Got::Value;
}

Got ListReader::read_int(long long& out) {
  std::string t;
  bool quoted = false;
  Got g = next_item(t, quoted);
  ++count_;
  if (g != Got::Value) return g;
  std::optional<long long> v = quoted ? std::nullopt : parse_int_item(t);
  if (!v) fail("bad integer", t);
  out = *v;
  return Got::Value;
}

Got ListReader::read_int(int& out) {
  long long v = 0;
  Got g = read_int(v);
  if (g == Got::Value) {
    if (v < INT_MIN || v > INT_MAX) fail("integer out of range", std::to_string(v));
    out = static_cast<int>(v);
  }
  return g;
}

Got ListReader::read_real(double& out) {
  std::string t;
  bool quoted = false;
  Got g = next_item(t, quoted);
  ++count_;
  if (g != Got::Value) return g;
  std::optional<double> v = quoted ? std::nullopt : parse_real_item(t);
  if (!v) fail("bad real number", t);
  out = *v;
  return Got::Value;
}

Got ListReader::read_real(float& out) {
  double v = 0;
  Got g = read_real(v);
  if (g == Got::Value) {
    if (std::isfinite(v) && std::fabs(v) > 3.4028234663852886e38) fail("real out of range", std::to_string(v));
    out = static_cast<float>(v);
  }
  return g;
}

Got ListReader::read_text(std::string& out) {
  std::string t;
  bool quoted = false;
  Got g = next_item(t, quoted);
  ++count_;
  if (g == Got::Value) out = t;
  return g;
}

int ListReader::need_int() {
  int v = 0;
  if (read_int(v) != Got::Value) fail("missing integer", "");
  return v;
}

double ListReader::need_real() {
  double v = 0;
  if (read_real(v) != Got::Value) fail("missing real number", "");
  return v;
}

}  // namespace zeb
