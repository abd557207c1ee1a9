#include "update/resume_state.h"

#include <cerrno>
#include <cstdlib>

#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr const char* kResumeSuffix = ".validator";
// Far larger than any validator a server sends; a longer file is not ours.
constexpr size_t kMaxRecordBytes = 4096;

bool IsStrongETag(const std::string& etag) {
    return etag.size() >= 2 && etag.front() == '"' && etag.back() == '"';
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

std::string ValidatorOf(const InternetFile& answer) {
    // A weak ETag ("W/...") never matches in If-Range; the date still can.
    if (IsStrongETag(answer.ETag()) && !HasLineBreak(answer.ETag())) return answer.ETag();
    if (!HasLineBreak(answer.LastModified())) return answer.LastModified();
    return "";
}

std::string ResumeFileName(const std::string& localName) { return localName + kResumeSuffix; }

// The file holds two lines: the announced size in decimal, then the validator.
std::optional<ResumeRecord> LoadResumeRecord(const std::string& localName) {
    FileHandle file = OpenFile(ResumeFileName(localName), OpenMode::ReadOnly);
    if (!file.IsOpen()) return std::nullopt;
    char buffer[kMaxRecordBytes + 1];
    int64_t length = ReadSome(file.Get(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) > kMaxRecordBytes) return std::nullopt;
    std::string text(buffer, static_cast<size_t>(length));
    size_t first = text.find('\n');
    if (first == std::string::npos || text.back() != '\n') return std::nullopt;
    std::string size = text.substr(0, first);
    std::string validator = text.substr(first + 1, text.size() - first - 2);
    if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos ||
        size.size() > 19 || validator.empty() || HasLineBreak(validator)) {
        return std::nullopt;
    }
    return ResumeRecord{std::strtoull(size.c_str(), nullptr, 10), validator};
}

bool SaveResumeRecord(const std::string& localName, const ResumeRecord& record) {
    std::string name = ResumeFileName(localName);
    std::string text = std::to_string(record.totalSize) + "\n" + record.validator + "\n";
    FileHandle file = OpenFile(name, OpenMode::WriteCreateTruncate);
    bool saved =
        file.IsOpen() && WriteFull(file.Get(), text.data(), text.size()) && SyncFile(file.Get());
    saved = file.Close() && saved;
    return saved && SyncParentDirectory(name);
}

void DiscardResumeRecord(const std::string& localName) {
    int error = errno;
    DeleteFile(ResumeFileName(localName));
    errno = error;
}

ResumePlan PlanResume(const std::optional<ResumeRecord>& record, std::optional<uint64_t> localSize,
                      uint64_t announcedSize, const std::string& announcedValidator) {
    ResumePlan plan;
    if (!record || !localSize || *localSize == 0 || record->totalSize != announcedSize ||
        *localSize > announcedSize) {
        return plan;
    }
    // The server's copy changed since these bytes came: nothing of them can be used.
    if (!announcedValidator.empty() && announcedValidator != record->validator) return plan;
    plan.kind =
        *localSize == announcedSize ? ResumePlan::Kind::Complete : ResumePlan::Kind::Continue;
    plan.offset = *localSize;
    plan.validator = record->validator;
    return plan;
}

std::optional<uint64_t> ContinuationStart(const InternetFile& answer, uint64_t offset,
                                          uint64_t total) {
    const std::optional<InternetFile::ContentRange>& range = answer.Range();
    if (answer.StatusCode() != 206 || !range || range->first > offset || range->total != total) {
        return std::nullopt;
    }
    return range->first;
}

}  // namespace korvun
