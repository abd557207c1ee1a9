#include "zip/portable_names.h"

#include <array>
#include <cctype>

namespace korvun {

namespace {

bool IsDeviceName(std::string_view stem) {
    static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
    std::string upper;
    for (char c : stem)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    for (std::string_view name : kPlain) {
        if (upper == name) return true;
    }
    return upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

}  // namespace

bool IsWindowsOnlyTrouble(std::string_view component) {
    if (component.empty()) return false;
    if (component.find(':') != std::string_view::npos) return true;
    char last = component.back();
    if (last == '.' || last == ' ') return true;
    // "con.txt" and "con .txt" name the device as well: the part before the first dot counts,
    // without the spaces that end it.
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    return IsDeviceName(stem);
}

bool IsPortableTarget(const std::string& destRoot, const std::vector<std::string>& components) {
    std::string_view root = destRoot;
    while (!root.empty() && (root.back() == '/' || root.back() == '\\')) root.remove_suffix(1);
    size_t length = NativeNameLength(root);
    for (const std::string& component : components) {
        if (IsWindowsOnlyTrouble(component)) return false;
        length += 1 + NativeNameLength(component);
    }
    return length <= LongestNativePath();
}

}  // namespace korvun
