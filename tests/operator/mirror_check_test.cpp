// release check-mirror: a mirror served by nginx compared with the server tree it copies.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

class CheckMirror : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Tool({"release", "init", Server()}).status, 0);
        // The check compares bytes; what the packages hold does not matter to it.
        WriteFileBytes(Server() + "/patch/patch/pk0002.patch", std::string(300000, 'b'));
        WriteFileBytes(Server() + "/patch/patch/pk0003.patch", std::string(1000, 'c'));
        WriteFileBytes(
            Server() + "/patch/UpdateVersion.ini",
            "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=20\r\nPatchFileVersion=3\r\n");
        ASSERT_EQ(Tool({"release", "keygen", work_.Path() + "/keys"}).status, 0);
        RunResult signing =
            Tool({"release", "sign", Server(), "--key", work_.Path() + "/keys/release.key"});
        ASSERT_EQ(signing.status, 0) << signing.output;
        fs::copy(Server(), mirror_.Root(), fs::copy_options::recursive);
    }

    std::string Server() const { return work_.Path() + "/server"; }
    RunResult Check(const std::string& url) const {
        return Tool({"release", "check-mirror", Server(), url});
    }

    TempDirectory work_{"korvun-mirror"};
    NginxServer mirror_;
};

TEST_F(CheckMirror, AFaithfulCopyIsInStep) {
    RunResult check = Check(mirror_.Url("/"));
    EXPECT_EQ(check.status, 0) << check.output;
    for (const char* path :
         {"patch/UpdateVersion.ini", "patch/release.manifest", "patch/release.manifest.minisig",
          "patch/patch/pk0002.patch", "patch/patch/pk0003.patch"}) {
        EXPECT_NE(check.output.find(std::string("OK ") + path + "\n"), std::string::npos) << path;
    }
    EXPECT_NE(check.output.find("is in step with " + Server() + " (5 files)"), std::string::npos)
        << check.output;
}

TEST_F(CheckMirror, EveryDriftIsListedAndFailsTheCheck) {
    std::string changed(300000, 'b');
    changed[150000] = 'x';
    mirror_.WriteFile("patch/patch/pk0002.patch", changed);
    mirror_.WriteFile("patch/patch/pk0003.patch", std::string(999, 'c'));
    mirror_.WriteFile("patch/patch/pk0004.patch", "ahead of the tree");
    mirror_.WriteFile("patch/UpdateVersion.ini",
                      "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=20\r\nPatchFileVersion=2\r\n");
    fs::remove(mirror_.Root() + "/patch/release.manifest.minisig");

    RunResult check = Check(mirror_.Address());
    EXPECT_EQ(check.status, 1) << check.output;
    for (const std::string& line : std::vector<std::string>{
             "differs from " + Server() + " in 5 places:",
             "patch/UpdateVersion.ini: SHA-256 differs (",
             "patch/release.manifest.minisig: the mirror answers HTTP 404",
             "patch/patch/pk0002.patch: SHA-256 differs (",
             "patch/patch/pk0003.patch: 999 bytes on the mirror, 1000 in the tree",
             "patch/patch/pk0004.patch: published on the mirror but not in " + Server(),
         }) {
        EXPECT_NE(check.output.find(line), std::string::npos) << line << "\n" << check.output;
    }
    EXPECT_NE(check.output.find("OK patch/release.manifest\n"), std::string::npos);
}

TEST_F(CheckMirror, AnUnreachableMirrorOrAMissingTreeIsNoMatch) {
    RunResult down = Check("127.0.0.1:" + std::to_string(UnusedPort()) + "/");
    EXPECT_EQ(down.status, 1) << down.output;
    EXPECT_NE(down.output.find("in 1 place:"), std::string::npos) << down.output;
    EXPECT_NE(down.output.find("patch/UpdateVersion.ini: cannot be fetched from the mirror: "),
              std::string::npos)
        << down.output;
    EXPECT_EQ(
        Tool({"release", "check-mirror", work_.Path() + "/nothing", mirror_.Address()}).status, 2);
}

}  // namespace
}  // namespace korvun::test
