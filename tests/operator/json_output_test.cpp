// --json of the checking commands: the output parses as one JSON object that says what the
// text output says, and the exit status is the one without --json.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

// Parses the JSON in file with Python's own parser and evaluates expression on it as d.
RunResult CheckJson(const std::string& file, const std::string& expression) {
    return RunProgram("/usr/bin/python3", {"-c",
                                           "import json, sys\n"
                                           "d = json.load(open(sys.argv[1]))\n"
                                           "sys.exit(0 if eval(sys.argv[2]) else 1)\n",
                                           file, expression});
}

class JsonOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned n = 1; n <= 2; ++n) {
            MakeTree(Dir("v" + std::to_string(n)), {{"readme.txt", "release " + std::to_string(n)}},
                     {{"data/a.txt", "content " + std::to_string(n)}});
        }
        fs::copy(Dir("v2"), Dir("client"), fs::copy_options::recursive);
        WriteTextFile(Dir("client/readme.txt"), "changed by the player");
        ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
        ASSERT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 0);
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }

    TempDirectory work_{"korvun-json"};
    NginxServer mirror_;
};

TEST_F(JsonOutput, EachCheckPrintsOneObjectWithItsFindings) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string expression;
        // Run before the command: makes the state the case is about.
        std::vector<std::string> before = {};
    };
    const std::string out = Dir("out");
    const std::vector<Case> cases = {
        {{"package", "build", "--json", "--from", Dir("v1"), "--to", Dir("v2"), "--number", "2",
          out},
         0,
         "d['written'] and d['package'].endswith('/pk0002.patch') and d['bytes'] > 0 and "
         "d['loose_files_changed'] == ['readme.txt'] and d['archive_entries_changed'] == "
         "['data\\\\a.txt']"},
        {{"package", "build", "--json", "--from", Dir("v2"), "--to", Dir("v2"), "--number", "3",
          out},
         1,
         "not d['written'] and 'same content' in d['error'] and d['exit'] == 1"},
        {{"client", "verify", "--json", Dir("client"), "--against", Dir("v2")},
         1,
         "not d['identical'] and len(d['differences']) == 1 and "
         "d['differences'][0].startswith('loose file differs: readme.txt') and "
         "d['archive_entries_compared'] == 1"},
        {{"client", "verify", "--json", Dir("nowhere"), "--against", Dir("v2")},
         2,
         "d['exit'] == 2 and d['error']"},
        {{"release", "verify", "--json", Dir("server"), "--pub", Dir("keys/release.pub")},
         0,
         "d['ok'] and len(d['signature']['key_id']) == 16 and d['signature']['serial'] > 0 and "
         "'patch/patch/pk0002.patch' in d['matched'] and d['problems'] == []",
         {"release", "add", Dir("server"), out + "/pk0002.patch", "--key",
          Dir("keys/release.key")}},
        {{"release", "check-mirror", "--json", Dir("server"), mirror_.Url("/")},
         0,
         "d['ok'] and len(d['matched']) == 4 and d['mirror'] and 'error' not in d",
         {"/bin/cp", "-a", Dir("server/."), mirror_.Root()}},
        {{"release", "check-mirror", "--json", Dir("server"), mirror_.Url("/")},
         1,
         "not d['ok'] and len(d['problems']) == 1 and 'pk0002.patch' in d['problems'][0]",
         {"/bin/sh", "-c", "echo drift >> '" + mirror_.Root() + "/patch/patch/pk0002.patch'"}},
    };
    for (const Case& c : cases) {
        std::string command = c.args[0] + " " + c.args[1];
        if (!c.before.empty()) {
            bool tool = c.before[0][0] != '/';
            std::vector<std::string> rest(c.before.begin() + (tool ? 0 : 1), c.before.end());
            RunResult prepared = tool ? Tool(rest) : RunProgram(c.before[0], rest);
            ASSERT_EQ(prepared.status, 0) << prepared.output;
        }
        RunResult run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << command << "\n" << run.output;
        WriteTextFile(Dir("output.json"), run.output);
        RunResult checked = CheckJson(Dir("output.json"), c.expression);
        EXPECT_EQ(checked.status, 0) << command << ": " << c.expression << "\n"
                                     << run.output << checked.output;
    }
}

}  // namespace
}  // namespace korvun::test
