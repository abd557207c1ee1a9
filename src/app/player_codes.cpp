#include "app/player_codes.h"

#include <array>

#include "app/messages.h"

namespace korvun {

namespace {

constexpr const char* kCorruptedClient =
    "The file has been corrupted caused by forced shutdown of the updator. Please install the "
    "client again.";
constexpr const char* kNoSpaceForDownload = "Insufficient capacity on hard disk for download.";

using enum PlayerCode;

// Texts are the ones players and support have always known; none may change, not even by a
// space (c23, c23-1 and c34 end with one).
constexpr std::array kEntries = {
    PlayerCodeEntry{UpdaterRunning, "c01", "Updator already in operation.",
                    "another updater of the same user is running"},
    PlayerCodeEntry{GameRunning, "c02",
                    "Game still in operation. Please try again after closing the game.",
                    "the game's window is open"},
    PlayerCodeEntry{DirectX9Missing, "c03",
                    "DirectX9 is not installed. Please try again after installing DirectX9.",
                    "d3d9.dll is missing from the system directory"},
    PlayerCodeEntry{ReinstallState, "c05", "Please install the client again.",
                    "the window's reinstall state, after c21 or c22"},
    PlayerCodeEntry{NoSpaceForVersionFile, "c06", kNoSpaceForDownload,
                    "no room for the server's version file"},
    PlayerCodeEntry{VersionFileBroken, "c07", "Download Failed: ReadFile UpdateVersion",
                    "the version file's download broke off twice"},
    PlayerCodeEntry{VersionFileUnusable, "c08", "Download Failed: Read Profile",
                    "the version file lacks its versions or is too large"},
    PlayerCodeEntry{NoSpaceForUpdater, "c09", kNoSpaceForDownload, "no room for the new updater"},
    PlayerCodeEntry{UpdaterDownloadBroken, "c10", "Download Failed: ReadFile new updater",
                    "the new updater's download broke off"},
    PlayerCodeEntry{NoSpaceToExtract, "c11",
                    "Insufficient capacity on hard disk to extract the zip file.",
                    "free space not above three times the package"},
    PlayerCodeEntry{ExtractionFailed, "c12", "Extraction Failed",
                    "the package is damaged or a file could not be written"},
    PlayerCodeEntry{NoSpaceToMerge, "c13", "Insufficient capacity on hard disk for update.",
                    "free space not above twice the update archive"},
    PlayerCodeEntry{NoMemoryToMerge, "c14", "Update error: Insufficient memory.",
                    "no memory for the merge"},
    PlayerCodeEntry{VersionMismatch, "c20",
                    "The version does not match. Please install the client again from the "
                    "homepage.",
                    "no Version.ini with the supported CheckVersion: the box"},
    PlayerCodeEntry{VersionMismatchStatus, "c20", "Please install a new client.",
                    "the same: the status line after the box"},
    PlayerCodeEntry{ServerCheckVersionWrong, "c21", kCorruptedClient,
                    "the server's CheckVersion is not supported and the client has no version"},
    PlayerCodeEntry{ClientVersionLost, "c22", kCorruptedClient,
                    "the client's version counts as 0 (missing, or an archive change broke off)"},
    PlayerCodeEntry{PackageWriteFailed, "c23", "Download FailedLWx: ,{E},{N} ",
                    "writing package N failed with system error E"},
    PlayerCodeEntry{PackageReadFailed, "c23-1", "Download FailedEx: ,{E},{N} ",
                    "reading package N from the network failed with error E after the retries"},
    PlayerCodeEntry{SizeUnknown, "c25", "Download Failed: Cannot read the file.",
                    "no usable length for a needed file, or the server cannot be reached"},
    PlayerCodeEntry{ServerFileUnopened, "c30", "Download Failed: Cannot open server file.",
                    "the server cannot be reached for the download itself"},
    PlayerCodeEntry{LocalFileUnopened, "c32", "Download Failed: {NAME} Cannot open the file.",
                    "the local file NAME cannot be created"},
    PlayerCodeEntry{NoSpaceForPackage, "c33", kNoSpaceForDownload,
                    "free space not above the package size"},
    PlayerCodeEntry{PackageLongerThanAnnounced, "c34", "Download FailedOv: ,{E},{N},{GOT}/{WANT} ",
                    "the server sent more bytes than it announced for package N"},
    PlayerCodeEntry{GameArchiveMissing, "c39", "data Cannot find the file.",
                    "data.kah or data.kaf is missing"},
    PlayerCodeEntry{UpdateArchiveMissing, "c40", "update Cannot find the file.",
                    "update.kah or update.kaf is missing when a merge starts"},
    PlayerCodeEntry{GameIndexUnopened, "c41", "data.kah Cannot open the file.",
                    "the game index cannot be opened"},
    PlayerCodeEntry{UpdateIndexUnopened, "c42", "update.kah Cannot open the file.",
                    "the package's update index cannot be opened"},
    PlayerCodeEntry{GameIndexDamaged, "c43", "Update error: data header file error",
                    "data.kah is damaged"},
    PlayerCodeEntry{UpdateIndexDamaged, "c44", "Update error: update header file error",
                    "the package's update index is damaged"},
    PlayerCodeEntry{MergeCopyFailed, "c45", "Update error: update fail",
                    "copying into data.kaf failed; nothing was saved"},
    PlayerCodeEntry{GameIndexNotSaved, "c46", "Update error: saveheader",
                    "data.kah could not be written"},
    PlayerCodeEntry{ReleaseUnavailable, "c50",
                    "Download Failed: Cannot read the release signature.",
                    "the signed manifest or its signature cannot be fetched"},
    PlayerCodeEntry{ReleaseSignatureDamaged, "c51",
                    "Update error: The release signature is damaged.",
                    "the signature or the signed manifest is not in its format"},
    PlayerCodeEntry{ReleaseOtherKey, "c52", "Update error: The release is signed with another key.",
                    "signed with a key other than the built-in one"},
    PlayerCodeEntry{ReleaseSignatureInvalid, "c53",
                    "Update error: The release signature is not valid.",
                    "the manifest was changed after signing"},
    PlayerCodeEntry{ReleaseExpired, "c54", "Update error: The release has expired.",
                    "the signature's expiry time has passed"},
    PlayerCodeEntry{ReleaseOlderThanInstalled, "c55",
                    "Update error: The release is older than the installed one.",
                    "the release's serial is below the highest accepted"},
    PlayerCodeEntry{FileNotInRelease, "c56", "Download Failed: {NAME} Not in the release.",
                    "the manifest does not list the file NAME"},
    PlayerCodeEntry{SignedSizeWrong, "c57", "Download Failed: {NAME} Wrong size.",
                    "the server announces another size for NAME than the signed one"},
    PlayerCodeEntry{SignedChecksumWrong, "c58", "Download Failed: {NAME} Wrong checksum.",
                    "NAME arrived with other bytes than were signed"},
    PlayerCodeEntry{SignedFileNotOnServer, "c59",
                    "Download Failed: {NAME} Signed but not on the server.",
                    "a signed package that no server has"},
};

// The table is looked up by position: an entry out of place would give a code another text.
constexpr bool InEnumerationOrder() {
    for (size_t i = 0; i < kEntries.size(); ++i) {
        if (static_cast<size_t>(kEntries[i].code) != i) return false;
    }
    return true;
}
static_assert(InEnumerationOrder());
static_assert(kEntries.back().code == SignedFileNotOnServer);

}  // namespace

std::span<const PlayerCodeEntry> PlayerCodes() { return kEntries; }

const PlayerCodeEntry& Describe(PlayerCode code) { return kEntries[static_cast<size_t>(code)]; }

std::string PlayerText(PlayerCode code, std::initializer_list<std::string_view> fields) {
    std::string_view text = Describe(code).text;
    const std::string_view* field = fields.begin();
    std::string filled;
    for (size_t at = 0; at < text.size();) {
        size_t open = text.find('{', at);
        size_t close = open == std::string_view::npos ? open : text.find('}', open);
        if (close == std::string_view::npos) {
            filled.append(text.substr(at));
            break;
        }
        filled.append(text.substr(at, open - at));
        // A field the caller did not give stays empty rather than showing its name.
        if (field != fields.end()) filled.append(*field++);
        at = close + 1;
    }
    return filled;
}

std::string ComposeMessage(PlayerCode code, std::initializer_list<std::string_view> fields) {
    return ComposeMessage(PlayerText(code, fields), Describe(code).id);
}

Status PlayerFailure(PlayerCode code, std::initializer_list<std::string_view> fields) {
    return Status::Failure(PlayerText(code, fields), Describe(code).id);
}

}  // namespace korvun
