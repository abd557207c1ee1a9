// Paths of extracted entries: where a stored name lands below the destination, and the two
// directory helpers of the extraction.
#pragma once

#include <string>
#include <vector>

namespace korvun {

class FolderIndex;

// 1 a file (or anything that is not a directory), -1 a directory, 0 nothing. Follows
// symbolic links; never changes the current directory.
int PathKind(const std::string& path);

// Creates a directory and its missing parents (mode 0755); true when it exists afterwards.
bool MakeDirectoryPath(const std::string& path);

struct EntryTarget {
    enum class Kind {
        Path,     // native path below the destination
        Root,     // the name leaves nothing below the destination: the destination itself
        Refused,  // the name would lead outside the destination
    };
    Kind kind = Kind::Refused;
    std::string path;    // native, when kind is Path
    std::string parent;  // native directory that holds path
    // The directories on the way to path (path itself last) that do not exist yet, native.
    std::vector<std::string> missing;
};

// Places a stored name (either separator) below destRoot. A drive and leading separators
// are dropped; without keepPath only the file name is kept. Names with a ".." component or
// a NUL byte are refused, and so is a target whose way passes through an existing symbolic
// link that leads out of the destination. Existing components are matched ignoring case,
// through index when one is given (an extraction keeps one for all its entries).
EntryTarget ResolveEntryTarget(const std::string& destRoot, const std::string& name, bool keepPath,
                               FolderIndex* index = nullptr);

// The components of a stored name as ResolveEntryTarget places it (drive, separators and "."
// dropped, without keepPath only the file name). With a ".." component or a NUL byte the
// name is refused: *refused is set and nothing returned.
std::vector<std::string> EntryComponents(const std::string& name, bool keepPath, bool* refused);

// Creates the missing directories of target (its parents; with itself, target.path too) and
// notes them in index. True when the last of them is a directory afterwards.
bool MakeTargetDirectories(const EntryTarget& target, bool itself, FolderIndex& index);

}  // namespace korvun
