// korvun-tool demo trees: generated releases for trying the updater out and for the tests.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "command_helpers.h"
#include "command_registry.h"
#include "demo_trees.h"

namespace korvun::tool {

namespace {

void AddDemoCommands(CLI::App& app) {
    static DemoTreeOptions options;
    CLI::App* demo = SubcommandGroup(app, "demo", "Generated data for demonstrations and tests");
    CLI::App* trees = demo->add_subcommand(
        "trees",
        "Write OUT_DIR/v1 .. vN: complete client trees of a made-up game, each a "
        "release after the one before");
    trees->add_option("OUT_DIR", options.outDir, "Directory for the trees")->required();
    trees->add_option("--versions", options.versions, "Number of releases (default 5)");
    trees->add_option("--entries", options.entries, "Archive entries of v1 (default 400)");
    trees->add_option("--loose", options.looseFiles, "Loose files of v1 (default 40)");
    trees->add_option("--bulk", options.bulkBytes,
                      "Size of an incompressible entry replaced in every release (default 0)");
    trees->add_option("--seed", options.seed, "Seed of the generator (default 1)");
    trees->callback([] {
        std::string error;
        if (!WriteDemoTrees(options, error)) {
            std::fprintf(stderr, "demo trees: %s\n", error.c_str());
            SetExitStatus(1);
            return;
        }
        std::printf("wrote %s/v1 .. v%u\n", options.outDir.c_str(), options.versions);
    });
}

const RegisterCommandGroup registered(AddDemoCommands);

}  // namespace

}  // namespace korvun::tool
