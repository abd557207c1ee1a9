// korvun-tool package build: the patch package between two client trees.
#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "command_helpers.h"
#include "command_registry.h"
#include "json_writer.h"
#include "package_builder.h"

namespace korvun::tool {

namespace {

void PrintList(const char* heading, const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    std::printf("%s (%zu):\n", heading, paths.size());
    for (const std::string& path : paths) std::printf("  %s\n", path.c_str());
}

void PrintReport(const PackageBuildReport& report) {
    PrintList("loose files added", report.addedLoose);
    PrintList("loose files changed", report.changedLoose);
    PrintList("archive entries added", report.addedEntries);
    PrintList("archive entries changed", report.changedEntries);
    PrintList("archive entries deleted (delete.lst)", report.deletedEntries);
    PrintList("deletions of earlier packages repeated (delete.lst)", report.carriedDeletions);
    if (report.headerChanged) std::printf("archive header changed\n");
    if (!report.deletedLoose.empty()) {
        PrintList("loose files deleted", report.deletedLoose);
        std::printf(
            "  note: the updater does not delete loose files; players keep these until they "
            "reinstall.\n");
    }
    for (const std::string& warning : report.warnings) {
        std::fprintf(stderr, "warning: %s\n", warning.c_str());
    }
}

void PrintJsonReport(const PackageBuildReport& report, BuildStatus status,
                     const std::string& error) {
    JsonObject json;
    json.Add("command", "package build")
        .AddNumber("exit", status)
        .AddBool("written", status == kBuildWritten)
        .Add("loose_files_added", report.addedLoose)
        .Add("loose_files_changed", report.changedLoose)
        .Add("loose_files_deleted", report.deletedLoose)
        .Add("archive_entries_added", report.addedEntries)
        .Add("archive_entries_changed", report.changedEntries)
        .Add("archive_entries_deleted", report.deletedEntries)
        .Add("deletions_repeated", report.carriedDeletions)
        .AddBool("archive_header_changed", report.headerChanged)
        .Add("warnings", report.warnings);
    if (status == kBuildWritten) {
        json.Add("package", report.packagePath)
            .AddNumber("bytes", static_cast<int64_t>(report.packageBytes))
            .AddNumber("deflated", report.deflated)
            .AddNumber("stored", report.stored);
        if (!report.deltaPath.empty()) {
            json.Add("delta", report.deltaPath)
                .AddNumber("delta_bytes", static_cast<int64_t>(report.deltaBytes));
        }
    } else {
        json.Add("error", error);
    }
    PrintJson(json);
}

struct BuildCommandOptions {
    PackageBuildOptions build;
    bool json = false;
};

void AddPackageBuildCommand(CLI::App& app) {
    static BuildCommandOptions options;
    CLI::App* package = SubcommandGroup(app, "package", "Check and extract patch packages");
    CLI::App* build = package->add_subcommand(
        "build",
        "Write pkNNNN.patch from two complete client trees (loose files + data.kah/data.kaf); "
        "exit 0 written, 1 refused, 2 unreadable input");
    DirectoryOption(build->add_option("--from", options.build.from, "Tree at version N-1"))
        ->required();
    DirectoryOption(build->add_option("--to", options.build.to, "Tree at version N"))->required();
    build->add_option("--number", options.build.number, "Package number N (2 or more)")->required();
    build->add_option("--previous", options.build.previous,
                      "Package N-1, whose deletions this package repeats (default: "
                      "OUT_DIR/pk(N-1).patch when present)");
    build->add_flag("--allow-empty", options.build.allowEmpty,
                    "Write a package even when the trees hold the same content");
    build->add_flag("--allow-downgrade", options.build.allowDowngrade,
                    "Write a package even when --to's Version.ini names an older version than "
                    "--from's");
    build->add_flag("--delta", options.build.delta,
                    "Also write pkNNNN.delta beside the package: its entries as patches against "
                    "what clients at N-1 have, where that is clearly smaller");
    build->add_flag("--json", options.json, "Print the report as one JSON object");
    DirectoryOption(build->add_option("OUT_DIR", options.build.outDir, "Directory for the package"))
        ->required();
    build->callback([] {
        PackageBuildReport report;
        std::string error;
        options.build.showProgress = !options.json;
        BuildStatus status = BuildPackage(options.build, report, error);
        if (options.json) {
            PrintJsonReport(report, status, error);
            return SetExitStatus(status);
        }
        PrintReport(report);
        if (status != kBuildWritten) {
            std::fprintf(stderr, "package build: %s\n", error.c_str());
        } else {
            std::printf("wrote %s: %" PRIu64
                        " bytes, %d files deflated, %d stored; read back "
                        "with the updater's package reader: OK\n",
                        report.packagePath.c_str(), report.packageBytes, report.deflated,
                        report.stored);
            if (!report.deltaPath.empty()) {
                std::printf("wrote %s: %" PRIu64
                            " bytes, %d pieces as patches, %d whole; rebuilt with the "
                            "updater's code: OK\n",
                            report.deltaPath.c_str(), report.deltaBytes, report.deltaPatched,
                            report.deltaWhole);
            } else if (!report.deltaSkipped.empty()) {
                std::printf("%s\n", report.deltaSkipped.c_str());
            }
        }
        SetExitStatus(status);
    });
}

const RegisterCommandGroup registered(AddPackageBuildCommand);

}  // namespace

}  // namespace korvun::tool
