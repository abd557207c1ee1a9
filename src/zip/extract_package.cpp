#include "zip/extract_package.h"

#include "app/updater_window.h"
#include "platform/stop_event.h"
#include "zip/zip_reader.h"

namespace korvun {

namespace {

constexpr uint32_t kWriteBufferSize = 1500000;
constexpr uint32_t kReadBufferSize = 16384;
constexpr uint32_t kSearchBufferSize = 32768;
constexpr uint32_t kChunkSize = 65535;

}  // namespace

int ExtractPackage(const std::string& packageName, const std::string& destRoot,
                   UpdaterWindow& window, const StopEvent& stop) {
    CZipReader reader;
    reader.SetBufferSizes(kWriteBufferSize, kReadBufferSize, kSearchBufferSize);
    reader.OpenPackage(packageName);

    const int count = reader.GetEntryCount();
    uint64_t total = 0;
    CZipEntry entry;
    for (int i = 0; i < count; ++i) {
        if (reader.GetEntryInfo(entry, static_cast<uint16_t>(i)) && !entry.IsDirectory()) {
            total += entry.uncompressedSize;
        }
    }
    window.FileGauge().SetRange(0, total);
    window.FileGauge().SetPos(0);
    window.ExtractedBytes() = 0;

    reader.SetProgress(&window, &stop);
    for (int i = 0; i < count; ++i) {
        if (!reader.ExtractEntry(static_cast<uint16_t>(i), destRoot, true, nullptr, kChunkSize)) {
            return kExtractFailed;
        }
        if (stop.IsSet()) {
            reader.ClosePackage();
            return kExtractStopped;
        }
    }
    reader.ClosePackage();
    return kExtractDone;
}

}  // namespace korvun
