// libsodium must be initialised once before its random numbers and its fastest code paths
// are used; every entry point of this module calls this first.
#pragma once

namespace korvun {

void EnsureSodium();

}  // namespace korvun
