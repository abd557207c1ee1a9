// The skin bitmaps linked into the program, found by their resource ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvun {

struct SkinResource {
    int id;
    const unsigned char* begin;
    const unsigned char* end;
};

extern const SkinResource kSkinResources[];
extern const size_t kSkinResourceCount;

// The bytes of the BMP file with this id; empty when the program carries none.
std::span<const unsigned char> FindSkinResource(int id);

}  // namespace korvun
