// A small WinINet-like HTTP layer over libcurl: one session per process, a URL opened per
// request, pull-style reads of at most the caller's buffer size. Failures come back as an
// error value carrying the WinINet code and text that the updater shows to the player.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace korvun {

// WinINet error codes that the transport can produce.
enum InternetErrorCode : uint32_t {
    kInternetTimeout = 12002,                // ERROR_INTERNET_TIMEOUT
    kInternetInvalidUrl = 12005,             // ERROR_INTERNET_INVALID_URL
    kInternetUnrecognizedScheme = 12006,     // ERROR_INTERNET_UNRECOGNIZED_SCHEME
    kInternetNameNotResolved = 12007,        // ERROR_INTERNET_NAME_NOT_RESOLVED
    kInternetOperationCancelled = 12017,     // ERROR_INTERNET_OPERATION_CANCELLED
    kInternetCannotConnect = 12029,          // ERROR_INTERNET_CANNOT_CONNECT
    kInternetConnectionAborted = 12030,      // ERROR_INTERNET_CONNECTION_ABORTED
    kInternetConnectionReset = 12031,        // ERROR_INTERNET_CONNECTION_RESET
    kInternetInvalidServerResponse = 12152,  // ERROR_HTTP_INVALID_SERVER_RESPONSE
    kInternetRedirectFailed = 12156,         // ERROR_HTTP_REDIRECT_FAILED
    kInternetHttpsToHttpRedirect = 12040,    // ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR
    kInternetSecureFailure = 12175,          // ERROR_INTERNET_SECURE_FAILURE
};

struct InternetError {
    uint32_t code = 0;
    std::string text;  // the system's text for the code
    // The connection closed before any byte of an answer (what a restarting server gives).
    // Its code is the invalid-response one, as on Windows, yet unlike a reply that is no HTTP
    // it may pass by itself.
    bool closedWithoutAnswer = false;
    // The server was never reached: its name did not resolve, the connection was refused, or
    // connecting took longer than allowed. Nothing was sent to it.
    bool unreachable = false;

    static InternetError FromCode(uint32_t code);
};

// The system text of a WinINet code, as FormatMessage gives it (without the line end).
std::string InternetErrorText(uint32_t code);

class InternetSession;
class StopEvent;

// One HTTP request whose response headers have arrived. Closing (destroying) it drops the
// connection if the body has not been read to its end.
class InternetFile {
  public:
    ~InternetFile();
    InternetFile(const InternetFile&) = delete;
    InternetFile& operator=(const InternetFile&) = delete;

    // The Content-Length header of the final response, as text; nullopt when absent.
    const std::optional<std::string>& ContentLengthHeader() const { return contentLength_; }
    long StatusCode() const { return statusCode_; }
    // The final response's ETag and Last-Modified values; "" when absent.
    const std::string& ETag() const { return etag_; }
    const std::string& LastModified() const { return lastModified_; }
    // "bytes FIRST-LAST/TOTAL" of a 206 answer: FIRST and TOTAL; nullopt when absent or not
    // in that form (a total of "*" included).
    struct ContentRange {
        uint64_t first = 0;
        uint64_t total = 0;
    };
    const std::optional<ContentRange>& Range() const { return contentRange_; }

    // Copies at most size bytes of the body into buffer. Waits (up to the receive
    // time-out) until at least one byte is there or the body has ended. Returns false with
    // error set on failure (kInternetOperationCancelled once the session's stop event is
    // set); true with *read == 0 only at the end of the body.
    bool Read(void* buffer, size_t size, size_t* read, InternetError* error);

  private:
    friend class InternetSession;
    struct Transfer;
    explicit InternetFile(std::unique_ptr<Transfer> transfer);

    bool WaitForHeaders(InternetError* error);
    // Drives the transfer until the buffer has data, the transfer ended, or it failed.
    bool Fill(InternetError* error);
    bool Pump(InternetError* error);

    std::unique_ptr<Transfer> transfer_;
    std::optional<std::string> contentLength_;
    long statusCode_ = 0;
    std::string etag_;
    std::string lastModified_;
    std::optional<ContentRange> contentRange_;
};

// The bytes of a file from offset on ("Range: bytes=OFFSET-", or up to and including last),
// only if it is still the one that validator (an ETag or a Last-Modified date, when given)
// named ("If-Range"); otherwise the server sends the whole file with 200.
struct RangeRequest {
    uint64_t offset = 0;
    std::string validator;
    std::optional<uint64_t> last;
};

class InternetSession {
  public:
    static constexpr unsigned kDefaultTimeoutMs = 60000;

    // userAgent is sent with every request. Proxies come from the environment as libcurl
    // reads them (http_proxy, no_proxy, ...).
    explicit InternetSession(std::string userAgent);
    ~InternetSession();
    InternetSession(const InternetSession&) = delete;
    InternetSession& operator=(const InternetSession&) = delete;

    void SetConnectTimeout(unsigned ms) { connectTimeoutMs_ = ms; }
    // Connecting to a server this session has not reached yet waits at most this long (when
    // shorter than the connect time-out): a server that drops packets must not cost every
    // run the full time-out before another address is tried.
    static constexpr unsigned kFirstConnectTimeoutMs = 10000;
    void SetFirstConnectTimeout(unsigned ms) { firstConnectTimeoutMs_ = ms; }
    // Longest wait for any byte of a response body before a read fails, and the longest time
    // all headers of a response may take (a server that sends one header line now and then
    // must not hold the request for ever).
    void SetReceiveTimeout(unsigned ms) { receiveTimeoutMs_ = ms; }
    // Once stop is set, every wait of this session's requests (connecting, headers, body)
    // ends within kStopCheckMs with kInternetOperationCancelled. May be null.
    void SetStopEvent(const StopEvent* stop) { stop_ = stop; }
    static constexpr unsigned kStopCheckMs = 100;
    unsigned ConnectTimeout() const { return connectTimeoutMs_; }
    unsigned ReceiveTimeout() const { return receiveTimeoutMs_; }
    // Certificates of https servers are checked against the system's store, or only against
    // the authorities in this PEM file when one is set (for tests with their own authority).
    void SetCertificateAuthorityFile(std::string path) { caFile_ = std::move(path); }
    // No wait of the session's requests lasts past deadline (they fail as timed out), and a
    // request opened after it fails at once; nullopt lifts it.
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    void SetDeadline(Deadline deadline) { deadline_ = deadline; }

    // What the session's requests found out about the server that url names (its scheme, host
    // and port): true once it could not be reached before it ever was, or its certificate
    // was refused.
    bool FoundUnreachable(const std::string& url) const;
    // True once the certificate of an https server was refused, which is what a man in the
    // middle causes.
    bool CertificateRefused() const { return certificateRefused_; }

    // Sends a GET that bypasses caches, follows up to 10 redirects and returns once the
    // final response's headers have arrived; null with error set on failure. The HTTP
    // status is not judged here. Only http and https are spoken, and a request that began
    // on https never follows a redirect to plain http.
    std::unique_ptr<InternetFile> OpenUrl(const std::string& url, InternetError* error,
                                          const std::optional<RangeRequest>& range = std::nullopt);

  private:
    // Notes what the request to url showed of its server: whether a connection was made, and
    // its failure (null when it answered).
    void NoteOutcome(const std::string& url, bool connected, const InternetError* failure);

    std::string userAgent_;
    unsigned connectTimeoutMs_ = kDefaultTimeoutMs;
    unsigned firstConnectTimeoutMs_ = kFirstConnectTimeoutMs;
    Deadline deadline_;
    std::set<std::string> reached_;      // origins ("scheme://host:port") connected to
    std::set<std::string> unreachable_;  // origins never reached
    bool certificateRefused_ = false;
    unsigned receiveTimeoutMs_ = kDefaultTimeoutMs;
    const StopEvent* stop_ = nullptr;
    std::string caFile_;
};

}  // namespace korvun
