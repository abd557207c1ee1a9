// The window's skin: the bitmaps of a skin set, loaded from the program's resources.
#pragma once

#include <wx/bitmap.h>

namespace korvun {

// Thirteen bitmap resource ids, in this order.
struct SkinSet {
    int background;
    int gaugeBackground;
    int fileGaugeFill;
    int totalGaugeFill;
    int closeNormal, closeHover, closePressed;
    int unused[3];  // carried by the program, never loaded
    int startNormal, startHover, startPressed;
};

// The program carries two sets and shows the first.
extern const SkinSet kSkinSets[2];

constexpr int kApplicationIconId = 164;

// The bitmap with this resource id; an invalid bitmap when it is missing or unreadable.
wxBitmap LoadSkinBitmap(int id);

}  // namespace korvun
