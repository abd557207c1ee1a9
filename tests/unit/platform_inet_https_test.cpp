// https in the HTTP layer: certificates checked against the trusted authorities, and a
// request that began on https never continued over plain http.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/inet.h"
#include "support/nginx_fixture.h"

namespace korvun {
namespace {

using test::NginxServer;
using test::TempDirectory;
using test::TestCertificates;

class InetHttps : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory_ = new TempDirectory("korvun-tls");
        trusted_ = new TestCertificates(test::MakeTestCertificates(directory_->Path() + "/ours"));
        stranger_ = new TestCertificates(test::MakeTestCertificates(directory_->Path() + "/other"));
        plain_ = new NginxServer();
        plain_->WriteFile("file.txt", "plain body");
        std::string redirects = "        location = /to-plain { return 302 " +
                                plain_->Url("/file.txt") + "; }\n" +
                                "        location = /to-self { return 302 /file.txt; }\n";
        secure_ =
            new NginxServer(NginxServer::Tls{trusted_->certificate, trusted_->key, redirects});
        secure_->WriteFile("file.txt", "secure body");
        foreign_ = new NginxServer(NginxServer::Tls{stranger_->certificate, stranger_->key, ""});
        foreign_->WriteFile("file.txt", "foreign body");
    }
    static void TearDownTestSuite() {
        delete foreign_;
        delete secure_;
        delete plain_;
        delete stranger_;
        delete trusted_;
        delete directory_;
    }

    // The body, or "error CODE: TEXT".
    std::string Fetch(const std::string& url) {
        InternetError error;
        std::unique_ptr<InternetFile> file = session_.OpenUrl(url, &error);
        if (!file) return "error " + std::to_string(error.code) + ": " + error.text;
        std::string body(64, '\0');
        size_t n = 0;
        if (!file->Read(body.data(), body.size(), &n, &error)) return "read error";
        return body.substr(0, n);
    }

    InternetSession session_{"Korvun Updater"};

    static TempDirectory* directory_;
    static TestCertificates* trusted_;
    static TestCertificates* stranger_;
    static NginxServer* plain_;
    static NginxServer* secure_;
    static NginxServer* foreign_;
};

TempDirectory* InetHttps::directory_ = nullptr;
TestCertificates* InetHttps::trusted_ = nullptr;
TestCertificates* InetHttps::stranger_ = nullptr;
NginxServer* InetHttps::plain_ = nullptr;
NginxServer* InetHttps::secure_ = nullptr;
NginxServer* InetHttps::foreign_ = nullptr;

TEST_F(InetHttps, CertificateFromTheTrustedAuthorityIsAcceptedAnyOtherRefused) {
    // The system's store knows neither test authority.
    const std::string refused =
        "error 12175: The server's security certificate could not be "
        "verified";
    EXPECT_EQ(Fetch(secure_->Url("/file.txt")), refused);

    session_.SetCertificateAuthorityFile(trusted_->authority);
    EXPECT_EQ(Fetch(secure_->Url("/file.txt")), "secure body");
    EXPECT_EQ(Fetch(foreign_->Url("/file.txt")), refused);
}

TEST_F(InetHttps, RedirectMayStayOnHttpsButNeverFallBackToHttp) {
    session_.SetCertificateAuthorityFile(trusted_->authority);
    EXPECT_EQ(Fetch(secure_->Url("/to-self")), "secure body");
    EXPECT_EQ(Fetch(secure_->Url("/to-plain")),
              "error 12040: The redirect would leave the secure connection for an insecure one");
    EXPECT_EQ(plain_->CountRequests("/file.txt", 0, std::chrono::milliseconds(200)), 0u);
}

}  // namespace
}  // namespace korvun
