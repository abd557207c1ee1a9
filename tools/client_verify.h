// Compares an installed client with the reference tree of a release (see client_tree.h):
// every loose file and every archive entry, byte for byte, plus the archive's header values
// and the consistency of its file count.
#pragma once

#include <string>
#include <vector>

namespace korvun::tool {

enum VerifyStatus { kVerifyIdentical = 0, kVerifyDifferent = 1, kVerifyUnreadable = 2 };

struct VerifyResult {
    VerifyStatus status = kVerifyIdentical;
    std::vector<std::string> differences;
    std::string error;  // for kVerifyUnreadable
    size_t looseCompared = 0;
    size_t entriesCompared = 0;
};

// ignore: further relative paths (either separator, any letter case) left out on both sides;
// a directory leaves out everything below it.
VerifyResult VerifyClient(const std::string& gameDir, const std::string& reference,
                          const std::vector<std::string>& ignore);

}  // namespace korvun::tool
