#pragma once

// One picture of a rich text (or a custom icon), and the list of a text's
// pictures.
//
// The encoded bytes are the source of truth: a picture read from a file
// keeps its PNG or JPEG bytes and is decoded only when the image itself is
// needed. Re-encoding a picture that has stored bytes in its own format
// returns those bytes unchanged, so a JPEG never loses quality by being
// saved again.
//
// Ownership: a PixInfo holds one reference on its GdkPixbuf (may be null);
// copying takes another reference, destruction drops it.
//
// Threads: its fields and GetPixbufIfDecoded may be read from any thread
// while nobody changes the picture, and copies may be made there (GLib's
// reference counts are atomic). GetPixbuf (decodes and keeps the image),
// SaveToBuffer and GetEncodedSize (encode through GdkPixbuf when there are
// no stored bytes of the format asked) change or create state: only the
// owning thread calls them, or a worker for a picture with stored bytes, of
// which SaveToBuffer only copies (the parallel writer renders a note on a
// worker only when every picture has its bytes).

#include <glib.h>

#include <cstdint>
#include <string>
#include <vector>

typedef struct _GdkPixbuf GdkPixbuf;

class PixInfo {
 public:
  PixInfo() = default;
  PixInfo(const PixInfo& other);
  PixInfo& operator=(const PixInfo& other);
  PixInfo(PixInfo&& other) noexcept;
  PixInfo& operator=(PixInfo&& other) noexcept;
  ~PixInfo();

  // Takes over one reference (the caller's) on pix; null clears the image.
  void SetPixbufOwned(GdkPixbuf* pix);
  // The decoded image, decoding the stored bytes on first use; null when
  // there is neither an image nor decodable bytes. Not owned by the caller.
  GdkPixbuf* GetPixbuf();
  GdkPixbuf* GetPixbufIfDecoded() const { return pixbuf; }

  // Encodes the picture into a new buffer that the caller frees with g_free.
  // fmt null: PNG (compression "9") when bPNG, else JPEG; else "png"/"jpeg"
  // or any GdkPixbuf writer name. Stored bytes of the asked format are
  // returned as they are. False (and *buf null, *len 0) when there is
  // nothing to encode or encoding fails.
  bool SaveToBuffer(char** buf, gsize* len, const char* fmt = nullptr);

  // Byte size of the picture encoded in its own format (PNG by bPNG, else
  // JPEG): the stored bytes' size when there are any, else the size of an
  // encoding; 0 when it cannot be encoded.
  int64_t GetEncodedSize();

  // Decodes PNG or JPEG bytes into a new image (the caller owns the
  // reference), scaled to width x height when width > 0 (height <= 0 keeps
  // the aspect ratio). Null for zero length or a decoder error.
  static GdkPixbuf* LoadFromBuffer(const char* bytes, size_t len, int width, int height = -1);

  GdkPixbuf* pixbuf = nullptr;  // owned reference, may be null
  std::string strEncoded;       // stored PNG/JPEG bytes, may be empty
  int nOffset = -1;             // position in the rich text
  std::string strName;
  bool bPNG = true;             // the picture's own format: PNG, else JPEG
  int64_t nPictureID = 0;       // database row ID; 0 = none
};

class PictureList {
 public:
  int GetSize() const { return static_cast<int>(m_list.size()); }
  bool IsEmpty() const { return m_list.empty(); }
  PixInfo& GetAt(int i) { return m_list[i]; }
  const PixInfo& GetAt(int i) const { return m_list[i]; }
  PixInfo& operator[](int i) { return m_list[i]; }
  const PixInfo& operator[](int i) const { return m_list[i]; }
  void Clear() { m_list.clear(); }
  // Appends a copy (one more reference on its image); no sorting.
  void Push(const PixInfo& pix) { m_list.push_back(pix); }
  void Remove(int i);
  // Index of the picture at exactly that offset, -1 when none.
  int FindAtOffset(int offset) const;

  std::vector<PixInfo>& Items() { return m_list; }
  const std::vector<PixInfo>& Items() const { return m_list; }

 private:
  std::vector<PixInfo> m_list;
};

// Encodes the image as PNG and as JPEG and reports both byte sizes; -1 for a
// failed encoding (also for a null image).
void GetPictureMemorySizes(GdkPixbuf* pix, int& pngSize, int& jpgSize);
