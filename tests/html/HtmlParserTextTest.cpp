// The parser's text routines: entities, URI escaping, white space, attribute and style
// extraction, trimming; and that each stays linear on one long line.

#include <glib.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "base/Log.h"
#include "html/HtmlEntities.h"
#include "html/HtmlParser.h"
#include "html/HtmlTextUtils.h"

namespace {

std::string Unescaped(std::string s) {
  HTMLParser::UnescapeChars(s);
  return s;
}

std::string Utf8(uint32_t code) {
  char buf[8];
  return std::string(buf, size_t(g_unichar_to_utf8(code, buf)));
}

// The HTML 4.01 code points (independent of the reader's table), with nbsp as a plain
// blank and apos added.
const char* const kEntities =
    "nbsp=32 quot=34 amp=38 lt=60 gt=62 apos=39 iexcl=161 cent=162 pound=163 curren=164 "
    "yen=165 brvbar=166 sect=167 uml=168 copy=169 ordf=170 laquo=171 not=172 shy=173 "
    "reg=174 macr=175 deg=176 plusmn=177 sup2=178 sup3=179 acute=180 micro=181 para=182 "
    "middot=183 cedil=184 sup1=185 ordm=186 raquo=187 frac14=188 frac12=189 frac34=190 "
    "iquest=191 Agrave=192 Aacute=193 Acirc=194 Atilde=195 Auml=196 Aring=197 AElig=198 "
    "Ccedil=199 Egrave=200 Eacute=201 Ecirc=202 Euml=203 Igrave=204 Iacute=205 Icirc=206 "
    "Iuml=207 ETH=208 Ntilde=209 Ograve=210 Oacute=211 Ocirc=212 Otilde=213 Ouml=214 "
    "times=215 Oslash=216 Ugrave=217 Uacute=218 Ucirc=219 Uuml=220 Yacute=221 THORN=222 "
    "szlig=223 agrave=224 aacute=225 acirc=226 atilde=227 auml=228 aring=229 aelig=230 "
    "ccedil=231 egrave=232 eacute=233 ecirc=234 euml=235 igrave=236 iacute=237 icirc=238 "
    "iuml=239 eth=240 ntilde=241 ograve=242 oacute=243 ocirc=244 otilde=245 ouml=246 "
    "oslash=248 ugrave=249 uacute=250 ucirc=251 uuml=252 yacute=253 thorn=254 yuml=255 "
    "OElig=338 oelig=339 Scaron=352 scaron=353 Yuml=376 fnof=402 circ=710 tilde=732 "
    "Alpha=913 Beta=914 Gamma=915 Delta=916 Epsilon=917 Zeta=918 Eta=919 Theta=920 "
    "Iota=921 Kappa=922 Lambda=923 Mu=924 Nu=925 Xi=926 Omicron=927 Pi=928 Rho=929 "
    "Sigma=931 Tau=932 Upsilon=933 Phi=934 Chi=935 Psi=936 Omega=937 alpha=945 beta=946 "
    "gamma=947 delta=948 epsilon=949 zeta=950 eta=951 theta=952 iota=953 kappa=954 "
    "lambda=955 mu=956 nu=957 xi=958 omicron=959 pi=960 rho=961 sigmaf=962 sigma=963 "
    "tau=964 upsilon=965 phi=966 chi=967 psi=968 omega=969 thetasym=977 upsih=978 "
    "piv=982 ensp=8194 emsp=8195 thinsp=8201 ndash=8211 mdash=8212 lsquo=8216 rsquo=8217 "
    "sbquo=8218 ldquo=8220 rdquo=8221 bdquo=8222 dagger=8224 Dagger=8225 bull=8226 "
    "hellip=8230 permil=8240 lsaquo=8249 rsaquo=8250 euro=8364 trade=8482 spades=9824 "
    "clubs=9827 hearts=9829 diams=9830 ";

TEST(HtmlText, EveryEntityDecodes) {
  std::istringstream in(kEntities);
  std::string item;
  size_t count = 0;
  while (in >> item) {
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    uint32_t code = uint32_t(std::stoul(item.substr(eq + 1)));
    EXPECT_EQ(Unescaped("&" + name + ";"), Utf8(code)) << name;
    ++count;
  }
  EXPECT_EQ(count, 184u);
  EXPECT_EQ(g_mapInTableSort().size(), 184u);
  EXPECT_EQ(_table_char_count, 184u);
  EXPECT_EQ(Unescaped("&divide;"), "&divide;");
}

TEST(HtmlText, UnescapeRules) {
  quillery::LogCapture cap;
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"&nbsp;", " "},
      {"&#13;", "\n"},
      {"&#65;", "A"},
      {"&#x41;", "A"},
      {"&#x4a;&#x4A;", "JJ"},
      {"&#X41;", "&#X41;"},
      {"&amp;lt;", "&lt;"},
      {"a & b", "a & b"},
      {"&;", "&;"},
      {"&#;", "&#;"},
      {"&#x;", "&#x;"},
      {"&#65 foo;", "&#65 foo;"},
      {"&#x0;", "&#x0;"},
      {"&#0;", "&#0;"},
      {"&#xD800;", "&#xD800;"},
      {"&#1114112;", "&#1114112;"},
      {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
      {"&#99999999999999999999;", "&#99999999999999999999;"},
      {"&#x4g;", "&#x4g;"},
      {"x&&amp;y", "x&&y"},
      {"&quot;&apos;&euro;", "\"'\xE2\x82\xAC"},
      {"&lt&gt;", "&lt>"},
      {"tail&", "tail&"},
      {"&#x41", "&#x41"},
  };
  for (const auto& c : cases) EXPECT_EQ(Unescaped(c.in), c.out) << c.in;
  EXPECT_TRUE(cap.Lines().empty());

  EXPECT_EQ(Unescaped("&foo;"), "&foo;");
  ASSERT_EQ(cap.Lines().size(), 1u);
  EXPECT_EQ(cap.Lines()[0], "ERROR: Bad or unsupported HTML escape sequence: [foo]\n");

  // Stray ampersands are literal without a look-up or a log line; a very long name is
  // not a candidate either.
  cap.Clear();
  std::string stray;
  for (int i = 0; i < 1000; ++i) stray += "a & b ?x=1&y=2 ";
  stray += std::string(100000, 'z') + ";";
  EXPECT_EQ(Unescaped(stray), stray);
  EXPECT_EQ(Unescaped("&" + std::string(40, 'a') + ";"), "&" + std::string(40, 'a') + ";");
  size_t bytes = 0;
  for (const auto& l : cap.Lines()) bytes += l.size();
  EXPECT_LE(cap.Lines().size(), 1000u);
  EXPECT_LT(bytes, 100000u);
}

TEST(HtmlText, Escape) {
  std::string s = "<a href=\"x\">&'";
  HTMLParser::EscapeChars(s);
  EXPECT_EQ(s, "&lt;a href=&quot;x&quot;&gt;&amp;'");
  std::string u = "\xC3\xA9t\xC3\xA9 plain";
  HTMLParser::EscapeChars(u);
  EXPECT_EQ(u, "\xC3\xA9t\xC3\xA9 plain");
  // Escaping, then unescaping, gives the text back.
  std::string t = "a<b>&c\"d'e&amp;";
  std::string r = t;
  HTMLParser::EscapeChars(r);
  HTMLParser::UnescapeChars(r);
  EXPECT_EQ(r, t);
}

TEST(HtmlText, Uri) {
  std::string a = "a b/c~d_e.f-g";
  HTMLParser::EscapeURI(a);
  EXPECT_EQ(a, "a%20b%2Fc~d_e.f-g");
  std::string b = "\xC3\xA9&?#";
  HTMLParser::EscapeURI(b);
  EXPECT_EQ(b, "%C3%A9%26%3F%23");
  HTMLParser::UnescapeURI(b);
  EXPECT_EQ(b, "\xC3\xA9&?#");
  for (const char* same : {"%zz", "100%", "%00x", "plain"}) {
    std::string s = same;
    HTMLParser::UnescapeURI(s);
    EXPECT_EQ(s, same);
  }
  std::string ff = "%FF";
  HTMLParser::UnescapeURI(ff);
  EXPECT_EQ(ff, "\xFF");
}

TEST(HtmlText, StripExtraWhiteSpace) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a  b   c", "a b c"},           {"a\n  b", "a\nb"}, {"  a", " a"},
      {"a \n b\t\t c", "a \nb\t\t c"}, {"\n \n ", "\n\n"}, {"", ""},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    HTMLParser::StripExtraWhiteSpace(s);
    EXPECT_EQ(s, c.out) << c.in;
  }
}

TEST(HtmlText, ExtractParam) {
  std::string v;
  EXPECT_TRUE(HTMLParser::ExtractParam("name=\"x\" title='a &amp; b'", "title", v));
  EXPECT_EQ(v, "a & b");
  EXPECT_FALSE(HTMLParser::ExtractParam("subtitle=\"x\"", "title", v));
  EXPECT_TRUE(v.empty());
  EXPECT_FALSE(HTMLParser::ExtractParam("title=x", "title", v));
  EXPECT_FALSE(HTMLParser::ExtractParam("title=   ", "title", v));
  EXPECT_FALSE(HTMLParser::ExtractParam("", "title", v));
  EXPECT_TRUE(HTMLParser::ExtractParam("title = \"  spaced  \"", "title", v));
  EXPECT_EQ(v, "spaced");
  EXPECT_TRUE(HTMLParser::ExtractParam("a=\"1\"title=\"2\"", "title", v));
  EXPECT_EQ(v, "2");
  EXPECT_TRUE(HTMLParser::ExtractParam("title=x name='n'", "name", v));
  EXPECT_EQ(v, "n");
  EXPECT_TRUE(HTMLParser::ExtractParam("x=\"open", "x", v));
  EXPECT_EQ(v, "open");
  EXPECT_FALSE(HTMLParser::ExtractParam("title=\"x\"", "TITLE", v));
  // Names inside another attribute's value are never matched.
  EXPECT_FALSE(HTMLParser::ExtractParam("title=\"x name='b'\"", "name", v));
  EXPECT_TRUE(HTMLParser::ExtractParam("title=\"x name='b'\" name=\"id7\"", "name", v));
  EXPECT_EQ(v, "id7");
  EXPECT_TRUE(HTMLParser::ExtractParam("name=\"c value='evil'\" value=\"good\"", "value", v));
  EXPECT_EQ(v, "good");
  // Base64 with a line feed every 72 characters passes unchanged.
  std::string b64 = std::string(72, 'Q') + "\n" + std::string(72, 'R') + "\n" + "QQ==";
  EXPECT_TRUE(HTMLParser::ExtractParam("href=\"" + b64 + "\"", "href", v));
  EXPECT_EQ(v, b64);
}

TEST(HtmlText, ExtractParamValue) {
  std::string v;
  const std::string style = "color: red; background-color:#fff";
  EXPECT_TRUE(HTMLParser::ExtractParamValue(style, "color", v));
  EXPECT_EQ(v, "red");
  EXPECT_TRUE(HTMLParser::ExtractParamValue(style, "background-color", v));
  EXPECT_EQ(v, "#fff");
  EXPECT_FALSE(HTMLParser::ExtractParamValue("background-color:#fff", "color", v));
  EXPECT_TRUE(v.empty());
  EXPECT_TRUE(HTMLParser::ExtractParamValue("font-size: 12px", "font-size", v));
  EXPECT_EQ(v, "12px");
}

TEST(HtmlText, SmallHelpers) {
  EXPECT_FALSE(StringStartsWith("!--", "!--", 3));
  EXPECT_TRUE(StringStartsWith("!--x", "!--", 3));
  EXPECT_FALSE(StringEndsWith("--", "--", 2));
  EXPECT_TRUE(StringEndsWith("a--", "--", 2));
  EXPECT_EQ(hexVal('0'), 0);
  EXPECT_EQ(hexVal('f'), 15);
  EXPECT_EQ(hexVal('F'), 15);
  EXPECT_EQ(hexVal('g'), -1);
  struct {
    const char* in;
    const char* left;
    const char* right;
    const char* both;
  } cases[] = {
      {"  a  ", "a  ", "  a", "a"},
      {" a \n  b  \n\n  c ", "a \nb  \n\nc ", " a\n  b\n\n  c", "a\nb\n\nc"},
      {"", "", "", ""},
      {"   ", "", "", ""},
      {"a\tb", "a\tb", "a\tb", "a\tb"},
  };
  for (const auto& c : cases) {
    std::string l = c.in, r = c.in, b = c.in;
    trimstring_left(l);
    trimstring_right(r);
    trimstring(b);
    EXPECT_EQ(l, c.left) << c.in;
    EXPECT_EQ(r, c.right) << c.in;
    EXPECT_EQ(b, c.both) << c.in;
  }
}

// One long line through every routine: each must finish in one pass (the old in-place
// forms took seconds here). Not a timing test: the limit only catches quadratic work.
TEST(HtmlText, LongLinesStayLinear) {
  std::string line;
  for (int i = 0; i < 200000; ++i) line += "&quot;";
  std::string s = line;
  HTMLParser::UnescapeChars(s);
  EXPECT_EQ(s, std::string(200000, '"'));
  HTMLParser::EscapeChars(s);
  EXPECT_EQ(s, line);
  std::string blanks(1 << 20, ' ');
  HTMLParser::StripExtraWhiteSpace(blanks);
  EXPECT_EQ(blanks, " ");
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += "  x  \n";
  trimstring(lines);
  EXPECT_EQ(lines.size(), 200000u);
}

}  // namespace
