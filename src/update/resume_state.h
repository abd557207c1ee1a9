// What it takes to continue a partly downloaded file instead of starting it over: the
// validator the server gave for the file (its ETag, else its Last-Modified date) and the size
// it announced, kept in a small file beside the partial one ("pk0002.patch.validator").
// It is written durably before the first byte of the file, so that whatever stops a run
// (the player, a kill, a power cut) leaves bytes that the next run can prove are still the
// server's, and it goes when the file is complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/inet.h"

namespace korvun {

struct ResumeRecord {
    uint64_t totalSize = 0;
    std::string validator;
};

// The validator an answer gives for its file: a strong ETag, else Last-Modified; "" when it
// gives neither (such a file is never continued: nothing could tell its bytes from another's).
std::string ValidatorOf(const InternetFile& answer);

std::string ResumeFileName(const std::string& localName);
// The record beside localName; nullopt when there is none or it cannot be read.
std::optional<ResumeRecord> LoadResumeRecord(const std::string& localName);
// Writes the record and flushes it and its directory to the disk; false when that failed.
bool SaveResumeRecord(const std::string& localName, const ResumeRecord& record);
void DiscardResumeRecord(const std::string& localName);

// Where a download of a file begins, from what is on disk and what the server announces now.
struct ResumePlan {
    enum class Kind { StartOver, Continue, Complete };
    Kind kind = Kind::StartOver;
    uint64_t offset = 0;    // Continue: the bytes already on disk
    std::string validator;  // Continue and Complete: the one the bytes were fetched under
};
// record and localSize describe the disk (nullopt: absent); announcedValidator may be "" when
// the server's answer gave none.
ResumePlan PlanResume(const std::optional<ResumeRecord>& record, std::optional<uint64_t> localSize,
                      uint64_t announcedSize, const std::string& announcedValidator);

// Where the answer to a range request from offset goes in a file of total bytes: the first
// byte of a 206 for a file of that size that starts at or before offset (HTTP lets a server or
// a cache answer with a larger part than asked). nullopt for anything else: the whole file
// (200), or a part that cannot be placed (416, past offset, another size, no Content-Range).
std::optional<uint64_t> ContinuationStart(const InternetFile& answer, uint64_t offset,
                                          uint64_t total);

}  // namespace korvun
