// The text routines of HTMLParser: escaping, unescaping, white space and attribute
// extraction. Each one makes a single pass into an output string (the in-place
// replacements they stand for would be quadratic on long lines) and returns early,
// without copying, when there is nothing to change.

#include <glib.h>

#include <cstring>

#include "base/Log.h"
#include "html/HtmlEntities.h"
#include "html/HtmlParser.h"
#include "html/HtmlTextUtils.h"

namespace {

bool IsParamSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == ';';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

void HTMLParser::EscapeChars(std::string& text) {
  size_t first = text.find_first_of("\"&<>");
  if (first == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  out.append(text, 0, first);
  for (size_t i = first; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
        break;
    }
  }
  text.swap(out);
}

void HTMLParser::UnescapeChars(std::string& text) {
  const char* const data = text.data();
  const size_t n = text.size();
  const char* amp = static_cast<const char*>(memchr(data, '&', n));
  if (!amp) return;
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (amp) {
    size_t a = size_t(amp - data);
    out.append(data + i, a - i);
    bool unknown = false;
    const size_t len = quillery::DecodeReferenceAt(data, n, a, &out, &unknown);
    if (len == 0) {  // a literal "&"; scanning resumes after it
      out += '&';
      if (unknown) {
        size_t j = a + 1;
        while (data[j] != ';') ++j;
        xLog(4, "ERROR: Bad or unsupported HTML escape sequence: [%.*s]\n", int(j - a - 1), data + a + 1);
      }
      i = a + 1;
    } else {
      i = a + len;
    }
    amp = i < n ? static_cast<const char*>(memchr(data + i, '&', n - i)) : nullptr;
  }
  out.append(data + i, n - i);
  text.swap(out);
}

void HTMLParser::EscapeURI(std::string& text) {
  gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  if (escaped) {
    text.assign(escaped);
    g_free(escaped);
  }
}

void HTMLParser::UnescapeURI(std::string& text) {
  if (text.find('%') == std::string::npos) return;
  gchar* plain = g_uri_unescape_string(text.c_str(), nullptr);
  if (plain) {
    text.assign(plain);
    g_free(plain);
  }
}

void HTMLParser::StripExtraWhiteSpace(std::string& text) {
  if (text.find("  ") == std::string::npos && text.find("\n ") == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    // A blank after a blank belongs to a folded run; one after a line feed goes.
    if (c == ' ' && !out.empty() && (out.back() == ' ' || out.back() == '\n')) continue;
    out += c;
  }
  text.swap(out);
}

namespace {

// Where an attribute's value stands in a tag's parameter text.
struct ValueSpan {
  size_t begin = 0, end = 0;
  bool closed = false;  // a quoted value's closing quote was found
};

bool NameMatches(const char* at, size_t len, const char* name, size_t nameLen, bool anyCase) {
  return len == nameLen && (anyCase ? g_ascii_strncasecmp(at, name, len) == 0 : memcmp(at, name, len) == 0);
}

// Walks the parameter text attribute by attribute, so that a name is matched only
// where an attribute name stands: text inside another attribute's quoted value
// (a title "x name='b'") is never taken for an attribute. The first attribute of
// the name counts. As HTML reads attributes (`html`), the name matches in any
// ASCII case and an unquoted value counts, running to the next blank; otherwise
// the name's case must match and only a quoted value counts. One pass: linear in
// the parameter text.
bool FindValue(const std::string& params, const char* name, bool html, ValueSpan& span) {
  if (!name || !*name) return false;
  const size_t nameLen = strlen(name);
  const char* p = params.data();
  const size_t n = params.size();
  size_t i = 0;
  while (i < n) {
    char c = p[i];
    if (IsParamSeparator(c)) {
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') {  // a quoted run where no name can stand: skip it
      const char* q = static_cast<const char*>(memchr(p + i + 1, c, n - i - 1));
      i = q ? size_t(q - p) + 1 : n;
      continue;
    }
    size_t start = i;
    while (i < n && !IsParamSeparator(p[i]) && p[i] != '=' && p[i] != '"' && p[i] != '\'') ++i;
    const bool match = NameMatches(p + start, i - start, name, nameLen, html);
    size_t j = i;
    while (j < n && IsBlank(p[j])) ++j;
    if (j >= n || p[j] != '=') {
      if (i == start)  // a lone "=" where a name should be
        ++i;
      continue;
    }
    ++j;
    while (j < n && IsBlank(p[j])) ++j;
    if (j < n && (p[j] == '"' || p[j] == '\'')) {
      const char quote = p[j];
      const char* q = static_cast<const char*>(memchr(p + j + 1, quote, n - j - 1));
      size_t valueEnd = q ? size_t(q - p) : n;
      if (match) {
        span.begin = j + 1;
        span.end = valueEnd;
        span.closed = q != nullptr;
        return true;
      }
      i = q ? valueEnd + 1 : n;
    } else {
      // An unquoted value runs to the next blank.
      const size_t valueBegin = j;
      while (j < n && !IsBlank(p[j])) ++j;
      if (match && html) {
        span.begin = valueBegin;
        span.end = j;
        span.closed = true;
        return true;
      }
      i = j;
    }
  }
  return false;
}

}  // namespace

bool HTMLParser::ExtractParam(const std::string& params, const char* name, std::string& value) {
  bool closed = false;
  return ExtractParam(params, name, value, closed);
}

bool HTMLParser::ExtractParam(const std::string& params, const char* name, std::string& value, bool& closed) {
  value.clear();
  closed = false;
  ValueSpan span;
  if (!FindValue(params, name, false, span)) return false;
  closed = span.closed;
  value.assign(params, span.begin, span.end - span.begin);
  trimstring(value);
  UnescapeChars(value);
  return true;
}

bool HTMLParser::ReadAttribute(const std::string& params, const char* name, std::string& value) {
  value.clear();
  ValueSpan span;
  if (!FindValue(params, name, true, span)) return false;
  value.assign(params, span.begin, span.end - span.begin);
  UnescapeChars(value);
  return true;
}

bool HTMLParser::ExtractParamValue(const std::string& style, const char* name, std::string& value) {
  value.clear();
  if (!name || !*name) return false;
  // Occurrences of "name:", found as the name followed by a colon (no key
  // string is built for every lookup).
  const size_t nameLen = strlen(name);
  size_t pos = 0;
  while ((pos = style.find(name, pos, nameLen)) != std::string::npos) {
    if (pos + nameLen >= style.size() || style[pos + nameLen] != ':') {
      pos += 1;
      continue;
    }
    char before = pos > 0 ? style[pos - 1] : ' ';
    if (before == ' ' || before == ';' || before == '"' || before == '\'' || before == '\t' ||
        before == '\n') {
      size_t start = pos + nameLen + 1;
      size_t end = style.find(';', start);
      value = style.substr(start, end == std::string::npos ? std::string::npos : end - start);
      trimstring(value);
      return true;
    }
    pos += 1;
  }
  return false;
}
