#pragma once

// Small encoded pictures for sample documents, drawn and encoded with
// GdkPixbuf: a colour gradient with a few bars, different for every seed.

#include <cstdint>
#include <string>

namespace quillery {

// PNG (png true) or JPEG bytes of a width x height picture; empty when the
// encoder fails. The same arguments always give the same bytes.
std::string MakeSamplePicture(bool png, int width, int height, uint64_t seed);

}  // namespace quillery
