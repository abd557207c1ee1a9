// korvun-tool release store: publish a release tree as a signed content store.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "command_helpers.h"
#include "command_registry.h"
#include "content_store_writer.h"
#include "release_signing.h"

namespace korvun::tool {

namespace {

struct StoreOptions {
    std::string root;
    std::string tree;
    uint32_t version = 0;
    std::string key;
    unsigned expiresDays = kDefaultExpiryDays;
};

void AddStoreCommand(CLI::App& app) {
    static StoreOptions options;
    CLI::App* release = SubcommandGroup(
        app, "release",
        "Lay out and maintain an update server's files (exit 0 done, 1 refused, 2 unreadable)");
    CLI::App* store = release->add_subcommand(
        "store",
        "Publish the complete client tree of a release under patch/content/ (blobs named by "
        "SHA-256, zstd, and a signed content manifest), so that clients can verify and repair "
        "themselves instead of installing again");
    DirectoryOption(store->add_option("SERVER_ROOT", options.root, "Server root"))->required();
    DirectoryOption(store->add_option("TREE", options.tree, "The release's complete client tree"))
        ->required();
    store->add_option("--version", options.version, "The release's version (CurrentVersion)")
        ->required();
    store->add_option("--key", options.key, "The secret key (release.key)")->required();
    store->add_option("--expires", options.expiresDays,
                      "Days until clients refuse this manifest (default 30)");
    store->callback([] {
        ReleaseResult result = StoreRelease(options.root, options.tree, options.version,
                                            options.key, options.expiresDays);
        for (const std::string& note : result.notes) std::printf("%s\n", note.c_str());
        if (result.status != kReleaseDone) {
            std::fprintf(stderr, "release: %s\n", result.error.c_str());
        }
        SetExitStatus(result.status);
    });
}

const RegisterCommandGroup registered(AddStoreCommand);

}  // namespace

}  // namespace korvun::tool
