#pragma once
// HTMLParser: a small, forgiving, incremental HTML tokenizer.
//
// It is fed the input in chunks of any size (`Parse`), keeps whatever construct is
// unfinished at the end of a chunk for the next call, and reports start tags, end tags,
// comments and text runs through four pure virtual callbacks. Where the chunk
// boundaries fall never changes the callbacks: text is only reported at a "<" or at
// `Finalize`, tags and comments only at their ">".
//
// It builds no tree and checks no nesting; a derived class gives the callbacks their
// meaning. Text is not entity-decoded here (the callbacks decode with `UnescapeChars`);
// every string handed to a callback is valid UTF-8 without NUL bytes, converted from
// `m_strCodePage` when one is set. A "<" that opens no tag (a blank after it, "<>",
// "</>") stays in the text with what follows; a UTF-8 byte-order mark that opens the
// input is dropped.
//
// One object reads one input at a time: `Clear`, `Parse` for every chunk in order,
// then `Finalize`. Callbacks must not call `Parse`, `Clear` or `Finalize` on the same
// object; `OnText` receives the internal buffer and may change it.
//
// Limits (foreign HTML): no special states for script, style or textarea (tags inside
// them are reported); an unmatched quote inside a tag runs to the next quote of the
// same kind; `<a href=/x/>` reads as self-closing; a META charset applies to the text
// after it only; code pages whose multibyte characters contain ASCII bytes
// (ISO-2022-JP) are not supported.

#include <cstdint>
#include <string>

class HTMLParser {
 public:
  HTMLParser();
  virtual ~HTMLParser();
  HTMLParser(const HTMLParser&) = delete;
  HTMLParser& operator=(const HTMLParser&) = delete;

  virtual void OnTagBegin(const char* tag, const char* params, bool selfClosing) = 0;
  virtual void OnTagEnd(const char* tag) = 0;
  virtual void OnComment(const char* text) = 0;
  virtual void OnText(std::string& text) = 0;

  // Forgets any unfinished construct and resets the tokenizer (tag, quote, CDATA and
  // PRE state, code page). The cumulative offset keeps counting.
  void Clear();
  // Consumes one chunk; a length below 1 does nothing.
  void Parse(const char* data, int length);
  // Ends the input: pending text goes to `OnText`, an unfinished tag or comment is
  // dropped (and logged), and the tokenizer is reset as by `Clear`.
  void Finalize();

  // Byte offset, in everything given to `Parse` since construction, of the byte being
  // examined; during a callback, the "<" or ">" that triggered it.
  int GetCurrentCumulativeOffset() const;

  // Converts `text` from `m_strCodePage` to UTF-8 (none for an empty code page or for
  // "UTF-8"/"UTF8" in any case), then makes sure it is valid UTF-8 without NUL bytes,
  // unless `m_bMakeValidUtf8` is off. Bytes the code page does not define become
  // U+FFFD.
  void ConvertCodePage(std::string& text) const;

  bool IsInPre() const { return m_bInPre; }

  // The quoted value of attribute `name` (exact case) in a tag's parameter text,
  // trimmed and entity-decoded. Names are matched only where an attribute name can
  // stand, never inside another attribute's value. Unquoted values do not count.
  static bool ExtractParam(const std::string& params, const char* name, std::string& value);
  // As above; `closed` tells whether the value's closing quote was found (false
  // when the value ran to the end of a tag with a missing or mismatched quote).
  static bool ExtractParam(const std::string& params, const char* name, std::string& value, bool& closed);
  // The value of attribute `name` as HTML reads it: the name in any case, the value
  // in double quotes, in apostrophes or bare (up to the next blank), blanks allowed
  // around "="; entity-decoded, not trimmed. The first attribute of the name counts.
  static bool ReadAttribute(const std::string& params, const char* name, std::string& value);
  // One property ("name:value;") of a style text, trimmed, not decoded.
  static bool ExtractParamValue(const std::string& style, const char* name, std::string& value);

  // '"', '&', '<', '>' to their entities; the apostrophe stays.
  static void EscapeChars(std::string& text);
  // Decodes named (the entity table) and numeric references. A reference that does
  // not decode stays as written.
  static void UnescapeChars(std::string& text);
  // Every byte outside letters, digits and "-._~" to %XX.
  static void EscapeURI(std::string& text);
  // %XX to bytes; a malformed escape or an escaped NUL leaves the text unchanged.
  static void UnescapeURI(std::string& text);
  // Folds runs of blanks to one blank and drops a blank that follows a line feed.
  static void StripExtraWhiteSpace(std::string& text);

  // Settings (not reset by Clear or Finalize).
  bool m_bRawPre;             // inside PRE, tags other than PRE are reported as text
  bool m_bStripWhiteSpace;    // text runs pass through StripExtraWhiteSpace
  bool m_bMakeValidUtf8;      // on by default; off for a reader that converts text itself
  std::string m_strCodePage;  // input code page; set by the reader from a META charset

 protected:
  bool m_bInTag;
  bool m_bInQuote;
  int m_nQuoteChar;
  std::string m_strBuffer;  // pending text, or the content of the tag being read
  bool m_bInPre;
  bool m_bInCData;
  int64_t m_nOffsetBase;  // bytes given to Parse in earlier calls
  int m_nPos;             // index of the byte being examined in the current chunk

 private:
  void ResetTokenizer();
  void FlushText();
  // Handles the ">" that ends m_strBuffer; false when the ">" belongs to the content
  // (inside a comment or CDATA section) and the construct goes on.
  bool CloseConstruct();
  void HandleTag();
  void KeepAsText();  // a "<" that opened no tag: its content stays as text
  void TextCallback(std::string& text);
  // A UTF-8 byte-order mark that opens the input is not text.
  void StripByteOrderMark(std::string& text) const;
  void ReleaseBuffer();
  // True when [p, p+len) can reach a callback as it stands (no conversion needed).
  bool PassesUnchanged(const char* p, size_t len) const;
  // Makes a callback string of [p, p+len): terminated in place when `unchanged`, else a
  // converted copy kept in `scratch`.
  const char* CleanString(char* p, size_t len, bool unchanged, std::string& scratch) const;

  bool m_bInputStart;  // nothing but text has been read since Clear

  struct Converter;  // cached iconv descriptor for m_strCodePage
  mutable Converter* m_pConverter;
  std::string m_strScratchTag;
  std::string m_strScratchParams;
};

// The callback of a redirect stage (IOLayerRedirect) that ends a read chain in a
// parser: feeds the piece to HTMLParser::Parse of the parser `user` points to. Pass
// the parser as `static_cast<HTMLParser*>(this)`: a format with two bases would
// otherwise hand over the wrong address.
void ParseRedirector(const char* data, int len, void* user);
