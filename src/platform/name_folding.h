// What the systems' case-insensitive name comparisons share: names are UTF-8 inside, and each
// system folds single code points with its own case tables.
#pragma once

#include <cstdint>
#include <string>

namespace korvun {

// Folds the UTF-8 name: ASCII letters to upper case, every other code point with
// foldCodePoint, the result encoded as UTF-8.
// A byte that does not start a valid sequence becomes 0xFF followed by itself: 0xFF never
// occurs in UTF-8, so a stray byte never equals a decoded character.
std::string FoldUtf8(const std::string& name, uint32_t (*foldCodePoint)(uint32_t));

}  // namespace korvun
