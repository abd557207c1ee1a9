// korvun-tool package ls / test / extract: check a patch package with the reader the clients
// run, before it is published.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "command_helpers.h"
#include "command_registry.h"
#include "platform/progress_sink.h"
#include "tool_support.h"
#include "zip/extract_package.h"
#include "zip/zip_exception.h"
#include "zip/zip_paths.h"
#include "zip/zip_reader.h"

namespace korvun::tool {

namespace {

// Counts what an extraction writes; the operator's extraction is never asked to stop.
struct ByteCount : ProgressSink {
    uint64_t bytes = 0;
    void Begin(uint64_t) override { bytes = 0; }
    bool Advance(uint64_t count) override {
        bytes += count;
        return true;
    }
};

const char* MethodName(uint16_t method) {
    switch (method) {
        case kMethodStored:
            return "stored";
        case kMethodDeflated:
            return "deflated";
        default:
            return "unknown";
    }
}

std::string DosTimeText(const CZipEntry& entry) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d",
                  1980 + (entry.modificationDate >> 9), (entry.modificationDate >> 5) & 0x0F,
                  entry.modificationDate & 0x1F, entry.modificationTime >> 11,
                  (entry.modificationTime >> 5) & 0x3F, 2 * (entry.modificationTime & 0x1F));
    return text;
}

// Runs a command body; a raise of the reader is reported as a sentence and exit status 1.
template <typename Body>
void Guarded(const std::string& package, Body body) {
    try {
        SetExitStatus(body() ? 0 : 1);
    } catch (const CZipException& e) {
        std::fprintf(stderr, "%s: %s.\n", package.c_str(), DescribeZipError(e).c_str());
        SetExitStatus(1);
    } catch (const CFileException& e) {
        std::fprintf(stderr, "%s: %s.\n", package.c_str(), e.what());
        SetExitStatus(1);
    }
}

bool ListPackage(const std::string& package) {
    CZipReader reader;
    reader.OpenPackage(package);
    std::printf("%5s %10s %10s %-8s %-8s %-8s %-19s %s\n", "index", "size", "packed", "method",
                "crc32", "attrib", "modified", "name");
    CZipEntry entry;
    uint64_t total = 0;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        reader.GetEntryInfo(entry, static_cast<uint16_t>(i));
        total += entry.uncompressedSize;
        std::printf("%5d %10u %10u %-8s %08x %08x %-19s %s%s\n", i, entry.uncompressedSize,
                    entry.compressedSize, MethodName(entry.method), entry.crc32,
                    entry.externalAttributes, DosTimeText(entry).c_str(), entry.Name().c_str(),
                    entry.IsEncrypted() ? " (encrypted)" : "");
    }
    std::printf("%d entries, %llu bytes\n", reader.GetEntryCount(),
                static_cast<unsigned long long>(total));
    return true;
}

bool TestPackage(const std::string& package) {
    CZipReader reader;
    reader.SetBufferSizes(65535, 16384, 32768);
    reader.OpenPackage(package);
    std::vector<unsigned char> buffer(65535);
    int failures = 0;
    CZipEntry entry;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        const auto index = static_cast<uint16_t>(i);
        reader.GetEntryInfo(entry, index);
        if (entry.IsDirectory()) continue;
        if (!reader.OpenEntry(index)) {
            std::printf("%s: cannot be read (encrypted)\n", entry.Name().c_str());
            ++failures;
            continue;
        }
        while (reader.ReadEntry(buffer.data(), static_cast<uint32_t>(buffer.size())) ==
               buffer.size()) {
        }
        if (reader.CloseEntry(nullptr, false) == EntryCloseResult::Complete) {
            std::printf("%s: OK\n", entry.Name().c_str());
        } else {
            std::printf("%s: its data end before its size\n", entry.Name().c_str());
            ++failures;
        }
    }
    if (failures == 0) {
        std::printf("No errors in %s\n", package.c_str());
    } else {
        std::printf("%d of %d entries failed in %s\n", failures, reader.GetEntryCount(),
                    package.c_str());
    }
    return failures == 0;
}

bool ExtractInto(const std::string& package, const std::string& directory) {
    if (!MakeDirectoryPath(directory)) {
        std::fprintf(stderr, "cannot create the directory %s\n", directory.c_str());
        return false;
    }
    ByteCount written;
    // The updater hands over its working directory, an absolute path.
    const std::string root = std::filesystem::absolute(directory).lexically_normal().string();
    const ExtractResult result = ExtractPackage(package, root, written);
    if (result == ExtractResult::Done) {
        std::printf("Extracted %s into %s (%u bytes)\n", package.c_str(), directory.c_str(),
                    static_cast<uint32_t>(written.bytes));
        return true;
    }
    std::fprintf(stderr,
                 "%s: an entry could not be extracted (encrypted, incomplete, a name outside "
                 "the destination, or its times and attributes could not be set)\n",
                 package.c_str());
    return false;
}

struct PackageOptions {
    std::string package;
    std::string directory;
};

void AddPackageCommands(CLI::App& app) {
    static PackageOptions options;
    // package build (package_build_commands.cpp) joins the same group.
    auto* package = SubcommandGroup(app, "package", "Check and extract patch packages");

    auto* ls = package->add_subcommand("ls", "List the entries of a package");
    ls->add_option("PACKAGE", options.package, "Package file")->required();
    ls->callback([] { Guarded(options.package, [] { return ListPackage(options.package); }); });

    auto* test = package->add_subcommand("test", "Read every entry and check its CRC-32");
    test->add_option("PACKAGE", options.package, "Package file")->required();
    test->callback([] { Guarded(options.package, [] { return TestPackage(options.package); }); });

    auto* extract = package->add_subcommand("extract", "Extract a package as the updater does");
    extract->add_option("PACKAGE", options.package, "Package file")->required();
    extract->add_option("DIR", options.directory, "Destination directory")->required();
    extract->callback([] {
        Guarded(options.package, [] { return ExtractInto(options.package, options.directory); });
    });
}

const RegisterCommandGroup registered(AddPackageCommands);

}  // namespace

}  // namespace korvun::tool
