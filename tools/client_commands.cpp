// korvun-tool client verify: prove that an installed client equals a release's tree.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "client_verify.h"
#include "command_helpers.h"
#include "command_registry.h"
#include "json_writer.h"

namespace korvun::tool {

namespace {

std::string DifferenceCount(size_t count) {
    if (count == 0) return "identical to the reference";
    return std::to_string(count) + (count == 1 ? " difference" : " differences");
}

struct ClientOptions {
    std::string gameDir;
    std::string reference;
    std::vector<std::string> ignore;
    bool json = false;
};

void PrintJsonResult(const ClientOptions& options, const VerifyResult& result) {
    JsonObject json;
    json.Add("command", "client verify")
        .Add("game_dir", options.gameDir)
        .Add("reference", options.reference)
        .AddNumber("exit", result.status)
        .AddBool("identical", result.status == kVerifyIdentical)
        .AddNumber("loose_files_compared", static_cast<int64_t>(result.looseCompared))
        .AddNumber("archive_entries_compared", static_cast<int64_t>(result.entriesCompared))
        .Add("differences", result.differences);
    if (result.status == kVerifyUnreadable) json.Add("error", result.error);
    PrintJson(json);
}

void AddClientCommands(CLI::App& app) {
    static ClientOptions options;
    CLI::App* client = SubcommandGroup(app, "client", "Check installed game clients");
    CLI::App* verify = client->add_subcommand(
        "verify",
        "Compare a game directory with a release tree (loose files + data.kah/data.kaf), "
        "letter case ignored, the updater's own files (Version.ini, CONFIG.ini, "
        "UpdaterURL.txt, UpdateVersion.ini, UpdateVersion-tov-.ini, new_updater.exe) left "
        "out; exit 0 identical, 1 different, 2 unreadable");
    DirectoryOption(verify->add_option("GAME_DIR", options.gameDir, "The installed client"))
        ->required();
    DirectoryOption(verify->add_option("--against", options.reference, "The release tree"))
        ->required();
    verify->add_option("--ignore", options.ignore,
                       "A further path (file or directory) to leave out; may be repeated");
    verify->add_flag("--json", options.json, "Print the result as one JSON object");
    verify->callback([] {
        VerifyResult result = VerifyClient(options.gameDir, options.reference, options.ignore);
        if (options.json) {
            PrintJsonResult(options, result);
        } else if (result.status == kVerifyUnreadable) {
            std::fprintf(stderr, "client verify: %s\n", result.error.c_str());
        } else {
            for (const std::string& difference : result.differences) {
                std::printf("%s\n", difference.c_str());
            }
            std::printf("%s: %zu loose files and %zu archive entries compared, %s\n",
                        options.gameDir.c_str(), result.looseCompared, result.entriesCompared,
                        DifferenceCount(result.differences.size()).c_str());
        }
        SetExitStatus(result.status);
    });
}

const RegisterCommandGroup registered(AddClientCommands);

}  // namespace

}  // namespace korvun::tool
