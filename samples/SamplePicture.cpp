#include "samples/SamplePicture.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "samples/SampleRandom.h"

namespace quillery {

std::string MakeSamplePicture(bool png, int width, int height, uint64_t seed) {
  if (width < 1 || height < 1) return std::string();
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  if (!pix) return std::string();

  SampleRandom rnd(seed);
  const int base[3] = {rnd.Below(256), rnd.Below(256), rnd.Below(256)};
  const int bars = rnd.Range(2, 5);
  const int stride = gdk_pixbuf_get_rowstride(pix);
  guchar* pixels = gdk_pixbuf_get_pixels(pix);
  for (int y = 0; y < height; ++y) {
    guchar* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(stride);
    for (int x = 0; x < width; ++x) {
      const bool bar = (x * bars / width) % 2 == 0 && y > height / 3;
      row[3 * x + 0] = static_cast<guchar>((base[0] + x * 255 / width) & 0xFF);
      row[3 * x + 1] = static_cast<guchar>((base[1] + y * 255 / height) & 0xFF);
      row[3 * x + 2] = static_cast<guchar>(bar ? 255 - base[2] : base[2]);
    }
  }

  gchar* buf = nullptr;
  gsize len = 0;
  GError* err = nullptr;
  gboolean ok = png ? gdk_pixbuf_save_to_buffer(pix, &buf, &len, "png", &err, "compression", "9", nullptr)
                    : gdk_pixbuf_save_to_buffer(pix, &buf, &len, "jpeg", &err, "quality", "85", nullptr);
  std::string out;
  if (ok && buf) out.assign(buf, len);
  if (err) g_error_free(err);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

}  // namespace quillery
