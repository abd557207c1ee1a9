#include "delta_builder.h"

#include <zstd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "delta/package_layout.h"
#include "platform/file_io.h"
#include "platform/file_mapping.h"
#include "platform/sha256.h"

namespace korvun::tool {

namespace {

using delta::BaseKind;
using delta::Segment;

constexpr int kLevel = 19;
// A patch must beat the whole piece clearly to be worth the client's work on its base.
constexpr uint64_t kPatchOverhead = 64;
constexpr double kPatchAdvantage = 0.8;

struct CctxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

using Sink = std::function<bool(const void*, size_t)>;

// The window limits of the format for 64-bit programs.
constexpr int kMinWindowLog = 10;
constexpr int kMaxWindowLog = 31;

int WindowLogFor(uint64_t bytes) {
    int log = kMinWindowLog;
    while (log < kMaxWindowLog && (uint64_t{1} << log) < bytes) ++log;
    return log;
}

// One zstd frame of size bytes (its content size declared), compressed against base when
// given; the frame goes to sink as it is made.
bool Compress(const uint8_t* data, uint64_t size, const uint8_t* base, size_t baseSize,
              const Sink& sink) {
    std::unique_ptr<ZSTD_CCtx, CctxFree> context(ZSTD_createCCtx());
    if (!context) return false;
    ZSTD_CCtx* c = context.get();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kLevel);
    if (base != nullptr && baseSize != 0) {
        // The window spans the base and the output, so that every match in the base is
        // reachable; long-distance matching finds them across it.
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLogFor(baseSize + size));
        ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
        if (ZSTD_isError(ZSTD_CCtx_refPrefix(c, base, baseSize))) return false;
    }
    ZSTD_CCtx_setPledgedSrcSize(c, size);
    std::vector<uint8_t> buffer(ZSTD_CStreamOutSize());
    ZSTD_inBuffer in{data, static_cast<size_t>(size), 0};
    size_t left;
    do {
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        left = ZSTD_compressStream2(c, &out, &in, ZSTD_e_end);
        if (ZSTD_isError(left) || !sink(buffer.data(), out.pos)) return false;
    } while (left != 0);
    return true;
}

std::string CompressToText(const uint8_t* data, uint64_t size, const uint8_t* base,
                           size_t baseSize) {
    std::string text;
    Compress(data, size, base, baseSize, [&text](const void* bytes, size_t count) {
        text.append(static_cast<const char*>(bytes), count);
        return true;
    });
    return text;
}

class DeltaWriter {
  public:
    explicit DeltaWriter(DeltaBuildResult& result) : result_(result) {}
    bool Begin(const std::string& payloadPath, std::string& error);
    bool AddEntry(const DeltaEntryPlan& entry, std::string& error);
    bool Finish(std::string centralDirectory, const std::string& deltaPath, std::string& error);

  private:
    bool AddWhole(const uint8_t* data, uint64_t size);
    bool TryPatch(const uint8_t* data, const BasePiece& piece, Segment& segment,
                  std::string& patch);
    bool Append(const std::string& payload);

    DeltaBuildResult& result_;
    delta::DeltaPackage package_;
    FileHandle payloads_;
    std::string payloadPath_;
};

bool DeltaWriter::Begin(const std::string& payloadPath, std::string& error) {
    payloadPath_ = payloadPath;
    payloads_ = OpenFile(payloadPath, OpenMode::WriteCreateTruncate);
    if (!payloads_.IsOpen()) error = "cannot write " + payloadPath;
    return payloads_.IsOpen();
}

bool DeltaWriter::Append(const std::string& payload) {
    return WriteFull(payloads_.Get(), payload.data(), payload.size());
}

bool DeltaWriter::AddWhole(const uint8_t* data, uint64_t size) {
    Segment segment;
    segment.outputSize = size;
    bool written = Compress(data, size, nullptr, 0, [&](const void* bytes, size_t count) {
        segment.payloadSize += count;
        return WriteFull(payloads_.Get(), bytes, count);
    });
    package_.segments.push_back(std::move(segment));
    package_.entries.back().segmentCount++;
    return written;
}

// The piece as a patch segment and its payload, when a patch pays (patch empty otherwise);
// false when the base cannot be read.
bool DeltaWriter::TryPatch(const uint8_t* data, const BasePiece& piece, Segment& segment,
                           std::string& patch) {
    patch.clear();
    if (piece.size < kMinPatchedBytes || piece.baseSize == 0 || piece.baseSize > kMaxBaseBytes) {
        return true;
    }
    FileHandle file = OpenFile(piece.file, OpenMode::ReadOnly);
    FileMapping base;
    if (!file.IsOpen() || !base.Map(file.Get(), piece.fileOffset, piece.baseSize, false)) {
        return false;
    }
    const uint8_t* bytes = data + piece.offset;
    std::string candidate = CompressToText(bytes, piece.size, base.Data(), base.Size());
    std::string whole = CompressToText(bytes, piece.size, nullptr, 0);
    if (candidate.empty() || static_cast<double>(candidate.size() + kPatchOverhead) >=
                                 kPatchAdvantage * static_cast<double>(whole.size())) {
        return true;
    }
    segment = Segment{};
    segment.base = piece.kind;
    segment.baseName = piece.name;
    segment.baseSize = piece.baseSize;
    Sha256Stream sha;
    sha.Update(base.Data(), base.Size());
    segment.baseSha256 = sha.Finish();
    segment.outputSize = piece.size;
    segment.payloadSize = candidate.size();
    patch = std::move(candidate);
    return true;
}

bool DeltaWriter::AddEntry(const DeltaEntryPlan& plan, std::string& error) {
    FileHandle file = OpenFile(plan.source, OpenMode::ReadOnly);
    std::optional<uint64_t> size = file.IsOpen() ? OpenFileLength(file.Get()) : std::nullopt;
    FileMapping content;
    if (!size || !content.Map(file.Get(), 0, *size, false)) {
        error = plan.source + " cannot be read";
        return false;
    }
    delta::Entry entry;
    entry.size = *size;
    Sha256Stream sha;
    sha.Update(content.Data(), content.Size());
    entry.sha256 = sha.Finish();
    package_.entries.push_back(entry);

    // Bytes that go whole gather until a patch interrupts them: small entries in a row
    // compress better together.
    uint64_t wholeFrom = 0;
    for (const BasePiece& piece : plan.pieces) {
        if (piece.offset < wholeFrom || piece.size > *size - piece.offset) {
            error = plan.zipName + ": the pieces do not fit the entry";
            return false;
        }
        Segment segment;
        std::string patch;
        if (!TryPatch(content.Data(), piece, segment, patch)) {
            error = piece.file + ": the base of " + piece.name + " cannot be read";
            return false;
        }
        if (patch.empty()) {
            ++result_.whole;
            continue;
        }
        ++result_.patched;
        if ((piece.offset > wholeFrom &&
             !AddWhole(content.Data() + wholeFrom, piece.offset - wholeFrom)) ||
            !Append(patch)) {
            error = "cannot write " + payloadPath_;
            return false;
        }
        package_.segments.push_back(std::move(segment));
        package_.entries.back().segmentCount++;
        wholeFrom = piece.offset + piece.size;
    }
    if ((wholeFrom < *size || package_.entries.back().segmentCount == 0) &&
        !AddWhole(content.Data() + wholeFrom, *size - wholeFrom)) {
        error = "cannot write " + payloadPath_;
        return false;
    }
    return true;
}

bool DeltaWriter::Finish(std::string centralDirectory, const std::string& deltaPath,
                         std::string& error) {
    package_.centralDirectory = std::move(centralDirectory);
    std::string header = delta::FormatDeltaHeader(package_);
    FileHandle out = OpenFile(deltaPath, OpenMode::WriteCreateTruncate);
    bool written =
        payloads_.Close() && out.IsOpen() && WriteFull(out.Get(), header.data(), header.size());
    FileHandle payloads = OpenFile(payloadPath_, OpenMode::ReadOnly);
    std::vector<char> buffer(1 << 20);
    int64_t got = 0;
    while (written && (got = ReadSome(payloads.Get(), buffer.data(), buffer.size())) > 0) {
        written = WriteFull(out.Get(), buffer.data(), static_cast<size_t>(got));
    }
    written = written && got == 0 && SyncFile(out.Get()) && out.Close();
    payloads.Reset();
    DeleteFile(payloadPath_);
    if (!written) {
        error = "cannot write " + deltaPath;
        return false;
    }
    result_.bytes = FileSize(deltaPath).value_or(0);
    return true;
}

}  // namespace

bool WriteDeltaPackage(const std::string& fullPackage, const std::vector<DeltaEntryPlan>& plan,
                       const std::string& workDir, const std::string& deltaPath,
                       DeltaBuildResult& result, std::string& error) {
    std::string directory;
    delta::PackageLayout layout;
    if (!delta::ReadCentralDirectory(fullPackage, directory, error) ||
        !layout.Plan(directory, error)) {
        return false;
    }
    if (layout.Entries().size() != plan.size()) {
        error = fullPackage + ": the package's directory does not list the planned entries";
        return false;
    }
    for (size_t i = 0; i < plan.size(); ++i) {
        if (layout.Entries()[i].name != plan[i].zipName) {
            error = fullPackage + ": entry " + std::to_string(i) + " is not " + plan[i].zipName;
            return false;
        }
    }
    DeltaWriter writer(result);
    if (!writer.Begin(workDir + "/delta.payloads", error)) return false;
    for (const DeltaEntryPlan& entry : plan) {
        if (!writer.AddEntry(entry, error)) return false;
    }
    return writer.Finish(std::move(directory), deltaPath, error);
}

}  // namespace korvun::tool
