#include "ui/skin_bitmaps.h"

#include <wx/image.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include "ui/skin_resources.h"

namespace korvun {

const SkinSet kSkinSets[2] = {
    {167, 181, 182, 183, 185, 187, 188, {171, 172, 173}, 168, 169, 170},
    {180, 181, 182, 183, 184, 186, 189, {177, 178, 179}, 174, 175, 176},
};

wxBitmap LoadSkinBitmap(int id) {
    std::span<const unsigned char> bytes = FindSkinResource(id);
    if (bytes.empty()) return wxBitmap();
    wxMemoryInputStream stream(bytes.data(), bytes.size());
    wxImage image;
    {
        // A damaged resource leaves its slot empty; it is not worth a box of its own.
        wxLogNull quiet;
        if (!image.LoadFile(stream, wxBITMAP_TYPE_BMP)) return wxBitmap();
    }
    return wxBitmap(image, 24);
}

}  // namespace korvun
