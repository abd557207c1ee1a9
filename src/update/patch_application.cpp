#include "update/patch_application.h"

#include <cerrno>
#include <limits>
#include <new>

#include "app/player_codes.h"
#include "platform/file_io.h"
#include "platform/progress_sink.h"
#include "update/update_download.h"
#include "update/version_file.h"
#include "zip/zip_exception.h"

namespace korvun {

namespace {

constexpr uint64_t SaturatingProduct(uint64_t factor, uint64_t size) {
    return size > std::numeric_limits<uint64_t>::max() / factor
               ? std::numeric_limits<uint64_t>::max()
               : factor * size;
}

// The extraction's bytes on the file gauge. The count is 32 bits wide, as the gauge's
// position has always been fed, and a set stop event ends the extraction before the chunk
// that found it is counted.
class ExtractionProgress : public ProgressSink {
  public:
    ExtractionProgress(RunEvents& events, const StopEvent& stop) : events_(events), stop_(stop) {}
    void Begin(uint64_t total) override {
        events_.BeginFileStep(total);
        extracted_ = 0;
    }
    bool Advance(uint64_t count) override {
        if (stop_.IsSet()) return false;
        if (count == 0) return true;
        extracted_ += static_cast<uint32_t>(count);
        events_.SetFileProgress(extracted_);
        return true;
    }

  private:
    RunEvents& events_;
    const StopEvent& stop_;
    uint32_t extracted_ = 0;
};

// The merge's files on the file gauge; a set stop event ends the copy before its next file.
class MergeProgress : public ProgressSink {
  public:
    MergeProgress(RunEvents& events, const StopEvent& stop) : events_(events), stop_(stop) {}
    void Begin(uint64_t total) override {
        events_.BeginFileStep(total);
        copied_ = 0;
    }
    bool Advance(uint64_t count) override {
        if (count != 0) {
            copied_ += count;
            events_.SetFileProgress(copied_);
        }
        return !stop_.IsSet();
    }

  private:
    RunEvents& events_;
    const StopEvent& stop_;
    uint64_t copied_ = 0;
};

// A marker that cannot be written stops its step with the step's message; a write-protected
// Version.ini is the exception the player can mend, named by the version record's message.
void ReportMarkerFailure(RunReport& report, PlayerCode code) {
    if (errno == EACCES || errno == EPERM || errno == EROFS) {
        report.Error("SaveLocalVersion Error");
    } else {
        report.Error(PlayerFailure(code));
    }
}

}  // namespace

Status MergeStatus(const MergeResult& merged) {
    switch (merged.failure) {
        case MergeFailure::None:
            return Status::Success();
        case MergeFailure::GameArchiveMissing:
            return PlayerFailure(PlayerCode::GameArchiveMissing);
        case MergeFailure::UpdateArchiveMissing:
            return PlayerFailure(PlayerCode::UpdateArchiveMissing);
        case MergeFailure::GameIndexUnopened:
            return PlayerFailure(PlayerCode::GameIndexUnopened);
        case MergeFailure::UpdateIndexUnopened:
            return PlayerFailure(PlayerCode::UpdateIndexUnopened);
        case MergeFailure::GameIndexDamaged:
            return PlayerFailure(PlayerCode::GameIndexDamaged);
        case MergeFailure::UpdateIndexDamaged:
            return PlayerFailure(PlayerCode::UpdateIndexDamaged);
        case MergeFailure::CopyFailed:
            return PlayerFailure(PlayerCode::MergeCopyFailed);
        case MergeFailure::IndexNotSaved:
            return PlayerFailure(PlayerCode::GameIndexNotSaved);
        case MergeFailure::Stopped:
            break;
    }
    // A stop is no failure to tell the player about.
    return Status::Failure("");
}

CPatchApplication::CPatchApplication(RunEvents& events, RunReport& report, StateMarkers& markers,
                                     const StopEvent& stop,
                                     std::function<bool(uint64_t)> hasFreeSpace,
                                     ClientDirectory client)
    : events_(events),
      report_(report),
      markers_(markers),
      stop_(stop),
      hasFreeSpace_(std::move(hasFreeSpace)),
      client_(std::move(client)) {}

CPatchApplication::~CPatchApplication() = default;

// The package reader raises its exceptions for a damaged package or a file that cannot be
// written; this is the one place that turns them into a failed extraction.
ExtractResult CPatchApplication::ExtractCurrentPackage(const std::string& packagePath) {
    ExtractionProgress progress(events_, stop_);
    try {
        return ExtractPackage(packagePath, client_.Root(), progress);
    } catch (const CZipException&) {
        return ExtractResult::Failed;
    } catch (const CFileException&) {
        return ExtractResult::Failed;
    } catch (const std::bad_alloc&) {
        return ExtractResult::Failed;
    }
}

bool CPatchApplication::ApplyPatch(uint32_t version, uint64_t packageSize) {
    // Each step begins only once its marker is on disk; a marker that cannot be written
    // stops the step before anything changes.
    if (!markers_.MarkExtractStart()) {
        ReportMarkerFailure(report_, PlayerCode::ExtractionFailed);
        return false;
    }
    if (!hasFreeSpace_(SaturatingProduct(3, packageSize))) {
        report_.Error(PlayerFailure(PlayerCode::NoSpaceToExtract));
        markers_.ClearStateMarker();
        return false;
    }

    events_.SetStatusText("Extracting");
    std::string packagePath = client_.Path(PatchFileName(version));
    events_.ClearByteCounter();
    events_.ClearSpeedText();
    TestPoint("extract");
    ExtractResult extracted = ExtractCurrentPackage(packagePath);
    if (extracted == ExtractResult::Failed) {
        report_.Error(PlayerFailure(PlayerCode::ExtractionFailed));
        return false;
    }
    if (extracted == ExtractResult::Stopped) {
        markers_.ClearStateMarker();
        return false;
    }
    // The marker says the files are there; after a power cut they must be. One flush of the
    // file system takes them all, folders included.
    if (!SyncFileSystem(client_.Root()) || !markers_.MarkExtractEnd()) {
        ReportMarkerFailure(report_, PlayerCode::ExtractionFailed);
        return false;
    }

    // Package 1 makes a fresh client; only later packages carry archive updates.
    if (version >= 2 && FileExists(client_.Path("update.kah")) &&
        FileExists(client_.Path("update.kaf"))) {
        TestPoint("merge");
        if (!MergeUpdateArchive()) return false;
    }

    if (!SaveCurrentVersion(client_, version)) {
        report_.Error("SaveLocalVersion Error");
        return false;
    }
    TestPoint("version-saved");
    DeleteFile(packagePath);
    TestPoint("applied");
    return !stop_.IsSet();
}

bool CPatchApplication::MergeUpdateArchive() {
    uint64_t updateSize = FileSize(client_.Path("update.kaf")).value_or(0);
    if (!hasFreeSpace_(SaturatingProduct(2, updateSize))) {
        report_.Error(PlayerFailure(PlayerCode::NoSpaceToMerge));
        return false;
    }
    events_.SetStatusText("Updating the file.");
    events_.ClearByteCounter();

    MergeProgress progress(events_, stop_);
    std::unique_ptr<GameArchive> archive;
    try {
        archive = std::make_unique<GameArchive>(client_, markers_, &progress);
    } catch (const std::bad_alloc&) {
        report_.Error(PlayerFailure(PlayerCode::NoMemoryToMerge));
        return false;
    }
    archiveMerged_ = true;
    Status merged = MergeStatus(archive->MergeUpdateArchive());
    if (archive->MergeStopped()) {
        // Undone at once, as the next start would undo it: the archive is as it was before
        // this package, which the next run applies again.
        archive.reset();
        RecoverArchiveChange();
        return false;
    }
    if (!merged) report_.Error(merged);
    return merged.Ok();
}

bool CPatchApplication::ApplyDeleteList() {
    bool listPresent = FileExists(client_.Path("delete.lst"));
    if (!archiveMerged_ && !listPresent) return true;

    std::unique_ptr<GameArchive> archive;
    try {
        archive = std::make_unique<GameArchive>(client_, markers_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!archive->BeginChange() || !markers_.MarkUpdateStart()) return false;
    if (!archive->LoadAndApplyDeleteList()) return false;
    if (!archive->SaveIfChanged()) return false;
    // Without the marker the journal stays: the next start finds the new index in place.
    if (markers_.MarkUpdateEnd()) archive->EndChange();
    return true;
}

void CPatchApplication::RecoverArchiveChange() {
    JournalRecovery found = RecoverFromJournal(client_.Path(GameArchive::kJournalName),
                                               client_.Path("data.kah"), client_.Path("data.kaf"));
    if (found != JournalRecovery::RolledBack && found != JournalRecovery::Committed) return;
    // The marker of the interrupted change goes before the journal does: a crash in between
    // finds the journal again and decides the same way.
    if (markers_.ClearStateMarker()) RemoveJournal(client_.Path(GameArchive::kJournalName));
}

}  // namespace korvun
