#include "mirror_check.h"

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "app/messages.h"
#include "platform/inet.h"
#include "release_signing.h"
#include "trust/release_manifest.h"
#include "trust/sha256_stream.h"
#include "update/package_names.h"
#include "update/server_address.h"

namespace korvun::tool {

namespace {

constexpr size_t kReadSize = 64 * 1024;

// What the mirror sent for one path.
struct Fetched {
    bool reached = false;  // false: no answer at all (error holds why)
    long status = 0;
    uint64_t size = 0;  // body bytes read, at most one more than the tree's file
    Sha256Digest sha256{};
    std::string error;
};

// Reads the body, but never more than limit bytes: a mirror that sends on for ever must not
// keep the check from ending.
Fetched Fetch(InternetSession& session, const std::string& url, uint64_t limit) {
    Fetched fetched;
    InternetError error;
    std::unique_ptr<InternetFile> file = session.OpenUrl(url, &error);
    if (!file) {
        fetched.error = error.text;
        return fetched;
    }
    fetched.reached = true;
    fetched.status = file->StatusCode();
    if (fetched.status != 200) return fetched;
    Sha256Stream stream;
    std::vector<char> buffer(kReadSize);
    while (fetched.size < limit) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), limit - fetched.size));
        size_t read = 0;
        if (!file->Read(buffer.data(), want, &read, &error)) {
            fetched.reached = false;
            fetched.error = error.text;
            return fetched;
        }
        if (read == 0) break;
        stream.Update(buffer.data(), read);
        fetched.size += read;
    }
    fetched.sha256 = stream.Finish();
    return fetched;
}

class MirrorComparison {
  public:
    MirrorComparison(const std::string& root, const std::string& mirror)
        : root_(root), mirror_(mirror), session_(kAppTitle) {}

    // False when the mirror could not be reached at all for path.
    bool Compare(const std::string& path) {
        std::optional<FileDigest> local = DigestFile(root_ + "/" + path);
        if (!local) {
            Differ(path + ": cannot be read in " + root_);
            return true;
        }
        Fetched fetched = Fetch(session_, Url(path), local->size + 1);
        if (!fetched.reached) {
            Differ(path + ": cannot be fetched from the mirror: " + fetched.error);
            return false;
        }
        if (fetched.status != 200) {
            Differ(path + ": the mirror answers HTTP " + std::to_string(fetched.status));
        } else if (fetched.size > local->size) {
            Differ(path + ": more than " + std::to_string(local->size) + " bytes on the mirror, " +
                   std::to_string(local->size) + " in the tree");
        } else if (fetched.size != local->size) {
            Differ(path + ": " + std::to_string(fetched.size) + " bytes on the mirror, " +
                   std::to_string(local->size) + " in the tree");
        } else if (fetched.sha256 != local->sha256) {
            Differ(path + ": SHA-256 differs (" + HexDigest(fetched.sha256) + " on the mirror, " +
                   HexDigest(local->sha256) + " in the tree)");
        } else {
            result_.notes.push_back("OK " + path);
            result_.matched.push_back(path);
        }
        return true;
    }

    // A file the tree does not publish must not be on the mirror either: a client would take
    // it (a package beyond the tree's last, a signature the tree no longer has).
    void ExpectAbsent(const std::string& path) {
        Fetched fetched = Fetch(session_, Url(path), 0);
        if (fetched.reached && fetched.status == 200) {
            Differ(path + ": published on the mirror but not in " + root_);
        }
    }

    ReleaseResult Result(size_t compared) {
        if (differences_.empty()) {
            result_.notes.push_back("the mirror " + mirror_ + " is in step with " + root_ + " (" +
                                    std::to_string(compared) + " files)");
            return result_;
        }
        result_.status = kReleaseRefused;
        result_.problems = differences_;
        result_.error = "the mirror " + mirror_ + " differs from " + root_ + " in " +
                        std::to_string(differences_.size()) + " place" +
                        (differences_.size() == 1 ? "" : "s") + ":";
        for (const std::string& line : differences_) result_.error += "\nrelease:   " + line;
        return result_;
    }

  private:
    // The URL a client fetches path from, so that the check sees what players get.
    std::string Url(const std::string& path) const { return ServerUrl(mirror_, "/" + path); }
    void Differ(std::string line) { differences_.push_back(std::move(line)); }

    std::string root_;
    std::string mirror_;
    InternetSession session_;
    ReleaseResult result_;
    std::vector<std::string> differences_;
};

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The first package number the tree does not publish.
uint32_t NextPackageNumber(const std::vector<std::string>& published, const ReleaseState& state) {
    uint32_t last = state.patchFileVersion;
    for (const std::string& path : published) {
        std::string name = path.substr(path.rfind('/') + 1);
        if (std::optional<uint32_t> number = PackageNumberFromName(name)) {
            last = std::max(last, *number);
        }
    }
    return last + 1;
}

}  // namespace

ReleaseResult CheckMirror(const std::string& root, const std::string& mirror) {
    std::string error;
    std::optional<ReleaseState> state = ReadReleaseState(root, error);
    if (!state) {
        ReleaseResult result;
        result.status = kReleaseUnreadable;
        result.error = error;
        return result;
    }
    MirrorComparison comparison(root, mirror);
    std::vector<std::string> published = PublishedPaths(root);
    // Without an answer for the version file, every other file would only fail the same way.
    if (!comparison.Compare(published.front())) return comparison.Result(0);
    size_t compared = 1;
    for (const char* signedPath : {kManifestPath, kManifestSignaturePath}) {
        if (Exists(root + "/" + signedPath)) {
            comparison.Compare(signedPath);
            ++compared;
        } else {
            comparison.ExpectAbsent(signedPath);
        }
    }
    for (size_t i = 1; i < published.size(); ++i) comparison.Compare(published[i]);
    compared += published.size() - 1;
    comparison.ExpectAbsent(PackagePath(NextPackageNumber(published, *state)));
    return comparison.Result(compared);
}

}  // namespace korvun::tool
