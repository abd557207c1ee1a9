#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

#include "platform/oem_code_page.h"

namespace korvun {

namespace {

// A build for one market names its code page; otherwise the locale decides, as Wine's
// choice of OEM code page for a game would.
std::string OemCodePage() {
#ifdef KORVUN_OEM_CODEPAGE
    if (*KORVUN_OEM_CODEPAGE) return KORVUN_OEM_CODEPAGE;
#endif
    return OemCodePageOfLocale(CharacterTypeLocale());
}

// One conversion descriptor per thread: opening one loads the code page tables, and a
// descriptor must not be shared between threads.
class Converter {
  public:
    explicit Converter(const std::string& codePage)
        : codePage_(codePage), handle_(::iconv_open("UTF-8", codePage.c_str())) {}
    ~Converter() {
        if (Valid()) ::iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    const std::string& CodePage() const { return codePage_; }

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
    std::string codePage_;
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
    thread_local std::unique_ptr<Converter> converter;
    if (std::string codePage = OemCodePage(); !converter || converter->CodePage() != codePage) {
        converter = std::make_unique<Converter>(codePage);
    }
    if (!converter->Valid()) {
        std::string fallback = oem;
        for (char& c : fallback) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        return fallback;
    }
    return converter->Convert(oem);
}

}  // namespace korvun
