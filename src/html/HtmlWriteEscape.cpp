#include "html/HtmlWriteEscape.h"

#include "html/HtmlEntities.h"
#include "html/HtmlParser.h"

namespace quillery {

void AppendAttrValue(std::string& out, const std::string& value) {
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '"' && c != '&') continue;
    // An "&" stays bare unless the reader would decode what follows it.
    if (c == '&' && DecodeReferenceAt(value.data(), value.size(), i, nullptr) == 0) continue;
    out.append(value, start, i - start);
    out.append(c == '"' ? "&quot;" : "&amp;");
    start = i + 1;
  }
  out.append(value, start, std::string::npos);
}

void AppendCommentValue(std::string& out, const std::string& value) {
  size_t start = 0;
  for (size_t p = value.find("-->"); p != std::string::npos; p = value.find("-->", p + 3)) {
    out.append(value, start, p + 2 - start);
    out.append("&gt;");
    start = p + 3;
  }
  out.append(value, start, std::string::npos);
}

namespace {

// The bytes AppendNoteText replaces; every other byte is copied in runs.
struct NoteTextSpecials {
  bool special[256] = {};
  NoteTextSpecials() {
    for (unsigned char c : {'"', '&', '<', '>', '\n', '\r'}) special[c] = true;
  }
};
const NoteTextSpecials kSpecials;

}  // namespace

void AppendNoteText(std::string& out, const char* text, size_t len, bool dropFinalBreak) {
  static const std::string kBreak = "<BR>\n";
  // Only the text's own last line break goes: a break inside stays a break.
  if (dropFinalBreak && len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
    len -= len > 1 && text[len - 2] == '\r' && text[len - 1] == '\n' ? 2 : 1;
  size_t start = 0;
  for (size_t i = 0; i < len; ++i) {
    if (!kSpecials.special[static_cast<unsigned char>(text[i])]) continue;
    const char* rep = nullptr;
    size_t repLen = 0;
    size_t skip = 1;
    switch (text[i]) {
      case '"': rep = "&quot;"; repLen = 6; break;
      case '&': rep = "&amp;"; repLen = 5; break;
      case '<': rep = "&lt;"; repLen = 4; break;
      case '>': rep = "&gt;"; repLen = 4; break;
      case '\n':
        rep = kBreak.data();
        repLen = kBreak.size();
        break;
      case '\r':
        if (i + 1 < len && text[i + 1] == '\n') {
          rep = kBreak.data();
          repLen = kBreak.size();
          skip = 2;
        }
        break;
      default: break;
    }
    if (!rep) continue;
    out.append(text + start, i - start);
    out.append(rep, repLen);
    i += skip - 1;
    start = i + 1;
  }
  out.append(text + start, len - start);
}

void AppendCustomPropertyComment(std::string& out, const std::string& name, const std::string& value) {
  std::string n = name, v = value;
  HTMLParser::EscapeChars(n);
  HTMLParser::EscapeChars(v);
  out += "<!--custom-property name=\"" + n + "\" value=\"" + v + "\"-->\n";
}

void AppendHexColor(std::string& out, unsigned red16, unsigned green16, unsigned blue16) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned ch[3] = {(red16 >> 8) & 0xff, (green16 >> 8) & 0xff, (blue16 >> 8) & 0xff};
  char buf[7] = {'#'};
  for (int i = 0; i < 3; ++i) {
    buf[1 + 2 * i] = kHex[ch[i] >> 4];
    buf[2 + 2 * i] = kHex[ch[i] & 15];
  }
  out.append(buf, sizeof(buf));
}

void AppendDecimal(std::string& out, long long value) {
  char buf[24];
  char* end = buf + sizeof(buf);
  char* p = end;
  // Through the unsigned magnitude, so that the most negative value works.
  unsigned long long v = value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  if (value < 0) *--p = '-';
  out.append(p, static_cast<size_t>(end - p));
}

}  // namespace quillery
