// scripts/build-updater signs the Windows programs with the operator's code-signing
// certificate, here a self-made one, and lists the signed files' checksums; the signature is
// checked with osslsigncode, the list with sha256sum.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

const std::string kBuildUpdater = std::string(KORVUN_SOURCE_DIR) + "/scripts/build-updater";
const std::string kWindowsConsole =
    std::string(KORVUN_SOURCE_DIR) + "/build/windows/src/console/korvun-updater-console.exe";

class SignedWindowsPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"/usr/bin/osslsigncode", "/usr/bin/openssl"}) {
            if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        fs::create_directories(Dir("dist"));
        // The Windows build when the run has one; otherwise a small program of the same
        // format, so that the check costs seconds.
        if (fs::exists(kWindowsConsole)) {
            fs::copy_file(kWindowsConsole, Dir("dist/korvun-updater-console.exe"));
        } else {
            const std::string compiler = "/usr/bin/x86_64-w64-mingw32-gcc";
            if (!fs::exists(compiler)) GTEST_SKIP() << "no Windows build and no mingw-w64";
            WriteFileBytes(Dir("tiny.c"), "int main(void) { return 0; }\n");
            RunResult compiled = RunProgram(compiler, {Dir("tiny.c"), "-o", Dir("dist/tiny.exe")});
            ASSERT_EQ(compiled.status, 0) << compiled.output;
        }
        WriteFileBytes(Dir("dist/korvun-updater-console"), "the Linux program is not signed\n");
        RunResult made =
            RunProgram("/usr/bin/openssl",
                       {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", Dir("key.pem"),
                        "-out", Dir("cert.pem"), "-days", "2", "-subj",
                        "/CN=Korvun Test Code Signing", "-addext", "extendedKeyUsage=codeSigning"});
        ASSERT_EQ(made.status, 0) << made.output;
        WriteFileBytes(Dir("password.txt"), "token secret\n");
        made = RunProgram("/usr/bin/openssl",
                          {"pkcs12", "-export", "-inkey", Dir("key.pem"), "-in", Dir("cert.pem"),
                           "-out", Dir("cert.p12"), "-passout", "file:" + Dir("password.txt")});
        ASSERT_EQ(made.status, 0) << made.output;
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }

    std::vector<std::string> WindowsPrograms() const {
        std::vector<std::string> programs;
        for (const auto& entry : fs::directory_iterator(Dir("dist"))) {
            if (entry.path().extension() == ".exe") programs.push_back(entry.path().string());
        }
        return programs;
    }

    RunResult Verify(const std::string& program) const {
        return RunProgram("/usr/bin/osslsigncode",
                          {"verify", "-CAfile", Dir("cert.pem"), "-in", program});
    }

    TempDirectory work_{"korvun-codesign"};
};

TEST_F(SignedWindowsPrograms, EveryExeIsSignedAndTheChecksumsListTheSignedFiles) {
    struct Case {
        const char* name;
        std::vector<std::string> signing;
    };
    const std::vector<Case> cases = {
        {"certificate and key", {"--sign-cert", Dir("cert.pem"), "--sign-key", Dir("key.pem")}},
        {"PKCS#12 with a password",
         {"--sign-pkcs12", Dir("cert.p12"), "--sign-pass-file", Dir("password.txt")}},
    };
    ASSERT_FALSE(WindowsPrograms().empty());
    for (const std::string& program : WindowsPrograms()) {
        EXPECT_NE(Verify(program).status, 0) << program << " was signed before the test";
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--sign-only", Dir("dist"), "--product", "Korvun Test"};
        args.insert(args.end(), c.signing.begin(), c.signing.end());
        RunResult signing = RunProgram(kBuildUpdater, args);
        ASSERT_EQ(signing.status, 0) << signing.output;
        for (const std::string& program : WindowsPrograms()) {
            RunResult verified = Verify(program);
            EXPECT_EQ(verified.status, 0) << verified.output;
            EXPECT_NE(verified.output.find("Signature verification: ok"), std::string::npos)
                << verified.output;
        }
        std::string sums = ReadFileBytes(Dir("dist/SHA256SUMS"));
        EXPECT_NE(sums.find("  korvun-updater-console\n"), std::string::npos) << sums;
        RunResult checked = RunProgram(
            "/bin/sh", {"-c", "cd '" + Dir("dist") + "' && sha256sum --strict -c SHA256SUMS"});
        EXPECT_EQ(checked.status, 0) << checked.output;
    }
    // A broken key is an error, and the programs keep their last signature.
    WriteFileBytes(Dir("broken.pem"), "not a key\n");
    RunResult refused =
        RunProgram(kBuildUpdater, {"--sign-only", Dir("dist"), "--sign-cert", Dir("cert.pem"),
                                   "--sign-key", Dir("broken.pem")});
    EXPECT_NE(refused.status, 0) << refused.output;
    for (const std::string& program : WindowsPrograms()) EXPECT_EQ(Verify(program).status, 0);
}

}  // namespace
}  // namespace korvun::test
