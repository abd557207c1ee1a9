#include "ui/skin_resources.h"

namespace korvun {

std::span<const unsigned char> FindSkinResource(int id) {
    for (size_t i = 0; i < kSkinResourceCount; ++i) {
        const SkinResource& resource = kSkinResources[i];
        if (resource.id == id) {
            return {resource.begin, static_cast<size_t>(resource.end - resource.begin)};
        }
    }
    return {};
}

}  // namespace korvun
