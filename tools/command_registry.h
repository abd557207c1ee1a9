// Subcommand groups of korvun-tool register themselves here, so that each group lives in its
// own file and main() needs no list of them.
#pragma once

#include <functional>
#include <vector>

namespace CLI {
class App;
}

namespace korvun::tool {

// A group adds its subcommands to the app; the callbacks set the exit status through
// SetExitStatus and must not call exit() themselves.
using CommandGroup = std::function<void(CLI::App& app)>;

std::vector<CommandGroup>& CommandGroups();

struct RegisterCommandGroup {
    explicit RegisterCommandGroup(CommandGroup group) {
        CommandGroups().push_back(std::move(group));
    }
};

// Exit statuses shared by every command: 0 success, 1 failure (the updater's own message
// printed), 2 usage error or unreadable input.
void SetExitStatus(int status);
int ExitStatus();

}  // namespace korvun::tool
