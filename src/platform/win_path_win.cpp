#include "platform/win_path.h"

namespace korvun {

// Windows file systems already match names without regard to case and take both separators.
std::string NativePath(const std::string& name) { return name; }

}  // namespace korvun
