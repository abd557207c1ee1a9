// Which server a run starts from when the client names mirrors.
#include "update/mirror_choice.h"

#include <gtest/gtest.h>

#include "platform/stop_event.h"
#include "support/nginx_fixture.h"

namespace korvun {
namespace {

using test::MisbehavingServer;
using test::NginxServer;

// How long a request that should not have been made gets to show up in nginx's log.
constexpr std::chrono::milliseconds kSettle(300);

class MirrorChoiceTest : public ::testing::Test {
  protected:
    MirrorChoiceTest() {
        good_.WriteFile("patch/UpdateVersion.ini", "[Version]\r\nCheckVersion=3\r\n");
        session_.SetConnectTimeout(5000);
        session_.SetReceiveTimeout(5000);
    }

    std::string Closed() const { return "127.0.0.1:" + std::to_string(test::UnusedPort()); }

    NginxServer good_;
    NginxServer empty_;  // up, but without the version file: 404
    MisbehavingServer unavailable_{"unavailable"};
    InternetSession session_{"test"};
    StopEvent stop_;
};

TEST_F(MirrorChoiceTest, RefusedUnavailableAndMissingServersArePassedOver) {
    EXPECT_EQ(
        FirstAnsweringServer(
            session_, {Closed(), unavailable_.Address(), empty_.Address(), good_.Address()}, stop_),
        3u);
    EXPECT_EQ(empty_.CountRequests("/patch/UpdateVersion.ini", 1), 1u);
    // Nothing after the answering server is asked.
    EXPECT_EQ(FirstAnsweringServer(session_, {good_.Address(), empty_.Address()}, stop_), 0u);
    EXPECT_EQ(empty_.CountRequests("/patch/UpdateVersion.ini", 2, kSettle), 1u);
}

TEST_F(MirrorChoiceTest, WithoutAnAnswerOrWithOneAddressTheFirstStands) {
    EXPECT_EQ(FirstAnsweringServer(session_, {unavailable_.Address(), Closed()}, stop_), 0u);
    // One address is not asked: a run without mirrors makes no extra request.
    EXPECT_EQ(FirstAnsweringServer(session_, {good_.Address()}, stop_), 0u);
    EXPECT_EQ(good_.CountRequests("/", 1, kSettle), 0u);
    stop_.Set();
    EXPECT_EQ(FirstAnsweringServer(session_, {Closed(), good_.Address()}, stop_), 0u);
}

}  // namespace
}  // namespace korvun
