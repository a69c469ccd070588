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

}  // namespace zeb
