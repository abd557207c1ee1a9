#include "release.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "delta/delta_format.h"
#include "package_builder.h"
#include "platform/file_io.h"
#include "platform/profile.h"
#include "tool_support.h"
#include "trust/release_manifest.h"
#include "update/build_info.h"
#include "work_progress.h"
#include "zip/zip_exception.h"
#include "zip/zip_reader.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

// The updater reads Content-Length as a signed 32-bit number, and a length of 0 as a file
// that is not there.
constexpr uint64_t kMaxPublishedBytes = 0x7FFFFFFF;

constexpr const char* kNoticePage = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Korvun</title>
<style>
  body { margin: 0; font: 13px/1.5 sans-serif; color: #e8e2d0;
         background: linear-gradient(#1d2433, #0e1119); }
  main { padding: 18px 22px; }
  h1 { margin: 0 0 8px; font-size: 18px; color: #f0c96a; letter-spacing: 1px; }
  p { margin: 0 0 8px; }
  .small { color: #9aa3b5; font-size: 11px; }
</style>
</head>
<body>
<main>
  <h1>Welcome back to Korvun</h1>
  <p>The updater is bringing your client up to date. When it says
     <b>Update Completed</b>, press <b>Start</b> and enjoy the game.</p>
  <p class="small">News and events appear here. Server operators: replace this page with
     notice/index.html of your own.</p>
</main>
</body>
</html>
)";

std::string VersionFilePath(const std::string& root) { return root + "/patch/UpdateVersion.ini"; }
std::string PackageDirectory(const std::string& root) { return root + "/patch/patch"; }

// The updater converts these values with atoi and keeps them unsigned.
uint32_t ProfileNumber(const std::string& text) {
    return static_cast<uint32_t>(std::atoi(text.c_str()));
}

bool WriteReleaseState(const std::string& root, const ReleaseState& state, std::string& error) {
    std::string content = "[Version]\r\nCheckVersion=" + std::to_string(state.checkVersion) +
                          "\r\nUpdaterVersion=" + std::to_string(state.updaterVersion) +
                          "\r\nPatchFileVersion=" + std::to_string(state.patchFileVersion) + "\r\n";
    if (!WriteFileAtomically(VersionFilePath(root), content, error)) return false;
    std::optional<ReleaseState> back = ReadReleaseState(root, error);
    if (!back || back->patchFileVersion != state.patchFileVersion ||
        back->updaterVersion != state.updaterVersion) {
        error = VersionFilePath(root) + " does not read back as written";
        return false;
    }
    return true;
}

bool MakeDirectories(const std::string& path, std::string& error) {
    std::error_code failure;
    fs::create_directories(path, failure);
    if (failure) error = "cannot create " + path + ": " + failure.message();
    return !failure;
}

void EnsureNoticePage(const std::string& root, ReleaseResult& result) {
    std::string page = root + "/notice/index.html";
    if (::access(page.c_str(), F_OK) == 0) return;
    std::string error;
    if (MakeDirectories(root + "/notice", error) && WriteFileAtomically(page, kNoticePage, error)) {
        result.notes.push_back("created " + page + " (the page the updater window shows)");
    } else {
        result.notes.push_back("warning: " + error);
    }
}

ReleaseResult Refused(ReleaseStatus status, std::string error) {
    ReleaseResult result;
    result.status = status;
    result.error = std::move(error);
    return result;
}

// Reads every entry with the reader the clients run and checks its CRC-32.
bool PackageReadsBack(const std::string& path, std::string& error) {
    try {
        CZipReader reader;
        reader.OpenPackage(path);
        std::vector<char> buffer(1 << 16);
        CZipEntry entry;
        for (int i = 0; i < reader.GetEntryCount(); ++i) {
            const auto index = static_cast<uint16_t>(i);
            reader.GetEntryInfo(entry, index);
            if (entry.IsDirectory()) continue;
            if (!reader.OpenEntry(index)) {
                error = path + ": " + entry.Name() + " is encrypted";
                return false;
            }
            while (reader.ReadEntry(buffer.data(), static_cast<uint32_t>(buffer.size())) > 0) {
            }
            if (reader.CloseEntry(nullptr, false) != EntryCloseResult::Complete) {
                error = path + ": " + entry.Name() + " does not read back";
                return false;
            }
        }
        return true;
    } catch (const CZipException& e) {
        error = path + ": " + DescribeZipError(e);
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
    }
    return false;
}

bool PlaceWithoutOverwrite(const std::string& from, const std::string& to, std::string& error,
                           const std::function<void(uint64_t)>& onCopied = {}) {
    std::string temp = CopyToTemporary(from, to, error, onCopied);
    if (temp.empty()) return false;
    bool linked = ::link(temp.c_str(), to.c_str()) == 0;
    if (!linked) error = "cannot publish " + to + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    SyncParentDirectory(to);
    return linked;
}

struct PlannedPackage {
    uint32_t number;
    std::string source;
    std::string target;
    bool alreadyInPlace = false;
    // Announced by UpdateVersion.ini already: a re-run of an add that completed.
    bool alreadyAnnounced = false;
    // The delta package lying beside the source, published with it ("" when none).
    std::string deltaSource{};
    std::string deltaTarget{};
    bool deltaInPlace = false;
};

// A delta package beside the package source is published with it; one in place with other
// content is not replaced.
bool PlanDelta(const std::string& root, PlannedPackage& planned, std::string& error) {
    std::string name = delta::DeltaFileName(planned.number);
    std::string source = (fs::path(planned.source).parent_path() / name).string();
    if (::access(source.c_str(), F_OK) != 0) return true;
    planned.deltaSource = source;
    planned.deltaTarget = PackageDirectory(root) + "/" + name;
    if (::access(planned.deltaTarget.c_str(), F_OK) != 0) return true;
    if (!SameFileContent(source, planned.deltaTarget)) {
        error = planned.deltaTarget + " exists with other content; it is not overwritten";
        return false;
    }
    planned.deltaInPlace = true;
    return true;
}

bool AnnouncesNewPackages(const std::vector<PlannedPackage>& plan) {
    return std::any_of(plan.begin(), plan.end(),
                       [](const PlannedPackage& package) { return !package.alreadyAnnounced; });
}

// Every check before anything is published, so that a refusal changes nothing.
bool PlanPackages(const std::string& root, const ReleaseState& state,
                  const std::vector<std::string>& packages, std::vector<PlannedPackage>& plan,
                  std::string& error) {
    std::map<uint32_t, std::string> byNumber;
    for (const std::string& package : packages) {
        std::string name = fs::path(package).filename().string();
        std::optional<uint32_t> number = PackageNumberFromName(name);
        if (!number) {
            error = package +
                    ": a package must be named pkNNNN.patch (its number in four digits or "
                    "more), e.g. pk0002.patch";
            return false;
        }
        if (!byNumber.emplace(*number, package).second) {
            error = "package " + std::to_string(*number) + " is given twice";
            return false;
        }
    }
    uint32_t expected = state.patchFileVersion + 1;
    for (const auto& [number, source] : byNumber) {
        std::string target = PackageDirectory(root) + "/" + PackageFileName(number);
        if (number <= state.patchFileVersion) {
            // The same file again is a re-run of an add that completed; anything else would
            // change a package that clients may have applied.
            if (!SameFileContent(source, target)) {
                error = "package " + std::to_string(number) +
                        " is already published (PatchFileVersion is " +
                        std::to_string(state.patchFileVersion) +
                        "); published packages never change";
                return false;
            }
            plan.push_back({number, source, target, true, true});
            continue;
        }
        if (number != expected) {
            error = "package " + std::to_string(expected) +
                    " is missing: clients download nothing while a package of their range is "
                    "missing";
            return false;
        }
        ++expected;
        std::optional<uint64_t> size = FileSize(source);
        if (!size || *size == 0 || *size > kMaxPublishedBytes) {
            error = source + (size ? " is empty or 2 GiB or larger; clients cannot download it"
                                   : " cannot be read");
            return false;
        }
        if (!PackageReadsBack(source, error)) return false;
        PlannedPackage planned{number, source, target};
        if (::access(planned.target.c_str(), F_OK) == 0) {
            if (!SameFileContent(source, planned.target)) {
                error = planned.target + " exists with other content; it is not overwritten";
                return false;
            }
            planned.alreadyInPlace = true;
        }
        if (!PlanDelta(root, planned, error)) return false;
        plan.push_back(planned);
    }
    return true;
}

}  // namespace

std::optional<uint32_t> PackageNumberFromName(const std::string& fileName) {
    if (fileName.size() < 12 || fileName.rfind("pk", 0) != 0 ||
        fileName.compare(fileName.size() - 6, 6, ".patch") != 0) {
        return std::nullopt;
    }
    std::string digits = fileName.substr(2, fileName.size() - 8);
    if (digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
        return std::nullopt;
    }
    uint64_t value = std::stoull(digits);
    if (value > UINT32_MAX || PackageFileName(static_cast<uint32_t>(value)) != fileName) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<ReleaseState> ReadReleaseState(const std::string& root, std::string& error) {
    std::string file = VersionFilePath(root);
    if (::access(file.c_str(), R_OK) != 0) {
        error = file + " cannot be read; is " + root + " a server made with release init?";
        return std::nullopt;
    }
    ReleaseState state;
    std::string check = ReadProfileString("Version", "CheckVersion", "", file);
    std::string updater = ReadProfileString("Version", "UpdaterVersion", "", file);
    std::string patch = ReadProfileString("Version", "PatchFileVersion", "", file);
    if (updater.empty() || patch.empty()) {
        error = file + " lacks UpdaterVersion or PatchFileVersion";
        return std::nullopt;
    }
    state.checkVersion = std::atoi(check.c_str());
    state.updaterVersion = ProfileNumber(updater);
    state.patchFileVersion = ProfileNumber(patch);
    return state;
}

ReleaseResult InitRelease(const std::string& root, std::optional<uint32_t> base) {
    if (base && *base < 1) {
        return Refused(kReleaseRefused,
                       "the client version must be 1 or more: a client at version 0 is told "
                       "to reinstall");
    }
    std::string error;
    ReleaseResult result;
    if (!MakeDirectories(PackageDirectory(root), error)) return Refused(kReleaseRefused, error);
    if (::access(VersionFilePath(root).c_str(), F_OK) == 0) {
        std::optional<ReleaseState> state = ReadReleaseState(root, error);
        if (!state) return Refused(kReleaseUnreadable, error);
        std::string already = root + " is a release already, at version " +
                              std::to_string(state->patchFileVersion) + "; nothing changed";
        if (base && state->patchFileVersion != *base) return Refused(kReleaseRefused, already);
        result.notes.push_back(already);
    } else {
        ReleaseState state;
        state.patchFileVersion = base.value_or(1);
        if (!WriteReleaseState(root, state, error)) return Refused(kReleaseRefused, error);
        result.notes.push_back("created " + VersionFilePath(root) + ": CheckVersion=3, " +
                               "UpdaterVersion=" + std::to_string(state.updaterVersion) +
                               ", PatchFileVersion=" + std::to_string(state.patchFileVersion));
    }
    EnsureNoticePage(root, result);
    return result;
}

bool IsSignedRelease(const std::string& root) {
    return ::access((root + "/" + kManifestPath).c_str(), F_OK) == 0 ||
           ::access((root + "/" + kManifestSignaturePath).c_str(), F_OK) == 0;
}

ReleaseResult AddPackages(const std::string& root, const std::vector<std::string>& packages,
                          bool refuseOnSignedServer) {
    std::string error;
    std::optional<ReleaseState> state = ReadReleaseState(root, error);
    if (!state) return Refused(kReleaseUnreadable, error);
    std::vector<PlannedPackage> plan;
    if (!PlanPackages(root, *state, packages, plan, error)) return Refused(kReleaseRefused, error);

    ReleaseResult result;
    if (!AnnouncesNewPackages(plan)) {
        for (const PlannedPackage& package : plan) {
            result.notes.push_back(package.target + " is already published (same content)");
        }
        result.notes.push_back("already published: nothing changed (PatchFileVersion=" +
                               std::to_string(state->patchFileVersion) + ")");
        result.unchanged = true;
        return result;
    }
    if (refuseOnSignedServer && IsSignedRelease(root)) {
        return Refused(kReleaseRefused,
                       root +
                           " publishes a signed release; publishing without signing would "
                           "make every client with a built-in key refuse the server. Give "
                           "--key KEY to sign in the same step, or --unsigned to publish "
                           "and leave the signature stale until `release sign` runs");
    }
    // Copying gigabytes onto the server takes a while; the operator sees how far it is.
    WorkProgress progress;
    uint64_t toCopy = 0, copied = 0;
    for (const PlannedPackage& package : plan) {
        if (!package.alreadyAnnounced && !package.alreadyInPlace) {
            toCopy += FileSize(package.source).value_or(0);
        }
    }
    auto onCopied = [&](uint64_t bytes) {
        copied += bytes;
        progress.Update("copying the packages", copied, toCopy);
    };
    for (const PlannedPackage& package : plan) {
        if (package.deltaSource.empty() || package.deltaInPlace) continue;
        if (!PlaceWithoutOverwrite(package.deltaSource, package.deltaTarget, error)) {
            return Refused(kReleaseRefused, error);
        }
        result.notes.push_back("published " + package.deltaTarget);
    }
    for (const PlannedPackage& package : plan) {
        if (package.alreadyAnnounced) {
            result.notes.push_back(package.target + " is already published (same content)");
        } else if (package.alreadyInPlace) {
            result.notes.push_back(package.target + " was in place already (same content)");
        } else if (!PlaceWithoutOverwrite(package.source, package.target, error, onCopied)) {
            return Refused(kReleaseRefused, error);
        } else {
            result.notes.push_back("published " + package.target);
        }
    }
    if (!plan.empty()) {
        state->patchFileVersion = plan.back().number;
        if (!WriteReleaseState(root, *state, error)) return Refused(kReleaseRefused, error);
        result.notes.push_back("PatchFileVersion=" + std::to_string(state->patchFileVersion));
    }
    EnsureNoticePage(root, result);
    return result;
}

namespace {

// The updater version the program file carries, read from the marker that a build with an own
// version embeds. Read in pieces that overlap by more than a marker's length, so that a marker
// across two pieces is still found.
std::optional<uint32_t> CarriedUpdaterVersion(const std::string& file) {
    constexpr size_t kPiece = 4 << 20;
    constexpr size_t kOverlap = 64;
    std::ifstream in(file, std::ios::binary);
    std::string window;
    std::vector<char> piece(kPiece);
    while (in.read(piece.data(), kPiece) || in.gcount() > 0) {
        window.append(piece.data(), static_cast<size_t>(in.gcount()));
        if (std::optional<uint32_t> found = FindUpdaterVersionMarker(window)) return found;
        if (window.size() > kOverlap) window.erase(0, window.size() - kOverlap);
    }
    return std::nullopt;
}

// An updater that knows its version announces exactly that version: clients with an older one
// fetch it, and it patches once it runs. Returns the refusal, or nothing.
std::optional<std::string> CarriedVersionProblem(const std::string& file, uint32_t carried,
                                                 std::optional<uint32_t> asked,
                                                 const ReleaseState& state, bool test) {
    std::string carries = file + " carries updater version " + std::to_string(carried);
    if (asked && *asked != carried) {
        return carries + ", not --updater-version " + std::to_string(*asked) + "; nothing changed";
    }
    if (!test && carried <= state.updaterVersion) {
        return carries +
               ", not above the server's UpdaterVersion=" + std::to_string(state.updaterVersion) +
               ": no client would fetch it; build it with a higher --updater-version";
    }
    return std::nullopt;
}

}  // namespace

ReleaseResult SetUpdater(const std::string& root, const std::string& file,
                         std::optional<uint32_t> version, bool test) {
    std::string error;
    std::optional<ReleaseState> state = ReadReleaseState(root, error);
    if (!state) return Refused(kReleaseUnreadable, error);
    std::optional<uint64_t> size = FileSize(file);
    if (!size || *size == 0 || *size > kMaxPublishedBytes) {
        return Refused(kReleaseRefused, file + " cannot be read, or is empty or 2 GiB or larger");
    }
    std::optional<uint32_t> carried = CarriedUpdaterVersion(file);
    if (carried) {
        if (std::optional<std::string> problem =
                CarriedVersionProblem(file, *carried, version, *state, test)) {
            return Refused(kReleaseRefused, *problem);
        }
        version = carried;
    }
    uint32_t newVersion = version.value_or(
        std::max<uint32_t>(kUpdaterVersionThreshold + 1, state->updaterVersion + 1));
    if (!test && newVersion <= kUpdaterVersionThreshold) {
        return Refused(kReleaseRefused,
                       "UpdaterVersion must be above 20 for clients to fetch "
                       "the new updater");
    }
    if (!MakeDirectories(root + "/Korvun", error)) return Refused(kReleaseRefused, error);
    std::string target = root + (test ? "/Korvun/test_updater.exe" : "/Korvun/new_updater.exe");
    std::string temp = CopyToTemporary(file, target, error);
    if (temp.empty() || !ReplaceFile(temp, target)) {
        if (!temp.empty()) ::unlink(temp.c_str());
        return Refused(kReleaseRefused, error.empty() ? "cannot write " + target : error);
    }
    ReleaseResult result;
    result.notes.push_back("published " + target);
    result.notes.push_back(
        carried ? file + " carries updater version " + std::to_string(*carried)
                : file + " carries no updater version (built without --updater-version)");
    if (test) {
        result.notes.push_back(
            "testers fetch it when their game directory holds UpdateVersion-tov-.ini with "
            "UpdaterVersion above 20; UpdateVersion.ini is unchanged");
        return result;
    }
    state->updaterVersion = newVersion;
    if (!WriteReleaseState(root, *state, error)) return Refused(kReleaseRefused, error);
    if (carried) {
        result.notes.push_back("UpdaterVersion=" + std::to_string(newVersion) +
                               ": clients with game.exe and an older updater fetch it; from "
                               "then on they patch as usual, nothing to withdraw");
        return result;
    }
    result.notes.push_back("UpdaterVersion=" + std::to_string(newVersion) +
                           ": clients with game.exe fetch the new updater instead of patching "
                           "until it is withdrawn");
    return result;
}

ReleaseResult WithdrawUpdater(const std::string& root) {
    std::string error;
    std::optional<ReleaseState> state = ReadReleaseState(root, error);
    if (!state) return Refused(kReleaseUnreadable, error);
    state->updaterVersion = kUpdaterVersionThreshold;
    if (!WriteReleaseState(root, *state, error)) return Refused(kReleaseRefused, error);
    ReleaseResult result;
    result.notes.push_back("UpdaterVersion=20: clients patch again");
    return result;
}

}  // namespace korvun::tool
