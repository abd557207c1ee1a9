#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>

#ifndef KORVUN_OEM_CODEPAGE
#define KORVUN_OEM_CODEPAGE "CP437"
#endif

namespace korvun {

namespace {

// One conversion descriptor per thread: opening one loads the code page tables, and a
// descriptor must not be shared between threads.
class Converter {
  public:
    Converter() : handle_(::iconv_open("UTF-8", KORVUN_OEM_CODEPAGE)) {}
    ~Converter() {
        if (Valid()) ::iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    std::string Convert(const std::string& in) {
        ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        std::string out;
        char buffer[1024];
        char* inPtr = const_cast<char*>(in.data());
        size_t inLeft = in.size();
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            size_t result = ::iconv(handle_, &inPtr, &inLeft, &outPtr, &outLeft);
            out.append(buffer, sizeof buffer - outLeft);
            if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
            // An invalid or truncated sequence: one byte becomes '?', then carry on.
            out += '?';
            ++inPtr;
            --inLeft;
            ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

  private:
    iconv_t handle_;
};

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::string OemToUtf8(const std::string& oem) {
    // OEM code pages agree with ASCII below 0x80, and most entry names are plain ASCII.
    if (IsAscii(oem)) return oem;
    thread_local Converter converter;
    if (!converter.Valid()) {
        std::string fallback = oem;
        for (char& c : fallback) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        return fallback;
    }
    return converter.Convert(oem);
}

}  // namespace korvun
