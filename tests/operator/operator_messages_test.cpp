// What the programs tell an operator: --version (the desktop program's without a display),
// mistakes named to the point without doubled slashes, --json for scripts, and the console's
// note on an ignored TEST_IP.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

// A run of args[0] and what its output must and must not hold.
struct Expectation {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;
    std::vector<std::string> absent = {};
};

void ExpectRun(const Expectation& e, const std::map<std::string, std::string>& env = {}) {
    RunResult run = RunProgram(e.args[0], {e.args.begin() + 1, e.args.end()}, env);
    std::string what = e.args[0] + " " + e.args[1] + "\n" + run.output;
    EXPECT_EQ(run.status, e.status) << what;
    for (const std::string& text : e.says) {
        EXPECT_NE(run.output.find(text), std::string::npos) << text << " in " << what;
    }
    for (const std::string& text : e.absent) {
        EXPECT_EQ(run.output.find(text), std::string::npos) << text << " in " << what;
    }
}

// The first address the programs were built with.
std::string DefaultServer() {
    std::string list = KORVUN_EXPECTED_DEFAULT_SERVER;
    return list.substr(0, list.find(','));
}

TEST(ProgramVersion, EveryProgramSaysItsVersionKeyAndServerWithoutADisplay) {
    const std::string version = std::string(" ") + KORVUN_EXPECTED_VERSION + "\n";
    const std::string key = *KORVUN_EXPECTED_RELEASE_KEY ? "Release key: " : "Release key: none\n";
    const std::string server = "Default server: " + DefaultServer();
    std::vector<Expectation> runs = {
        {{KORVUN_TOOL_PATH, "--version"}, 0, {"korvun-tool" + version}},
        {{KORVUN_CONSOLE_PATH, "--version"}, 0, {"korvun-updater-console" + version, key, server}},
    };
#ifdef KORVUN_UPDATER_PATH
    runs.push_back(
        {{KORVUN_UPDATER_PATH, "--version"}, 0, {"korvun-updater" + version, key, server}});
    runs.push_back(
        {{KORVUN_UPDATER_PATH, "--help"}, 0, {"Usage: korvun-updater [--help] [--version]"}});
#endif
    for (const Expectation& run : runs) ExpectRun(run, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
}

class OperatorMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::string n : {"1", "2"}) {
            MakeTree(
                Dir("v" + n),
                {{"readme.txt", "release " + n},
                 {"Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=" + n + "\r\n"}},
                {{"data/a.txt", "content " + n}});
        }
        fs::copy(Dir("v2"), Dir("client"), fs::copy_options::recursive);
        WriteFileBytes(Dir("client/readme.txt"), "changed by the player");
        ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
        ASSERT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 0);
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }
    std::vector<std::string> Build(const std::string& from, const std::string& to,
                                   const std::string& out) const {
        return {KORVUN_TOOL_PATH, "package", "build",    "--from", from,
                "--to",           to,        "--number", "2",      out};
    }

    TempDirectory work_{"korvun-messages"};
};

TEST_F(OperatorMessages, EachMistakeIsNamedAndPathsHaveNoDoubledSlash) {
    MakeTree(Dir("bare"), {{"readme.txt", "no version file"}}, {{"data/a.txt", "bare"}});
    const std::string tool = KORVUN_TOOL_PATH;
    std::vector<std::string> allowed = Build(Dir("v2"), Dir("v1"), Dir("down"));
    allowed.push_back("--allow-downgrade");
    const std::vector<Expectation> runs = {
        // The output folder is made; the trailing slashes do not double in the report.
        {Build(Dir("v1/"), Dir("v2/"), Dir("out/new/")),
         0,
         {"wrote " + Dir("out/new/pk0002.patch")},
         {"lacks CheckVersion", "//"}},
        {Build(Dir("v2"), Dir("v1"), Dir("down")),
         1,
         {"older than", "--allow-downgrade"},
         {"wrote"}},
        {allowed, 0, {"wrote"}},
        {Build(Dir("v1"), Dir("bare"), Dir("bare-out")),
         0,
         {"warning: " + Dir("bare/Version.ini") + " lacks CheckVersion=3 or CurrentVersion"}},
        {{tool, "release", "add", Dir("server/"), Dir("v1/readme.txt")},
         1,
         {"pkNNNN.patch"},
         {"%"}},
        {{tool, "client", "verify", Dir("client/"), "--against", Dir("v2/")},
         1,
         {"1 difference\n"},
         {"//"}},
        {{tool, "archive", "pack", Dir("missing"), Dir("x.kah")}, 2, {"folder to pack is missing"}},
        {{tool, "release", "sign", Dir("server/"), "--key", Dir("keys/release.pub")},
         1,
         {"this is a public key"},
         {"//"}},
        {{tool, "release", "verify", Dir("server"), "--pub", Dir("keys/release.key")},
         1,
         {"this is a secret key"}},
    };
    for (const Expectation& run : runs) ExpectRun(run);
}

TEST_F(OperatorMessages, JsonOutputParsesAndSaysWhatTheTextSays) {
    NginxServer mirror;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string expression;  // Python, on the parsed object d
        std::vector<std::string> before = {};
    };
    const std::string out = Dir("out");
    const std::vector<Case> cases = {
        {{"package", "build", "--json", "--from", Dir("v1"), "--to", Dir("v2"), "--number", "2",
          out},
         0,
         "d['written'] and d['package'].endswith('/pk0002.patch') and d['bytes'] > 0 and "
         "d['loose_files_changed'] == ['readme.txt'] and "
         "d['archive_entries_changed'] == ['data\\\\a.txt'] and d['warnings'] == []"},
        {{"client", "verify", "--json", Dir("client"), "--against", Dir("v2")},
         1,
         "not d['identical'] and len(d['differences']) == 1 and d['archive_entries_compared'] == "
         "1"},
        {{"client", "verify", "--json", Dir("nowhere"), "--against", Dir("v2")}, 2, "d['error']"},
        {{"release", "verify", "--json", Dir("server"), "--pub", Dir("keys/release.pub")},
         0,
         // The key id as minisign names it in the public key's comment (no leading zeros).
         "d['ok'] and d['signature']['key_id'] in open('" + Dir("keys/release.pub") +
             "').read().split() and d['problems'] == [] and "
             "'patch/patch/pk0002.patch' in d['matched']",
         {"release", "add", Dir("server"), out + "/pk0002.patch", "--key",
          Dir("keys/release.key")}},
        {{"release", "check-mirror", "--json", Dir("server"), mirror.Url("/")},
         0,
         "d['ok'] and len(d['matched']) == 4 and 'error' not in d",
         {"/bin/cp", "-a", Dir("server/."), mirror.Root()}},
        {{"release", "check-mirror", "--json", Dir("server"), mirror.Url("/")},
         1,
         "not d['ok'] and len(d['problems']) == 1 and 'pk0002.patch' in d['problems'][0]",
         {"/bin/sh", "-c", "echo drift >> " + mirror.Root() + "/patch/patch/pk0002.patch"}},
    };
    for (const Case& c : cases) {
        if (!c.before.empty()) {
            bool tool = c.before[0][0] != '/';
            std::vector<std::string> rest(c.before.begin() + (tool ? 0 : 1), c.before.end());
            ASSERT_EQ((tool ? Tool(rest) : RunProgram(c.before[0], rest)).status, 0);
        }
        RunResult run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << run.output;
        WriteFileBytes(Dir("output.json"), run.output);
        RunResult checked =
            RunProgram("/usr/bin/python3", {"-c",
                                            "import json, sys\nd = json.load(open(sys.argv[1]))\n"
                                            "sys.exit(0 if eval(sys.argv[2]) else 1)",
                                            Dir("output.json"), c.expression});
        EXPECT_EQ(checked.status, 0) << c.expression << "\n" << run.output << checked.output;
    }
}

TEST_F(OperatorMessages, ConsoleNamesAnIgnoredTestIpAndTheServerItUsesInstead) {
    PlayerEnvironment player(Dir("player"));
    for (const std::string testIp : {"germany", "10.0.0.9", "GERMANY", ""}) {
        bool noted = testIp == "germany" || testIp == "10.0.0.9";
        // No Version.ini: each run ends at once with c20, after choosing its server.
        std::string game = Dir("game-" + testIp);
        WriteFileBytes(game + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=" + testIp + "\r\n");
        WriteFileBytes(game + "/UpdaterURL.txt", "127.0.0.1:9/\r\n");
        std::string note = "Korvun Updater: CONFIG.ini: TEST_IP=" + testIp +
                           " is not GERMANY, FRANCE or POLAND (exactly so) and is ignored; the "
                           "update server is " +
                           DefaultServer() + "\n";
        std::vector<std::string> says = {"Please install a new client.c20"}, absent;
        (noted ? says : absent).push_back(noted ? note : "TEST_IP");
        ExpectRun({{KORVUN_CONSOLE_PATH, "-C", game}, 1, says, absent}, player.Variables());
    }
}

}  // namespace
}  // namespace korvun::test
