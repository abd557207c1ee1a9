#include "package_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "archive_pair_writer.h"
#include "client_tree.h"
#include "delta/delta_format.h"
#include "delta/delta_rebuild.h"
#include "delta_builder.h"
#include "platform/file_io.h"
#include "platform/profile.h"
#include "tool_support.h"
#include "update/package_names.h"
#include "work_progress.h"
#include "zip/zip_exception.h"
#include "zip/zip_reader.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUpdateIndex = "update.kah";
constexpr const char* kUpdateData = "update.kaf";
constexpr const char* kDeleteList = "delete.lst";
// The package reader addresses entries with 16 bits and knows no ZIP64 records; the updater
// reads Content-Length as a signed 32-bit number.
constexpr size_t kMaxEntries = 65535;
constexpr uint64_t kMaxPackageBytes = 0x7FFFFFFF;
// A delta above this share of the full package saves too little for the clients' work.
constexpr double kMaxDeltaShare = 0.7;

// One file of the package: its name in the ZIP and the file on disk that holds its bytes.
struct PlannedEntry {
    std::string zipName;  // '/'-separated
    std::string source;
};

// Names the package machinery itself puts at the top of a game directory; a tree that holds
// them would have them overwritten or consumed by the updater.
bool IsReservedTopLevel(const std::string& relativePath) {
    std::string folded = FoldCase(relativePath);
    if (folded == kUpdateIndex || folded == kUpdateData || folded == "update.log" ||
        folded == kDeleteList) {
        return true;
    }
    return folded.size() > 8 && folded.rfind("pk", 0) == 0 &&
           folded.compare(folded.size() - 6, 6, ".patch") == 0;
}

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80           ? 1
                        : (c >> 5) == 0x6  ? 2
                        : (c >> 4) == 0xE  ? 3
                        : (c >> 3) == 0x1E ? 4
                                           : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// Loose names travel as ZIP names: UTF-8 (flagged as such when not plain ASCII), '/' between
// components. A backslash would turn into a separator on the client.
bool ShippableLooseName(const std::string& path) {
    return ValidUtf8(path) && path.find('\\') == std::string::npos &&
           std::none_of(path.begin(), path.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// A deletion list line ends at a line feed and a tab ends its path.
bool ListablePath(const std::string& path) {
    return path.find_first_of("\t\r\n") == std::string::npos;
}

// Whether deflate makes the file smaller; libzip would deflate it regardless.
bool DeflateHelps(const std::string& path, uint64_t size) {
    if (size == 0) return false;
    FileHandle file = OpenNativeFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) return true;
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    uint64_t produced = 0;
    int64_t got;
    int flush = Z_NO_FLUSH;
    do {
        got = ReadSome(file.Get(), in.data(), in.size());
        flush = got <= 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = in.data();
        stream.avail_in = got > 0 ? static_cast<uInt>(got) : 0;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, flush);
            produced += out.size() - stream.avail_out;
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH && produced < size);
    deflateEnd(&stream);
    return produced < size;
}

bool SameLooseContent(const ClientTree& a, const LooseFile& fa, const ClientTree& b,
                      const LooseFile& fb) {
    return fa.size == fb.size && SameFileContent(a.LoosePath(fa), b.LoosePath(fb));
}

// The deletion list lines of a package, read with the updater's package reader.
bool ReadDeletionList(const std::string& package, std::vector<std::string>& lines,
                      std::string& error) {
    try {
        CZipReader reader;
        reader.OpenPackage(package);
        CZipEntry entry;
        for (int i = 0; i < reader.GetEntryCount(); ++i) {
            reader.GetEntryInfo(entry, static_cast<uint16_t>(i));
            if (FoldCase(entry.Name()) != kDeleteList) continue;
            if (!reader.OpenEntry(static_cast<uint16_t>(i))) break;
            std::string text(entry.uncompressedSize, '\0');
            uint32_t got = reader.ReadEntry(text.data(), entry.uncompressedSize);
            reader.CloseEntry(nullptr, false);
            text.resize(got);
            size_t start = 0;
            while (start < text.size()) {
                size_t end = text.find('\n', start);
                std::string line = text.substr(start, end == std::string::npos ? end : end - start);
                line = line.substr(0, line.find_first_of("\t\r"));
                if (!line.empty()) lines.push_back(line);
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
        return true;
    } catch (const std::exception& e) {
        error = package + ": " + e.what();
        return false;
    }
}

struct Comparison {
    std::vector<const LooseFile*> looseToShip;
    std::vector<const ArchiveFile*> entriesToShip;
    std::set<std::string> deletions;  // folded keys, for the carried ones
    std::vector<std::string> deletionLines;
};

// Everything in the NEW tree that the updater could not carry or would mistake.
bool CheckNewTree(const ClientTree& tree, std::string& error) {
    std::vector<std::string> problems = tree.Problems();
    for (const auto& [key, file] : tree.Loose()) {
        if (file.path.find('/') == std::string::npos && IsReservedTopLevel(file.path)) {
            problems.push_back(file.path + " is a name the updater uses for the package itself");
        } else if (!ShippableLooseName(file.path)) {
            problems.push_back(file.path +
                               ": the name is not UTF-8 or holds a backslash or control byte");
        } else if (file.size > UINT32_MAX) {
            problems.push_back(file.path + " is too large for a package (4 GiB or more)");
        }
    }
    for (const auto& [key, file] : tree.Archive()) {
        if (!ListablePath(file.path) || file.path.find('/') != std::string::npos) {
            problems.push_back("archive entry " + file.path +
                               ": the name holds a '/', tab or line break");
        }
    }
    if (problems.empty()) return true;
    error = tree.Root() + " cannot be shipped as it is:";
    for (const std::string& problem : problems) error += "\n  " + problem;
    return false;
}

// CurrentVersion of a tree's Version.ini. A tree without the fields a fresh client needs gets
// a warning: a client installed from it is told to reinstall (c20, c22).
std::optional<uint32_t> TreeVersion(const std::string& root, PackageBuildReport& report) {
    std::string file = root + "/Version.ini";
    std::string check = ReadProfileString("Version", "CheckVersion", "", file);
    std::string current = ReadProfileString("Version", "CurrentVersion", "", file);
    if (check != "3" || current.empty()) {
        report.warnings.push_back(file +
                                  " lacks CheckVersion=3 or CurrentVersion: a client installed "
                                  "from this tree is told to reinstall (c20, c22)");
    }
    if (current.empty()) return std::nullopt;
    return static_cast<uint32_t>(std::strtoul(current.c_str(), nullptr, 10));
}

// The trees given the wrong way round would build a package that takes players back.
bool RefuseDowngrade(const PackageBuildOptions& options, PackageBuildReport& report,
                     std::string& error) {
    std::optional<uint32_t> from = TreeVersion(options.from, report);
    std::optional<uint32_t> to = TreeVersion(options.to, report);
    if (!from || !to || *to >= *from || options.allowDowngrade) return false;
    error = options.to + " is version " + std::to_string(*to) + ", older than " + options.from +
            " at version " + std::to_string(*from) +
            " (Version.ini CurrentVersion): are --from and --to swapped? --allow-downgrade "
            "builds the package anyway";
    return true;
}

// A missing output folder is made; something else under its name is an input error.
bool EnsureOutputDirectory(const std::string& outDir, std::string& error) {
    std::error_code failure;
    if (!fs::exists(outDir, failure)) fs::create_directories(outDir, failure);
    if (failure || !fs::is_directory(outDir, failure)) {
        error = outDir + " is not a directory" + (failure ? ": " + failure.message() : "");
        return false;
    }
    return true;
}

// The bytes a comparison reads at most: every file and entry of the new tree.
uint64_t TreeBytes(const ClientTree& tree) {
    uint64_t bytes = 0;
    for (const auto& [key, file] : tree.Loose()) bytes += file.size;
    for (const auto& [key, file] : tree.Archive()) bytes += file.entry.size;
    return bytes;
}

void CompareTrees(const ClientTree& from, const ClientTree& to, Comparison& diff,
                  PackageBuildReport& report, WorkProgress& progress) {
    const uint64_t total = TreeBytes(to);
    uint64_t compared = 0;
    for (const auto& [key, file] : to.Loose()) {
        progress.Update("comparing the trees", compared, total);
        compared += file.size;
        auto old = from.Loose().find(key);
        if (old == from.Loose().end()) {
            diff.looseToShip.push_back(&file);
            report.addedLoose.push_back(file.path);
        } else if (!SameLooseContent(from, old->second, to, file)) {
            diff.looseToShip.push_back(&file);
            report.changedLoose.push_back(file.path);
        }
        struct stat info;
        if (::stat(to.LoosePath(file).c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0) {
            report.warnings.push_back(file.path +
                                      " is read-only: clients get it read-only, and a later "
                                      "package cannot replace it");
        }
    }
    for (const auto& [key, file] : from.Loose()) {
        if (!to.Loose().contains(key)) report.deletedLoose.push_back(file.path);
    }

    DataFile oldData(from.DataFilePath()), newData(to.DataFilePath());
    for (const auto& [key, file] : to.Archive()) {
        progress.Update("comparing the trees", compared, total);
        compared += file.entry.size;
        auto old = from.Archive().find(key);
        bool unreadable = false;
        if (old == from.Archive().end()) {
            diff.entriesToShip.push_back(&file);
            report.addedEntries.push_back(file.path);
        } else if (old->second.entry.extraWord != file.entry.extraWord ||
                   !SameEntryContent(oldData, old->second.entry, newData, file.entry, unreadable)) {
            diff.entriesToShip.push_back(&file);
            report.changedEntries.push_back(file.path);
        }
    }
    for (const auto& [key, file] : from.Archive()) {
        if (to.Archive().contains(key)) continue;
        report.deletedEntries.push_back(file.path);
        diff.deletions.insert(key);
        diff.deletionLines.push_back(file.path);
    }
    report.headerChanged =
        from.HeaderWord() != to.HeaderWord() || from.HeaderBlock() != to.HeaderBlock();
}

// Deletions of earlier packages that still hold in the new tree. The updater applies the
// deletion list once, after the last package of a run, and each package's list replaces the
// one before on disk; so every list repeats the earlier ones.
bool CarryDeletions(const PackageBuildOptions& options, const ClientTree& to, Comparison& diff,
                    PackageBuildReport& report, std::string& error) {
    std::string previous = options.previous;
    if (previous.empty() && options.number > 2) {
        std::string candidate = options.outDir + "/" + PackageFileName(options.number - 1);
        if (::access(candidate.c_str(), F_OK) == 0) {
            previous = candidate;
        } else {
            report.warnings.push_back(
                "no package " + std::to_string(options.number - 1) +
                " given (--previous) or found in " + options.outDir +
                ": the deletions of earlier packages are not repeated, so a client that "
                "updates over several packages in one run may keep entries they deleted");
        }
    }
    if (previous.empty()) return true;
    std::vector<std::string> lines;
    if (!ReadDeletionList(previous, lines, error)) return false;
    for (const std::string& line : lines) {
        std::string key = FoldCase(line);
        for (char& c : key) c = c == '/' ? '\\' : c;
        if (to.Archive().contains(key) || !diff.deletions.insert(key).second) continue;
        diff.deletionLines.push_back(line);
        report.carriedDeletions.push_back(line);
    }
    return true;
}

bool WriteUpdateArchive(const ClientTree& to, const Comparison& diff, const std::string& staging,
                        std::string& error) {
    ArchivePairWriter writer;
    if (!writer.Open(staging + "/" + kUpdateIndex, error)) return false;
    DataFile newData(to.DataFilePath());
    for (const ArchiveFile* file : diff.entriesToShip) {
        if (!writer.AddFrom(file->path, newData, file->entry.offset, file->entry.size,
                            file->entry.extraWord, error)) {
            return false;
        }
    }
    if (!writer.Finish(to.HeaderWord(), to.HeaderBlock().data(), error)) return false;
    // The merge reads it with the same loader; make sure it takes what was written.
    std::string reason;
    std::optional<ArchiveIndex> check =
        GameArchive::ReadIndexFile(staging + "/" + kUpdateIndex, &reason);
    if (!check || check->fileCount != writer.Count()) {
        error = "the update archive did not read back: " + reason;
        return false;
    }
    return true;
}

// The bytes of the files a package is made of.
uint64_t EntryBytes(const std::vector<PlannedEntry>& entries) {
    uint64_t bytes = 0;
    for (const PlannedEntry& entry : entries) bytes += FileSize(entry.source).value_or(0);
    return bytes;
}

struct ZipProgress {
    WorkProgress& progress;
    uint64_t total;
};

bool WriteZip(const std::string& path, const std::vector<PlannedEntry>& entries,
              PackageBuildReport& report, std::string& error, WorkProgress& progress) {
    int code = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!zip) {
        zip_error_t failure;
        zip_error_init_with_code(&failure, code);
        error = path + ": " + zip_error_strerror(&failure);
        zip_error_fini(&failure);
        return false;
    }
    for (const PlannedEntry& entry : entries) {
        zip_source_t* source = zip_source_file(zip, entry.source.c_str(), 0, -1);
        zip_int64_t index =
            source ? zip_file_add(zip, entry.zipName.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (source) zip_source_free(source);
            error = entry.zipName + ": " + zip_strerror(zip);
            zip_discard(zip);
            return false;
        }
        struct stat info {};
        ::stat(entry.source.c_str(), &info);
        bool deflate = DeflateHelps(entry.source, static_cast<uint64_t>(info.st_size));
        zip_set_file_compression(zip, static_cast<zip_uint64_t>(index),
                                 deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
        ++(deflate ? report.deflated : report.stored);
    }
    // libzip compresses everything in zip_close; it tells how far it is.
    ZipProgress state{progress, EntryBytes(entries)};
    zip_register_progress_callback_with_state(
        zip, 0.001,
        [](zip_t*, double fraction, void* data) {
            auto* zipProgress = static_cast<ZipProgress*>(data);
            zipProgress->progress.Update(
                "writing the package",
                static_cast<uint64_t>(fraction * static_cast<double>(zipProgress->total)),
                zipProgress->total);
        },
        nullptr, &state);
    if (zip_close(zip) != 0) {
        error = path + ": " + zip_strerror(zip);
        zip_discard(zip);
        return false;
    }
    return true;
}

// Reads every entry back with the reader the clients run, checks its name, its CRC-32 and
// its bytes against the file it came from.
bool VerifyZip(const std::string& path, const std::vector<PlannedEntry>& entries,
               std::string& error, WorkProgress& progress) {
    const uint64_t total = EntryBytes(entries);
    uint64_t checked = 0;
    try {
        CZipReader reader;
        reader.OpenPackage(path);
        if (reader.GetEntryCount() != static_cast<int>(entries.size())) {
            error = "the package reads back with " + std::to_string(reader.GetEntryCount()) +
                    " entries instead of " + std::to_string(entries.size());
            return false;
        }
        std::vector<char> got(1 << 16), want(1 << 16);
        CZipEntry info;
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto index = static_cast<uint16_t>(i);
            reader.GetEntryInfo(info, index);
            std::string expected = entries[i].zipName;
            std::replace(expected.begin(), expected.end(), '/', '\\');
            if (info.Name() != expected) {
                error = "entry " + std::to_string(i) + " reads back as \"" + info.Name() +
                        "\" instead of \"" + expected + "\"";
                return false;
            }
            FileHandle sourceFile = OpenNativeFile(entries[i].source, OpenMode::ReadOnly);
            int source = sourceFile.Get();
            bool same = sourceFile.IsOpen() && reader.OpenEntry(index);
            uint32_t n;
            while (same &&
                   (n = reader.ReadEntry(got.data(), static_cast<uint32_t>(got.size()))) > 0) {
                same = ReadFull(source, want.data(), n) &&
                       std::memcmp(got.data(), want.data(), n) == 0;
                checked += n;
                progress.Update("reading the package back", checked, total);
            }
            char extra;
            same = same && ReadSome(source, &extra, 1) == 0;
            if (reader.CloseEntry(nullptr, !same) != EntryCloseResult::Complete || !same) {
                error = expected + " does not read back as written";
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

// A directory beside the package for the update archive and the deletion list; removed
// when the object goes.
class StagingDirectory {
  public:
    explicit StagingDirectory(const std::string& outDir) {
        std::string pattern = outDir + "/.korvun-package-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data())) path_ = name.data();
    }
    ~StagingDirectory() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

void CollectUpdateEntries(const ArchiveFolder& folder, const std::string& prefix,
                          std::vector<std::pair<std::string, ArchiveEntry>>& out) {
    for (const ArchiveEntry& entry : folder.Files()) {
        out.emplace_back(prefix.empty() ? entry.name : prefix + "\\" + entry.name, entry);
    }
    for (const ArchiveFolder& sub : folder.Subfolders()) {
        CollectUpdateEntries(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name, out);
    }
}

// Each archive entry of the update archive may be a patch against the old archive's entry of
// the same name.
bool PlanUpdateData(const ClientTree& from, const std::string& staging,
                    std::vector<BasePiece>& pieces, std::string& error) {
    std::string reason;
    std::optional<ArchiveIndex> update =
        GameArchive::ReadIndexFile(staging + "/" + kUpdateIndex, &reason);
    if (!update) {
        error = "the update archive did not read back: " + reason;
        return false;
    }
    std::vector<std::pair<std::string, ArchiveEntry>> entries;
    CollectUpdateEntries(update->root, "", entries);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.second.offset < b.second.offset; });
    for (const auto& [path, entry] : entries) {
        auto old = from.Archive().find(FoldCase(path));
        if (old == from.Archive().end()) continue;
        pieces.push_back({entry.offset, entry.size, delta::BaseKind::ArchiveEntry, old->second.path,
                          from.DataFilePath(), old->second.entry.offset, old->second.entry.size});
    }
    return true;
}

bool PlanDelta(const ClientTree& from, const std::vector<PlannedEntry>& entries,
               const std::string& staging, std::vector<DeltaEntryPlan>& plan, std::string& error) {
    for (const PlannedEntry& entry : entries) {
        DeltaEntryPlan& planned = plan.emplace_back();
        planned.zipName = entry.zipName;
        planned.source = entry.source;
        if (entry.zipName == kUpdateData) {
            if (!PlanUpdateData(from, staging, planned.pieces, error)) return false;
            continue;
        }
        if (entry.zipName == kUpdateIndex || entry.zipName == kDeleteList) continue;
        auto old = from.Loose().find(FoldCase(entry.zipName));
        if (old == from.Loose().end()) continue;
        planned.pieces.push_back({0, FileSize(entry.source).value_or(0), delta::BaseKind::LooseFile,
                                  old->second.path, from.LoosePath(old->second), 0,
                                  old->second.size});
    }
    return true;
}

// Writes the delta into staging and rebuilds the package from it and the old tree with the
// client's own code; the rebuilt package must read back as the full one. deltaPath stays
// empty when a delta would not pay.
bool PrepareDelta(const ClientTree& from, const std::vector<PlannedEntry>& entries,
                  const std::string& staging, const std::string& fullPackage,
                  std::string& deltaPath, PackageBuildReport& report, std::string& error,
                  WorkProgress& progress) {
    std::vector<DeltaEntryPlan> plan;
    if (!PlanDelta(from, entries, staging, plan, error)) return false;
    std::string written = staging + "/package.delta";
    DeltaBuildResult result;
    if (!WriteDeltaPackage(fullPackage, plan, staging, written, result, error)) return false;
    report.deltaBytes = result.bytes;
    report.deltaPatched = result.patched;
    report.deltaWhole = result.whole;
    if (static_cast<double>(result.bytes) >
        kMaxDeltaShare * static_cast<double>(report.packageBytes)) {
        report.deltaSkipped = "no delta package: it would be " + std::to_string(result.bytes) +
                              " bytes, more than 70 % of the full package";
        return true;
    }
    delta::RebuildRequest request;
    request.deltaPath = written;
    request.outputPath = staging + "/rebuilt.zip";
    if (!delta::RebuildPackage(request, korvun::ClientDirectory(from.Root()), error)) {
        error = "the delta package does not rebuild the package from " + from.Root() + ": " + error;
        return false;
    }
    if (!VerifyZip(request.outputPath, entries, error, progress)) {
        error = "the package rebuilt from the delta differs: " + error;
        return false;
    }
    deltaPath = written;
    return true;
}

bool NothingToShip(const Comparison& diff, const PackageBuildReport& report) {
    return diff.looseToShip.empty() && diff.entriesToShip.empty() &&
           report.deletedEntries.empty() && !report.headerChanged;
}

BuildStatus WritePackage(const PackageBuildOptions& options, const ClientTree& from,
                         const ClientTree& to, const Comparison& diff, PackageBuildReport& report,
                         std::string& error, WorkProgress& progress) {
    StagingDirectory staging(options.outDir);
    if (staging.Path().empty()) {
        error =
            "cannot create a working directory in " + options.outDir + ": " + std::strerror(errno);
        return kBuildRefused;
    }
    std::vector<PlannedEntry> entries;
    for (const LooseFile* file : diff.looseToShip) {
        entries.push_back({file->path, to.LoosePath(*file)});
    }
    if (!diff.entriesToShip.empty() || report.headerChanged) {
        if (!WriteUpdateArchive(to, diff, staging.Path(), error)) return kBuildRefused;
        entries.push_back({kUpdateIndex, staging.Path() + "/" + kUpdateIndex});
        entries.push_back({kUpdateData, staging.Path() + "/" + kUpdateData});
    }
    // Every package carries a deletion list, empty or not, so that it replaces the list an
    // earlier package of the same run left behind (which might name entries this one brings
    // back).
    std::string list;
    for (const std::string& line : diff.deletionLines) list += line + "\r\n";
    if (!WriteFileAtomically(staging.Path() + "/" + kDeleteList, list, error)) {
        return kBuildRefused;
    }
    entries.push_back({kDeleteList, staging.Path() + "/" + kDeleteList});
    if (entries.size() > kMaxEntries) {
        error = "the package would hold " + std::to_string(entries.size()) +
                " files; the updater reads at most 65535";
        return kBuildRefused;
    }

    std::string partial = staging.Path() + "/package.zip";
    if (!WriteZip(partial, entries, report, error, progress) ||
        !VerifyZip(partial, entries, error, progress)) {
        return kBuildRefused;
    }
    report.packageBytes = FileSize(partial).value_or(0);
    if (report.packageBytes > kMaxPackageBytes) {
        error =
            "the package is 2 GiB or larger, which the updater cannot download; split the "
            "change over several packages";
        return kBuildRefused;
    }
    std::string delta;
    if (options.delta &&
        !PrepareDelta(from, entries, staging.Path(), partial, delta, report, error, progress)) {
        return kBuildRefused;
    }
    FileHandle written = OpenNativeFile(partial, OpenMode::ReadOnly);
    bool synced = written.IsOpen() && SyncFile(written.Get()) && written.Close();
    // link() refuses to replace a package someone else wrote meanwhile.
    report.packagePath = options.outDir + "/" + PackageFileName(options.number);
    if (!synced || ::link(partial.c_str(), report.packagePath.c_str()) != 0) {
        error = "cannot write " + report.packagePath + ": " + std::strerror(errno);
        return kBuildRefused;
    }
    if (!delta.empty()) {
        std::string target = options.outDir + "/" + delta::DeltaFileName(options.number);
        if (::link(delta.c_str(), target.c_str()) != 0) {
            error = "cannot write " + target + ": " + std::strerror(errno);
            ::unlink(report.packagePath.c_str());
            return kBuildRefused;
        }
        report.deltaPath = target;
    }
    SyncParentDirectory(report.packagePath);
    return kBuildWritten;
}

}  // namespace

std::string PackageFileName(uint32_t number) { return PatchFileName(number); }

BuildStatus BuildPackage(const PackageBuildOptions& options, PackageBuildReport& report,
                         std::string& error) {
    if (options.number < 2) {
        error =
            "package numbers start at 2: the updater never downloads package 1 (a client at "
            "version 0 is told to reinstall, and package 1 would never be merged); a client "
            "installer is version 1 or later";
        return kBuildRefused;
    }
    ClientTree from, to;
    if (!from.Load(options.from)) {
        error = from.Error();
        return kBuildUnreadable;
    }
    if (!to.Load(options.to)) {
        error = to.Error();
        return kBuildUnreadable;
    }
    if (!CheckNewTree(to, error)) return kBuildRefused;
    if (RefuseDowngrade(options, report, error)) return kBuildRefused;
    if (!EnsureOutputDirectory(options.outDir, error)) return kBuildUnreadable;
    for (const std::string& name :
         {PackageFileName(options.number), delta::DeltaFileName(options.number)}) {
        std::string target = options.outDir + "/" + name;
        if (::access(target.c_str(), F_OK) == 0 && (options.delta || name.ends_with(".patch"))) {
            error = target + " exists already; remove it first to build it again";
            return kBuildRefused;
        }
    }

    Comparison diff;
    WorkProgress progress(options.showProgress);
    CompareTrees(from, to, diff, report, progress);
    for (const std::string& path : report.deletedEntries) {
        if (!ListablePath(path)) {
            error = "archive entry " + path + " cannot be named in a deletion list";
            return kBuildRefused;
        }
    }
    if (NothingToShip(diff, report) && !options.allowEmpty) {
        error = options.from + " and " + options.to +
                " hold the same content for the updater; no package written (--allow-empty "
                "writes one that only advances the clients' version)";
        return kBuildRefused;
    }
    if (!CarryDeletions(options, to, diff, report, error)) return kBuildUnreadable;
    return WritePackage(options, from, to, diff, report, error, progress);
}

}  // namespace korvun::tool
