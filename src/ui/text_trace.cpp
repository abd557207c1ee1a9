#include "ui/text_trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace korvun {

void TraceText(const std::string& what, const std::string& text) {
    static const char* path = std::getenv("KORVUN_TRACE_TEXTS");
    if (!path || !*path) return;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    // Binary, so that the record reads the same from the Windows build.
    if (std::FILE* file = std::fopen(path, "ab")) {
        std::fprintf(file, "%s\t%s\n", what.c_str(), text.c_str());
        std::fclose(file);
    }
}

}  // namespace korvun
