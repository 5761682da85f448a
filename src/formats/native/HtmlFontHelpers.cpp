#include "formats/native/HtmlFontHelpers.h"

#include <glib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Text after the last blank, and whether there was a blank at all.
bool LastWord(const std::string& desc, std::string& word, size_t& blank)
{
  blank = desc.rfind(' ');
  if (blank == std::string::npos)
    return false;
  word = desc.substr(blank + 1);
  return true;
}

void TrimBlanks(std::string& s)
{
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) {
    s.clear();
    return;
  }
  size_t e = s.find_last_not_of(' ');
  s = s.substr(b, e - b + 1);
}

void EraseFirst(std::string& s, const char* what, size_t len)
{
  size_t p = s.find(what);
  if (p != std::string::npos)
    s.erase(p, len);
}

}  // namespace

std::string GetFontFamily(std::string desc)
{
  std::string word;
  size_t blank = 0;
  if (LastWord(desc, word, blank) && atoi(word.c_str()) != 0)
    desc.erase(blank);
  EraseFirst(desc, " Bold", 5);
  EraseFirst(desc, " Italic", 7);
  EraseFirst(desc, " Oblique", 8);
  if (!desc.empty() && desc.back() == ',')
    desc.pop_back();
  TrimBlanks(desc);
  return desc;
}

std::string GetFontSizeToEms(const std::string& desc)
{
  std::string word;
  size_t blank = 0;
  int size = LastWord(desc, word, blank) ? atoi(word.c_str()) : 0;
  char buf[32];
  snprintf(buf, sizeof(buf), "%.2f", size / 16.0);
  return buf;
}

std::string GetFontSizeFromEms(const std::string& value)
{
  size_t em = value.rfind("em");
  if (em == std::string::npos)
    return std::string();
  std::string number = value.substr(0, em);
  double v = g_ascii_strtod(number.c_str(), nullptr);
  if (std::fabs(v) < 0.00001)
    return "0";
  char buf[32];
  snprintf(buf, sizeof(buf), "%ld", std::lround(v * 16));
  return buf;
}

std::string GetFontSize(const std::string& desc)
{
  std::string word;
  size_t blank = 0;
  if (LastWord(desc, word, blank) && atoi(word.c_str()) != 0) {
    TrimBlanks(word);
    return word;
  }
  return "16";
}

bool gdk_colors_equal(GdkColor& a, GdkColor& b)
{
  return a.red == b.red && a.green == b.green && a.blue == b.blue;
}
