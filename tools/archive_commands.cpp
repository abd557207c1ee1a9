// korvun-tool archive ls / check / cat / extract / pack / merge / delete: build and inspect
// game archives with the code the updater itself runs.
#include <CLI/CLI.hpp>

#include <fcntl.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/game_archive.h"
#include "archive/state_markers.h"
#include "command_helpers.h"
#include "command_registry.h"
#include "platform/file_io.h"
#include "tool_support.h"
#include "update/patch_application.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

struct Session {
    NoStateMarkers markers;
    GameArchive archive{korvun::ClientDirectory("."), markers};
};

// An index as its file holds it; nullopt after saying why it cannot be read.
std::optional<ArchiveIndex> LoadOrReport(const std::string& indexPath) {
    std::string reason;
    std::optional<ArchiveIndex> index = GameArchive::ReadIndexFile(indexPath, &reason);
    if (index) return index;
    std::fprintf(stderr, "%s: %s\n", indexPath.c_str(), reason.c_str());
    SetExitStatus(2);
    return std::nullopt;
}

// data.kah -> data.kaf
std::string DataPathFor(const std::string& indexPath) {
    return indexPath.empty() ? indexPath : indexPath.substr(0, indexPath.size() - 1) + "f";
}

// Visits every file with its path, components joined by "\" as the updater joins them.
template <typename Visit>
void ForEachFile(const ArchiveFolder& folder, const std::string& prefix, Visit& visit) {
    for (const ArchiveEntry& entry : folder.Files()) {
        visit(prefix.empty() ? entry.name : prefix + "\\" + entry.name, entry);
    }
    for (const ArchiveFolder& sub : folder.Subfolders()) {
        ForEachFile(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name, visit);
    }
}

template <typename Visit>
void ForEachFolder(const ArchiveFolder& folder, const std::string& prefix, Visit& visit) {
    for (const ArchiveFolder& sub : folder.Subfolders()) {
        std::string path = prefix.empty() ? sub.name : prefix + "\\" + sub.name;
        visit(path, sub);
        ForEachFolder(sub, path, visit);
    }
}

void PrintRecord(const char* kind, const std::string& path, const ArchiveEntry& entry) {
    std::printf("%s %12" PRIu64 " %10" PRIu32 " 0x%08" PRIx32 " %s\n", kind, entry.offset,
                entry.size, entry.extraWord, path.c_str());
}

int List(const std::string& indexPath, bool free, bool header) {
    std::optional<ArchiveIndex> index = LoadOrReport(indexPath);
    if (!index) return 2;
    if (header) {
        std::printf("headerWord 0x%08" PRIx32 "\nfileCount %" PRId32 "\nheaderBlock ",
                    index->headerWord, index->fileCount);
        for (uint8_t byte : index->headerBlock) std::printf("%02x", byte);
        std::printf("\nroot \"%s\"\nfreeRecords %zu\nlostBytes %" PRIu32 "\n",
                    index->root.name.c_str(), index->freeSpace.Count(), index->lostBytes);
    }
    auto printFile = [](const std::string& path, const ArchiveEntry& entry) {
        PrintRecord("file", path, entry);
    };
    ForEachFile(index->root, "", printFile);
    if (free) {
        index->freeSpace.ForEach(
            [](const ArchiveEntry& record) { PrintRecord("free", record.name, record); });
    }
    return 0;
}

struct Region {
    uint64_t begin, end;  // end exclusive: content and its terminator
    std::string what;
};

int Check(const std::string& indexPath) {
    std::optional<ArchiveIndex> index = LoadOrReport(indexPath);
    if (!index) return 2;
    std::vector<std::string> problems(index->notes);
    std::string dataPath = DataPathFor(indexPath);
    std::optional<uint64_t> dataSize = FileSize(dataPath);
    if (!dataSize) problems.push_back(dataPath + " is missing");

    std::vector<Region> regions;
    std::map<std::string, int> folded;
    int32_t entries = 0;
    auto checkFile = [&](const std::string& path, const ArchiveEntry& entry) {
        ++entries;
        regions.push_back({entry.offset, entry.offset + entry.size + 1, "file " + path});
        std::string key = path;
        for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        if (++folded[key] == 2) problems.push_back("duplicate path " + path);
    };
    ForEachFile(index->root, "", checkFile);
    index->freeSpace.ForEach([&](const ArchiveEntry& record) {
        regions.push_back({record.offset, record.offset + record.size + 1,
                           "free record \"" + record.name + "\""});
    });
    if (entries != index->fileCount) {
        problems.push_back("fileCount " + std::to_string(index->fileCount) + " but " +
                           std::to_string(entries) + " files in the tree");
    }
    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.begin < b.begin; });
    for (size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        if (r.end < r.begin || (dataSize && r.end > *dataSize)) {
            problems.push_back(r.what + " at " + std::to_string(r.begin) +
                               " reaches beyond the end of " + dataPath);
        }
        if (i > 0 && regions[i - 1].end > r.begin) {
            problems.push_back(regions[i - 1].what + " overlaps " + r.what);
        }
    }
    for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
    if (problems.empty()) {
        std::printf("%s: %d files, %zu free records, no problems\n", indexPath.c_str(), entries,
                    index->freeSpace.Count());
        return 0;
    }
    std::printf("%s: %zu problems\n", indexPath.c_str(), problems.size());
    return 1;
}

const ArchiveEntry* FindByPath(const ArchiveFolder& root, std::string_view path) {
    const ArchiveFolder* folder = &root;
    size_t start = 0;
    for (size_t i = 0; i < path.size() && folder; ++i) {
        if (path[i] != '/' && path[i] != '\\') continue;
        folder = folder->FindSubfolder(path.substr(start, i - start));
        start = i + 1;
    }
    return folder ? folder->FindFile(path.substr(start)) : nullptr;
}

// Copies an entry's content from the data file to out.
bool CopyOut(int data, const ArchiveEntry& entry, int out, std::vector<uint8_t>& buffer) {
    if (SeekFile(data, static_cast<int64_t>(entry.offset), SEEK_SET) < 0) return false;
    for (uint32_t left = entry.size; left > 0;) {
        size_t chunk = std::min<size_t>(left, buffer.size());
        if (!ReadFull(data, buffer.data(), chunk) || !WriteFull(out, buffer.data(), chunk)) {
            return false;
        }
        left -= static_cast<uint32_t>(chunk);
    }
    return true;
}

int Cat(const std::string& indexPath, const std::string& path) {
    std::optional<ArchiveIndex> index = LoadOrReport(indexPath);
    if (!index) return 2;
    const ArchiveEntry* entry = FindByPath(index->root, path);
    if (!entry) {
        std::fprintf(stderr, "%s: no file %s\n", indexPath.c_str(), path.c_str());
        return 1;
    }
    FileHandle data = OpenFile(DataPathFor(indexPath), OpenMode::ReadOnly);
    std::vector<uint8_t> buffer(GameArchive::kCopyBufferSize);
    bool copied = data.IsOpen() && CopyOut(data.Get(), *entry, 1, buffer);
    if (!copied) {
        std::fprintf(stderr, "%s: the content of %s cannot be read\n", indexPath.c_str(),
                     path.c_str());
        return 1;
    }
    return 0;
}

// A name that cannot leave the destination directory or name something else than itself.
bool SafeComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

bool SafePath(const std::string& path) {
    size_t start = 0;
    for (size_t end; (end = path.find('\\', start)) != std::string::npos; start = end + 1) {
        if (!SafeComponent(path.substr(start, end - start))) return false;
    }
    return SafeComponent(path.substr(start));
}

std::string NativeJoin(const std::string& directory, std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return directory + "/" + path;
}

int Extract(const std::string& indexPath, const std::string& directory) {
    std::optional<ArchiveIndex> index = LoadOrReport(indexPath);
    if (!index) return 2;
    const ArchiveFolder& root = index->root;
    std::vector<std::string> unsafe;
    auto checkFolder = [&](const std::string& path, const ArchiveFolder&) {
        if (!SafePath(path)) unsafe.push_back(path);
    };
    auto checkFile = [&](const std::string& path, const ArchiveEntry&) {
        if (!SafePath(path)) unsafe.push_back(path);
    };
    ForEachFolder(root, "", checkFolder);
    ForEachFile(root, "", checkFile);
    if (!unsafe.empty()) {
        for (const std::string& path : unsafe) {
            std::fprintf(stderr, "%s: refusing unsafe path \"%s\"\n", indexPath.c_str(),
                         path.c_str());
        }
        return 1;
    }
    FileHandle data = OpenFile(DataPathFor(indexPath), OpenMode::ReadOnly);
    if (!data.IsOpen()) {
        std::fprintf(stderr, "%s cannot be opened\n", DataPathFor(indexPath).c_str());
        return 1;
    }
    std::error_code error;
    fs::create_directories(directory, error);
    bool ok = !error;
    auto makeFolder = [&](const std::string& path, const ArchiveFolder&) {
        fs::create_directories(NativeJoin(directory, path), error);
        ok = ok && !error;
    };
    ForEachFolder(root, "", makeFolder);
    std::vector<uint8_t> buffer(GameArchive::kCopyBufferSize);
    auto writeFile = [&](const std::string& path, const ArchiveEntry& entry) {
        if (!ok) return;
        FileHandle out = OpenFile(NativeJoin(directory, path), OpenMode::WriteCreateTruncate);
        ok = out.IsOpen() && CopyOut(data.Get(), entry, out.Get(), buffer);
        ok = out.Close() && ok;
        if (!ok) std::fprintf(stderr, "%s: cannot extract %s\n", indexPath.c_str(), path.c_str());
    };
    ForEachFile(root, "", writeFile);
    return ok ? 0 : 1;
}

// Adds the directory's files (sorted by name) and then its subdirectories to folder.
bool PackFolder(const fs::path& directory, ArchiveFolder& folder, int data, uint64_t& offset,
                int32_t& count, std::vector<uint8_t>& buffer) {
    std::vector<fs::directory_entry> files, folders;
    for (const fs::directory_entry& item : fs::directory_iterator(directory)) {
        std::string name = item.path().filename().string();
        if (name.size() > kMaxNameBytes || name.find('\\') != std::string::npos) {
            std::fprintf(stderr, "%s: the name cannot be stored in an archive\n",
                         item.path().c_str());
            return false;
        }
        if (item.is_directory()) {
            folders.push_back(item);
        } else if (item.is_regular_file()) {
            files.push_back(item);
        } else {
            std::fprintf(stderr, "%s: not a regular file or directory\n", item.path().c_str());
            return false;
        }
    }
    auto byName = [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename() < b.path().filename();
    };
    std::sort(files.begin(), files.end(), byName);
    std::sort(folders.begin(), folders.end(), byName);
    for (const fs::directory_entry& file : files) {
        std::string name = file.path().filename().string();
        if (folder.FindFile(name) || file.file_size() > UINT32_MAX) {
            std::fprintf(stderr, "%s: a twin of another name or too large\n", file.path().c_str());
            return false;
        }
        FileHandle in = OpenFile(file.path().string(), OpenMode::ReadOnly);
        if (!in.IsOpen()) return false;
        uint64_t size = 0;
        int64_t got;
        while ((got = ReadSome(in.Get(), buffer.data(), buffer.size())) > 0) {
            if (!WriteFull(data, buffer.data(), static_cast<size_t>(got))) break;
            size += static_cast<uint64_t>(got);
        }
        const uint8_t terminator = 0;
        if (got != 0 || size > UINT32_MAX || !WriteFull(data, &terminator, 1)) return false;
        folder.AppendFile(ArchiveEntry{name, offset, static_cast<uint32_t>(size), 0});
        offset += size + 1;
        ++count;
    }
    for (const fs::directory_entry& sub : folders) {
        std::string name = sub.path().filename().string();
        if (folder.FindSubfolder(name)) {
            std::fprintf(stderr, "%s: a twin of another name\n", sub.path().c_str());
            return false;
        }
        if (!PackFolder(sub.path(), folder.AppendSubfolder(name), data, offset, count, buffer)) {
            return false;
        }
    }
    return true;
}

int Pack(const std::string& directory, const std::string& indexPath) {
    std::error_code failure;
    if (!fs::exists(directory, failure)) {
        std::fprintf(stderr, "%s: the folder to pack is missing\n", directory.c_str());
    }
    if (indexPath.size() < 2 || !fs::is_directory(directory)) {
        std::fprintf(stderr, "pack needs a directory and an index name such as update.kah\n");
        return 2;
    }
    ArchiveIndex index;
    std::string dataPath = DataPathFor(indexPath);
    FileHandle data = OpenFile(dataPath, OpenMode::WriteCreateTruncate);
    if (!data.IsOpen()) {
        std::fprintf(stderr, "%s cannot be written\n", dataPath.c_str());
        return 1;
    }
    std::vector<uint8_t> buffer(GameArchive::kCopyBufferSize);
    uint64_t offset = 0;
    int32_t count = 0;
    bool packed = PackFolder(directory, index.root, data.Get(), offset, count, buffer) &&
                  SyncFile(data.Get());
    packed = data.Close() && packed;
    index.fileCount = count;
    if (!packed || !GameArchive::SaveIndexFile(indexPath, index)) {
        std::fprintf(stderr, "%s: packing failed\n", indexPath.c_str());
        return 1;
    }
    return 0;
}

// Runs body with the game directory as the current directory, as the updater runs.
template <typename Body>
int InGameDirectory(const std::string& directory, Body body) {
    std::error_code error;
    fs::path previous = fs::current_path();
    fs::current_path(directory, error);
    if (error) {
        std::fprintf(stderr, "%s: %s\n", directory.c_str(), error.message().c_str());
        return 2;
    }
    int status = body();
    fs::current_path(previous, error);
    return status;
}

int MergeIn(const std::string& directory) {
    return InGameDirectory(directory, [] {
        Session session;
        Status merged = MergeStatus(session.archive.MergeUpdateArchive());
        if (merged) return 0;
        std::fprintf(stderr, "%s\n", merged.Message().c_str());
        return 1;
    });
}

int DeleteIn(const std::string& directory) {
    return InGameDirectory(directory, [] {
        Session session;
        // The deletion step shows no message of its own; say what went wrong.
        if (!session.archive.LoadAndApplyDeleteList()) {
            std::string why = session.archive.LoadError();
            std::fprintf(stderr, "data.kah cannot be read%s%s\n", why.empty() ? "" : ": ",
                         why.c_str());
            return 1;
        }
        if (!session.archive.SaveIfChanged()) {
            std::fprintf(stderr, "data.kah cannot be written\n");
            return 1;
        }
        return 0;
    });
}

struct ArchiveOptions {
    std::string index;
    std::string path;
    std::string directory;
    bool free = false;
    bool header = false;
};

void AddArchiveCommands(CLI::App& app) {
    static ArchiveOptions options;
    auto* archive = app.add_subcommand("archive", "Build and inspect game archives (.kah/.kaf)");
    archive->require_subcommand(1);

    auto* ls = archive->add_subcommand("ls", "List the files of an archive index");
    ls->add_option("INDEX", options.index, "Index file, e.g. data.kah")->required();
    ls->add_flag("--free", options.free, "Also list the free-space records");
    ls->add_flag("--header", options.header, "Also print the header fields");
    ls->callback([] { SetExitStatus(List(options.index, options.free, options.header)); });

    auto* check = archive->add_subcommand(
        "check",
        "Check an archive's structure only (index records, free space, overlapping and "
        "out-of-range contents), not whether entries hold the right bytes: for that, verify the "
        "client against its release's content store (korvun-updater-console --verify); exit 0 "
        "clean, 1 problems found, 2 unreadable");
    check->add_option("INDEX", options.index, "Index file")->required();
    check->callback([] { SetExitStatus(Check(options.index)); });

    auto* cat = archive->add_subcommand("cat", "Write one file's content to standard output");
    cat->add_option("INDEX", options.index, "Index file")->required();
    cat->add_option("PATH", options.path, "Path in the archive, / or \\ separated")->required();
    cat->callback([] { SetExitStatus(Cat(options.index, options.path)); });

    auto* extract = archive->add_subcommand("extract", "Write every file into a directory");
    extract->add_option("INDEX", options.index, "Index file")->required();
    extract->add_option("DIR", options.directory, "Destination directory")->required();
    extract->callback([] { SetExitStatus(Extract(options.index, options.directory)); });

    auto* pack = archive->add_subcommand("pack", "Make a fresh archive pair from a directory");
    DirectoryOption(pack->add_option("DIR", options.directory, "Directory tree to pack"))
        ->required();
    pack->add_option("INDEX", options.index, "Index to write; the data file ends in f")->required();
    pack->callback([] { SetExitStatus(Pack(options.directory, options.index)); });

    auto* merge = archive->add_subcommand(
        "merge", "Merge update.kah/update.kaf into data.kah/data.kaf in DIR as the updater does");
    merge->add_option("DIR", options.directory, "Game directory")->required();
    merge->callback([] { SetExitStatus(MergeIn(options.directory)); });

    auto* remove = archive->add_subcommand(
        "delete", "Apply DIR/delete.lst to data.kah as the updater's deletion step does");
    remove->add_option("DIR", options.directory, "Game directory")->required();
    remove->callback([] { SetExitStatus(DeleteIn(options.directory)); });
}

const RegisterCommandGroup registered(AddArchiveCommands);

}  // namespace

}  // namespace korvun::tool
