// Fuzzes the HTML tokenizer and the text routines its callbacks use.
//
// Input layout: byte 0 picks the chunk size (1..64) for a second, chunked parse; byte 1
// holds option bits (raw PRE, white-space folding, a windows-1252 code page); the rest
// is the document. Checked properties: nothing crashes or leaks; the chunked parse
// gives exactly the callbacks of the whole parse; every string a callback receives is
// valid UTF-8 without NUL bytes; escaping then unescaping gives the text back.

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "html/HtmlParser.h"
#include "html/HtmlTokens.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckClean(const char* s, size_t n) { Check(g_utf8_validate_len(s, n, nullptr)); }

class FuzzParser : public HTMLParser {
 public:
  std::vector<std::string> trace;

  void OnTagBegin(const char* tag, const char* params, bool selfClosing) override {
    std::string p = params;
    CheckClean(tag, strlen(tag));
    CheckClean(p.data(), p.size());
    HtmlTokenFromName(tag);
    std::string v;
    ExtractParam(p, "href", v);
    ExtractParam(p, "name", v);
    ExtractParamValue(p, "color", v);
    trace.push_back(std::string(selfClosing ? "S:" : "B:") + tag + "|" + p);
  }
  void OnTagEnd(const char* tag) override {
    CheckClean(tag, strlen(tag));
    trace.push_back(std::string("E:") + tag);
  }
  void OnComment(const char* text) override {
    CheckClean(text, strlen(text));
    trace.push_back(std::string("C:") + text);
  }
  void OnText(std::string& text) override {
    CheckClean(text.data(), text.size());
    trace.push_back("T:" + text);
    std::string t = text;
    UnescapeChars(t);
    std::string round = text;
    EscapeChars(round);
    UnescapeChars(round);
    Check(round == text);
    StripExtraWhiteSpace(t);
    EscapeURI(t);
    UnescapeURI(t);
  }
};

void Setup(FuzzParser& p, uint8_t options) {
  p.m_bRawPre = options & 1;
  p.m_bStripWhiteSpace = options & 2;
  if (options & 4) p.m_strCodePage = "windows-1252";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + data[0] % 64;
  const uint8_t options = data[1];
  const char* doc = reinterpret_cast<const char*>(data + 2);
  const int len = int(size - 2);

  FuzzParser whole;
  Setup(whole, options);
  whole.Parse(doc, len);
  whole.Finalize();

  FuzzParser pieces;
  Setup(pieces, options);
  for (int pos = 0; pos < len; pos += int(chunk))
    pieces.Parse(doc + pos, std::min(int(chunk), len - pos));
  pieces.Finalize();
  Check(pieces.trace == whole.trace);
  return 0;
}
