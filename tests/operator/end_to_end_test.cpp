// Five generated releases, built into packages and published with korvun-tool, served by
// nginx and applied by korvun-updater-console; client verify proves the result byte for byte.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

class EndToEnd : public ::testing::Test {
  protected:
    // bulk: bytes of an incompressible entry replaced in every release, to make packages
    // large enough that a run takes a while.
    void Publish(unsigned bulk = 0) {
        RunResult trees = Tool({"demo", "trees", Trees(), "--versions", "5", "--entries", "150",
                                "--loose", "20", "--bulk", std::to_string(bulk)});
        ASSERT_EQ(trees.status, 0) << trees.output;
        PublishReleases(Trees(), work_.Path() + "/packages", server_.Root(), 5);
    }

    std::string Trees() const { return work_.Path() + "/trees"; }
    std::string Tree(unsigned version) const { return Trees() + "/v" + std::to_string(version); }
    std::string Client() const { return work_.Path() + "/client"; }

    RunResult Update() {
        return RunProgram(KORVUN_CONSOLE_PATH, {"-C", Client()}, player_.Variables());
    }

    RunResult Verify(unsigned version) {
        return Tool({"client", "verify", Client(), "--against", Tree(version)});
    }

    void ExpectNothingLeftBehind() {
        for (const char* name : {"pk0002.patch", "pk0003.patch", "pk0004.patch", "pk0005.patch",
                                 "delete.lst", "update.kah", "update.kaf", "UpdateVersion.ini"}) {
            EXPECT_FALSE(fs::exists(Client() + "/" + name)) << name;
        }
    }

    TempDirectory work_{"korvun-operator"};
    PlayerEnvironment player_{work_.Path()};
    NginxServer server_;
};

TEST_F(EndToEnd, UpdatesVersion1To5ExactlyToRelease5) {
    Publish();
    MakeClient(Tree(1), Client(), 1, server_.Address());
    ASSERT_EQ(Verify(1).status, 0) << Verify(1).output;

    RunResult update = Update();
    ASSERT_EQ(update.status, 0) << update.output;
    EXPECT_NE(update.output.find("Update Completed"), std::string::npos) << update.output;

    RunResult verified = Verify(5);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(VersionValue(Client(), "CurrentVersion"), "5");
    EXPECT_EQ(VersionValue(Client(), "StartUpdate"), "UPDATE_END");
    ExpectNothingLeftBehind();
    // The check tells releases apart: release 4 differs from what the client now holds.
    EXPECT_EQ(Verify(4).status, 1);
}

TEST_F(EndToEnd, UpdatesVersion3To5WithoutFetchingOlderPackages) {
    Publish();
    MakeClient(Tree(3), Client(), 3, server_.Address());

    RunResult update = Update();
    ASSERT_EQ(update.status, 0) << update.output;
    RunResult verified = Verify(5);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(VersionValue(Client(), "CurrentVersion"), "5");
    ExpectNothingLeftBehind();
    EXPECT_EQ(server_.CountRequests("pk0002.patch"), 0u);
    EXPECT_EQ(server_.CountRequests("pk0003.patch"), 0u);
    EXPECT_GE(server_.CountRequests("pk0005.patch", 2), 2u);
}

TEST_F(EndToEnd, RunInterruptedBySigintResumesToRelease5) {
    Publish(3'000'000);
    MakeClient(Tree(1), Client(), 1, server_.Address());

    int status;
    {
        Process updater(KORVUN_CONSOLE_PATH, {"-C", Client()}, player_.Variables(),
                        work_.Path() + "/first-run.log");
        // The download of the first package has begun once its local file exists. Freezing
        // the process there makes sure the interrupt lands with three packages still to go.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!fs::exists(Client() + "/pk0002.patch") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_TRUE(fs::exists(Client() + "/pk0002.patch"));
        kill(updater.Pid(), SIGSTOP);
        kill(updater.Pid(), SIGINT);
        kill(updater.Pid(), SIGCONT);
        status = updater.Wait();
    }
    EXPECT_EQ(status, 3) << ReadFileBytes(work_.Path() + "/first-run.log");
    std::string version = VersionValue(Client(), "CurrentVersion");
    EXPECT_TRUE(version == "1" || version == "2") << version;
    EXPECT_EQ(Verify(5).status, 1);

    RunResult resumed = Update();
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    RunResult verified = Verify(5);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(VersionValue(Client(), "CurrentVersion"), "5");
    ExpectNothingLeftBehind();
}

}  // namespace
}  // namespace korvun::test
