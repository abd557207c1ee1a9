#include "update/delta_download.h"

#include <limits>

#include "delta/delta_format.h"
#include "delta/delta_rebuild.h"
#include "platform/file_io.h"
#include "update/resume_state.h"
#include "update/server_address.h"

namespace korvun {

std::string DeltaUrl(const std::string& serverAddress, uint32_t version) {
    return ServerUrl(serverAddress, "/patch/patch/" + delta::DeltaFileName(version));
}

std::string SignedDeltaPath(uint32_t version) {
    return "patch/patch/" + delta::DeltaFileName(version);
}

CDeltaDownload::CDeltaDownload(CUpdateDownload& download, RunReport& report, const StopEvent& stop,
                               ClientDirectory client)
    : download_(download), report_(report), stop_(stop), client_(std::move(client)) {}

bool CDeltaDownload::Fetch(uint32_t version, const std::string& serverAddress,
                           CUpdateDownload::NextServer nextServer) {
    std::string name = delta::DeltaFileName(version);
    download_.SetNextServer(std::move(nextServer));
    if (!download_.ExpectSigned(SignedDeltaPath(version), name) ||
        !download_.OpenDownload(DeltaUrl(serverAddress, version), name, true) ||
        !download_.HasFreeSpace(download_.ExpectedSize())) {
        return false;
    }
    while (!stop_.IsSet()) {
        int result = download_.ReceiveBlock();
        if (result == CUpdateDownload::kFailed) return false;
        if (result == CUpdateDownload::kComplete) return true;
    }
    download_.CloseTransfer();
    return false;
}

uint64_t CDeltaDownload::Rebuild(uint32_t version, const std::string& serverAddress,
                                 CUpdateDownload::NextServer nextServer) {
    // A signed release names the deltas it publishes; one it does not list is not fetched.
    if (!delta::DeltaRebuildAvailable() ||
        (download_.VerifiesReleases() && !download_.SignedReleaseLists(SignedDeltaPath(version)))) {
        return 0;
    }
    // A delta that is missing or cannot be fetched tells the player nothing: the full package
    // follows. A refusal of a signed one still shows, and ends the run.
    report_.Hold(true);
    bool fetched = Fetch(version, serverAddress, std::move(nextServer));
    report_.Hold(false);
    std::string deltaPath = client_.Path(delta::DeltaFileName(version));
    if (!fetched) {
        download_.CloseTransfer();
        return 0;
    }
    std::string packagePath = client_.Path(PatchFileName(version));
    // A package name that cannot be written (a link planted there, say) is left as it is, for
    // the full download to refuse as it refuses any such name.
    if (!OpenFile(packagePath, OpenMode::WriteCreateTruncate).IsOpen()) {
        DeleteFile(deltaPath);
        DiscardResumeRecord(deltaPath);
        return 0;
    }
    // Bytes of an earlier full download go; their record must not vouch for the new ones.
    DiscardResumeRecord(packagePath);
    delta::RebuildRequest request;
    request.deltaPath = deltaPath;
    request.outputPath = packagePath;
    // The package itself and, as for a downloaded one, three times its size to extract it.
    request.hasFreeSpace = [this](uint64_t bytes) {
        return bytes < std::numeric_limits<uint64_t>::max() / 4 &&
               download_.HasFreeSpace(4 * bytes);
    };
    request.stop = &stop_;
    TestPoint("delta-rebuild");
    std::string error;
    bool rebuilt = delta::RebuildPackage(request, client_, error);
    DeleteFile(deltaPath);
    DiscardResumeRecord(deltaPath);
    if (!rebuilt) {
        DeleteFile(packagePath);
        return 0;
    }
    return FileSize(packagePath).value_or(0);
}

}  // namespace korvun
