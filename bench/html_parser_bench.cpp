// HTML parser throughput: the tokenizer over a synthetic native-like document of
// 100,000 notes (about 110 MB), fed in 8 KB and 1 KB chunks to callbacks that only
// count and look up tag tokens; and the text routines over one 2 MB line, at two sizes
// so that linear growth can be seen.

#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "html/HtmlParser.h"
#include "html/HtmlTokens.h"

namespace {

class CountingParser : public HTMLParser {
 public:
  size_t tags = 0, texts = 0, comments = 0, tokenSum = 0;

  void OnTagBegin(const char* tag, const char*, bool) override {
    ++tags;
    tokenSum += HtmlTokenFromName(tag);
  }
  void OnTagEnd(const char* tag) override {
    ++tags;
    tokenSum += HtmlTokenFromName(tag);
  }
  void OnComment(const char*) override { ++comments; }
  void OnText(std::string&) override { ++texts; }
};

// A document laid out like the native writer's: a header, then per note a DT with the
// ID anchor, property comments, a DD with formatted lines; every 20th note carries a
// 2 KB base64 picture; every 5th note opens a level of children.
const std::string& NativeDocument() {
  static const std::string doc = [] {
    std::mt19937 rng(42);
    const char* words[] = {"note",  "tree", "alpha", "text", "r\xC3\xA9sum\xC3\xA9",
                           "&amp;", "list", "bold",  "item", "data",
                           "links", "value"};
    auto sentence = [&](int n) {
      std::string s;
      for (int i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += words[rng() % 12];
      }
      return s;
    };
    std::string b64;
    for (int i = 0; i < 2048; ++i) b64 += (i % 73 == 72) ? '\n' : char('A' + rng() % 26);
    std::string d =
        "<!DOCTYPE Quillery-File>\n<!--LastNote:0-->\n<HTML>\n<HEAD>\n<META http-equiv=\"Content-"
        "Type\" content=\"text/html; "
        "charset=UTF-8\">\n<TITLE>Bench</TITLE>\n</HEAD>\n<BODY>\n<DL>\n";
    d.reserve(120u << 20);
    int depth = 0;
    for (int n = 0; n < 100000; ++n) {
      d += "<DT><A name=\"id" + std::to_string(n) + "\"></A>" + sentence(3) + "</DT>\n";
      d += "<!--property:date_created=1700000000-->\n<!--property:date_modified=1700000500-->\n";
      if (n % 3 == 0) d += "<!--property:keywords=a;b-->\n";
      d += "<DD>";
      for (int line = 0; line < 8; ++line) {
        d += sentence(8) + " <B>" + sentence(2) + "</B> <FONT style=\"color:#ff0000\">" +
             sentence(2) + "</FONT> " + sentence(6) + "<BR>\n";
      }
      if (n % 20 == 0) d += "<IMG title=\"pic.png\" src=\"data:image/png;base64," + b64 + "\">";
      d += "</DD>\n";
      if (n % 5 == 0 && depth < 6) {
        d += "<DL>\n";
        ++depth;
      } else if (n % 7 == 0 && depth > 0) {
        d += "</DL>\n";
        --depth;
      }
    }
    while (depth-- > 0) d += "</DL>\n";
    d += "</DL>\n</BODY>\n</HTML>\n";
    return d;
  }();
  return doc;
}

void BM_TokenizeNativeDocument(benchmark::State& state) {
  const std::string& doc = NativeDocument();
  const size_t chunk = size_t(state.range(0));
  for (auto _ : state) {
    CountingParser p;
    p.Clear();
    for (size_t pos = 0; pos < doc.size(); pos += chunk)
      p.Parse(doc.data() + pos, int(std::min(chunk, doc.size() - pos)));
    p.Finalize();
    benchmark::DoNotOptimize(p.tokenSum);
    state.counters["tags"] = double(p.tags);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}
BENCHMARK(BM_TokenizeNativeDocument)->Arg(8192)->Arg(1024)->Unit(benchmark::kMillisecond);

// One line of `bytes` bytes made of quoted words: long pasted code or JSON.
std::string QuotedLine(size_t bytes) {
  std::string s;
  s.reserve(bytes + 16);
  while (s.size() < bytes) s += "\"key\": <v> & ";
  return s;
}

void BM_EscapeLine(benchmark::State& state) {
  const std::string line = QuotedLine(size_t(state.range(0)));
  for (auto _ : state) {
    std::string s = line;
    HTMLParser::EscapeChars(s);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
}
BENCHMARK(BM_EscapeLine)->Arg(1 << 20)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

void BM_UnescapeLine(benchmark::State& state) {
  std::string line = QuotedLine(size_t(state.range(0)));
  HTMLParser::EscapeChars(line);
  for (auto _ : state) {
    std::string s = line;
    HTMLParser::UnescapeChars(s);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
}
BENCHMARK(BM_UnescapeLine)->Arg(1 << 20)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

void BM_StripAndTrimLine(benchmark::State& state) {
  std::string line;
  while (line.size() < size_t(state.range(0))) line += "  word   word \n  ";
  for (auto _ : state) {
    std::string s = line;
    HTMLParser::StripExtraWhiteSpace(s);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(line.size()));
}
BENCHMARK(BM_StripAndTrimLine)->Arg(1 << 20)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
