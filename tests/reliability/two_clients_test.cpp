// The engine works on the client directory it is given, never on the process's current one:
// two clients in two directories, updated side by side by two workers of one process, both end
// exactly at the release.
#include <gtest/gtest.h>

#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/recording_window.h"
#include "update/update_thread.h"

namespace korvun::test {
namespace {

TEST(TwoClients, UpdatedSideBySideInOneProcessBothEndAtTheRelease) {
    std::string scratch = MakeScratchDirectory("korvun-two-clients");
    std::vector<ClientTree> versions = GenerateVersions(3, 11);
    NginxServer server;
    PublishRelease(versions, server.Root());
    const std::string games[] = {scratch + "/first", scratch + "/second"};
    for (const std::string& game : games)
        InstallClient(versions.front(), 1, game, server.Address());

    RecordingWindow firstWindow, secondWindow;
    ClientDirectory first(games[0]), second(games[1]);
    CUpdateThread firstWorker(firstWindow, first, {ChooseServerAddress(first)});
    CUpdateThread secondWorker(secondWindow, second, {ChooseServerAddress(second)});
    ASSERT_TRUE(firstWorker.Start());
    ASSERT_TRUE(secondWorker.Start());
    firstWorker.Join();
    secondWorker.Join();

    for (const auto& [worker, game] :
         {std::pair<CUpdateThread*, std::string>{&firstWorker, games[0]},
          {&secondWorker, games[1]}}) {
        SCOPED_TRACE(game);
        EXPECT_EQ(worker->Outcome().kind, RunOutcome::Kind::Completed)
            << worker->Outcome().failure.Message();
        std::vector<std::string> differences = CompareClient(game, versions.back());
        EXPECT_TRUE(differences.empty()) << differences.front();
        EXPECT_EQ(ReadCurrentVersion(game), std::to_string(versions.size()));
    }
    RemoveTree(scratch);
}

}  // namespace
}  // namespace korvun::test
