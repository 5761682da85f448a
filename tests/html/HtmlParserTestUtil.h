#pragma once

// A parser that records its callbacks as short strings, for comparing traces:
//   "B:name|params" (+"|/" when self-closing), "E:name", "C:text", "T:text".

#include <string>
#include <vector>

#include "html/HtmlParser.h"

namespace quillery_test {

class TraceParser : public HTMLParser {
 public:
  std::vector<std::string> trace;
  std::vector<int> offsets;  // GetCurrentCumulativeOffset at each callback

  void OnTagBegin(const char* tag, const char* params, bool selfClosing) override {
    Add(std::string("B:") + tag + "|" + params + (selfClosing ? "|/" : ""));
  }
  void OnTagEnd(const char* tag) override { Add(std::string("E:") + tag); }
  void OnComment(const char* text) override { Add(std::string("C:") + text); }
  void OnText(std::string& text) override { Add("T:" + text); }

  using HTMLParser::m_strBuffer;

 private:
  void Add(std::string s) {
    trace.push_back(std::move(s));
    offsets.push_back(GetCurrentCumulativeOffset());
  }
};

// Parses the input in one piece and finalises.
inline std::vector<std::string> ParseWhole(const std::string& in, bool rawPre = false) {
  TraceParser p;
  p.m_bRawPre = rawPre;
  p.Parse(in.data(), int(in.size()));
  p.Finalize();
  return p.trace;
}

}  // namespace quillery_test
