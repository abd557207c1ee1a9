// The HTTP layer against a real nginx and the misbehaving server.
#include "platform/inet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/nginx_fixture.h"

namespace korvun {
namespace {

using test::MisbehavingServer;
using test::NginxServer;

class InetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        nginx_ = new NginxServer();
        misbehaving_ = new MisbehavingServer("plain", 30.0);
        nginx_->WriteFile("files/small.bin", Body());
        misbehaving_->WriteFile("files/small.bin", Body());
    }
    static void TearDownTestSuite() {
        delete misbehaving_;
        delete nginx_;
        misbehaving_ = nullptr;
        nginx_ = nullptr;
    }

    static std::string Body() {
        std::string body;
        for (int i = 0; i < 10000; ++i) body.push_back(static_cast<char>('a' + i % 26));
        return body;
    }

    static std::string MisbehavingUrl(const std::string& scenario, const std::string& path) {
        return "http://" + misbehaving_->Address(scenario) + path;
    }

    // Reads the whole body in blocks of blockSize; false when a read failed.
    static bool ReadAll(InternetFile& file, size_t blockSize, std::string* body,
                        InternetError* error) {
        std::string buffer(blockSize, '\0');
        for (;;) {
            size_t n = 0;
            if (!file.Read(buffer.data(), blockSize, &n, error)) return false;
            if (n > blockSize) {
                ADD_FAILURE() << "read " << n << " bytes into a block of " << blockSize;
                return false;
            }
            if (n == 0) return true;
            body->append(buffer.data(), n);
        }
    }

    InternetSession session_{"Korvun Updater"};
    InternetError error_;

    static NginxServer* nginx_;
    static MisbehavingServer* misbehaving_;
};

NginxServer* InetTest::nginx_ = nullptr;
MisbehavingServer* InetTest::misbehaving_ = nullptr;

// The suite is named in lower case so that `ctest -R inet` selects it.
using inet = InetTest;

TEST_F(inet, ReadsWholeBodyInBlocksNoLargerThanAsked) {
    std::unique_ptr<InternetFile> file = session_.OpenUrl(nginx_->Url("/files/small.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    EXPECT_EQ(file->StatusCode(), 200);
    ASSERT_TRUE(file->ContentLengthHeader().has_value());
    EXPECT_EQ(*file->ContentLengthHeader(), "10000");

    std::string body;
    ASSERT_TRUE(ReadAll(*file, 7, &body, &error_)) << error_.text;
    EXPECT_EQ(body, Body());
    // The end stays the end.
    char byte;
    size_t n = 1;
    EXPECT_TRUE(file->Read(&byte, 1, &n, &error_));
    EXPECT_EQ(n, 0u);
}

TEST_F(inet, ErrorStatusIsNotAFailureAndKeepsItsLength) {
    std::unique_ptr<InternetFile> file = session_.OpenUrl(nginx_->Url("/files/none.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    EXPECT_EQ(file->StatusCode(), 404);
    ASSERT_TRUE(file->ContentLengthHeader().has_value());
    std::string body;
    ASSERT_TRUE(ReadAll(*file, 2048, &body, &error_));
    EXPECT_EQ(std::to_string(body.size()), *file->ContentLengthHeader());
}

TEST_F(inet, SendsCacheBypassingRequestWithApplicationName) {
    std::unique_ptr<InternetFile> file = session_.OpenUrl(MisbehavingUrl("echo", "/x"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    std::string head;
    ASSERT_TRUE(ReadAll(*file, 2048, &head, &error_));
    EXPECT_NE(head.find("GET /echo/x HTTP/1.1\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("User-Agent: Korvun Updater\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Pragma: no-cache\r\n"), std::string::npos) << head;
}

TEST_F(inet, FollowsRedirectAndReportsTheFinalLength) {
    std::unique_ptr<InternetFile> file =
        session_.OpenUrl(MisbehavingUrl("redirect", "/files/small.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    EXPECT_EQ(file->StatusCode(), 200);
    EXPECT_EQ(file->ContentLengthHeader().value_or(""), "10000");
    std::string body;
    ASSERT_TRUE(ReadAll(*file, 2048, &body, &error_));
    EXPECT_EQ(body, Body());
}

TEST_F(inet, BodyWithoutLengthEndsAtClose) {
    std::unique_ptr<InternetFile> file =
        session_.OpenUrl(MisbehavingUrl("nolength", "/files/small.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    EXPECT_FALSE(file->ContentLengthHeader().has_value());
    std::string body;
    ASSERT_TRUE(ReadAll(*file, 2048, &body, &error_));
    EXPECT_EQ(body, Body());
}

TEST_F(inet, TransportFailuresCarryWinInetCodesAndTexts) {
    struct Case {
        std::string url;
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/", kInternetCannotConnect,
         "A connection with the server could not be established"},
        {MisbehavingUrl("garbage", "/x"), kInternetInvalidServerResponse,
         "The server returned an invalid or unrecognized response"},
        {"ftp://127.0.0.1/x", kInternetUnrecognizedScheme,
         "The URL does not use a recognized protocol"},
    };
    for (const Case& c : cases) {
        InternetError error;
        EXPECT_EQ(session_.OpenUrl(c.url, &error), nullptr) << c.url;
        EXPECT_EQ(error.code, c.code) << c.url;
        EXPECT_EQ(error.text, c.text) << c.url;
    }
}

TEST_F(inet, UnresolvableNameIs12007) {
    // .invalid never resolves (RFC 2606); the answer comes from the local resolver.
    EXPECT_EQ(session_.OpenUrl("http://korvun-update.invalid/", &error_), nullptr);
    EXPECT_EQ(error_.code, kInternetNameNotResolved);
    EXPECT_EQ(error_.text, "The server name or address could not be resolved");
}

TEST_F(inet, BodyCutShortIsConnectionAbortedAfterTheDataThatCame) {
    std::unique_ptr<InternetFile> file =
        session_.OpenUrl(MisbehavingUrl("short", "/files/small.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    std::string body;
    EXPECT_FALSE(ReadAll(*file, 2048, &body, &error_));
    EXPECT_EQ(body, Body().substr(0, 5000));
    EXPECT_EQ(error_.code, kInternetConnectionAborted);
    EXPECT_EQ(error_.text, "The connection with the server was terminated abnormally");
}

TEST_F(inet, ResetConnectionFailsTheRead) {
    std::unique_ptr<InternetFile> file =
        session_.OpenUrl(MisbehavingUrl("reset", "/files/small.bin"), &error_);
    if (!file) {
        // The reset may overtake the headers.
        EXPECT_EQ(error_.code, kInternetConnectionReset);
        return;
    }
    std::string body;
    EXPECT_FALSE(ReadAll(*file, 2048, &body, &error_));
    EXPECT_EQ(error_.code, kInternetConnectionReset) << error_.text;
}

TEST_F(inet, StalledBodyTimesOutAfterTheReceiveTimeout) {
    session_.SetReceiveTimeout(300);
    std::unique_ptr<InternetFile> file =
        session_.OpenUrl(MisbehavingUrl("stall", "/files/small.bin"), &error_);
    ASSERT_NE(file, nullptr) << error_.text;
    auto start = std::chrono::steady_clock::now();
    std::string body;
    EXPECT_FALSE(ReadAll(*file, 2048, &body, &error_));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(body.size(), 5000u);
    EXPECT_EQ(error_.code, kInternetTimeout);
    EXPECT_EQ(error_.text, "The operation timed out");
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_F(inet, SilentServerTimesOutWhileOpening) {
    session_.SetReceiveTimeout(300);
    EXPECT_EQ(session_.OpenUrl(MisbehavingUrl("silent", "/x"), &error_), nullptr);
    EXPECT_EQ(error_.code, kInternetTimeout);
}

}  // namespace
}  // namespace korvun
