#include "richtext/PixInfo.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstring>

#include "base/Log.h"

namespace {

bool IsPngName(const char* fmt) { return fmt && g_ascii_strcasecmp(fmt, "png") == 0; }
bool IsJpegName(const char* fmt) {
  return fmt && (g_ascii_strcasecmp(fmt, "jpeg") == 0 || g_ascii_strcasecmp(fmt, "jpg") == 0);
}

// Encodes pix in the named GdkPixbuf format; PNG gets "compression" "9".
bool Encode(GdkPixbuf* pix, const char* fmt, char** buf, gsize* len) {
  GError* err = nullptr;
  gboolean ok;
  if (IsPngName(fmt)) {
    ok = gdk_pixbuf_save_to_buffer(pix, buf, len, "png", &err, "compression", "9", nullptr);
  } else {
    ok = gdk_pixbuf_save_to_buffer(pix, buf, len, IsJpegName(fmt) ? "jpeg" : fmt, &err, nullptr);
  }
  if (!ok) {
    xLog(LOG_WARNING, "Picture encoding (%s) failed: %s\n", fmt, err ? err->message : "?");
    if (err) g_error_free(err);
    *buf = nullptr;
    *len = 0;
    return false;
  }
  return true;
}

}  // namespace

PixInfo::PixInfo(const PixInfo& other)
    : pixbuf(other.pixbuf ? GDK_PIXBUF(g_object_ref(other.pixbuf)) : nullptr),
      strEncoded(other.strEncoded),
      nOffset(other.nOffset),
      strName(other.strName),
      bPNG(other.bPNG),
      nPictureID(other.nPictureID) {}

PixInfo& PixInfo::operator=(const PixInfo& other) {
  if (this != &other) {
    GdkPixbuf* keep = other.pixbuf ? GDK_PIXBUF(g_object_ref(other.pixbuf)) : nullptr;
    SetPixbufOwned(keep);
    strEncoded = other.strEncoded;
    nOffset = other.nOffset;
    strName = other.strName;
    bPNG = other.bPNG;
    nPictureID = other.nPictureID;
  }
  return *this;
}

PixInfo::PixInfo(PixInfo&& other) noexcept
    : pixbuf(other.pixbuf),
      strEncoded(std::move(other.strEncoded)),
      nOffset(other.nOffset),
      strName(std::move(other.strName)),
      bPNG(other.bPNG),
      nPictureID(other.nPictureID) {
  other.pixbuf = nullptr;
}

PixInfo& PixInfo::operator=(PixInfo&& other) noexcept {
  if (this != &other) {
    SetPixbufOwned(other.pixbuf);
    other.pixbuf = nullptr;
    strEncoded = std::move(other.strEncoded);
    nOffset = other.nOffset;
    strName = std::move(other.strName);
    bPNG = other.bPNG;
    nPictureID = other.nPictureID;
  }
  return *this;
}

PixInfo::~PixInfo() {
  if (pixbuf) g_object_unref(pixbuf);
}

void PixInfo::SetPixbufOwned(GdkPixbuf* pix) {
  if (pixbuf) g_object_unref(pixbuf);
  pixbuf = pix;
}

GdkPixbuf* PixInfo::GetPixbuf() {
  if (!pixbuf && !strEncoded.empty())
    pixbuf = LoadFromBuffer(strEncoded.data(), strEncoded.size(), -1, -1);
  return pixbuf;
}

bool PixInfo::SaveToBuffer(char** buf, gsize* len, const char* fmt) {
  *buf = nullptr;
  *len = 0;
  const char* want = fmt ? fmt : (bPNG ? "png" : "jpeg");
  const bool sameFormat = bPNG ? IsPngName(want) : IsJpegName(want);
  if (sameFormat && !strEncoded.empty()) {
    *buf = static_cast<char*>(g_memdup2(strEncoded.data(), strEncoded.size()));
    *len = strEncoded.size();
    return true;
  }
  GdkPixbuf* pix = GetPixbuf();
  if (!pix) return false;
  return Encode(pix, want, buf, len);
}

int64_t PixInfo::GetEncodedSize() {
  if (!strEncoded.empty()) return static_cast<int64_t>(strEncoded.size());
  char* buf = nullptr;
  gsize len = 0;
  if (!SaveToBuffer(&buf, &len)) return 0;
  g_free(buf);
  return static_cast<int64_t>(len);
}

GdkPixbuf* PixInfo::LoadFromBuffer(const char* bytes, size_t len, int width, int height) {
  if (!bytes || len == 0) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  GError* err = nullptr;
  gboolean ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes), len, &err);
  if (ok) ok = gdk_pixbuf_loader_close(loader, &err);
  else gdk_pixbuf_loader_close(loader, nullptr);
  GdkPixbuf* pix = nullptr;
  if (ok) {
    pix = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pix) g_object_ref(pix);
  } else {
    xLog(LOG_WARNING, "Picture decoding failed: %s\n", err ? err->message : "?");
  }
  if (err) g_error_free(err);
  g_object_unref(loader);
  if (pix && width > 0) {
    const int w0 = gdk_pixbuf_get_width(pix);
    const int h0 = gdk_pixbuf_get_height(pix);
    int h = height;
    if (h <= 0) h = w0 > 0 ? static_cast<int>(static_cast<int64_t>(h0) * width / w0) : h0;
    if (h < 1) h = 1;
    GdkPixbuf* scaled = gdk_pixbuf_scale_simple(pix, width, h, GDK_INTERP_BILINEAR);
    g_object_unref(pix);
    pix = scaled;
  }
  return pix;
}

void PictureList::Remove(int i) {
  if (i < 0 || i >= GetSize()) return;
  m_list.erase(m_list.begin() + i);
}

int PictureList::FindAtOffset(int offset) const {
  for (int i = 0; i < GetSize(); ++i)
    if (m_list[i].nOffset == offset) return i;
  return -1;
}

void GetPictureMemorySizes(GdkPixbuf* pix, int& pngSize, int& jpgSize) {
  pngSize = -1;
  jpgSize = -1;
  if (!pix) return;
  char* buf = nullptr;
  gsize len = 0;
  if (Encode(pix, "png", &buf, &len)) {
    pngSize = static_cast<int>(len);
    g_free(buf);
  }
  if (Encode(pix, "jpeg", &buf, &len)) {
    jpgSize = static_cast<int>(len);
    g_free(buf);
  }
}
