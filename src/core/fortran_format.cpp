#include "core/fortran_format.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace zeb {

namespace {

struct Node {
  enum class Kind { Literal, Skip, Int, Fixed, Exp, Text, Logical, Slash, Colon, Group } kind = Kind::Literal;
  int repeat = 1;
  int w = -1;  // -1: no width (A without width)
  int d = -1;  // decimals (F, E) or minimum digits (I)
  std::string literal;
  std::vector<Node> children;
};

class FormatError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

Node simple(Node::Kind k) {
  Node n;
  n.kind = k;
  return n;
}

class Parser {
 public:
  explicit Parser(std::string_view f) : f_(f) {}

  Node parse() {
    skip_blanks();
    expect('(');
    Node root = parse_list(')');
    skip_blanks();
    if (p_ != f_.size()) throw FormatError("text after the closing parenthesis");
    return root;
  }

 private:
  void skip_blanks() {
    while (p_ < f_.size() && f_[p_] == ' ') ++p_;
  }
  void expect(char c) {
    skip_blanks();
    if (p_ >= f_.size() || f_[p_] != c) throw FormatError(std::string("expected '") + c + "'");
    ++p_;
  }
  int number() {
    skip_blanks();
    int v = 0;
    bool any = false;
    while (p_ < f_.size() && std::isdigit(static_cast<unsigned char>(f_[p_]))) {
      v = v * 10 + (f_[p_] - '0');
      ++p_;
      any = true;
      skip_blanks();
    }
    return any ? v : -1;
  }
  Node parse_list(char close) {
    Node group;
    group.kind = Node::Kind::Group;
    for (;;) {
      skip_blanks();
      if (p_ >= f_.size()) throw FormatError("unbalanced parentheses");
      char c = f_[p_];
      if (c == close) {
        ++p_;
        return group;
      }
      if (c == ',') {
        ++p_;
        continue;
      }
      if (c == '/') {
        ++p_;
        group.children.push_back(simple(Node::Kind::Slash));
        continue;
      }
      if (c == ':') {
        ++p_;
        group.children.push_back(simple(Node::Kind::Colon));
        continue;
      }
      if (c == '\'' || c == '"') {
        group.children.push_back(literal(c));
        continue;
      }
      int rep = number();
      skip_blanks();
      if (p_ >= f_.size()) throw FormatError("format ends inside an item");
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(f_[p_])));
      Node n;
      if (c == '(') {
        ++p_;
        n = parse_list(')');
      } else if (c == 'x') {
        ++p_;
        n.kind = Node::Kind::Skip;
        n.w = rep < 0 ? 1 : rep;
        rep = 1;
      } else if (c == 'i' || c == 'f' || c == 'e' || c == 'a' || c == 'l') {
        ++p_;
        n.kind = c == 'i' ? Node::Kind::Int
                 : c == 'f' ? Node::Kind::Fixed
                 : c == 'e' ? Node::Kind::Exp
                 : c == 'a' ? Node::Kind::Text
                            : Node::Kind::Logical;
        n.w = number();
        skip_blanks();
        if (p_ < f_.size() && f_[p_] == '.') {
          ++p_;
          n.d = number();
          if (n.d < 0) throw FormatError("missing digits after '.'");
        }
        if (n.w < 0 && n.kind != Node::Kind::Text) throw FormatError("missing width");
        if ((n.kind == Node::Kind::Fixed || n.kind == Node::Kind::Exp) && n.d < 0)
          throw FormatError("missing decimals");
      } else {
        throw FormatError(std::string("unknown descriptor '") + f_[p_] + "'");
      }
      n.repeat = rep < 0 ? 1 : rep;
      group.children.push_back(std::move(n));
    }
  }
  Node literal(char q) {
    ++p_;
    Node n;
    n.kind = Node::Kind::Literal;
    for (;;) {
      if (p_ >= f_.size()) throw FormatError("unterminated literal");
      if (f_[p_] == q) {
        if (p_ + 1 < f_.size() && f_[p_ + 1] == q) {
          n.literal += q;
          p_ += 2;
          continue;
        }
        ++p_;
        return n;
      }
      n.literal += f_[p_++];
    }
  }

  std::string_view f_;
  std::size_t p_ = 0;
};

std::shared_ptr<const Node> cached_format(std::string_view format) {
  static std::mutex mu;
  static std::map<std::string, std::shared_ptr<const Node>, std::less<>> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(format);
  if (it != cache.end()) return it->second;
  std::shared_ptr<const Node> node;
  try {
    node = std::make_shared<const Node>(Parser(format).parse());
  } catch (const FormatError& e) {
    throw std::logic_error("bad record format " + std::string(format) + ": " + e.what());
  }
  cache.emplace(std::string(format), node);
  return node;
}

std::string stars(int w) { return std::string(static_cast<std::size_t>(w), '*'); }

std::string right(const std::string& s, int w) {
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string non_finite(double v, int w) {
  std::string s;
  if (std::isnan(v)) {
    s = "NaN";
  } else {
    s = w >= 8 + (v < 0 ? 1 : 0) ? "Infinity" : "Inf";
    if (v < 0) s = "-" + s;
  }
  return right(s, w);
}

long long as_int(const FArg& a) {
  if (a.kind == FArg::Kind::Int) return a.i;
  if (a.kind == FArg::Kind::Real) return static_cast<long long>(a.r);
  if (a.kind == FArg::Kind::Logical) return a.l ? 1 : 0;
  throw std::logic_error("text written with an I descriptor");
}

double as_real(const FArg& a) {
  if (a.kind == FArg::Kind::Real) return a.r;
  if (a.kind == FArg::Kind::Int) return static_cast<double>(a.i);
  throw std::logic_error("non-number written with an F or E descriptor");
}

class Writer {
 public:
  explicit Writer(const std::vector<FArg>& v) : v_(v) {}

  std::string run(const Node& root) {
    // One pass over the whole format, then reversion while values remain.
    if (!group(root)) return out_;
    while (next_ < v_.size()) {
      std::size_t before = next_;
      pending_skip_ = 0;
      out_ += '\n';
      const Node* rev = &root;
      for (const Node& c : root.children)
        if (c.kind == Node::Kind::Group) rev = &c;
      bool ok = rev == &root ? group(root) : repeat_group(*rev);
      if (!ok) break;
      if (next_ == before) throw std::logic_error("format consumes no values on reversion");
    }
    return out_;
  }

 private:
  bool repeat_group(const Node& g) {
    for (int r = 0; r < g.repeat; ++r)
      if (!group(g)) return false;
    return true;
  }
  // Returns false when the record ended for lack of a value.
  bool group(const Node& g) {
    for (const Node& n : g.children) {
      switch (n.kind) {
        case Node::Kind::Literal:
          flush_skip();
          out_ += n.literal;
          break;
        case Node::Kind::Skip:
          // X moves the position; the blanks appear only when something is
          // written after them, so a record never ends in blanks from X.
          pending_skip_ += static_cast<std::size_t>(n.w);
          break;
        case Node::Kind::Slash:
          pending_skip_ = 0;
          out_ += '\n';
          break;
        case Node::Kind::Colon:
          if (next_ >= v_.size()) return false;
          break;
        case Node::Kind::Group:
          if (!repeat_group(n)) return false;
          break;
        default:
          for (int r = 0; r < n.repeat; ++r) {
            if (next_ >= v_.size()) return false;
            item(n, v_[next_++]);
          }
      }
    }
    return true;
  }
  void flush_skip() {
    out_.append(pending_skip_, ' ');
    pending_skip_ = 0;
  }
  void item(const Node& n, const FArg& a) {
    flush_skip();
    switch (n.kind) {
      case Node::Kind::Int:
        out_ += format_int(as_int(a), n.w, n.d);
        break;
      case Node::Kind::Fixed:
        out_ += format_fixed(as_real(a), n.w, n.d);
        break;
      case Node::Kind::Exp:
        out_ += format_exp(as_real(a), n.w, n.d);
        break;
      case Node::Kind::Logical: {
        bool b = a.kind == FArg::Kind::Logical ? a.l : as_int(a) != 0;
        out_ += right(b ? "T" : "F", n.w);
        break;
      }
      case Node::Kind::Text: {
        if (a.kind != FArg::Kind::Text) throw std::logic_error("non-text written with an A descriptor");
        if (n.w < 0) {
          out_ += a.s;
        } else if (static_cast<int>(a.s.size()) >= n.w) {
          out_ += a.s.substr(0, static_cast<std::size_t>(n.w));
        } else {
          out_.append(static_cast<std::size_t>(n.w) - a.s.size(), ' ');
          out_ += a.s;
        }
        break;
      }
      default:
        break;
    }
  }

  const std::vector<FArg>& v_;
  std::size_t next_ = 0;
  std::size_t pending_skip_ = 0;
  std::string out_;
};

}  // namespace

std::string format_int(long long v, int w, int m) {
  unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  std::string digits = mag == 0 && m == 0 ? std::string() : std::to_string(mag);
  if (m > 0 && static_cast<int>(digits.size()) < m) digits.insert(0, static_cast<std::size_t>(m) - digits.size(), '0');
  if (v < 0) digits.insert(0, 1, '-');
  return right(digits, w);
}

std::string format_fixed(double v, int w, int d) {
  if (!std::isfinite(v)) return non_finite(v, w);
  char buf[512];
  // glibc's %f rounds correctly from the binary value.
  int n = std::snprintf(buf, sizeof buf, "%.*f", d, v);
  if (n < 0 || n >= static_cast<int>(sizeof buf)) return stars(w);
  std::string s(buf, static_cast<std::size_t>(n));
  bool negative = s[0] == '-';
  std::string body = negative ? s.substr(1) : s;
  // An exact zero, negative zero included, is written without a sign; a negative
  // value that rounds to zero keeps its minus sign.
  if (v == 0.0) negative = false;
  if (d == 0) body += '.';
  std::string full = (negative ? "-" : "") + body;
  if (static_cast<int>(full.size()) <= w) return right(full, w);
  // No room for the leading zero of a fraction: drop it.
  if (body.size() > 1 && body[0] == '0' && body[1] == '.') {
    std::string shorter = (negative ? "-" : "") + body.substr(1);
    if (static_cast<int>(shorter.size()) <= w) return right(shorter, w);
  }
  return stars(w);
}

std::string format_exp(double v, int w, int d) {
  if (!std::isfinite(v)) return non_finite(v, w);
  bool negative = std::signbit(v) && v != 0.0;
  std::string digits;
  int exponent = 0;
  if (v == 0.0) {
    digits.assign(static_cast<std::size_t>(d), '0');
  } else {
    char buf[64];
    // d significant digits, correctly rounded: d.ddd e+xx with d-1 decimals.
    std::snprintf(buf, sizeof buf, "%.*e", d > 0 ? d - 1 : 0, std::fabs(v));
    std::string s(buf);
    std::size_t e = s.find('e');
    for (std::size_t k = 0; k < e; ++k)
      if (s[k] != '.') digits += s[k];
    exponent = std::stoi(s.substr(e + 1)) + 1;
    if (d == 0) digits.clear();
  }
  std::string exp_text;
  int ae = exponent < 0 ? -exponent : exponent;
  if (ae <= 99) {
    char b[8];
    std::snprintf(b, sizeof b, "E%c%02d", exponent < 0 ? '-' : '+', ae);
    exp_text = b;
  } else if (ae <= 999) {
    char b[8];
    std::snprintf(b, sizeof b, "%c%03d", exponent < 0 ? '-' : '+', ae);
    exp_text = b;
  } else {
    return stars(w);
  }
  std::string body = "." + digits + exp_text;
  std::string with_zero = (negative ? "-" : "") + ("0" + body);
  if (static_cast<int>(with_zero.size()) <= w) return right(with_zero, w);
  return right((negative ? "-" : "") + body, w);
}

std::string fortran_record_v(std::string_view format, const std::vector<FArg>& values) {
  std::shared_ptr<const Node> root = cached_format(format);
  return Writer(values).run(*root);
}

std::string list_record_v(const std::vector<FArg>& values) {
  std::string out;
  for (const FArg& a : values) {
    out += ' ';
    switch (a.kind) {
      case FArg::Kind::Int:
        out += std::to_string(a.i);
        break;
      case FArg::Kind::Real: {
        char buf[64];
        std::to_chars_result r = a.single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(a.r))
                                          : std::to_chars(buf, buf + sizeof buf, a.r);
        out.append(buf, r.ptr);
        break;
      }
      case FArg::Kind::Text:
        out += a.s;
        break;
      case FArg::Kind::Logical:
        out += a.l ? 'T' : 'F';
        break;
    }
  }
  return out;
}

}  // namespace zeb
