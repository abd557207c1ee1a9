#include "trust/sodium_init.h"

#include <sodium.h>

#include <mutex>
#include <stdexcept>

namespace korvun {

void EnsureSodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    });
}

}  // namespace korvun
