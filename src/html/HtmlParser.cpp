#include "html/HtmlParser.h"

#include <glib.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "base/Log.h"
#include "html/HtmlTextUtils.h"
#include "html/Utf8Clean.h"

namespace {

// A constructed buffer above this capacity is given back once it has been reported.
constexpr size_t kKeepBufferCapacity = 1 << 20;

bool IsNameSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool IsPre(const char* name, size_t len) {
  return len == 3 && g_ascii_strncasecmp(name, "PRE", 3) == 0;
}

bool StartsWithAtLeast(const std::string& s, const char* prefix, size_t n) {
  return s.size() >= n && memcmp(s.data(), prefix, n) == 0;
}

bool IsUtf8Name(const std::string& codePage) {
  // Asked for every tag and text run: the usual spellings are matched first,
  // by their length and bytes (no call for each).
  if (codePage.empty()) return true;
  if (codePage.size() == 5 &&
      (memcmp(codePage.data(), "UTF-8", 5) == 0 || memcmp(codePage.data(), "utf-8", 5) == 0))
    return true;
  return g_ascii_strcasecmp(codePage.c_str(), "UTF-8") == 0 ||
         g_ascii_strcasecmp(codePage.c_str(), "UTF8") == 0;
}

}  // namespace

// One open iconv descriptor, kept for as long as the code page does not change:
// foreign files with a charset have millions of text runs.
struct HTMLParser::Converter {
  std::string codePage;
  GIConv cd = reinterpret_cast<GIConv>(-1);

  bool IsOpen() const { return cd != reinterpret_cast<GIConv>(-1); }
  void Close() {
    if (IsOpen()) g_iconv_close(cd);
    cd = reinterpret_cast<GIConv>(-1);
  }
  ~Converter() { Close(); }

  // Converts to UTF-8; a byte sequence the code page does not define becomes
  // U+FFFD and conversion goes on after it.
  bool Convert(std::string& text) {
    g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(text.size() + text.size() / 2 + 16);
    char* in = text.data();
    gsize inLeft = text.size();
    char buf[4096];
    while (inLeft > 0) {
      char* o = buf;
      gsize oLeft = sizeof(buf);
      gsize r = g_iconv(cd, &in, &inLeft, &o, &oLeft);
      int err = errno;
      out.append(buf, size_t(o - buf));
      if (r != gsize(-1)) continue;
      if (err == E2BIG) continue;
      if (err != EILSEQ && err != EINVAL) return false;
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
      g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* o = buf;
    gsize oLeft = sizeof(buf);
    g_iconv(cd, nullptr, nullptr, &o, &oLeft);  // shift state back to initial
    out.append(buf, size_t(o - buf));
    text.swap(out);
    return true;
  }
};

HTMLParser::HTMLParser()
    : m_bRawPre(false),
      m_bStripWhiteSpace(false),
      m_bMakeValidUtf8(true),
      m_bInTag(false),
      m_bInQuote(false),
      m_nQuoteChar(0),
      m_bInPre(false),
      m_bInCData(false),
      m_nOffsetBase(0),
      m_nPos(0),
      m_bInputStart(true),
      m_pConverter(nullptr) {}

HTMLParser::~HTMLParser() { delete m_pConverter; }

void HTMLParser::ResetTokenizer() {
  m_bInTag = false;
  m_bInQuote = false;
  m_nQuoteChar = 0;
  m_bInPre = false;
  m_bInCData = false;
  m_bInputStart = true;
  m_strCodePage.clear();
  m_nPos = 0;
  ReleaseBuffer();
}

void HTMLParser::Clear() { ResetTokenizer(); }

void HTMLParser::ReleaseBuffer() {
  m_strBuffer.clear();
  if (m_strBuffer.capacity() > kKeepBufferCapacity) std::string().swap(m_strBuffer);
  if (m_strScratchParams.capacity() > kKeepBufferCapacity) std::string().swap(m_strScratchParams);
  if (m_strScratchTag.capacity() > kKeepBufferCapacity) std::string().swap(m_strScratchTag);
}

int HTMLParser::GetCurrentCumulativeOffset() const {
  int64_t off = m_nOffsetBase + m_nPos;
  return off > INT_MAX ? INT_MAX : int(off);
}

void HTMLParser::ConvertCodePage(std::string& text) const {
  if (text.empty()) return;
  if (!IsUtf8Name(m_strCodePage)) {
    if (!m_pConverter) m_pConverter = new Converter;
    if (m_pConverter->codePage != m_strCodePage) {
      m_pConverter->Close();
      m_pConverter->codePage = m_strCodePage;
      m_pConverter->cd = g_iconv_open("UTF-8", m_strCodePage.c_str());
      if (!m_pConverter->IsOpen())
        xLog(4, "Unsupported code page [%s]: text is read as UTF-8\n", m_strCodePage.c_str());
    }
    quillery::DropNulBytes(text);
    if (m_pConverter->IsOpen() && m_pConverter->Convert(text)) {
      quillery::DropNulBytes(text);  // a code page may map a byte to U+0000
      return;
    }
  }
  if (m_bMakeValidUtf8)
    quillery::MakeValidUtf8(text);
  else
    quillery::DropNulBytes(text);
}

bool HTMLParser::PassesUnchanged(const char* p, size_t len) const {
  if (!IsUtf8Name(m_strCodePage)) return false;
  return m_bMakeValidUtf8 ? quillery::IsCleanUtf8(p, len) : !memchr(p, 0, len);
}

const char* HTMLParser::CleanString(char* p, size_t len, bool unchanged,
                                    std::string& scratch) const {
  if (unchanged) {
    p[len] = '\0';  // a separator inside the buffer, or the buffer's own terminator
    return p;
  }
  scratch.assign(p, len);
  ConvertCodePage(scratch);
  return scratch.c_str();
}

void HTMLParser::StripByteOrderMark(std::string& text) const {
  if (m_bInputStart && IsUtf8Name(m_strCodePage) && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.erase(0, 3);
}

void HTMLParser::TextCallback(std::string& text) {
  StripByteOrderMark(text);
  ConvertCodePage(text);
  if (!text.empty()) OnText(text);
}

void HTMLParser::FlushText() {
  if (m_bStripWhiteSpace) StripExtraWhiteSpace(m_strBuffer);
  if (!m_strBuffer.empty()) TextCallback(m_strBuffer);
  ReleaseBuffer();
}

void HTMLParser::Parse(const char* data, int length) {
  if (!data || length < 1) return;
  const char* const end = data + length;
  const char* p = data;  // next byte to examine
  const char* s = data;  // start of the bytes not yet appended to m_strBuffer
  while (p < end) {
    if (!m_bInTag) {
      const char* lt = static_cast<const char*>(memchr(p, '<', size_t(end - p)));
      if (!lt) break;
      m_nPos = int(lt - data);
      m_strBuffer.append(s, size_t(lt - s));
      s = p = lt + 1;
      if (!m_strBuffer.empty()) FlushText();
      m_bInTag = true;
      m_bInputStart = false;
    } else if (m_bInQuote) {
      const char* q = static_cast<const char*>(memchr(p, m_nQuoteChar, size_t(end - p)));
      if (!q) break;
      m_bInQuote = false;
      p = q + 1;
    } else {
      if (p == s && m_strBuffer.empty() && IsNameSeparator(*p)) {
        // A blank right after "<" opens no tag ("1 < 2"): the "<" is text, and a tag
        // that follows is still read as a tag.
        m_strBuffer = "<";
        m_bInTag = false;
        continue;
      }
      while (p < end && *p != '>' && *p != '"' && *p != '\'') ++p;
      if (p == end) break;
      if (*p == '>') {
        m_nPos = int(p - data);
        m_strBuffer.append(s, size_t(p - s));
        // Inside a comment or CDATA section a ">" that does not close it is
        // content: it stays to be appended with what follows.
        s = CloseConstruct() ? p + 1 : p;
        ++p;
        continue;
      }
      // A quote: the value runs to the same quote, except inside a comment or
      // a CDATA section, where quotes are plain content.
      m_strBuffer.append(s, size_t(p - s));
      s = p;
      if (!m_bInCData && !StartsWithAtLeast(m_strBuffer, "!--", 3) &&
          !StartsWithAtLeast(m_strBuffer, "![CDATA[", 8)) {
        m_bInQuote = true;
        m_nQuoteChar = static_cast<unsigned char>(*p);
      }
      ++p;
    }
  }
  m_strBuffer.append(s, size_t(end - s));
  m_nOffsetBase += length;
  m_nPos = 0;
}

bool HTMLParser::CloseConstruct() {
  std::string& b = m_strBuffer;
  if (!m_bInCData && StartsWithAtLeast(b, "![CDATA[", 8)) m_bInCData = true;
  if (m_bInCData) {
    if (b.size() < 10 || b.compare(b.size() - 2, 2, "]]") != 0) return false;
    b.resize(b.size() - 2);
    b.erase(0, 8);
    m_bInTag = false;
    m_bInCData = false;
    if (m_bStripWhiteSpace) StripExtraWhiteSpace(b);
    if (!b.empty()) TextCallback(b);
    ReleaseBuffer();
    return true;
  }
  if (StringStartsWith(b, "!--", 3)) {
    if (!StringEndsWith(b, "--", 2)) return false;
    size_t textEnd = b.size() - 2;
    size_t textLen = textEnd > 3 ? textEnd - 3 : 0;
    const char* text =
        CleanString(&b[3], textLen, PassesUnchanged(&b[3], textLen), m_strScratchParams);
    m_bInTag = false;
    OnComment(text);
    ReleaseBuffer();
    return true;
  }
  HandleTag();
  return true;
}

void HTMLParser::KeepAsText() {
  m_strBuffer.insert(m_strBuffer.begin(), '<');
  m_strBuffer += '>';
  m_bInTag = false;
}

void HTMLParser::HandleTag() {
  std::string& b = m_strBuffer;
  m_bInTag = false;
  if (b.empty()) {
    KeepAsText();  // "<>"
    return;
  }
  const bool report = !(m_bRawPre && m_bInPre);
  const bool endTag = b[0] == '/';
  const bool selfClosing = !endTag && b.back() == '/';
  const size_t nameStart = endTag ? 1 : 0;
  const size_t contentLen = selfClosing ? b.size() - 1 : b.size();
  size_t nameEnd = nameStart;
  while (nameEnd < contentLen && !IsNameSeparator(b[nameEnd])) ++nameEnd;
  if (nameEnd == nameStart) {
    KeepAsText();  // "< 2 and 3 >", "</>": no tag was opened
    return;
  }
  const bool pre = IsPre(b.data() + nameStart, nameEnd - nameStart);
  if (!report && !pre) {
    KeepAsText();  // raw PRE: the tag is text
    TextCallback(b);
    ReleaseBuffer();
    return;
  }
  // One check for the whole tag: name and parameters are usually both clean.
  const bool unchanged = PassesUnchanged(b.data(), contentLen);
  if (endTag) {
    const char* name = CleanString(&b[1], nameEnd - 1, unchanged, m_strScratchTag);
    OnTagEnd(name);
    if (pre) m_bInPre = false;
  } else {
    size_t paramsStart = nameEnd < contentLen ? nameEnd + 1 : contentLen;
    const char* params =
        CleanString(&b[0] + paramsStart, contentLen - paramsStart, unchanged, m_strScratchParams);
    const char* name = CleanString(&b[0], nameEnd, unchanged, m_strScratchTag);
    OnTagBegin(name, params, selfClosing);
    if (pre) m_bInPre = true;
  }
  ReleaseBuffer();
}

void HTMLParser::Finalize() {
  if (!m_bInTag) {
    if (!m_strBuffer.empty()) {
      StripByteOrderMark(m_strBuffer);
      if (m_bStripWhiteSpace) StripExtraWhiteSpace(m_strBuffer);
      ConvertCodePage(m_strBuffer);
      OnText(m_strBuffer);
    }
  } else {
    xLog(4, "HTMLParser: input ended inside a tag, comment or quoted value; %d bytes dropped\n",
         int(m_strBuffer.size() > INT_MAX ? INT_MAX : m_strBuffer.size()));
  }
  ResetTokenizer();
}

void ParseRedirector(const char* data, int len, void* user) {
  if (user) static_cast<HTMLParser*>(user)->Parse(data, len);
}
