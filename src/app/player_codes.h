// The codes a player's messages end with, each with its one text. Support answers by the code
// a player reads out; docs/operator-guide.md lists the same texts, and a test holds the two
// together. A text's fields ({NAME}, {E}, {N}, ...) are filled in the order they appear.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace korvun {

enum class PlayerCode {
    UpdaterRunning,              // c01
    GameRunning,                 // c02
    DirectX9Missing,             // c03
    ReinstallState,              // c05
    NoSpaceForVersionFile,       // c06
    VersionFileBroken,           // c07
    VersionFileUnusable,         // c08
    NoSpaceForUpdater,           // c09
    UpdaterDownloadBroken,       // c10
    NoSpaceToExtract,            // c11
    ExtractionFailed,            // c12
    NoSpaceToMerge,              // c13
    NoMemoryToMerge,             // c14
    VersionMismatch,             // c20, the box
    VersionMismatchStatus,       // c20, the status line after it
    ServerCheckVersionWrong,     // c21
    ClientVersionLost,           // c22
    PackageWriteFailed,          // c23
    PackageReadFailed,           // c23-1
    SizeUnknown,                 // c25
    ServerFileUnopened,          // c30
    LocalFileUnopened,           // c32
    NoSpaceForPackage,           // c33
    PackageLongerThanAnnounced,  // c34
    GameArchiveMissing,          // c39
    UpdateArchiveMissing,        // c40
    GameIndexUnopened,           // c41
    UpdateIndexUnopened,         // c42
    GameIndexDamaged,            // c43
    UpdateIndexDamaged,          // c44
    MergeCopyFailed,             // c45
    GameIndexNotSaved,           // c46
    ReleaseUnavailable,          // c50
    ReleaseSignatureDamaged,     // c51
    ReleaseOtherKey,             // c52
    ReleaseSignatureInvalid,     // c53
    ReleaseExpired,              // c54
    ReleaseOlderThanInstalled,   // c55
    FileNotInRelease,            // c56
    SignedSizeWrong,             // c57
    SignedChecksumWrong,         // c58
    SignedFileNotOnServer,       // c59
};

struct PlayerCodeEntry {
    PlayerCode code;
    const char* id;           // what the player reads: "c12", "c23-1"
    const char* text;         // the text before the id, fields in braces
    const char* description;  // when it is shown, for whoever reads the table
};

// Every entry, in the order of the enumeration (ascending ids).
std::span<const PlayerCodeEntry> PlayerCodes();
const PlayerCodeEntry& Describe(PlayerCode code);

// The code's text with its fields filled in order, without the id.
std::string PlayerText(PlayerCode code, std::initializer_list<std::string_view> fields = {});
// The message as the player reads it: the filled text followed directly by the id.
std::string ComposeMessage(PlayerCode code, std::initializer_list<std::string_view> fields = {});
// The same as a failure, text and id kept apart.
Status PlayerFailure(PlayerCode code, std::initializer_list<std::string_view> fields = {});

}  // namespace korvun
