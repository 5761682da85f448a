// Styled text of the native HTML reader: FONT elements and SPAN styles
// (colours, background, font family and size, line spacing), which the
// reader turns into formatting tags of the current note. Tags a style opens
// are recorded so that the matching end element closes exactly those.

#include <glib.h>

#include <cstring>

#include "base/Log.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlFontHelpers.h"
#include "formats/native/HtmlReaderHelpers.h"
#include "html/HtmlTextUtils.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"

// ---------------------------------------------------------------------------
// FONT

void FormatIO_HTML::OnFontBegin(const std::string& params) {
  NoteNode* note = CurrentNote();
  std::string value;
  GdkColor color = GdkColor();
  if (!note || !HTMLParser::ExtractParam(params, "color", value) || !parse_gtk_color(value.c_str(), color)) return;
  m_bInColor = true;
  m_clrFont = color;
  if (m_nSection == 1) {
    note->m_clrTxt = color;
    note->m_bUseTxtColor = true;
    return;
  }
  FmtInfo begin(FMT_COLOR_BEGIN, m_nInsertPos);
  begin.color = color;
  AppendTag(begin);
}

void FormatIO_HTML::OnFontEnd() {
  if (!CurrentNote()) {
    m_bInColor = false;
    return;
  }
  if (!m_bInColor) {
    xLog(LOG_INFO, "Detected font color close tag with no opening tag before (offset=%d)\n", m_nInsertPos);
  } else {
    xLog(LOG_INFO, "Close unterminated color span (font tag opened)\n");
    // A title colour added no begin tag, so it needs no end tag either.
    if (m_nSection != 1) {
      FmtInfo end(FMT_COLOR_END, m_nInsertPos);
      end.color = m_clrFont;
      AppendTag(end);
    }
  }
  m_bInColor = false;
}

// ---------------------------------------------------------------------------
// SPAN

bool FormatIO_HTML::ApplyStyleBackground(const std::string& style, std::vector<int>& opened, bool paragraph) {
  std::string value;
  if (!HTMLParser::ExtractParamValue(style, "background", value) &&
      !HTMLParser::ExtractParamValue(style, "background-color", value))
    return false;
  NoteNode& note = *CurrentNote();
  GdkColor color = GdkColor();
  if (parse_gtk_color(value.c_str(), color)) {
    if (m_nSection == 1) {
      note.m_clrBkg = color;
      note.m_bUseBkgColor = true;
    } else {
      const int open = OpenBegin(FMT_BKG_COLOR_BEGIN);
      if (open >= 0) {
        xLog(LOG_INFO, paragraph ? "Detect already open bkg color span, will close that one\n"
                                 : "Detect already open bkg color span, close this one\n");
        FmtInfo end(FMT_BKG_COLOR_END, m_nInsertPos);
        end.color = note.m_objText.m_lstFmt[open].color;
        AppendTag(end);
      }
      FmtInfo begin(FMT_BKG_COLOR_BEGIN, m_nInsertPos);
      begin.color = color;
      AppendTag(begin);
      opened.push_back(FMT_BKG_COLOR_BEGIN);
    }
  }
  m_bInBkgColor = true;
  return true;
}

bool FormatIO_HTML::ApplyStyleColor(const std::string& style, std::vector<int>& opened, bool paragraph) {
  std::string value;
  if (!HTMLParser::ExtractParamValue(style, "color", value)) return false;
  NoteNode& note = *CurrentNote();
  FmtInfoList& list = note.m_objText.m_lstFmt;
  GdkColor color = GdkColor();
  const bool parsed = parse_gtk_color(value.c_str(), color);
  const int open = OpenBegin(FMT_COLOR_BEGIN);
  if (!paragraph && parsed && m_nSection != 1 && m_bInColor && open >= 0 && list[open].nOffset == m_nInsertPos) {
    // A colour begins where another begins: the new one replaces it rather
    // than leaving an empty range behind.
    xLog(LOG_INFO, "Found already exisitng color open tag at the same offset\n");
    list[open].color = color;
    opened.push_back(FMT_COLOR_BEGIN);
    return true;
  }
  if (open >= 0 && (!paragraph || (parsed && m_nSection != 1))) {
    xLog(LOG_INFO, "Detect already open color span, close this one\n");
    if (m_nSection != 1) {
      FmtInfo end(FMT_COLOR_END, m_nInsertPos);
      end.color = list[open].color;
      AppendTag(end);
    }
  }
  if (parsed) {
    if (m_nSection == 1) {
      note.m_clrTxt = color;
      note.m_bUseTxtColor = true;
    } else {
      FmtInfo begin(FMT_COLOR_BEGIN, m_nInsertPos);
      begin.color = color;
      AppendTag(begin);
      opened.push_back(FMT_COLOR_BEGIN);
    }
  }
  m_bInColor = true;
  return true;
}

void FormatIO_HTML::ApplyStyleFont(const std::string& font, std::vector<int>& opened) {
  NoteNode& note = *CurrentNote();
  if (m_nSection == 1) {
    note.m_strCustomFont = font;
    note.m_bUseFont = true;
    return;
  }
  FmtInfoList& list = note.m_objText.m_lstFmt;
  bool add = true;
  const int last = list.GetSize() - 1;
  if (last >= 0 && list[last].nFormatTag == FMT_FONT_BEGIN && list[last].nOffset == m_nInsertPos) {
    FmtInfo& prev = list[last];
    GdkColor none = GdkColor();
    if (prev.strFont == font && prev.nValue == 100 && gdk_colors_equal(prev.color, none)) {
      xLog(LOG_INFO, "Ignore multiple font tags on the same offset\n");
    } else {
      xLog(LOG_INFO, "Overwrite font start tag on the same offset\n");
      prev.strFont = font;
    }
    add = false;
  }
  if (OpenBegin(FMT_FONT_BEGIN) >= 0) {
    xLog(LOG_INFO, "Detect already open font span, skip adding this one\n");
    add = false;
  }
  if (!add) return;
  FmtInfo begin(FMT_FONT_BEGIN, m_nInsertPos);
  begin.strFont = font;
  AppendTag(begin);
  opened.push_back(FMT_FONT_BEGIN);
}

void FormatIO_HTML::OnSpanBegin(const std::string& params) {
  std::string style;
  if (!CurrentNote() || !HTMLParser::ExtractParam(params, "style", style)) return;
  const int o = m_nInsertPos;
  std::vector<int> opened;
  ApplyStyleBackground(style, opened, false);
  ApplyStyleColor(style, opened, false);
  std::string value;
  if (HTMLParser::ExtractParamValue(style, "font", value)) ApplyStyleFont(value, opened);
  if (HTMLParser::ExtractParamValue(style, "font-family", value)) {
    auto stripQuotes = [](std::string& s) {
      if (!s.empty() && s.front() == '\'') s.erase(0, 1);
      if (!s.empty() && s.back() == '\'') s.pop_back();
    };
    stripQuotes(value);
    const size_t comma = value.find(',');
    if (comma != std::string::npos) {
      value.erase(comma);
      stripQuotes(value);
    }
    std::string size;
    ParseFontSizeInPx(style, size);
    ApplyStyleFont(size.empty() ? value : value + ", " + size, opened);
  }
  if (HTMLParser::ExtractParamValue(style, "font-weight", value) && value.find("bold") != std::string::npos) {
    if (OpenBegin(FMT_BOLD_BEGIN) >= 0) {
      xLog(LOG_INFO, "Detect already open bold span, skip adding this one\n");
    } else {
      AppendTag(FMT_BOLD_BEGIN, o);
      opened.push_back(FMT_BOLD_BEGIN);
    }
  }
  int spacing = 100;
  if (ParseLineSpacing(style, spacing)) {
    if (OpenBegin(FMT_LINE_SPACING_BEGIN) >= 0) {
      xLog(LOG_INFO, "Detect already open line spacing span, skip adding this one\n");
    } else {
      FmtInfo begin(FMT_LINE_SPACING_BEGIN, o);
      begin.nValue = spacing;
      AppendTag(begin);
      opened.push_back(FMT_LINE_SPACING_BEGIN);
    }
  }
  if (opened.size() > 1) m_mapSpanTags[o] = opened;
}

void FormatIO_HTML::OnSpanEnd() {
  NoteNode* note = CurrentNote();
  if (!note || note->m_objText.m_lstFmt.IsEmpty()) return;
  FmtInfoList& list = note->m_objText.m_lstFmt;
  // The most recently opened of the five span kinds is the one that ends.
  int k = -1;
  if (m_bInBkgColor) k = std::max(k, OpenBegin(FMT_BKG_COLOR_BEGIN));
  if (m_bInColor) k = std::max(k, OpenBegin(FMT_COLOR_BEGIN));
  k = std::max(k, OpenBegin(FMT_FONT_BEGIN));
  k = std::max(k, OpenBegin(FMT_BOLD_BEGIN));
  k = std::max(k, OpenBegin(FMT_LINE_SPACING_BEGIN));
  if (k < 0) return;
  const int s = list[k].nOffset;
  const int p = m_nInsertPos;
  const bool blank = RangeIsBlank(s);
  if (blank) xLog(LOG_INFO, "Span range %d-%d is covering only whitespace or images, will delete span tags\n", s, p);
  const int kindTag = list[k].nFormatTag;
  if (kindTag == FMT_COLOR_BEGIN) m_bInColor = false;

  auto entry = m_mapSpanTags.find(s);
  if (entry == m_mapSpanTags.end()) {
    if (!blank) {
      FmtInfo end = list[k];
      end.nFormatTag = kindTag + 1;
      end.nOffset = p;
      end.bFlag = false;
      AppendTag(end);
    } else {
      RemoveTag(k);
      if (kindTag == FMT_BKG_COLOR_BEGIN) xLog(LOG_INFO, "Remove span tags that span over whitespace\n");
    }
  } else {
    const std::vector<int> tags = entry->second;
    m_mapSpanTags.erase(entry);
    for (int t : tags) {
      const int idx = OpenBegin(t);
      if (idx < 0) continue;
      if (!blank) {
        FmtInfo end(t + 1, p);
        end.color = list[idx].color;
        end.strFont = list[idx].strFont;
        AppendTag(end);
      } else {
        RemoveTag(idx);
      }
    }
  }
  if (kindTag == FMT_BKG_COLOR_BEGIN) m_bInBkgColor = false;
}

void FormatIO_HTML::ParseFontSizeInPx(const std::string& style, std::string& size) {
  size.clear();
  std::string value;
  if (!HTMLParser::ExtractParamValue(style, "font-size", value) || value.empty()) return;
  static const char* const kKeywords[][2] = {
      {"xx-small", "0.2em"}, {"x-small", "0.3em"}, {"small", "0.4em"},   {"medium", "0.6em"},
      {"large", "0.8em"},    {"x-large", "1.0em"}, {"xx-large", "1.2em"}, {"smaller", "0.6em"},
      {"larger", "0.8em"},   {"inherit", "0.6em"}};
  for (const auto& k : kKeywords)
    if (g_ascii_strcasecmp(value.c_str(), k[0]) == 0) {
      value = k[1];
      break;
    }
  size = GetFontSizeFromEms(value);
}

bool FormatIO_HTML::ParseLineSpacing(const std::string& style, int& value) {
  std::string v;
  if (!HTMLParser::ExtractParamValue(style, "line-height", v)) return false;
  v.erase(std::remove(v.begin(), v.end(), '%'), v.end());
  trimstring(v);
  value = (v == "120" || v == "150" || v == "200") ? atoi(v.c_str()) : 100;
  return true;
}
