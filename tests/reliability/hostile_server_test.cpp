// Hostile update servers: each misbehaviour on the version file or on a package must end the
// run with its documented outcome, lose nothing of the installed client, and leave it so that a
// run against a sound server completes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/file_io.h"
#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/zip_test_packages.h"
#include "trust/release_manifest.h"

extern char** environ;

namespace korvun::test {
namespace {

// tests/reliability/hostile_server.py with its rules, on a free port of 127.0.0.1.
std::vector<std::string> HostileServerArguments(const std::string& root,
                                                const std::vector<std::string>& rules,
                                                const std::string& log, bool etag) {
    std::vector<std::string> args = {"--root", root, "--stall", "10"};
    if (etag) args.push_back("--etag");
    if (!log.empty()) args.insert(args.end(), {"--log", log});
    for (const std::string& rule : rules) {
        args.push_back("--rule");
        args.push_back(rule);
    }
    return args;
}

class HostileServer : public ScriptServer {
  public:
    HostileServer(const std::string& root, const std::vector<std::string>& rules,
                  const std::string& log = "", bool etag = false)
        : ScriptServer(KORVUN_HOSTILE_SERVER, HostileServerArguments(root, rules, log, etag)) {}
};

struct Misbehaviour {
    const char* name;
    std::string rule;  // SUFFIX=SCENARIO
    int exitCode;
    const char* code;     // in the last message, or "" for none
    size_t versionAfter;  // CurrentVersion the run leaves
};

void PrintTo(const Misbehaviour& m, std::ostream* out) { *out << m.name; }

constexpr const char* kVersionFile = "/patch/UpdateVersion.ini";
constexpr const char* kPackage2 = "/patch/patch/pk0002.patch";
constexpr const char* kPackage3 = "/patch/patch/pk0003.patch";

std::string BlankLines() {
    std::string lines;
    for (int i = 0; i < 5 << 20; ++i) lines += "\r\n";
    return lines;
}

// What a suite shares: its scratch directory, its release on disk and the console runs' setting.
// Each suite (Suite) makes its own in SetUpTestSuite.
template <typename Suite>
class SuiteRelease : public ::testing::Test {
  protected:
    static void TearDownTestSuite() {
        delete environment_;
        delete versions_;
    }

    static inline std::string scratch_;
    static inline std::string root_;
    static inline ConsoleEnvironment* environment_ = nullptr;
    static inline std::vector<ClientTree>* versions_ = nullptr;
};

// One generated release on disk, served by each test's own server.
class HostileRelease : public SuiteRelease<HostileRelease> {
  protected:
    static void SetUpTestSuite() {
        scratch_ = MakeScratchDirectory("korvun-hostile-server");
        environment_ = new ConsoleEnvironment(scratch_);
        versions_ = new std::vector<ClientTree>(GenerateVersions(2, 11));
        root_ = scratch_ + "/root";
        PublishRelease(*versions_, root_);
        WriteFileBytes(root_ + "/garbage.bin", "This is not what you asked for.\n\x01\x02\x03");
        WriteFileBytes(root_ + "/notini.txt", "<html>PatchFileVersion: 3; CheckVersion 3</html>");
        for (const auto& [name, target] : {std::pair<const char*, const char*>{"nan.ini", "three"},
                                           {"zero.ini", "0"},
                                           {"far.ini", "2147483647"}}) {
            WriteFileBytes(root_ + "/" + name,
                           std::string("[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\n"
                                       "PatchFileVersion=") +
                               target + "\r\n");
        }
        WriteFileBytes(
            root_ + "/newupdater.ini",
            "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=21\r\nPatchFileVersion=3\r\n");
        WriteFileBytes(root_ + "/Korvun/new_updater.exe", "MZ a new updater\n");
        // Sound keys after 10 MiB of empty lines: far more than a version file ever holds.
        WriteFileBytes(root_ + "/huge.ini", BlankLines() +
                                                "[Version]\r\nCheckVersion=3\r\n"
                                                "UpdaterVersion=1\r\nPatchFileVersion=3\r\n");
    }
};

class HostileServers : public HostileRelease, public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(HostileServers, EndsWithItsOutcomeAndLosesNothing) {
    const Misbehaviour& m = GetParam();
    std::string game = scratch_ + "/game-" + m.name;
    HostileServer hostile(root_, {m.rule});
    InstallClient(versions_->front(), 1, game, hostile.Address());

    // Transient failures are retried before they end the run; short pauses keep that quick.
    RunResult run = RunConsole(
        *environment_, game, {"KORVUN_TEST_TIMEOUT_MS=2000", "KORVUN_TEST_RETRY_PAUSE_MS=50"}, 90);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.exitCode, m.exitCode) << run.err;
    std::string message = LastStatus(run.out);
    if (*m.code) {
        ASSERT_GE(message.size(), std::string(m.code).size()) << run.out << run.err;
        EXPECT_EQ(message.substr(message.size() - std::string(m.code).size()), m.code)
            << run.out << run.err;
    } else {
        EXPECT_NE(message.find("Completed"), std::string::npos) << run.out << run.err;
    }
    EXPECT_EQ(ReadCurrentVersion(game), std::to_string(m.versionAfter));
    std::string why;
    EXPECT_TRUE(ClientAtLeast(game, *versions_, m.versionAfter - 1, &why)) << why;
    std::string check;
    EXPECT_TRUE(ArchiveCheckPasses(game, &check)) << check;

    // Pointed at a sound server, the same client completes.
    HostileServer sound(root_, {});
    WriteFileBytes(game + "/UpdaterURL.txt", sound.Address() + "\r\n");
    RunResult clean = RunConsole(*environment_, game, {}, 60);
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    std::vector<std::string> differences = CompareClient(game, versions_->back());
    EXPECT_TRUE(differences.empty()) << differences.front();
    RemoveTree(game);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kAddressSpaceMiB = 0;  // the sanitizer's shadow memory needs terabytes
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kAddressSpaceMiB = 0;
#else
constexpr size_t kAddressSpaceMiB = 768;
#endif
#else
constexpr size_t kAddressSpaceMiB = 768;
#endif

// The INI reader kept two strings per line: a 10 MiB Version.ini of empty lines took about a
// gigabyte, and under an address-space limit the worker ended with an uncaught bad_alloc.
TEST_F(HostileServers, LargeLocalIniFilesCostTheirSizeAndComplete) {
    std::string game = scratch_ + "/game-large-ini";
    HostileServer sound(root_, {});
    InstallClient(versions_->front(), 1, game, sound.Address());
    for (const char* name : {"/Version.ini", "/CONFIG.ini"}) {
        WriteFileBytes(game + name, BlankLines() + ReadFileBytes(game + name));
    }
    RunResult run = RunConsole(*environment_, game, {}, 90, kAddressSpaceMiB);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadCurrentVersion(game), "3");
    std::vector<std::string> differences = CompareClient(game, versions_->back());
    EXPECT_TRUE(differences.empty()) << differences.front();
    RemoveTree(game);
}

// A symbolic link planted where the updater puts a download (the version file, a package, the
// new updater) got the server's bytes written to wherever it pointed.
TEST_F(HostileServers, PlantedLinksReceiveNothing) {
    const std::string outside = scratch_ + "/outside.txt";
    for (const auto& [name, rule] :
         {std::pair<std::string, std::string>{"UpdateVersion.ini", ""},
          {"pk0002.patch", ""},
          {"new_updater.exe", std::string(kVersionFile) + "=replace:newupdater.ini"}}) {
        SCOPED_TRACE(name);
        std::string game = scratch_ + "/game-link";
        HostileServer server(
            root_, rule.empty() ? std::vector<std::string>{} : std::vector<std::string>{rule});
        InstallClient(versions_->front(), 1, game, server.Address());
        WriteFileBytes(game + "/game.exe", "MZ the game\n");
        WriteFileBytes(outside, "outside\n");
        ASSERT_EQ(::symlink(outside.c_str(), (game + "/" + name).c_str()), 0);
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_NE(LastStatus(run.out).find("c32"), std::string::npos) << run.out;
        EXPECT_EQ(ReadFileBytes(outside), "outside\n");
        EXPECT_EQ(ReadCurrentVersion(game), "1");
        RemoveTree(game);
    }
}

// With a target far ahead and a server that answers every package, the sizes of all pending
// packages were asked before anything else: one run scans at most 1,000 of them, then goes on
// with what it found (here a package that is no ZIP, so the run ends at its extraction).
TEST_F(HostileServers, ASizeScanEndsAtItsBound) {
    std::string game = scratch_ + "/game-scan";
    const std::string log = scratch_ + "/scan.log";
    std::remove(log.c_str());
    HostileServer server(root_,
                         {std::string(kVersionFile) + "=replace:far.ini", ".patch=sized:100"}, log);
    InstallClient(versions_->front(), 1, game, server.Address());
    RunResult run = RunConsole(*environment_, game, {}, 120);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(LastStatus(run.out), "Extraction Failedc12") << run.out;
    std::string requests = ReadFileBytes(log);
    EXPECT_NE(requests.find("pk1001.patch"), std::string::npos);
    EXPECT_EQ(requests.find("pk1002.patch"), std::string::npos);
    RemoveTree(game);
}

// A stop request (SIGTERM) must end the run as stopped within a second in every wait on the
// network: the headers of a server that sends one line now and then, a body that stalls, and
// the size scan of a target far ahead.
struct StopPhase {
    const char* name;
    std::vector<std::string> rules;
    std::string awaited;  // the server's log line for the request of that phase
    int occurrence;       // which time it is requested (the size scan asks each package first)
    double settle;        // seconds into the phase before the signal
};

void PrintTo(const StopPhase& phase, std::ostream* out) { *out << phase.name; }

class StopInNetworkWaits : public HostileRelease,
                           public ::testing::WithParamInterface<StopPhase> {};

size_t Occurrences(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

TEST_P(StopInNetworkWaits, EndsAsStoppedWithinASecond) {
    const StopPhase& phase = GetParam();
    std::string game = scratch_ + "/game-stop-" + phase.name;
    const std::string log = game + ".log";
    std::remove(log.c_str());
    HostileServer server(root_, phase.rules, log);
    InstallClient(versions_->front(), 1, game, server.Address());

    const std::string out = game + ".out", err = game + ".err";
    // Time-outs far longer than the test, so that only the stop can end the wait.
    pid_t pid = StartConsole(*environment_, game, {"KORVUN_TEST_TIMEOUT_MS=60000"}, out, err);
    auto started = std::chrono::steady_clock::now();
    while (Occurrences(ReadFileBytes(log), phase.awaited + "\n") <
               static_cast<size_t>(phase.occurrence) &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(Occurrences(ReadFileBytes(log), phase.awaited + "\n"),
              static_cast<size_t>(phase.occurrence));
    std::this_thread::sleep_for(std::chrono::duration<double>(phase.settle));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    RunResult run = WaitConsole(pid, out, err, 30);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_LT(run.seconds, 1.0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadCurrentVersion(game), "1");
    RemoveTree(game);
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, StopInNetworkWaits,
    ::testing::Values(StopPhase{"version_headers",
                                {std::string(kVersionFile) + "=header-trickle"},
                                std::string("header-trickle ") + kVersionFile,
                                1,
                                1.0},
                      StopPhase{"version_body_stalled",
                                {std::string(kVersionFile) + "=trickle-stall:1"},
                                std::string("trickle-stall:1 ") + kVersionFile,
                                1,
                                1.5},
                      StopPhase{"package_body_stalled",
                                {std::string(kPackage2) + "=trickle-stall:1"},
                                std::string("trickle-stall:1 ") + kPackage2,
                                2,
                                1.5},
                      StopPhase{
                          "size_scan",
                          {std::string(kVersionFile) + "=replace:far.ini", ".patch=sized:100"},
                          "sized:100 /patch/patch/pk0050.patch",
                          1,
                          0.2}),
    [](const ::testing::TestParamInfo<StopPhase>& info) { return info.param.name; });

// A region whose UpdaterURL.txt is missing or unusable cannot reach its server: the box said so,
// yet the console exited 0, which means completed.
TEST_F(HostileServers, AnUnusableServerAddressFileFailsTheRun) {
    HostileServer server(root_, {});
    const std::string word600(600, 'w');
    for (const auto& [content, box] :
         {std::pair<const char*, const char*>{nullptr, "Can't Find UpdaterURL.txt"},
          {"", "Can't Read UpdaterURL.txt"},
          {"\r\n\r\n\n", "Can't Read UpdaterURL.txt"},
          {word600.c_str(), "Can't Read UpdaterURL.txt"}}) {
        SCOPED_TRACE(content == nullptr ? "missing" : std::to_string(std::strlen(content)));
        std::string game = scratch_ + "/game-url";
        InstallClient(versions_->front(), 1, game, server.Address());
        if (content == nullptr) {
            std::remove((game + "/UpdaterURL.txt").c_str());
        } else {
            WriteFileBytes(game + "/UpdaterURL.txt", content);
        }
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_NE(run.err.find(box), std::string::npos) << run.err;
        EXPECT_EQ(ReadCurrentVersion(game), "1");
        RemoveTree(game);
    }
}

// "HTTP://host/" was taken for a bare address and asked for as "http://HTTP://host/...": as the
// address and as a mirror after a dead one, an upper-case scheme names the server.
TEST_F(HostileServers, UpperCaseSchemesNameTheServer) {
    HostileServer server(root_, {});
    const std::string upper = "HTTP://" + server.Address() + "/";
    for (const std::string& words : {upper, "127.0.0.1:1/ " + upper}) {
        SCOPED_TRACE(words);
        std::string game = scratch_ + "/game-scheme";
        InstallClient(versions_->front(), 1, game, words);
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadCurrentVersion(game), "3");
        RemoveTree(game);
    }
}

// A FIFO planted under a name the updater reads blocked its open for good, past SIGTERM. Each
// now ends the run the way an unreadable file there does, in seconds.
TEST_F(HostileServers, PlantedFifosAreNotWaitedFor) {
    HostileServer server(root_, {});
    struct Planted {
        const char* name;
        size_t installed;  // the version the client is at
        int exitCode;
        const char* said;  // in the output
    };
    for (const Planted& planted :
         {Planted{"pk0002.patch.validator", 1, 0, "Completed"},
          Planted{"CONFIG.ini", 1, 1, "c25"},  // the built-in server, which is closed
          Planted{"Version.ini", 1, 1, "c20"},
          Planted{"UpdaterURL.txt", 1, 1, "Can't Find UpdaterURL.txt"},
          Planted{"delete.lst", 3, 0, "Completed"}, Planted{"data.kaf.journal", 1, 1, "c45"}}) {
        SCOPED_TRACE(planted.name);
        std::string game = scratch_ + "/game-fifo";
        InstallClient((*versions_)[planted.installed - 1], static_cast<uint32_t>(planted.installed),
                      game, server.Address());
        std::string path = game + "/" + planted.name;
        std::remove(path.c_str());
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        RunResult run = RunConsole(*environment_, game, {}, 30);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, planted.exitCode) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(planted.said), std::string::npos) << run.out << run.err;
        RemoveTree(game);
    }
}

// A connection closed before any answer (libcurl's "empty reply", as a restarting nginx gives)
// was not retried: the package's download ended in c30, the continuation of a cut one in c23-1,
// and a first, quiet attempt at the version file showed its failure although the second one
// worked. Each is retried now, and a run that completes shows nothing of it.
TEST_F(HostileServers, AConnectionClosedBeforeAnswerIsRetried) {
    for (const std::string& rule : {std::string(kVersionFile) + "=close+close+close+close+plain",
                                    std::string(kPackage2) + "=close+plain",  // the size scan
                                    std::string(kPackage2) + "=plain+close+plain",
                                    std::string(kPackage2) + "=plain+cut:100+close+plain"}) {
        SCOPED_TRACE(rule);
        std::string game = scratch_ + "/game-closed";
        HostileServer server(root_, {rule});
        InstallClient(versions_->front(), 1, game, server.Address());
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.find("Download Failed"), std::string::npos) << run.out;
        EXPECT_EQ(ReadCurrentVersion(game), "3");
        RemoveTree(game);
    }
}

// A cut download continued with "Range: bytes=2000-" and answered with a correct 206 for
// another place (a cache serving larger blocks may) was written from byte 0 and kept. A part
// that starts within the bytes held goes at its own offset; one past them, or without a place,
// sends the client back to the whole file.
TEST_F(HostileServers, APartForAnotherRangeGoesAtItsOwnOffset) {
    ASSERT_GT(ReadFileBytes(root_ + kPackage2).size(), 4000u);
    // The size scan and the size query of the download come first.
    for (const char* part : {"range-from:1000", "range-from:2000", "range-from:2500"}) {
        SCOPED_TRACE(part);
        std::string game = scratch_ + "/game-range";
        HostileServer server(root_, {std::string(kPackage2) + "=plain+plain+cut:2000+" + part}, "",
                             true);
        InstallClient(versions_->front(), 1, game, server.Address());
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        std::vector<std::string> differences = CompareClient(game, versions_->back());
        EXPECT_TRUE(differences.empty()) << differences.front();
        RemoveTree(game);
    }
}

// Without a release key, a server that lacked pk0003 ended the run "Update Completed" at
// version 1 although a mirror had it. With several addresses, a package is missing only when
// every address lacks it (then the rule of a missing package stands: nothing is fetched); the
// run goes on with the address that has it.
TEST_F(HostileServers, APackageIsMissingOnlyWhenEveryAddressLacksIt) {
    const std::string lacks = std::string(kPackage3) + "=empty404";
    HostileServer primary(root_, {lacks});
    for (const auto& [mirrorRules, versionAfter] :
         {std::pair<std::vector<std::string>, size_t>{{}, 3}, {{lacks}, 1}}) {
        SCOPED_TRACE(versionAfter);
        HostileServer mirror(root_, mirrorRules);
        std::string game = scratch_ + "/game-mirror-has";
        InstallClient(versions_->front(), 1, game, primary.Address() + " " + mirror.Address());
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadCurrentVersion(game), std::to_string(versionAfter));
        std::string why;
        EXPECT_TRUE(ClientAtLeast(game, *versions_, versionAfter - 1, &why)) << why;
        RemoveTree(game);
    }
}

// With PatchFileVersion=1500 a run applied packages 2-1001 and ended "Update Completed": the
// bound of one size scan ended the run. It goes on to the target window by window, each
// scanned once the one before is applied (a window of 10 stands for 1,000).
TEST_F(HostileServers, AClientFarBehindIsBroughtUpWindowByWindow) {
    const std::string root = scratch_ + "/root-windows", log = scratch_ + "/windows.log";
    WriteFileBytes(root + kVersionFile,
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=26\r\n");
    std::filesystem::create_directories(root + "/patch/patch");
    for (uint32_t n = 2; n <= 26; ++n) {
        WriteWithLibzip(root + "/patch/patch/pk" + std::to_string(10000 + n).substr(1) + ".patch",
                        {{"window.txt", std::to_string(n)}});
    }
    std::string game = scratch_ + "/game-windows";
    HostileServer server(root, {}, log);
    InstallClient(versions_->front(), 1, game, server.Address());
    RunResult run = RunConsole(*environment_, game, {"KORVUN_TEST_PACKAGES_PER_SCAN=10"}, 60);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(LastStatus(run.out).find("Update Completed"), std::string::npos) << run.out;
    EXPECT_EQ(ReadCurrentVersion(game), "26");
    EXPECT_EQ(ReadFileBytes(game + "/window.txt"), "26");
    std::string requests = ReadFileBytes(log);
    EXPECT_LT(requests.rfind("pk0011"), requests.find("pk0012"));
    EXPECT_LT(requests.rfind("pk0021"), requests.find("pk0022"));
    RemoveTree(game);
}

// A server that sent a status line and then a header every 0.5 s held the run for more than five
// minutes: each attempt at the version file had its time-out and its retries. The phase as a
// whole has one bound, and ends with one message.
TEST_F(HostileServers, AHeaderTrickleEndsTheVersionFilePhaseAtItsBound) {
    std::string game = scratch_ + "/game-trickle-bound";
    HostileServer server(root_, {std::string(kVersionFile) + "=header-trickle"});
    InstallClient(versions_->front(), 1, game, server.Address());
    RunResult run =
        RunConsole(*environment_, game,
                   {"KORVUN_TEST_TIMEOUT_MS=2000", "KORVUN_TEST_VERSION_FILE_LIMIT_MS=5000"}, 60);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(LastStatus(run.out), "Download Failed: Cannot read the file.c25") << run.out;
    EXPECT_EQ(Occurrences(run.out, "Download Failed"), 1u) << run.out;
    EXPECT_EQ(Occurrences(run.err, "The operation timed out"), 1u) << run.err;
    EXPECT_TRUE(run.seconds > 4.5 && run.seconds < 7.5) << run.seconds;
    RemoveTree(game);
}

// A server that could not be reached cost two rounds of retries: the second attempt at the
// version file had retries of its own. One round, one message.
TEST_F(HostileServers, ADeadServerCostsOneRoundAndOneMessage) {
    std::string game = scratch_ + "/game-dead";
    InstallClient(versions_->front(), 1, game, "127.0.0.1:" + std::to_string(UnusedPort()));
    RunResult run = RunConsole(*environment_, game, {}, 60);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    for (const char* line : {"(1/3)\n", "(2/3)\n", "(3/3)\n", "file.c25\n"}) {
        EXPECT_EQ(Occurrences(run.out, line), 1u) << run.out;
    }
    EXPECT_EQ(Occurrences(run.err, "could not be established"), 1u) << run.err;
    RemoveTree(game);
}

// A server whose queue of connections is full never finishes a handshake: the run waits in
// connecting, where again only the stop can end the wait.
class FullListenQueue {
  public:
    FullListenQueue() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        // Never accepted: these fill the queue, and later handshakes get no answer.
        for (int& filler : fillers_) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            (void)::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
        }
    }
    ~FullListenQueue() {
        for (int filler : fillers_) ::close(filler);
        ::close(listener_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Whether process pid has a socket whose handshake with this server is under way.
    bool Connecting(pid_t pid) const {
        std::set<std::string> inodes;
        std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
            std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            if (target.rfind("socket:[", 0) == 0)
                inodes.insert(target.substr(8, target.size() - 9));
        }
        // /proc/net/tcp: "sl local rem st ... inode"; SYN_SENT is state 02.
        std::istringstream table(ReadFileBytes("/proc/" + std::to_string(pid) + "/net/tcp"));
        char remote[16];
        std::snprintf(remote, sizeof remote, ":%04X", port_);
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string slot, local, rem, state, skip, inode;
            fields >> slot >> local >> rem >> state;
            for (int i = 0; i < 5; ++i) fields >> skip;
            fields >> inode;
            if (rem.size() > 5 && rem.compare(rem.size() - 5, 5, remote) == 0 && state == "02" &&
                inodes.count(inode)) {
                return true;
            }
        }
        return false;
    }

  private:
    int listener_ = -1;
    int fillers_[3] = {-1, -1, -1};
    uint16_t port_ = 0;
};

using StopWhileConnecting = HostileRelease;

TEST_F(StopWhileConnecting, EndsAsStoppedWithinASecond) {
    FullListenQueue server;
    std::string game = scratch_ + "/game-stop-connecting";
    InstallClient(versions_->front(), 1, game, server.Address());
    const std::string out = game + ".out", err = game + ".err";
    pid_t pid = StartConsole(*environment_, game, {"KORVUN_TEST_TIMEOUT_MS=60000"}, out, err);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server.Connecting(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(server.Connecting(pid)) << "the run never began to connect";
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the run ended without its server";
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    RunResult run = WaitConsole(pid, out, err, 30);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_LT(run.seconds, 1.0) << run.out << run.err;
    EXPECT_EQ(ReadCurrentVersion(game), "1");
    RemoveTree(game);
}

// A primary that dropped packets cost every run the full connect time-out, nine dead addresses
// about 17 minutes: the choice connected with the full time-out, then the run tried the first
// again with its retries. A first connection is short, and a dead address is not asked again
// (1 s against a full 60 s stands for 10 s).
using DeadAddresses = HostileRelease;

TEST_F(DeadAddresses, CostOneShortConnectionEach) {
    HostileServer sound(root_, {});
    FullListenQueue a, b, c;
    for (const std::string& words : {a.Address() + " " + b.Address() + " " + c.Address(),
                                     a.Address() + " " + sound.Address()}) {
        SCOPED_TRACE(words);
        std::string game = scratch_ + "/game-dead-addresses";
        InstallClient(versions_->front(), 1, game, words);
        RunResult run =
            RunConsole(*environment_, game,
                       {"KORVUN_TEST_TIMEOUT_MS=60000", "KORVUN_TEST_FIRST_CONNECT_MS=1000"}, 30);
        ASSERT_FALSE(run.timedOut);
        if (words.find(sound.Address()) != std::string::npos) {
            EXPECT_EQ(ReadCurrentVersion(game), "3") << run.out << run.err;
            EXPECT_LT(run.seconds, 10.0);
        } else {
            EXPECT_EQ(LastStatus(run.out), "Download Failed: Cannot read the file.c25") << run.out;
            EXPECT_EQ(Occurrences(run.err, "The operation timed out"), 1u) << run.err;
            EXPECT_EQ(run.out.find("Retrying"), std::string::npos) << run.out;
            EXPECT_LT(run.seconds, 3 * 1.0 + 2.5);
        }
        RemoveTree(game);
    }
}

// A client built with the tests' release key, against a release signed as the operator signs.
class SignedHostileRelease : public SuiteRelease<SignedHostileRelease> {
  protected:
    static void SetUpTestSuite() {
        scratch_ = MakeScratchDirectory("korvun-hostile-signed");
        environment_ = new ConsoleEnvironment(scratch_);
        environment_->SetProgram(SignedConsoleProgram());
        versions_ = new std::vector<ClientTree>(GenerateVersions(2, 17));
        root_ = scratch_ + "/root";
        PublishRelease(*versions_, root_);
        RunResult signing = RunProgram({ToolProgram(), "release", "sign", root_, "--key",
                                        TrustKeys() + "/signing/release.key"});
        ASSERT_EQ(signing.exitCode, 0) << signing.out << signing.err;
    }
};

// A 500 or an nginx 404 page for the manifest was judged as signed text (c53, "may be behind a
// hostile network"), a 500 for the signature as a damaged one (c51), and nothing of either was
// retried. An error status cannot fetch the release (c50); what may pass is retried.
TEST_F(SignedHostileRelease, ErrorAnswersForTheManifestCannotFetchAndAreRetried) {
    const std::string manifest = "/patch/release.manifest", signature = manifest + ".minisig";
    struct Answer {
        std::string rule;
        const char* ending;  // the last status line's code, or "" for completed
    };
    for (const Answer& answer :
         {Answer{manifest + "=status404", "c50"}, Answer{manifest + "=status500", "c50"},
          Answer{signature + "=status500", "c50"}, Answer{manifest + "=status500+plain", ""},
          Answer{manifest + "=close+plain", ""}, Answer{signature + "=reset+plain", ""}}) {
        SCOPED_TRACE(answer.rule);
        std::string game = scratch_ + "/game-manifest";
        HostileServer server(root_, {answer.rule});
        InstallClient(versions_->front(), 1, game, server.Address());
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        std::string message = LastStatus(run.out);
        if (*answer.ending) {
            EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
            EXPECT_EQ(message, "Download Failed: Cannot read the release signature.c50") << run.out;
            EXPECT_EQ(ReadCurrentVersion(game), "1");
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_EQ(ReadCurrentVersion(game), "3");
        }
        RemoveTree(game);
    }
}

// A client with a release key holding gigabytes of a package took seconds to stop: the proof of
// the bytes already on disk never looked at the stop event.
TEST_F(SignedHostileRelease, AStopEndsTheProofOfAPartialPackage) {
    const uint64_t held = uint64_t{8} << 30, size = held + 4096;
    const std::string root = scratch_ + "/root-large";
    WriteFileBytes(root + "/patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    std::optional<FileDigest> versionFile = DigestFile(root + "/patch/UpdateVersion.ini");
    ASSERT_TRUE(versionFile);
    std::string manifest =
        FormatManifest({{"patch/UpdateVersion.ini", versionFile->size, versionFile->sha256},
                        {"patch/patch/pk0002.patch", size, Sha256Digest{}}});
    std::optional<MinisignSecretKey> key =
        ParseSecretKey(ReadFileBytes(TrustKeys() + "/signing/release.key"), nullptr);
    ASSERT_TRUE(key);
    ReleaseStamp stamp{1, static_cast<int64_t>(std::time(nullptr)) + 3600};
    WriteFileBytes(root + "/" + kManifestPath, manifest);
    WriteFileBytes(root + "/" + kManifestSignaturePath,
                   FormatSignatureFile(SignMessage(*key, manifest, FormatReleaseStamp(stamp), "")));

    const std::string log = scratch_ + "/large.log";
    HostileServer server(root, {std::string(kPackage2) + "=announce:" + std::to_string(size)}, log);
    std::string game = scratch_ + "/game-large";
    InstallClient(versions_->front(), 1, game, server.Address());
    // Held bytes that cost no disk: a sparse file reads as fast as memory, still seconds.
    WriteFileBytes(game + "/pk0002.patch", "");
    ASSERT_EQ(::truncate((game + "/pk0002.patch").c_str(), static_cast<off_t>(held)), 0);
    WriteFileBytes(game + "/pk0002.patch.validator", std::to_string(size) + "\n\"v\"\n");

    const std::string out = game + ".out", err = game + ".err";
    pid_t pid = StartConsole(*environment_, game, {}, out, err);
    // The second size query of the package is the download's; the proof follows at once.
    auto started = std::chrono::steady_clock::now();
    while (Occurrences(ReadFileBytes(log), kPackage2) < 2 &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(Occurrences(ReadFileBytes(log), kPackage2), 2u);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    RunResult run = WaitConsole(pid, out, err, 60);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_LT(run.seconds, 1.0) << run.out << run.err;
    // What was held stays for the next run.
    EXPECT_EQ(FileSize(game + "/pk0002.patch").value_or(0), held);
    RemoveTree(game);
}

// With a release key, a manifest that lists pk0003 and a server that answers its size query
// with an empty 404: the run lowered the target and ended "Update Completed" at its old
// version, on every run. A signed package is never missing: another address that has it is
// used, and without one the run fails.
TEST_F(SignedHostileRelease, ASignedPackageNoServerHasIsNeverMissing) {
    HostileServer primary(root_, {std::string(kPackage3) + "=empty404"});
    HostileServer mirror(root_, {});
    for (const std::string& words :
         {primary.Address(), primary.Address() + " " + mirror.Address()}) {
        SCOPED_TRACE(words);
        std::string game = scratch_ + "/game-withheld";
        InstallClient(versions_->front(), 1, game, words);
        RunResult run = RunConsole(*environment_, game, {}, 60);
        ASSERT_EQ(run.signal, 0) << run.err;
        if (words == primary.Address()) {
            EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
            EXPECT_EQ(LastStatus(run.out),
                      "Download Failed: pk0003.patch Signed but not on the server.c59");
            EXPECT_EQ(ReadCurrentVersion(game), "1");
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_EQ(ReadCurrentVersion(game), "3");
        }
        RemoveTree(game);
    }
}

// An https primary whose certificate was refused (a man in the middle) was passed over for a
// plain http mirror, and the update completed over http without a word. After a refused
// certificate only https addresses serve the run; without one it ends with the connection
// message. The plain mirror is never asked.
TEST_F(SignedHostileRelease, ARefusedCertificateTurnsOnlyToHttps) {
    TestCertificates trusted = MakeTestCertificates(scratch_ + "/tls-trusted");
    TestCertificates other = MakeTestCertificates(scratch_ + "/tls-other");
    NginxServer impostor(NginxServer::Tls{other.certificate, other.key, ""});
    NginxServer secure(NginxServer::Tls{trusted.certificate, trusted.key, ""});
    for (const NginxServer* served : {&impostor, &secure}) {
        std::filesystem::copy(root_, served->Root(), std::filesystem::copy_options::recursive);
    }
    const std::string log = scratch_ + "/plain.log";
    HostileServer plain(root_, {}, log);
    const std::string words = "https://" + impostor.Address() + "/ " + plain.Address();
    for (const std::string& mirror : {std::string(), " https://" + secure.Address() + "/"}) {
        SCOPED_TRACE(mirror);
        std::string game = scratch_ + "/game-certificate";
        InstallClient(versions_->front(), 1, game, words + mirror);
        RunResult run =
            RunConsole(*environment_, game, {"KORVUN_TEST_CA_FILE=" + trusted.authority}, 60);
        EXPECT_EQ(run.exitCode, mirror.empty() ? 1 : 0) << run.out << run.err;
        EXPECT_EQ(ReadCurrentVersion(game), mirror.empty() ? "1" : "3");
        if (mirror.empty()) {
            EXPECT_EQ(LastStatus(run.out), "Download Failed: Cannot read the file.c25") << run.out;
            EXPECT_EQ(Occurrences(run.err, "certificate could not be verified"), 1u) << run.err;
        }
        EXPECT_EQ(ReadFileBytes(log), "");
        RemoveTree(game);
    }
}

std::string RandomCut() {
    // A cut anywhere in the package, but seeded so that a failure can be repeated.
    std::mt19937 random(20240611);
    return "cut:" + std::to_string(1 + random() % 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, HostileServers,
    ::testing::Values(
        Misbehaviour{"version_no_length", std::string(kVersionFile) + "=nolength", 1, "c25", 1},
        // Without a length a package counts as missing: nothing is downloaded.
        Misbehaviour{"package_no_length", std::string(kPackage3) + "=nolength", 0, "", 1},
        Misbehaviour{"package_length_too_long", std::string(kPackage2) + "=longlength", 1, "c23-1",
                     1},
        Misbehaviour{"package_length_too_short", std::string(kPackage2) + "=shortlength", 1, "c12",
                     1},
        Misbehaviour{"package_cut", std::string(kPackage2) + "=" + RandomCut(), 1, "c23-1", 1},
        Misbehaviour{"package_cut_in_second", std::string(kPackage3) + "=cut:100", 1, "c23-1", 2},
        // One byte a second for longer than the receive time-out: each read is answered
        // within it, so the download goes on and completes.
        Misbehaviour{"package_trickle", std::string(kPackage2) + "=trickle:4", 0, "", 3},
        Misbehaviour{"package_trickle_then_silence", std::string(kPackage2) + "=trickle-stall:3", 1,
                     "c23-1", 1},
        Misbehaviour{"version_endless", std::string(kVersionFile) + "=endless", 1, "c25", 1},
        Misbehaviour{"package_endless_after_length", std::string(kPackage2) + "=endless-length", 0,
                     "", 3},
        Misbehaviour{"version_404_page", std::string(kVersionFile) + "=status404", 1, "c08", 1},
        Misbehaviour{"package_500_page", std::string(kPackage2) + "=status500", 1, "c12", 1},
        Misbehaviour{"version_redirect_loop", std::string(kVersionFile) + "=redirect-loop", 1,
                     "c25", 1},
        Misbehaviour{"version_not_ini", std::string(kVersionFile) + "=replace:notini.txt", 1, "c08",
                     1},
        // More than the documented limit of 1 MiB is not a version file, whatever it holds.
        Misbehaviour{"version_huge", std::string(kVersionFile) + "=replace:huge.ini", 1, "c08", 1},
        // Each header line used to renew the receive time-out: the headers never ended.
        Misbehaviour{"version_header_trickle", std::string(kVersionFile) + "=header-trickle", 1,
                     "c25", 1},
        // A target that is no positive number says nothing of the client: not a reinstall.
        Misbehaviour{"version_target_not_a_number", std::string(kVersionFile) + "=replace:nan.ini",
                     1, "c08", 1},
        Misbehaviour{"version_target_zero", std::string(kVersionFile) + "=replace:zero.ini", 1,
                     "c08", 1},
        // A transport failure while the sizes are gathered ends the run; only an answer without
        // a usable length counts as a missing package.
        Misbehaviour{"package_reset_in_size_scan", std::string(kPackage3) + "=reset", 1, "c25", 1},
        Misbehaviour{"package_closed_in_size_scan", std::string(kPackage3) + "=close", 1, "c25", 1},
        Misbehaviour{"package_redirect_to_ftp_in_size_scan",
                     std::string(kPackage3) + "=redirect-ftp", 1, "c25", 1},
        Misbehaviour{"package_not_zip", std::string(kPackage2) + "=replace:garbage.bin", 1, "c12",
                     1}),
    [](const ::testing::TestParamInfo<Misbehaviour>& info) { return info.param.name; });

}  // namespace
}  // namespace korvun::test
