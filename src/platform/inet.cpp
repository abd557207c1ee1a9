#include "platform/inet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/stop_event.h"

namespace korvun {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// Large enough that one pass of the transfer hands over many 2048-byte reads at once, so
// the per-read cost stays a memcpy.
constexpr long kTransferBufferSize = 256 * 1024;
// Body bytes waiting for the reader beyond this pause the transfer until the reader has taken
// them: a reader that writes to a slow disk must not make the process hold the package.
constexpr size_t kMaxBufferedBody = 512 * 1024;
constexpr long kMaxRedirects = 10;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(const char* text, size_t length, const char* prefix) {
    size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength) return false;
    for (size_t i = 0; i < prefixLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string Trimmed(const char* text, size_t length) {
    size_t begin = 0;
    while (begin < length && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (length > begin && std::isspace(static_cast<unsigned char>(text[length - 1]))) --length;
    return std::string(text + begin, length - begin);
}

uint32_t WinInetCodeFor(CURLcode result) {
    switch (result) {
        case CURLE_OPERATION_TIMEDOUT:
            return kInternetTimeout;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return kInternetNameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return kInternetCannotConnect;
        case CURLE_PARTIAL_FILE:
            return kInternetConnectionAborted;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return kInternetConnectionReset;
        case CURLE_URL_MALFORMAT:
            return kInternetInvalidUrl;
        case CURLE_TOO_MANY_REDIRECTS:
            return kInternetRedirectFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return kInternetSecureFailure;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // what libcurl says to an HTTP/0.9 (headerless) reply
        case CURLE_BAD_CONTENT_ENCODING:
            return kInternetInvalidServerResponse;
        default:
            return kInternetConnectionAborted;
    }
}

bool IsHttps(const std::string& url) {
    return StartsWithNoCase(url.c_str(), url.size(), "https://");
}

bool HasHttpScheme(const std::string& url) {
    return StartsWithNoCase(url.c_str(), url.size(), "http://") || IsHttps(url);
}

// "scheme://host:port" of url, in lower case: what one server is known by.
std::string OriginOf(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    std::string origin = url.substr(0, url.find_first_of("/?#", start));
    std::transform(origin.begin(), origin.end(), origin.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return origin;
}

// Failures that may happen before a connection exists.
bool MayBeUnreached(uint32_t code) {
    return code == kInternetTimeout || code == kInternetCannotConnect ||
           code == kInternetNameNotResolved;
}

std::string HeaderValue(const char* line, size_t length, const char* name) {
    size_t prefix = std::strlen(name);
    return Trimmed(line + prefix, length - prefix);
}

std::optional<uint64_t> ParseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// "bytes FIRST-LAST/TOTAL"; anything else says nothing usable about the range.
std::optional<InternetFile::ContentRange> ParseContentRange(const std::string& value) {
    if (!StartsWithNoCase(value.c_str(), value.size(), "bytes ")) return std::nullopt;
    std::string range = Trimmed(value.c_str() + 6, value.size() - 6);
    size_t dash = range.find('-');
    size_t slash = range.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) {
        return std::nullopt;
    }
    std::optional<uint64_t> first = ParseDecimal(range.substr(0, dash));
    std::optional<uint64_t> last = ParseDecimal(range.substr(dash + 1, slash - dash - 1));
    std::optional<uint64_t> total = ParseDecimal(range.substr(slash + 1));
    if (!first || !last || !total || *last < *first || *last >= *total) return std::nullopt;
    return InternetFile::ContentRange{*first, *total};
}

}  // namespace

std::string InternetErrorText(uint32_t code) {
    switch (code) {
        case kInternetTimeout:
            return "The operation timed out";
        case kInternetInvalidUrl:
            return "The URL is invalid";
        case kInternetUnrecognizedScheme:
            return "The URL does not use a recognized protocol";
        case kInternetNameNotResolved:
            return "The server name or address could not be resolved";
        case kInternetOperationCancelled:
            return "The operation was canceled";
        case kInternetCannotConnect:
            return "A connection with the server could not be established";
        case kInternetConnectionAborted:
            return "The connection with the server was terminated abnormally";
        case kInternetConnectionReset:
            return "The connection with the server was reset";
        case kInternetInvalidServerResponse:
            return "The server returned an invalid or unrecognized response";
        case kInternetRedirectFailed:
            return "The HTTP redirect request failed";
        case kInternetHttpsToHttpRedirect:
            return "The redirect would leave the secure connection for an insecure one";
        case kInternetSecureFailure:
            return "The server's security certificate could not be verified";
        default:
            return "Unknown error " + std::to_string(code);
    }
}

InternetError InternetError::FromCode(uint32_t code) { return {code, InternetErrorText(code)}; }

// The libcurl state of one request. Body bytes land in `buffer` as curl delivers them;
// Read() copies them out in the caller's block size.
struct InternetFile::Transfer {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    unsigned receiveTimeoutMs = InternetSession::kDefaultTimeoutMs;
    InternetSession::Deadline deadline;
    const StopEvent* stop = nullptr;
    SteadyTime started = std::chrono::steady_clock::now();
    SteadyTime lastActivity = started;

    std::vector<char> buffer;
    size_t readPosition = 0;
    uint64_t delivered = 0;  // body bytes curl has handed over so far

    bool done = false;
    CURLcode result = CURLE_OK;

    // State of the response whose headers are arriving; a followed redirect starts anew.
    long responseStatus = 0;
    bool responseHasLocation = false;
    // A request that began on https was sent elsewhere than to https; libcurl refuses to
    // follow it, and this tells that refusal apart from other unsupported replies.
    bool secure = false;
    bool insecureRedirect = false;
    bool headersComplete = false;
    std::optional<std::string> contentLength;
    std::string etag;
    std::string lastModified;
    std::optional<InternetFile::ContentRange> contentRange;
    // The body callback refused bytes (the reader is behind); curl keeps them until resumed.
    bool paused = false;

    ~Transfer() {
        if (multi && easy) curl_multi_remove_handle(multi, easy);
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
    }

    size_t Available() const { return buffer.size() - readPosition; }

    bool Connected() const {
        curl_off_t connectTime = 0;
        return curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectTime) == CURLE_OK &&
               connectTime > 0;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        size_t length = size * count;
        if (transfer->Available() >= kMaxBufferedBody) {
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (transfer->readPosition == transfer->buffer.size()) {
            transfer->buffer.clear();
            transfer->readPosition = 0;
        } else if (transfer->readPosition >= transfer->buffer.size() / 2) {
            // What was read is dropped before the buffer grows over it.
            transfer->buffer.erase(
                transfer->buffer.begin(),
                transfer->buffer.begin() + static_cast<std::ptrdiff_t>(transfer->readPosition));
            transfer->readPosition = 0;
        }
        transfer->buffer.insert(transfer->buffer.end(), data, data + length);
        transfer->delivered += length;
        transfer->lastActivity = std::chrono::steady_clock::now();
        // A body can only start after the final headers; a server that sends none (HTTP/0.9)
        // is refused by libcurl before it gets here.
        transfer->headersComplete = true;
        return length;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        size_t length = size * count;
        transfer->lastActivity = std::chrono::steady_clock::now();
        transfer->ParseHeaderLine(data, length);
        return length;
    }

    void ParseHeaderLine(const char* line, size_t length) {
        if (StartsWithNoCase(line, length, "HTTP/")) {
            const char* space = static_cast<const char*>(std::memchr(line, ' ', length));
            responseStatus = space ? std::strtol(space + 1, nullptr, 10) : 0;
            responseHasLocation = false;
            contentLength.reset();
            etag.clear();
            lastModified.clear();
            contentRange.reset();
            return;
        }
        if (Trimmed(line, length).empty()) {
            bool interim = responseStatus / 100 == 1;
            bool followed = responseStatus / 100 == 3 && responseHasLocation;
            if (!interim && !followed) headersComplete = true;
            return;
        }
        if (StartsWithNoCase(line, length, "Content-Length:")) {
            contentLength = HeaderValue(line, length, "Content-Length:");
        } else if (StartsWithNoCase(line, length, "ETag:")) {
            etag = HeaderValue(line, length, "ETag:");
        } else if (StartsWithNoCase(line, length, "Last-Modified:")) {
            lastModified = HeaderValue(line, length, "Last-Modified:");
        } else if (StartsWithNoCase(line, length, "Content-Range:")) {
            contentRange = ParseContentRange(HeaderValue(line, length, "Content-Range:"));
        } else if (StartsWithNoCase(line, length, "Location:")) {
            responseHasLocation = true;
            size_t prefix = std::strlen("Location:");
            std::string target = Trimmed(line + prefix, length - prefix);
            if (secure && !StartsWithNoCase(target.c_str(), target.size(), "https://")) {
                insecureRedirect = target.find("://") != std::string::npos;
            }
        }
    }
};

InternetFile::InternetFile(std::unique_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}

InternetFile::~InternetFile() = default;

bool InternetFile::Pump(InternetError* error) {
    Transfer& t = *transfer_;
    if (t.stop != nullptr && t.stop->IsSet()) {
        *error = InternetError::FromCode(kInternetOperationCancelled);
        return false;
    }
    uint64_t before = t.delivered;
    bool headersBefore = t.headersComplete;
    int running = 0;
    CURLMcode code = curl_multi_perform(t.multi, &running);
    if (code != CURLM_OK) {
        *error = InternetError::FromCode(kInternetConnectionAborted);
        return false;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(t.multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == t.easy) {
            t.done = true;
            t.result = message->data.result;
        }
    }
    if (t.done || t.delivered != before || t.headersComplete != headersBefore) return true;

    const auto timeout = std::chrono::milliseconds(t.receiveTimeoutMs);
    auto deadline = t.lastActivity + timeout;
    // Each header line is activity, yet the headers as a whole get one time-out.
    if (!t.headersComplete) deadline = std::min(deadline, t.started + timeout);
    if (t.deadline) deadline = std::min(deadline, *t.deadline);
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
        *error = InternetError::FromCode(kInternetTimeout);
        return false;
    }
    // Short waits, so that a stop request is seen soon whatever the server does.
    int waitMs =
        static_cast<int>(std::min<int64_t>(remaining.count(), InternetSession::kStopCheckMs));
    curl_multi_poll(t.multi, nullptr, 0, waitMs, nullptr);
    return true;
}

bool InternetFile::WaitForHeaders(InternetError* error) {
    Transfer& t = *transfer_;
    bool failed = false;
    while (!t.headersComplete && !t.done && !failed) failed = !Pump(error);
    // A failure after the headers belongs to the body: Read() reports it once the bytes
    // that did arrive have been handed out.
    if (!failed && !t.headersComplete) {
        bool refusedRedirect = t.insecureRedirect && t.result == CURLE_UNSUPPORTED_PROTOCOL;
        *error = InternetError::FromCode(refusedRedirect ? kInternetHttpsToHttpRedirect
                                                         : WinInetCodeFor(t.result));
        error->closedWithoutAnswer = t.result == CURLE_GOT_NOTHING;
        failed = true;
    }
    if (failed) {
        error->unreachable = MayBeUnreached(error->code) && !t.Connected();
        return false;
    }
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &statusCode_);
    contentLength_ = t.contentLength;
    etag_ = t.etag;
    lastModified_ = t.lastModified;
    contentRange_ = t.contentRange;
    return true;
}

bool InternetFile::Fill(InternetError* error) {
    Transfer& t = *transfer_;
    while (t.Available() == 0 && !t.done) {
        if (t.paused) {
            // The reader has caught up; curl hands over what it held back, maybe at once.
            t.paused = false;
            t.lastActivity = std::chrono::steady_clock::now();
            curl_easy_pause(t.easy, CURLPAUSE_CONT);
            continue;
        }
        if (!Pump(error)) return false;
    }
    if (t.Available() == 0 && t.result != CURLE_OK) {
        *error = InternetError::FromCode(WinInetCodeFor(t.result));
        return false;
    }
    return true;
}

bool InternetFile::Read(void* buffer, size_t size, size_t* read, InternetError* error) {
    *read = 0;
    if (!Fill(error)) return false;
    Transfer& t = *transfer_;
    size_t count = std::min(size, t.Available());
    if (count > 0) {
        std::memcpy(buffer, t.buffer.data() + t.readPosition, count);
        t.readPosition += count;
    }
    *read = count;
    return true;
}

InternetSession::InternetSession(std::string userAgent) : userAgent_(std::move(userAgent)) {
    InitCurlOnce();
}

InternetSession::~InternetSession() = default;

std::unique_ptr<InternetFile> InternetSession::OpenUrl(const std::string& url, InternetError* error,
                                                       const std::optional<RangeRequest>& range) {
    if (!HasHttpScheme(url)) {
        *error = InternetError::FromCode(kInternetUnrecognizedScheme);
        return nullptr;
    }
    if (deadline_ && std::chrono::steady_clock::now() >= *deadline_) {
        *error = InternetError::FromCode(kInternetTimeout);
        return nullptr;
    }
    auto transfer = std::make_unique<InternetFile::Transfer>();
    transfer->receiveTimeoutMs = receiveTimeoutMs_;
    transfer->deadline = deadline_;
    transfer->stop = stop_;
    transfer->secure = IsHttps(url);
    transfer->multi = curl_multi_init();
    transfer->easy = curl_easy_init();
    if (!transfer->multi || !transfer->easy) {
        *error = InternetError::FromCode(kInternetCannotConnect);
        return nullptr;
    }
    // Always fetch from the origin: a proxy or cache must not hand out a stale package.
    transfer->headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    transfer->headers = curl_slist_append(transfer->headers, "Pragma: no-cache");
    if (range) {
        // Sent as plain headers: libcurl's own resume refuses a 200 answer, which here only
        // means that the file is sent whole.
        std::string from = "Range: bytes=" + std::to_string(range->offset) + "-" +
                           (range->last ? std::to_string(*range->last) : "");
        transfer->headers = curl_slist_append(transfer->headers, from.c_str());
        if (!range->validator.empty()) {
            std::string guard = "If-Range: " + range->validator;
            transfer->headers = curl_slist_append(transfer->headers, guard.c_str());
        }
    }

    CURL* easy = transfer->easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, transfer->secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    unsigned connectMs = reached_.count(OriginOf(url)) != 0
                             ? connectTimeoutMs_
                             : std::min(connectTimeoutMs_, firstConnectTimeoutMs_);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferBufferSize);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &InternetFile::Transfer::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &InternetFile::Transfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    if (curl_multi_add_handle(transfer->multi, easy) != CURLM_OK) {
        *error = InternetError::FromCode(kInternetCannotConnect);
        return nullptr;
    }
    transfer->started = transfer->lastActivity = std::chrono::steady_clock::now();

    std::unique_ptr<InternetFile> file(new InternetFile(std::move(transfer)));
    if (!file->WaitForHeaders(error)) {
        NoteOutcome(url, file->transfer_->Connected(), error);
        return nullptr;
    }
    NoteOutcome(url, true, nullptr);
    return file;
}

void InternetSession::NoteOutcome(const std::string& url, bool connected,
                                  const InternetError* failure) {
    std::string origin = OriginOf(url);
    if (connected) reached_.insert(origin);
    if (failure == nullptr) return;
    if (failure->code == kInternetSecureFailure) {
        // Whoever answered there is not the server the address names.
        certificateRefused_ = true;
        unreachable_.insert(origin);
    }
    // A server that answered before and fails now may be restarting; only one never reached
    // is known to be down.
    if (failure->unreachable && reached_.count(origin) == 0) unreachable_.insert(origin);
}

bool InternetSession::FoundUnreachable(const std::string& url) const {
    return unreachable_.count(OriginOf(url)) != 0;
}

}  // namespace korvun
