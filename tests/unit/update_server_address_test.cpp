// Choosing the update server from CONFIG.ini and UpdaterURL.txt.
#include "update/server_address.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/nginx_fixture.h"
#include "support/recording_window.h"
#include "update/update_thread.h"

namespace korvun {
namespace {

using test::GameDirectory;

class ServerAddressTest : public ::testing::Test {
  protected:
    void SelectRegion(const std::string& testIp) {
        game_.Write("CONFIG.ini", "[LOGIN]\r\nTEST_IP=" + testIp + "\r\n");
    }

    GameDirectory game_;
};

TEST_F(ServerAddressTest, WithoutConfigTheDefaultStaysAndUpdaterUrlIsNotRead) {
    game_.Write("UpdaterURL.txt", "10.1.2.3:8080");
    ServerAddressChoice choice = ChooseServerAddress();
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, DefaultServerAddress());
    // An IPv4 literal followed by "/", short enough for its fixed buffer.
    std::string def = DefaultServerAddress();
    EXPECT_LE(def.size(), 27u);
    EXPECT_EQ(def.back(), '/');
}

TEST_F(ServerAddressTest, OnlyTheThreeExactRegionNamesSelectUpdaterUrl) {
    game_.Write("UpdaterURL.txt", "10.1.2.3:8080");
    for (const char* ignored : {"germany", "\"GERMANY \"", "Poland", "10.1.2.3", ""}) {
        SelectRegion(ignored);
        ServerAddressChoice choice = ChooseServerAddress();
        EXPECT_EQ(choice.status, ServerAddressStatus::Found) << ignored;
        EXPECT_EQ(choice.address, DefaultServerAddress()) << ignored;
    }
    for (const char* region : {"GERMANY", "FRANCE", "POLAND"}) {
        SelectRegion(region);
        EXPECT_EQ(ChooseServerAddress().address, "10.1.2.3:8080") << region;
    }
}

TEST_F(ServerAddressTest, AddressIsTheFirstWordAlone) {
    SelectRegion("FRANCE");
    game_.Write("UpdaterURL.txt", "  \t\r\n  patch.example.org:81/base second words\r\n");
    ServerAddressChoice choice = ChooseServerAddress();
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, "patch.example.org:81/base");
}

TEST_F(ServerAddressTest, MissingOrWordlessUrlFileFails) {
    SelectRegion("POLAND");
    EXPECT_EQ(ChooseServerAddress().status, ServerAddressStatus::UrlFileMissing);
    game_.Write("UpdaterURL.txt", "");
    EXPECT_EQ(ChooseServerAddress().status, ServerAddressStatus::UrlFileUnreadable);
    game_.Write("UpdaterURL.txt", " \r\n\t \r\n");
    EXPECT_EQ(ChooseServerAddress().status, ServerAddressStatus::UrlFileUnreadable);
}

TEST_F(ServerAddressTest, WordThatDoesNotFitIsRefusedNotCut) {
    SelectRegion("GERMANY");
    std::string fits(kMaxServerAddressLength, 'a');
    game_.Write("UpdaterURL.txt", fits + " tail");
    ServerAddressChoice choice = ChooseServerAddress();
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, fits);

    game_.Write("UpdaterURL.txt", fits + "b");
    choice = ChooseServerAddress();
    EXPECT_EQ(choice.status, ServerAddressStatus::UrlFileUnreadable);
    EXPECT_EQ(choice.address, DefaultServerAddress());
}

TEST_F(ServerAddressTest, AddressIsSubstitutedUnchangedIntoUrls) {
    SelectRegion("GERMANY");
    game_.Write("UpdaterURL.txt", "127.0.0.1:8080");
    std::string address = ChooseServerAddress().address;
    EXPECT_EQ(address, "127.0.0.1:8080");
    EXPECT_EQ(VersionFileUrl(address), "http://127.0.0.1:8080/patch/UpdateVersion.ini");
    EXPECT_EQ(PatchUrl(address, 42), "http://127.0.0.1:8080/patch/patch/pk0042.patch");
    EXPECT_EQ(PatchFileName(7), "pk0007.patch");
    EXPECT_EQ(PatchFileName(12345), "pk12345.patch");

    // The built-in default ends in "/", so its URLs carry a doubled slash.
    std::remove("CONFIG.ini");
    EXPECT_EQ(VersionFileUrl(ChooseServerAddress().address),
              std::string("http://") + DefaultServerAddress() + "/patch/UpdateVersion.ini");

    // An address that names https keeps it; nothing is put in front.
    SelectRegion("GERMANY");
    game_.Write("UpdaterURL.txt", "https://updates.example:8443/ second-word");
    EXPECT_EQ(PatchUrl(ChooseServerAddress().address, 3),
              "https://updates.example:8443//patch/patch/pk0003.patch");
}

// A run handed a failed choice shows the "Error" box, asks the window to close and ends as
// failed; the process goes on (the front-end decides how to end).
RunOutcome RunWithChoice(test::RecordingWindow& window) {
    CUpdateThread worker(window, {ChooseServerAddress()});
    EXPECT_TRUE(worker.Start());
    worker.Join();
    return worker.Outcome();
}

TEST_F(ServerAddressTest, AFailedChoiceEndsTheRunAsFailedAfterTheBox) {
    game_.Write("Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\n");
    SelectRegion("POLAND");
    {
        test::RecordingWindow window;
        RunOutcome outcome = RunWithChoice(window);
        EXPECT_EQ(outcome.kind, RunOutcome::Kind::Failed);
        EXPECT_EQ(outcome.failure.Text(), "Can't Find UpdaterURL.txt");
        EXPECT_EQ(window.Boxes(), std::vector<std::string>{"Error: Can't Find UpdaterURL.txt"});
        EXPECT_EQ(window.CloseRequests(), 1);
    }
    game_.Write("UpdaterURL.txt", std::string(kMaxServerAddressLength + 1, 'x'));
    {
        test::RecordingWindow window;
        EXPECT_EQ(RunWithChoice(window).failure.Text(), "Can't Read UpdaterURL.txt");
        EXPECT_EQ(window.Boxes(), std::vector<std::string>{"Error: Can't Read UpdaterURL.txt"});
    }
}

}  // namespace
}  // namespace korvun
