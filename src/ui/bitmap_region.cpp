#include "ui/bitmap_region.h"

#include <limits>

#include <wx/image.h>

namespace korvun {

std::optional<BitmapPixels> ReadBitmapPixels(const wxBitmap& bitmap) {
    if (!bitmap.IsOk()) return std::nullopt;
    int width = bitmap.GetWidth() & ~3;
    int height = bitmap.GetHeight();
    if (width <= 0 || height <= 0 || width > std::numeric_limits<uint16_t>::max() ||
        height > std::numeric_limits<uint16_t>::max()) {
        return std::nullopt;
    }
    wxImage image = bitmap.ConvertToImage();
    if (!image.IsOk()) return std::nullopt;
    const unsigned char* rgb = image.GetData();
    const int stride = image.GetWidth() * 3;

    BitmapPixels pixels;
    pixels.width = static_cast<uint16_t>(width);
    pixels.height = static_cast<uint16_t>(height);
    pixels.bgr.resize(static_cast<size_t>(width) * height * 3);
    uint8_t* out = pixels.bgr.data();
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = rgb + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x, out += 3) {
            out[0] = row[x * 3 + 2];
            out[1] = row[x * 3 + 1];
            out[2] = row[x * 3];
        }
    }
    return pixels;
}

std::optional<wxRegion> BuildRegionFromBitmap(const wxBitmap& bitmap, uint8_t red, uint8_t green,
                                              uint8_t blue) {
    std::optional<BitmapPixels> pixels = ReadBitmapPixels(bitmap);
    if (!pixels) return std::nullopt;
    wxRegion region(0, 0, pixels->width, pixels->height);
    if (!region.IsOk()) return std::nullopt;
    const uint8_t* p = pixels->bgr.data();
    for (int y = 0; y < pixels->height; ++y) {
        for (int x = 0; x < pixels->width; ++x, p += 3) {
            if (p[0] == blue && p[1] == green && p[2] == red) region.Xor(x, y, 1, 1);
        }
    }
    return region;
}

}  // namespace korvun
