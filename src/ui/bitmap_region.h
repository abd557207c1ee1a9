// The window's shape, taken from its background picture: every pixel of the key colour is
// cut out.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <wx/bitmap.h>
#include <wx/region.h>

namespace korvun {

struct BitmapPixels {
    std::vector<uint8_t> bgr;  // rows from the top, three bytes per pixel: blue, green, red
    uint16_t width = 0;        // the bitmap's width rounded down to a multiple of 4
    uint16_t height = 0;
};

// The pixels of bitmap as a top-down 24-bit image; nullopt for a bitmap that cannot be
// read or that leaves no pixel once its width is rounded down.
std::optional<BitmapPixels> ReadBitmapPixels(const wxBitmap& bitmap);

// The bitmap's area (rounded width) without the pixels of colour red, green, blue; nullopt
// when the pixels cannot be read.
std::optional<wxRegion> BuildRegionFromBitmap(const wxBitmap& bitmap, uint8_t red, uint8_t green,
                                              uint8_t blue);

}  // namespace korvun
