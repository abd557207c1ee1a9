// Helpers for the operator commands that extend a group another file may have created.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace korvun::tool {

// The subcommand called name, created with description when no group has made it yet. Groups
// register in no fixed order, and two groups may add to one command ("package").
inline CLI::App* SubcommandGroup(CLI::App& app, const std::string& name,
                                 const std::string& description) {
    auto found = app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == name; });
    if (!found.empty()) return found.front();
    CLI::App* group = app.add_subcommand(name, description);
    group->require_subcommand(1);
    return group;
}

// A directory option whose trailing slashes are dropped, so that the paths a command prints
// from it have no doubled slash ("out//pk0002.patch"). "/" stays as it is.
inline CLI::Option* DirectoryOption(CLI::Option* option) {
    return option->transform(
        [](std::string path) {
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            return path;
        },
        "", "");
}

}  // namespace korvun::tool
