// --version in every program, and the desktop program's --help and --version without a
// display: they answer before any toolkit starts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "operator_helpers.h"

namespace korvun::test {
namespace {

struct ProgramCase {
    std::string path;
    std::vector<std::string> args;
    std::vector<std::string> says;
};

std::string FirstDefaultServer() {
    std::string list = KORVUN_EXPECTED_DEFAULT_SERVER;
    return list.substr(0, list.find(','));
}

std::string ExpectedKey() {
    return std::string(KORVUN_EXPECTED_RELEASE_KEY).empty() ? "Release key: none\n"
                                                            : "Release key: ";
}

TEST(ProgramVersion, EveryProgramSaysItsVersionKeyAndServerWithoutADisplay) {
    const std::string version = KORVUN_EXPECTED_VERSION;
    const std::string server = "Default server: " + FirstDefaultServer();
    std::vector<ProgramCase> cases = {
        {KORVUN_TOOL_PATH, {"--version"}, {"korvun-tool " + version + "\n"}},
        {KORVUN_CONSOLE_PATH,
         {"--version"},
         {"korvun-updater-console " + version + "\n", ExpectedKey(), server}},
        {KORVUN_CONSOLE_PATH, {"--help"}, {"[--version]"}},
    };
#ifdef KORVUN_UPDATER_PATH
    cases.push_back({KORVUN_UPDATER_PATH,
                     {"--version"},
                     {"korvun-updater " + version + "\n", ExpectedKey(), server}});
    cases.push_back(
        {KORVUN_UPDATER_PATH, {"--help"}, {"Usage: korvun-updater [--help] [--version]"}});
#endif
    for (const ProgramCase& program : cases) {
        RunResult run =
            RunProgram(program.path, program.args, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
        EXPECT_EQ(run.status, 0) << program.path << " " << program.args[0] << "\n" << run.output;
        for (const std::string& text : program.says) {
            EXPECT_NE(run.output.find(text), std::string::npos)
                << program.path << " " << program.args[0] << " lacks " << text << "\n"
                << run.output;
        }
    }
}

}  // namespace
}  // namespace korvun::test
