// A client that names mirrors: a run starts from the first server that answers its version
// file, and takes everything else from there.
#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

constexpr int kCompleted = 0;

class MirrorTest : public UpdateScenario {
  protected:
    MirrorTest() {
        InstallGameArchive({{"Data\\a.dds", "a v1"}});
        WriteLocalVersion(1, "EXTRACT_END");
        PublishVersion(3, 20, 3);
        PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2"}}));
        PublishPackage(3, {{"readme.txt", "readme v3"}});
    }

    static std::string ClosedAddress() { return "127.0.0.1:" + std::to_string(UnusedPort()); }

    // The run completes, from server_, without a word about the servers passed over.
    void ExpectCompletedFromNginx() {
        ConsoleResult run = RunConsole();
        ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(LocalValue("CurrentVersion"), "3");
        EXPECT_EQ(ReadGameFile("readme.txt"), "readme v3");
        EXPECT_EQ(GameArchiveContents().at("Data/a.dds"), "a v2");
        EXPECT_GE(Requests("/patch/patch/pk0003.patch", 1), 1u);
    }
};

TEST_F(MirrorTest, FirstServerRefusingConnectionsCompletesFromTheSecond) {
    WriteGameFile("UpdaterURL.txt", ClosedAddress() + "\r\n" + server_.Address() + "\r\n");
    ExpectCompletedFromNginx();
}

TEST_F(MirrorTest, FirstServerAnswering503CompletesFromTheSecond) {
    MisbehavingServer unavailable("unavailable");
    WriteGameFile("UpdaterURL.txt", unavailable.Address() + " " + server_.Address() + "\r\n");
    ExpectCompletedFromNginx();
}

TEST_F(MirrorTest, AnAnsweringFirstServerIsUsedAndTheMirrorNeverAsked) {
    NginxServer mirror;
    WriteGameFile("UpdaterURL.txt", server_.Address() + " " + mirror.Address() + "\r\n");
    ExpectCompletedFromNginx();
    EXPECT_EQ(mirror.CountRequests("/", 1, std::chrono::milliseconds(300)), 0u);
}

// The console names the server a run moved to, on a line of its own, and only then.
TEST_F(MirrorTest, TheConsoleSaysWhichServerARunMovedTo) {
    for (bool firstDown : {true, false}) {
        SCOPED_TRACE(firstDown);
        WriteLocalVersion(1, "EXTRACT_END");
        std::string first = firstDown ? ClosedAddress() : server_.Address();
        WriteGameFile("UpdaterURL.txt", first + " " + server_.Address() + "\r\n");
        ConsoleResult run = RunConsole();
        ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
        EXPECT_EQ(run.out.find("Using the server " + server_.Address() + "\n") != std::string::npos,
                  firstDown)
            << run.out;
    }
}

}  // namespace
}  // namespace korvun::test
