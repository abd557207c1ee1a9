#include "zip/zip_entry.h"

namespace korvun {

std::time_t CZipEntry::ModificationTime() const {
    std::tm local{};
    local.tm_sec = 2 * (modificationTime & 0x1F);
    local.tm_min = (modificationTime >> 5) & 0x3F;
    local.tm_hour = (modificationTime >> 11) & 0x1F;
    local.tm_mday = modificationDate & 0x1F;
    local.tm_mon = ((modificationDate >> 5) & 0x0F) - 1;
    local.tm_year = 80 + ((modificationDate >> 9) & 0x7F);
    local.tm_isdst = -1;  // daylight saving as the local rules say
    return std::mktime(&local);
}

}  // namespace korvun
