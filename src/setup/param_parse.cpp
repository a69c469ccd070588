#include "setup/param_parse.h"

#include "core/list_directed.h"
#include "core/text.h"

namespace zeb {

int strlen(const std::string& s) { return strlen_blank(s); }

ParamLine parse(const std::string& line, const std::string& context) {
  ParamLine out;
  out.text = pad(line, PARAM_LINE_WIDTH);
  out.where = context;
  std::string s = out.text;
  for (char& c : s)
    if (c == '=') c = ' ';
  std::size_t end = s.rfind('!');
  if (end == std::string::npos) end = PARAM_LINE_WIDTH;  // no '!': the whole line
  bool quoted = false;
  for (std::size_t p = 0; p < end; ++p) {
    bool starts = s[p] != ' ' && !quoted && (p == 0 || s[p - 1] == ' ');
    if (s[p] == '"') quoted = !quoted;
    if (!starts) continue;
    std::string value;
    // A slash, null or missing value leaves the field empty.
    ListReader(std::string_view(s).substr(p), context).read_text(value);
    out.fields.push_back(rtrim(value));
  }
  return out;
}

ParamLineWalker::Kind ParamLineWalker::next(std::string& line) {
  if (line.empty() || line[0] == '#') return Kind::Ignored;
  if (const std::size_t hash = line.find('#', 1); hash != std::string::npos) line.erase(hash);
  if (skipping_) {
    skipping_ = !starts_with(line, "PIKS");
    return Kind::Ignored;
  }
  if (starts_with(line, "SKIP")) {
    skipping_ = true;
    return Kind::Ignored;
  }
  return starts_with(line, "END") ? Kind::End : Kind::Content;
}

}  // namespace zeb
