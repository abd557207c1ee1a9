// Choosing the update server from CONFIG.ini and UpdaterURL.txt.
#include "update/server_address.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/message_box.h"
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
    ReadServerAddress();
    EXPECT_EQ(ServerAddress(), "127.0.0.1:8080");
    EXPECT_EQ(VersionFileUrl(), "http://127.0.0.1:8080/patch/UpdateVersion.ini");
    EXPECT_EQ(PatchUrl(42), "http://127.0.0.1:8080/patch/patch/pk0042.patch");
    EXPECT_EQ(PatchFileName(7), "pk0007.patch");
    EXPECT_EQ(PatchFileName(12345), "pk12345.patch");

    // The built-in default ends in "/", so its URLs carry a doubled slash.
    std::remove("CONFIG.ini");
    ReadServerAddress();
    EXPECT_EQ(VersionFileUrl(),
              std::string("http://") + DefaultServerAddress() + "/patch/UpdateVersion.ini");

    // An address that names https keeps it; nothing is put in front.
    SelectRegion("GERMANY");
    game_.Write("UpdaterURL.txt", "https://updates.example:8443/ second-word");
    ReadServerAddress();
    EXPECT_EQ(PatchUrl(3), "https://updates.example:8443//patch/patch/pk0003.patch");
}

// The constructor is where a failed choice ends the process, after the "Error" box.
void ConstructWorker() {
    SetMessageBoxPresenter([](const std::string& text, const std::string& caption) {
        std::fprintf(stderr, "box[%s]: %s\n", caption.c_str(), text.c_str());
    });
    test::RecordingWindow window;
    CUpdateThread worker(window);
    std::fprintf(stderr, "worker constructed\n");
    std::exit(42);
}

TEST_F(ServerAddressTest, ConstructorEndsTheProcessWithExitCodeZeroAfterTheBox) {
    SelectRegion("POLAND");
    EXPECT_EXIT(ConstructWorker(), ::testing::ExitedWithCode(0),
                "box\\[Error\\]: Can't Find UpdaterURL.txt");

    game_.Write("UpdaterURL.txt", std::string(kMaxServerAddressLength + 1, 'x'));
    EXPECT_EXIT(ConstructWorker(), ::testing::ExitedWithCode(0),
                "box\\[Error\\]: Can't Read UpdaterURL.txt");

    game_.Write("UpdaterURL.txt", "127.0.0.1:1");
    EXPECT_EXIT(ConstructWorker(), ::testing::ExitedWithCode(42), "worker constructed");
}

}  // namespace
}  // namespace korvun
