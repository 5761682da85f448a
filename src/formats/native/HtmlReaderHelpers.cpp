#include "formats/native/HtmlReaderHelpers.h"

#include <glib.h>

#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/StringUtil.h"
#include "html/Utf8Clean.h"

namespace {

guint16 ScaleChannel(int value) {
  if (value < 0) value = 0;
  if (value > 255) value = 255;
  return static_cast<guint16>(value * 257);
}

bool ConvertWhole(std::string& text, const char* to, const char* from) {
  const size_t len = strlen(text.c_str());
  if (len == 0) return true;
  gsize written = 0;
  GError* error = nullptr;
  gchar* out = g_convert(text.c_str(), static_cast<gssize>(len), to, from, nullptr, &written, &error);
  if (error) g_error_free(error);
  if (!out) return false;
  text.assign(out, written);
  g_free(out);
  return true;
}

}  // namespace

bool parse_gtk_color(const char* text, GdkColor& color) {
  if (!text) return false;
  if (gdk_color_parse(text, &color)) return true;
  const char* rgb = strstr(text, "rgb(");
  if (!rgb) {
    xLog(LOG_INFO, "Could not parse color: %s\n", text);
    return false;
  }
  int r = 0, g = 0, b = 0;
  if (sscanf(rgb + 4, "%3d, %3d, %3d)", &r, &g, &b) < 3) return false;
  color.red = ScaleChannel(r);
  color.green = ScaleChannel(g);
  color.blue = ScaleChannel(b);
  return true;
}

void ReplaceChar(std::string& text, char from, char to) { replaceall(text, from, to); }

bool AnsiToUtf8(std::string& text) { return ConvertWhole(text, "UTF-8", "MS-ANSI"); }

bool Utf8ToAnsi(std::string& text) { return ConvertWhole(text, "MS-ANSI", "UTF-8"); }

void quillery::AnsiInputToUtf8(std::string& text) {
  bool ascii = true, nul = false;
  for (unsigned char c : text) {
    if (c >= 0x80) ascii = false;
    if (c == 0) nul = true;
  }
  if (nul) DropNulBytes(text);
  if (ascii || AnsiToUtf8(text)) return;
  // The code page leaves a few bytes undefined; everything between them is
  // converted, and each of them becomes U+FFFD.
  std::string out, piece;
  auto flush = [&]() {
    if (!AnsiToUtf8(piece)) MakeValidUtf8(piece);
    out += piece;
    piece.clear();
  };
  for (unsigned char c : text) {
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
      flush();
      out += "\xEF\xBF\xBD";
    } else {
      piece += static_cast<char>(c);
    }
  }
  flush();
  text.swap(out);
}
