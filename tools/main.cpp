// korvun-tool: builds and checks what operators publish, with the updater's own code.
#include <CLI/CLI.hpp>

#include "command_registry.h"
#include "update/build_info.h"

namespace korvun::tool {

std::vector<CommandGroup>& CommandGroups() {
    static std::vector<CommandGroup> groups;
    return groups;
}

namespace {
int exitStatus = 0;
}

void SetExitStatus(int status) { exitStatus = status; }
int ExitStatus() { return exitStatus; }

}  // namespace korvun::tool

int main(int argc, char** argv) {
    CLI::App app{"korvun-tool: build and check Korvun Updater archives, packages and releases"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("korvun-tool ") + korvun::UpdaterVersion(),
                         "Print korvun-tool's version and exit");
    for (auto& group : korvun::tool::CommandGroups()) group(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }
    return korvun::tool::ExitStatus();
}
