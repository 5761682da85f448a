// The tokenizer: the documented cases, the mended ones (quotes in comments and CDATA,
// text that opens no tag, end-tag names with blanks, tabs, mixed case), state reset,
// code pages and UTF-8 hygiene, and chunk-boundary invariance.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "HtmlParserTestUtil.h"
#include "base/Log.h"
#include "html/HtmlParser.h"
#include "html/HtmlTokens.h"

using quillery_test::ParseWhole;
using quillery_test::TraceParser;
using Trace = std::vector<std::string>;

namespace {

// A string literal with its embedded NUL bytes.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

struct Case {
  const char* input;
  Trace expected;
  bool rawPre;
};

TEST(HtmlTokenizer, Table) {
  const std::vector<Case> cases = {
      {"<BR/>", {"B:BR||/"}, false},
      {"<BR />", {"B:BR||/"}, false},
      {"<IMG src='a>b'>", {"B:IMG|src='a>b'"}, false},
      {"<A href=\"x\" title='y'>t</A>", {"B:A|href=\"x\" title='y'", "T:t", "E:A"}, false},
      {"<!---->", {"C:"}, false},
      {"<!--->", {"C:"}, false},
      {"<!-- a > b -->", {"C: a > b "}, false},
      {"<!-->", {"B:!--|"}, false},
      {"<![CDATA[a<b]]>", {"T:a<b"}, false},
      {"<![CDATA[&amp;]]>", {"T:&amp;"}, false},
      {"<![CDATA[]]>x", {"T:x"}, false},
      {"<![CDATA[>]]>x", {"T:>", "T:x"}, false},
      {"<PRE>x<B>y</B></PRE>", {"B:PRE|", "T:x", "T:<B>", "T:y", "T:</B>", "E:PRE"}, true},
      {"<pre>x<b>y</pre >z<B>", {"B:pre|", "T:x", "T:<b>", "T:y", "E:pre", "T:z", "B:B|"}, true},
      {"<PRE>x<B>y</B></PRE>", {"B:PRE|", "T:x", "B:B|", "T:y", "E:B", "E:PRE"}, false},
      {"a<B>tail", {"T:a", "B:B|", "T:tail"}, false},
      // Quotes inside a comment or a CDATA section are content, not attribute values.
      {"<!--\"-->x<B>", {"C:\"", "T:x", "B:B|"}, false},
      {"<!--it's-->x<B>", {"C:it's", "T:x", "B:B|"}, false},
      {"<![CDATA[it's]]>x<B>y", {"T:it's", "T:x", "B:B|", "T:y"}, false},
      {"<![CDATA[a>\"b]]>c", {"T:a>\"b", "T:c"}, false},
      // A "<" that opens no tag stays as text.
      {"1 < 2 and 3 > 1", {"T:1 ", "T:< 2 and 3 > 1"}, false},
      {"a < b <B>c", {"T:a ", "T:< b ", "B:B|", "T:c"}, false},
      {"x <\ty", {"T:x ", "T:<\ty"}, false},
      {"<PRE>a < b<I>", {"B:PRE|", "T:a ", "T:< b", "T:<I>"}, true},
      {"x<>y<B>", {"T:x", "T:<>y", "B:B|"}, false},
      {"a</>b", {"T:a", "T:</>b"}, false},
      // End-tag names end at white space; tabs and form feeds end start-tag names.
      {"</B x>", {"E:B"}, false},
      {"</p\n>", {"E:p"}, false},
      {"<IMG\tsrc=\"a\">", {"B:IMG|src=\"a\""}, false},
      {"<IMG\fsrc=\"a\"/>", {"B:IMG|src=\"a\"|/"}, false},
      {"<a href=/x/>", {"B:a|href=/x|/"}, false},
      {"<!DOCTYPE Quillery-File>\n<HTML>", {"B:!DOCTYPE|Quillery-File", "T:\n", "B:HTML|"}, false},
      {"\xEF\xBB\xBFplain", {"T:plain"}, false},
      {"\xEF\xBB\xBF<B>x\xEF\xBB\xBF", {"B:B|", "T:x\xEF\xBB\xBF"}, false},
      {"<p title=\"a\">\"q\" > 'r'</p>", {"B:p|title=\"a\"", "T:\"q\" > 'r'", "E:p"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseWhole(c.input, c.rawPre), c.expected) << "input: " << c.input;
  }
}

TEST(HtmlTokenizer, TextAfterLastTagOnlyFromFinalize) {
  TraceParser p;
  std::string in = "<B>end";
  p.Parse(in.data(), int(in.size()));
  EXPECT_EQ(p.trace, Trace({"B:B|"}));
  p.Finalize();
  EXPECT_EQ(p.trace, Trace({"B:B|", "T:end"}));
}

TEST(HtmlTokenizer, OffsetsPointAtTheTriggeringByte) {
  TraceParser p;
  std::string a = "ab<B>c", b = "d</B>";
  p.Parse(a.data(), int(a.size()));
  p.Parse(b.data(), int(b.size()));
  p.Finalize();
  ASSERT_EQ(p.trace, Trace({"T:ab", "B:B|", "T:cd", "E:B"}));
  EXPECT_EQ(p.offsets, std::vector<int>({2, 4, 7, 10}));
  EXPECT_EQ(p.GetCurrentCumulativeOffset(), 11);
}

TEST(HtmlTokenizer, BadLengthsAndUnfinishedInput) {
  TraceParser p;
  p.Parse("<B>", 0);
  p.Parse("<B>", -1);
  p.Parse(nullptr, 5);
  p.Finalize();
  EXPECT_TRUE(p.trace.empty());

  // An input that ends inside a quote, a comment or CDATA leaves nothing behind:
  // the next input reads exactly as with a fresh parser.
  const char* unfinished[] = {"<p title=\"open>x", "<!-- open", "<![CDATA[ open", "<PRE>raw<I>",
                              "<p title='x>"};
  const std::string next = "<B>one</B>two \"q\" <I x='y'>";
  for (const char* u : unfinished) {
    for (bool viaClear : {false, true}) {
      TraceParser q;
      q.m_bRawPre = true;
      q.Parse(u, int(strlen(u)));
      if (viaClear)
        q.Clear();
      else
        q.Finalize();
      q.trace.clear();
      q.Parse(next.data(), int(next.size()));
      q.Finalize();
      EXPECT_EQ(q.trace, ParseWhole(next, true)) << u;
    }
  }
}

TEST(HtmlTokenizer, NulBytesAreDroppedAndUtf8IsMadeValid) {
  std::string in = Bytes(
      "a\0b<A title=\"x\0y\">c\xff"
      "d<!--\xe9-->");
  EXPECT_EQ(ParseWhole(in), Trace({"T:ab", "B:A|title=\"xy\"",
                                   "T:c\xEF\xBF\xBD"
                                   "d",
                                   "C:\xEF\xBF\xBD"}));
  // Valid UTF-8 passes unchanged.
  EXPECT_EQ(ParseWhole("<B t=\"\xC3\xA9\">\xE2\x82\xAC"),
            Trace({"B:B|t=\"\xC3\xA9\"", "T:\xE2\x82\xAC"}));
}

TEST(HtmlTokenizer, CodePages) {
  // windows-1252: 0xE9 is e-acute, 0x80 the euro sign, 0x81 is undefined.
  std::string in = "caf\xE9 \x80 \x81<A title=\"\xE9t\xE9\"><!--\xE9-->";
  TraceParser p;
  p.m_strCodePage = "windows-1252";
  p.Parse(in.data(), int(in.size()));
  p.Finalize();
  EXPECT_EQ(p.trace, Trace({"T:caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBD",
                            "B:A|title=\"\xC3\xA9t\xC3\xA9\"", "C:\xC3\xA9"}));
  EXPECT_TRUE(p.m_strCodePage.empty());  // Finalize resets the tokenizer

  for (const char* utf8 : {"UTF-8", "utf8", "Utf-8"}) {
    TraceParser u;
    u.m_strCodePage = utf8;
    std::string s = "\xC3\xA9<B>";
    u.Parse(s.data(), int(s.size()));
    EXPECT_EQ(u.trace, Trace({"T:\xC3\xA9", "B:B|"})) << utf8;
  }

  // A code page the system does not know: the text is kept as (valid) UTF-8.
  quillery::LogCapture cap;
  TraceParser x;
  x.m_strCodePage = "no-such-charset";
  std::string s = "a\xC3\xA9<B>b\xE9<I>";
  x.Parse(s.data(), int(s.size()));
  EXPECT_EQ(x.trace, Trace({"T:a\xC3\xA9", "B:B|", "T:b\xEF\xBF\xBD", "B:I|"}));
  EXPECT_EQ(cap.Lines().size(), 1u);

  // The reader of legacy text files converts text itself: bytes then pass untouched.
  TraceParser raw;
  raw.m_bMakeValidUtf8 = false;
  std::string r = Bytes("x\xE9\0y<B>");
  raw.Parse(r.data(), int(r.size()));
  EXPECT_EQ(raw.trace, Trace({"T:x\xE9y", "B:B|"}));
}

TEST(HtmlTokenizer, TokenMapLooksUpWithoutGrowing) {
  EXPECT_EQ(g_mapTokens().size(), 66u);
  EXPECT_EQ(HtmlTokenFromName("BR"), 5u);
  EXPECT_EQ(HtmlTokenFromName("br"), 5u);
  EXPECT_EQ(HtmlTokenFromName("Br"), 5u);
  EXPECT_EQ(HtmlTokenFromName("OL"), 33u);
  EXPECT_EQ(HtmlTokenFromName("p"), 17u);
  EXPECT_EQ(HtmlTokenFromName("h6"), 27u);
  EXPECT_EQ(HtmlTokenFromName("Head"), 32u);
  EXPECT_EQ(HtmlTokenFromName(""), 0u);
  EXPECT_EQ(HtmlTokenFromName(nullptr), 0u);
  for (int i = 0; i < 10000; ++i)
    EXPECT_EQ(HtmlTokenFromName(("x" + std::to_string(i)).c_str()), 0u);
  EXPECT_EQ(HtmlTokenFromName("TITLES"), 0u);
  EXPECT_EQ(g_mapTokens().size(), 66u);
  // Every value 1..33 is used exactly once.
  std::vector<int> seen(34, 0);
  for (size_t i = 0; i < _HtmlTokens_count; ++i) seen.at(_HtmlTokens[i].token)++;
  for (int t = 1; t <= 33; ++t) EXPECT_EQ(seen[t], 1) << t;
}

TEST(HtmlTokenizer, LargeConstructGivesMemoryBack) {
  TraceParser p;
  std::string big = "<A href=\"" + std::string(3 << 20, 'q') + "\">x";
  p.Parse(big.data(), int(big.size()));
  EXPECT_EQ(p.trace.size(), 1u);
  EXPECT_LE(p.m_strBuffer.capacity(), size_t(1) << 20);
  // The same for a long text run, and for a construct that needed converting.
  std::string text = std::string(3 << 20, 't') + "\xFF<B>";
  p.Parse(text.data(), int(text.size()));
  std::string comment = "<!--" + std::string(3 << 20, 'c') + "\xFF-->";
  p.Parse(comment.data(), int(comment.size()));
  EXPECT_EQ(p.trace.size(), 4u);
  EXPECT_LE(p.m_strBuffer.capacity(), size_t(1) << 20);
}

// Every construct, cut at every place: the callbacks must not depend on where the
// chunk boundaries fall.
const char* const kCorpus[] = {
    "<!DOCTYPE Quillery-File>\n<!--LastNote:3-->\n<HTML>\n<HEAD>\n<META "
    "http-equiv=\"Content-Type\" "
    "content=\"text/html; charset=UTF-8\">\n<TITLE>Doc &amp; co</TITLE>\n</HEAD>\n<BODY>\n<DL>\n"
    "<DT><A name=\"id1\"></A>Title 1</DT>\n<!--property:date_created=1700000000-->\n<DD>Line "
    "one<BR>\n<B>bold</B> <FONT style=\"color:#ff0000\">red</FONT><BR>\n</DD>\n</DL>\n</BODY>\n"
    "</HTML>\n",
    "<!-- a > b -- > c -->x<!---->y<!--->z<!-->w",
    "<IMG src='a>b' title=\"c'd\">e<A href=\"x\">f</A>",
    "<![CDATA[a<b>c]]d]]>e<![CDATA[it's]]>f<!--\"-->g",
    "<PRE>x<B>y</B>\n<I a='>'>z</PRE >w<b>v</b>",
    "1 < 2 and 3 > 1 x<>y</>z</B x>\t<IMG\tsrc=1> a < b <B>c <\n<I>d <",
    "text &amp; more<BR/><BR /><P\n class=x>p</p\r>",
    "<p title=don't>x</p>y<b>z</b>",
    "unfinished <A href=\"abc",
    "<!-- unfinished comment > still",
};

Trace Chunked(const std::string& in, const std::vector<size_t>& cuts, bool rawPre) {
  TraceParser p;
  p.m_bRawPre = rawPre;
  size_t pos = 0;
  for (size_t cut : cuts) {
    p.Parse(in.data() + pos, int(cut - pos));
    pos = cut;
  }
  p.Parse(in.data() + pos, int(in.size() - pos));
  p.Finalize();
  return p.trace;
}

TEST(HtmlTokenizer, AnyChunkingGivesTheSameCallbacks) {
  std::mt19937 rng(12345);
  for (const char* text : kCorpus) {
    const std::string in = text;
    for (bool rawPre : {false, true}) {
      const Trace whole = ParseWhole(in, rawPre);
      for (size_t size = 1; size <= 64; ++size) {
        std::vector<size_t> cuts;
        for (size_t c = size; c < in.size(); c += size) cuts.push_back(c);
        ASSERT_EQ(Chunked(in, cuts, rawPre), whole) << "chunk " << size << ": " << in;
      }
      for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        for (size_t c = 0; c < in.size(); c += 1 + rng() % 9) cuts.push_back(c);
        ASSERT_EQ(Chunked(in, cuts, rawPre), whole) << "random split: " << in;
      }
    }
  }
}

}  // namespace
