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
    ServerAddressChoice choice = ChooseServerAddress(game_.Client());
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
        ServerAddressChoice choice = ChooseServerAddress(game_.Client());
        EXPECT_EQ(choice.status, ServerAddressStatus::Found) << ignored;
        EXPECT_EQ(choice.address, DefaultServerAddress()) << ignored;
    }
    for (const char* region : {"GERMANY", "FRANCE", "POLAND"}) {
        SelectRegion(region);
        EXPECT_EQ(ChooseServerAddress(game_.Client()).address, "10.1.2.3:8080") << region;
    }
}

TEST_F(ServerAddressTest, AddressIsTheFirstWordAlone) {
    SelectRegion("FRANCE");
    game_.Write("UpdaterURL.txt", "  \t\r\n  patch.example.org:81/base second words\r\n");
    ServerAddressChoice choice = ChooseServerAddress(game_.Client());
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, "patch.example.org:81/base");
}

TEST_F(ServerAddressTest, MissingOrWordlessUrlFileFails) {
    SelectRegion("POLAND");
    EXPECT_EQ(ChooseServerAddress(game_.Client()).status, ServerAddressStatus::UrlFileMissing);
    game_.Write("UpdaterURL.txt", "");
    EXPECT_EQ(ChooseServerAddress(game_.Client()).status, ServerAddressStatus::UrlFileUnreadable);
    game_.Write("UpdaterURL.txt", " \r\n\t \r\n");
    EXPECT_EQ(ChooseServerAddress(game_.Client()).status, ServerAddressStatus::UrlFileUnreadable);
}

TEST_F(ServerAddressTest, WordThatDoesNotFitIsRefusedNotCut) {
    SelectRegion("GERMANY");
    std::string fits(kMaxServerAddressLength, 'a');
    game_.Write("UpdaterURL.txt", fits + " tail");
    ServerAddressChoice choice = ChooseServerAddress(game_.Client());
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, fits);

    game_.Write("UpdaterURL.txt", fits + "b");
    choice = ChooseServerAddress(game_.Client());
    EXPECT_EQ(choice.status, ServerAddressStatus::UrlFileUnreadable);
    EXPECT_EQ(choice.address, DefaultServerAddress());
}

TEST_F(ServerAddressTest, AddressIsSubstitutedUnchangedIntoUrls) {
    SelectRegion("GERMANY");
    game_.Write("UpdaterURL.txt", "127.0.0.1:8080");
    std::string address = ChooseServerAddress(game_.Client()).address;
    EXPECT_EQ(address, "127.0.0.1:8080");
    EXPECT_EQ(VersionFileUrl(address), "http://127.0.0.1:8080/patch/UpdateVersion.ini");
    EXPECT_EQ(PatchUrl(address, 42), "http://127.0.0.1:8080/patch/patch/pk0042.patch");
    EXPECT_EQ(PatchFileName(7), "pk0007.patch");
    EXPECT_EQ(PatchFileName(12345), "pk12345.patch");

    // The built-in default ends in "/", so its URLs carry a doubled slash.
    std::remove("CONFIG.ini");
    EXPECT_EQ(VersionFileUrl(ChooseServerAddress(game_.Client()).address),
              std::string("http://") + DefaultServerAddress() + "/patch/UpdateVersion.ini");

    // An address that names https keeps it; nothing is put in front.
    SelectRegion("GERMANY");
    game_.Write("UpdaterURL.txt", "https://updates.example:8443/ second-word");
    EXPECT_EQ(PatchUrl(ChooseServerAddress(game_.Client()).address, 3),
              "https://updates.example:8443//patch/patch/pk0003.patch");
    EXPECT_EQ(PatchUrl("HTTPS://updates.example/", 3),
              "HTTPS://updates.example//patch/patch/pk0003.patch");
}

TEST_F(ServerAddressTest, FurtherWordsAndLinesNameMirrorsInOrder) {
    SelectRegion("GERMANY");
    std::string tooLong(kMaxServerAddressLength + 1, 'm');
    game_.Write("UpdaterURL.txt", "10.0.0.1:80/ 10.0.0.2:80/\r\n\r\n  https://m3.example/ " +
                                      tooLong + "\t10.0.0.1:80/ 10.0.0.2:80/ 10.0.0.4:80/\r\n");
    ServerAddressChoice choice = ChooseServerAddress(game_.Client());
    EXPECT_EQ(choice.status, ServerAddressStatus::Found);
    EXPECT_EQ(choice.address, "10.0.0.1:80/");
    // A word that does not fit is left out, not cut; repeats are asked once.
    EXPECT_EQ(choice.mirrors,
              (std::vector<std::string>{"10.0.0.2:80/", "https://m3.example/", "10.0.0.4:80/"}));
    EXPECT_EQ(choice.Addresses().front(), "10.0.0.1:80/");
    EXPECT_EQ(choice.Addresses().size(), 4u);

    std::string many = "first";
    for (int i = 0; i < 20; ++i) many += " m" + std::to_string(i);
    game_.Write("UpdaterURL.txt", many);
    choice = ChooseServerAddress(game_.Client());
    ASSERT_EQ(choice.mirrors.size(), kMaxMirrors);
    EXPECT_EQ(choice.mirrors.back(), "m" + std::to_string(kMaxMirrors - 1));

    // The first word keeps its own rule: one that does not fit fails the file, mirrors or not.
    game_.Write("UpdaterURL.txt", tooLong + " 10.0.0.2:80/");
    EXPECT_EQ(ChooseServerAddress(game_.Client()).status, ServerAddressStatus::UrlFileUnreadable);
}

TEST_F(ServerAddressTest, BuiltInListIsSplitOnCommas) {
    EXPECT_EQ(SplitAddressList("127.0.0.1/"), std::vector<std::string>{"127.0.0.1/"});
    EXPECT_EQ(SplitAddressList(" 10.0.0.1/ ,, 10.0.0.2/,https://m.example/ ,"),
              (std::vector<std::string>{"10.0.0.1/", "10.0.0.2/", "https://m.example/"}));
    EXPECT_TRUE(SplitAddressList(" , ").empty());
    // The build's own list: its first item is the default address, the rest its mirrors.
    std::vector<std::string> all{DefaultServerAddress()};
    for (const std::string& mirror : DefaultMirrors()) all.push_back(mirror);
    EXPECT_EQ(ChooseServerAddress(game_.Client()).Addresses(), all);
}

TEST_F(ServerAddressTest, PagesFollowTheAddressScheme) {
    const std::string notice = "http://%s/notice/index.html";
    // Plain addresses give exactly the URLs they always gave, the default's doubled slash too.
    EXPECT_EQ(ServerPageUrl(notice, "127.0.0.1:8080"), "http://127.0.0.1:8080/notice/index.html");
    EXPECT_EQ(ServerPageUrl(notice, "127.0.0.1/"), "http://127.0.0.1//notice/index.html");
    EXPECT_EQ(ServerPageUrl("https://%s/", "portal.example"), "https://portal.example/");
    EXPECT_EQ(ServerPageUrl("http://www.example/home", "10.0.0.1/"), "http://www.example/home");
    // An address with its scheme brings it along instead of "http://https://".
    EXPECT_EQ(ServerPageUrl(notice, "https://updates.example:8443/"),
              "https://updates.example:8443//notice/index.html");
    EXPECT_EQ(ServerPageUrl("https://%s/", "http://plain.example"), "http://plain.example/");
    // An address that is not the URL's start is put in as it is.
    EXPECT_EQ(ServerPageUrl("http://portal.example/?server=%s", "https://u.example/"),
              "http://portal.example/?server=https://u.example/");
}

// A run handed a failed choice shows the "Error" box, asks the window to close and ends as
// failed; the process goes on (the front-end decides how to end).
RunOutcome RunWithChoice(test::RecordingWindow& window) {
    CUpdateThread worker(window, ClientDirectory("."), {ChooseServerAddress(ClientDirectory("."))});
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
