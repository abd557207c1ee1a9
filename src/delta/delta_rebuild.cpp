#include "delta/delta_rebuild.h"

#include <zlib.h>
#include <zstd.h>

#include <memory>

#include "delta/client_bases.h"
#include "delta/delta_format.h"
#include "delta/package_layout.h"
#include "platform/file_io.h"
#include "platform/file_mapping.h"
#include "platform/sha256.h"

namespace korvun::delta {

namespace {

struct DctxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

class Rebuild {
  public:
    Rebuild(const RebuildRequest& request, const ClientDirectory& client)
        : request_(request), bases_(client), context_(ZSTD_createDCtx()) {}

    bool Run(std::string& error);

  private:
    bool OpenDelta(std::string& error);
    bool WriteEntry(size_t index, std::string& error);
    bool WriteSegment(const Segment& segment, uint64_t at, Sha256Stream& sha, uLong& crc,
                      std::string& error);
    bool Stopped() const { return request_.stop && request_.stop->IsSet(); }

    const RebuildRequest& request_;
    ClientBases bases_;
    std::unique_ptr<ZSTD_DCtx, DctxFree> context_;
    FileHandle deltaFile_;
    FileMapping delta_;
    DeltaPackage package_;
    PackageLayout layout_;
    FileHandle output_;
};

bool Rebuild::OpenDelta(std::string& error) {
    deltaFile_ = OpenFile(request_.deltaPath, OpenMode::ReadOnly);
    std::optional<uint64_t> length =
        deltaFile_.IsOpen() ? OpenFileLength(deltaFile_.Get()) : std::nullopt;
    if (!length || *length > SIZE_MAX || !delta_.Map(deltaFile_.Get(), 0, *length, false)) {
        error = request_.deltaPath + " cannot be read";
        return false;
    }
    if (!ParseDeltaPackage(delta_.Data(), delta_.Size(), package_, error) ||
        !layout_.Plan(package_.centralDirectory, error)) {
        return false;
    }
    if (layout_.Entries().size() != package_.entries.size()) {
        error = "the delta package's entries do not match its directory";
        return false;
    }
    for (size_t i = 0; i < package_.entries.size(); ++i) {
        if (layout_.Entries()[i].size != package_.entries[i].size) {
            error =
                layout_.Entries()[i].name + ": the delta and the directory disagree on its size";
            return false;
        }
    }
    return true;
}

bool Rebuild::WriteSegment(const Segment& segment, uint64_t at, Sha256Stream& sha, uLong& crc,
                           std::string& error) {
    const uint8_t* payload = delta_.Data() + segment.payloadOffset;
    // The frame must say the size the table does: that is what the output was sized for.
    if (ZSTD_findFrameCompressedSize(payload, segment.payloadSize) != segment.payloadSize ||
        ZSTD_getFrameContentSize(payload, segment.payloadSize) != segment.outputSize ||
        segment.outputSize > SIZE_MAX) {
        error = "a segment of the delta package is not one frame of its declared size";
        return false;
    }
    FileMapping base;
    if (segment.base != BaseKind::None && !bases_.Map(segment, base, error)) return false;
    FileMapping out;
    if (!out.Map(output_.Get(), at, static_cast<size_t>(segment.outputSize), true)) {
        error = request_.outputPath + " cannot be written";
        return false;
    }
    ZSTD_DCtx* context = context_.get();
    ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
    uint8_t none = 0;
    uint8_t* target = out.Size() ? out.MutableData() : &none;
    if (base.Size() != 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(context, base.Data(), base.Size()))) {
        error = "the decompressor refused its base";
        return false;
    }
    // Decompressing into the mapped output in one call needs no window buffer of its own: the
    // frame refers back into the mapped base and output.
    size_t produced =
        ZSTD_decompressDCtx(context, target, out.Size(), payload, segment.payloadSize);
    if (ZSTD_isError(produced) || produced != segment.outputSize) {
        error = std::string("a segment of the delta package does not decompress: ") +
                (ZSTD_isError(produced) ? ZSTD_getErrorName(produced) : "short");
        return false;
    }
    sha.Update(out.Data(), out.Size());
    crc = crc32_z(crc, out.Data(), out.Size());
    return true;
}

bool Rebuild::WriteEntry(size_t index, std::string& error) {
    const Entry& entry = package_.entries[index];
    const LayoutEntry& place = layout_.Entries()[index];
    Sha256Stream sha;
    uLong crc = crc32_z(0, nullptr, 0);
    uint64_t at = place.dataOffset;
    for (uint32_t i = 0; i < entry.segmentCount; ++i) {
        if (Stopped()) {
            error = "stopped";
            return false;
        }
        const Segment& segment = package_.segments[entry.firstSegment + i];
        if (!WriteSegment(segment, at, sha, crc, error)) {
            error = place.name + ": " + error;
            return false;
        }
        at += segment.outputSize;
    }
    if (sha.Finish() != entry.sha256 || crc != place.crc32) {
        error = place.name + ": the rebuilt entry is not the release's";
        return false;
    }
    return true;
}

bool Rebuild::Run(std::string& error) {
    if (!context_) {
        error = "out of memory";
        return false;
    }
    if (!OpenDelta(error)) return false;
    if (request_.hasFreeSpace && !request_.hasFreeSpace(layout_.TotalBytes())) {
        error = "no room for the rebuilt package";
        return false;
    }
    // Created empty, then opened again for reading as well: a writable mapping needs both.
    output_ = OpenFile(request_.outputPath, OpenMode::WriteCreateTruncate);
    if (output_.IsOpen() && output_.Close()) {
        output_ = OpenFile(request_.outputPath, OpenMode::ReadWrite);
    }
    if (!output_.IsOpen() || !ReserveFileLength(output_.Get(), layout_.TotalBytes()) ||
        !layout_.WriteRecords(output_.Get())) {
        error = request_.outputPath + " cannot be written";
        return false;
    }
    for (size_t i = 0; i < package_.entries.size(); ++i) {
        if (!WriteEntry(i, error)) return false;
        TestPoint("delta-entry-rebuilt");
    }
    // Not flushed: like a downloaded package, a rebuilt one is never taken up again after a
    // crash (no resume record vouches for it); it is read back through the page cache at once.
    if (!output_.Close()) {
        error = request_.outputPath + " cannot be written";
        return false;
    }
    return true;
}

}  // namespace

bool DeltaRebuildAvailable() { return true; }

bool RebuildPackage(const RebuildRequest& request, const ClientDirectory& client,
                    std::string& error) {
    Rebuild rebuild(request, client);
    return rebuild.Run(error);
}

}  // namespace korvun::delta
