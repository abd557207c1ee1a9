#include "console/content_commands.h"

#include <ctime>
#include <optional>

#include "app/messages.h"
#include "platform/console.h"
#include "platform/file_io.h"
#include "platform/inet.h"
#include "platform/profile.h"
#include "store/client_mending.h"
#include "store/content_check.h"
#include "store/store_fetch.h"
#include "update/release_verification.h"
#include "update/server_address.h"
#include "update/version_file.h"

namespace korvun {

namespace {

// Percent steps on standard output: redrawn in place on a terminal, one line per tenth
// otherwise, so that a log stays short.
class PercentProgress : public ProgressSink {
  public:
    PercentProgress(std::FILE* out, std::string label, std::function<bool()> stopRequested)
        : out_(out),
          live_(IsTerminal(out)),
          label_(std::move(label)),
          stopRequested_(std::move(stopRequested)) {}
    ~PercentProgress() override {
        if (live_ && shown_ >= 0) std::fputc('\n', out_);
    }

    void Begin(uint64_t total) override {
        total_ = total;
        done_ = 0;
        Show(0);
    }

    bool Advance(uint64_t count) override {
        done_ += count;
        int percent = total_ == 0 ? 100 : static_cast<int>(done_ * 100 / total_);
        if (percent == asked_) return !stopped_;
        asked_ = percent;
        if (live_ || percent / 10 != shown_ / 10) Show(percent);
        // Asked once a percent: the question costs a system call, and a block is hashed in
        // far less time than a player notices.
        stopped_ = stopped_ || (stopRequested_ && stopRequested_());
        return !stopped_;
    }

  private:
    void Show(int percent) {
        shown_ = percent;
        std::fprintf(out_, live_ ? "\r%s %3d %%" : "%s %3d %%\n", label_.c_str(), percent);
        std::fflush(out_);
    }

    std::FILE* out_;
    bool live_;
    std::string label_;
    std::function<bool()> stopRequested_;
    uint64_t total_ = 0, done_ = 0;
    int shown_ = -1;
    int asked_ = -1;
    bool stopped_ = false;
};

// CurrentVersion of Version.ini, 0 when missing or damaged; unlike the run's reading, it
// leaves the state marker alone.
uint32_t LocalCurrentVersion(const ClientDirectory& client) {
    int32_t version = ParseDecimal(
        ReadProfileString("Version", "CurrentVersion", "", client.Path(kLocalVersionFile)));
    return version > 0 ? static_cast<uint32_t>(version) : 0;
}

// The version whose manifest the client is checked against: its CurrentVersion, or, when
// that is damaged, the newest the store holds.
std::optional<uint32_t> TargetVersion(const ClientDirectory& client, StoreFetcher& fetcher,
                                      std::string& error) {
    if (uint32_t current = LocalCurrentVersion(client); current > 0) return current;
    return fetcher.LatestVersion(error);
}

struct StoreAnswer {
    std::unique_ptr<StoreFetcher> fetcher;
    VerifiedContent content;
};

// The manifest from the first address that answers; a refused one is not looked for
// elsewhere, as a refused release is not.
std::optional<StoreAnswer> FindManifest(const ClientDirectory& client, InternetSession& session,
                                        const MinisignPublicKey& key, bool quiet, std::FILE* err) {
    std::string error;
    for (const std::string& address : ChooseServerAddress(client).Addresses()) {
        auto fetcher = std::make_unique<StoreFetcher>(session, address);
        std::optional<uint32_t> version = TargetVersion(client, *fetcher, error);
        if (!version) continue;
        VerifiedContent content = fetcher->FetchManifest(key, *version, std::time(nullptr));
        if (content.status == ReleaseCheck::Valid)
            return StoreAnswer{std::move(fetcher), std::move(content)};
        if (content.fetched) {
            std::fprintf(
                err, "%s\nkorvun-updater-console: the content manifest of version %u: %s\n",
                ReleaseRefusalMessage(content.status).c_str(), *version, content.detail.c_str());
            return std::nullopt;
        }
        error = content.detail;
    }
    if (!quiet) {
        std::fprintf(err, "korvun-updater-console: no server has a usable content store: %s\n",
                     error.c_str());
    }
    return std::nullopt;
}

// Lists the differences; the count of missing and changed ones.
size_t ListDifferences(const ContentCheckResult& check, std::FILE* out) {
    size_t damaged = 0;
    for (const ContentDifference& difference : check.differences) {
        std::fprintf(out, "%s\n", difference.what.c_str());
        if (difference.kind != ContentDifference::Kind::Extra) ++damaged;
    }
    return damaged;
}

}  // namespace

bool NeedsMending(const ClientDirectory& client) {
    return !IsLocalCheckVersionValid(client) || LocalCurrentVersion(client) == 0 ||
           ReadStateMarker(client) == "UPDATE_START" || !FileExists(client.Path("data.kah")) ||
           !FileExists(client.Path("data.kaf"));
}

int RunContentCommand(const ClientDirectory& client, const ContentCommand& command, std::FILE* out,
                      std::FILE* err) {
    std::optional<MinisignPublicKey> key = BuiltInReleaseKey(command.releaseKeyLine);
    if (!key) {
        std::fprintf(err,
                     "korvun-updater-console: this build has no release key, so it cannot "
                     "trust a content store\n");
        return kContentUnchecked;
    }
    RecoverInterruptedChange(client);
    InternetSession session(kAppTitle);
    // Short waits: a store that does not answer is reported, not waited for as a download is.
    session.SetConnectTimeout(10000);
    session.SetReceiveTimeout(30000);
    if (!command.certificateAuthorityFile.empty()) {
        session.SetCertificateAuthorityFile(command.certificateAuthorityFile);
    }
    std::optional<StoreAnswer> store =
        FindManifest(client, session, *key, command.quietWithoutStore, err);
    if (!store) return kContentUnchecked;
    const ContentManifest& manifest = store->content.manifest;
    std::fprintf(out, "Checking the client against version %u from %s\n", manifest.version,
                 store->fetcher->Address().c_str());

    if (command.repair) RemoveLeftovers(client, manifest);
    ContentCheckResult check;
    {
        PercentProgress progress(out, "Verifying", command.stopRequested);
        check = CheckClientContent(client, manifest, &progress);
    }
    if (check.stopped) return kContentDiffers;
    size_t damaged = ListDifferences(check, out);
    if (damaged == 0) {
        std::fprintf(out, "The client is intact.\n");
        return kContentIntact;
    }
    std::fprintf(out, "%zu items are missing or changed.\n", damaged);
    if (!command.repair) return kContentDiffers;

    MendResult mended;
    {
        PercentProgress progress(out, "Repairing", command.stopRequested);
        mended = MendClient(client, manifest, check, *store->fetcher, &progress);
    }
    if (!mended.ok) {
        std::fprintf(err, "korvun-updater-console: the repair failed: %s\n", mended.error.c_str());
        return kContentDiffers;
    }
    std::fprintf(out, "Repaired %zu files and %zu archive entries (%llu bytes fetched).\n",
                 mended.looseWritten, mended.entriesWritten,
                 static_cast<unsigned long long>(store->fetcher->BytesFetched()));
    {
        PercentProgress progress(out, "Verifying", command.stopRequested);
        check = CheckClientContent(client, manifest, &progress);
    }
    if (check.stopped || ListDifferences(check, out) > 0) return kContentDiffers;
    std::fprintf(out, "The client is intact.\n");
    return kContentIntact;
}

}  // namespace korvun
