#include "platform/name_folding.h"

namespace korvun {

namespace {

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

}  // namespace

std::string FoldUtf8(const std::string& name, uint32_t (*foldCodePoint)(uint32_t)) {
    std::string folded;
    folded.reserve(name.size());
    size_t i = 0;
    while (i < name.size()) {
        auto byte = static_cast<unsigned char>(name[i]);
        uint32_t codePoint = byte;
        size_t length = 1;
        bool valid = byte < 0x80;
        if (byte >= 0xC0 && byte < 0xF8) {
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            codePoint = byte & (0x7F >> length);
            valid = i + length <= name.size();
            for (size_t k = 1; valid && k < length; ++k) {
                auto next = static_cast<unsigned char>(name[i + k]);
                valid = (next & 0xC0) == 0x80;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            valid = valid && codePoint < 0x110000;
        }
        if (!valid) {
            folded.push_back('\xFF');
            folded.push_back(static_cast<char>(byte));
            ++i;
            continue;
        }
        if (codePoint < 0x80) {
            folded.push_back(byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 32) : name[i]);
        } else {
            AppendUtf8(folded, foldCodePoint(codePoint));
        }
        i += length;
    }
    return folded;
}

}  // namespace korvun
