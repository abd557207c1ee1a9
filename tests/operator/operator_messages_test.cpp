// What the tool says when an operator gets something wrong, and the console's note on an
// ignored TEST_IP: the cases named to the point, paths printed without doubled slashes.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

std::string VersionIni(unsigned version) {
    return "[Version]\r\nCheckVersion=3\r\nCurrentVersion=" + std::to_string(version) + "\r\n";
}

// The first address the programs were built with, which an ignored TEST_IP leaves in use.
std::string DefaultServer() {
    std::string list = KORVUN_EXPECTED_DEFAULT_SERVER;
    return list.substr(0, list.find(','));
}

class OperatorMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned n = 1; n <= 2; ++n) {
            MakeTree(
                Dir("v" + std::to_string(n)),
                {{"readme.txt", "release " + std::to_string(n)}, {"Version.ini", VersionIni(n)}},
                {{"data/a.txt", "content " + std::to_string(n)}});
        }
        MakeTree(Dir("bare"), {{"readme.txt", "no version file"}}, {{"data/a.txt", "bare"}});
        ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
        ASSERT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 0);
        fs::copy(Dir("v2"), Dir("client"), fs::copy_options::recursive);
        WriteTextFile(Dir("client/readme.txt"), "changed by the player");
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }

    TempDirectory work_{"korvun-messages"};
};

TEST_F(OperatorMessages, EachMistakeIsNamedAndPathsHaveNoDoubledSlash) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> says;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        // The output folder is made, and a trailing slash does not double in the report.
        {{"package", "build", "--from", Dir("v1/"), "--to", Dir("v2/"), "--number", "2",
          Dir("out/new/")},
         0,
         {"wrote " + Dir("out/new/pk0002.patch")},
         {"lacks CheckVersion"}},
        {{"package", "build", "--from", Dir("v2"), "--to", Dir("v1"), "--number", "3", Dir("down")},
         1,
         {"older than", "--allow-downgrade"},
         {"wrote"}},
        {{"package", "build", "--from", Dir("v2"), "--to", Dir("v1"), "--number", "3",
          "--allow-downgrade", Dir("down")},
         0,
         {"wrote"},
         {}},
        {{"package", "build", "--from", Dir("v1"), "--to", Dir("bare"), "--number", "2",
          Dir("bare-out")},
         0,
         {"warning: " + Dir("bare/Version.ini") + " lacks CheckVersion=3 or CurrentVersion"},
         {}},
        {{"release", "add", Dir("server/"), Dir("v1/readme.txt")}, 1, {"pkNNNN.patch"}, {"%"}},
        {{"client", "verify", Dir("client/"), "--against", Dir("v2/")}, 1, {"1 difference\n"}, {}},
        {{"archive", "pack", Dir("missing"), Dir("x.kah")}, 2, {"folder to pack is missing"}, {}},
        {{"release", "sign", Dir("server/"), "--key", Dir("keys/release.pub")},
         1,
         {"this is a public key"},
         {}},
        {{"release", "verify", Dir("server/"), "--pub", Dir("keys/release.key")},
         1,
         {"this is a secret key"},
         {}},
    };
    for (const Case& c : cases) {
        RunResult run = Tool(c.args);
        std::string command = c.args[0] + " " + c.args[1];
        EXPECT_EQ(run.status, c.status) << command << "\n" << run.output;
        EXPECT_EQ(run.output.find("//"), std::string::npos) << command << "\n" << run.output;
        for (const std::string& text : c.says) {
            EXPECT_NE(run.output.find(text), std::string::npos) << command << "\n" << run.output;
        }
        for (const std::string& text : c.absent) {
            EXPECT_EQ(run.output.find(text), std::string::npos) << command << "\n" << run.output;
        }
    }
}

TEST_F(OperatorMessages, ConsoleNamesAnIgnoredTestIpAndTheServerItUsesInstead) {
    PlayerEnvironment player(Dir("player"));
    struct Case {
        std::string testIp;
        bool noted;
    };
    for (const Case& c :
         {Case{"germany", true}, Case{"10.0.0.9", true}, Case{"GERMANY", false}, Case{"", false}}) {
        // No Version.ini: each run ends at once with c20, after choosing its server.
        std::string game = Dir("game-" + std::to_string(c.noted) + c.testIp);
        WriteTextFile(game + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=" + c.testIp + "\r\n");
        WriteTextFile(game + "/UpdaterURL.txt", "127.0.0.1:9/\r\n");
        RunResult run = RunProgram(KORVUN_CONSOLE_PATH, {"-C", game}, player.Variables());
        EXPECT_EQ(run.status, 1) << run.output;
        std::string note = "Korvun Updater: CONFIG.ini: TEST_IP=" + c.testIp +
                           " is not GERMANY, FRANCE or POLAND (exactly so) and is ignored; the "
                           "update server is " +
                           DefaultServer() + "\n";
        EXPECT_EQ(run.output.find(note) != std::string::npos, c.noted) << run.output;
        EXPECT_NE(run.output.find("Please install a new client.c20"), std::string::npos)
            << run.output;
    }
}

}  // namespace
}  // namespace korvun::test
