// One update scenario: a server tree on a real nginx (or the slow server), a client
// directory that the console updater is pointed at, and the ways to build packages and
// archives for them and to look at the result afterwards.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/console_process.h"
#include "support/nginx_fixture.h"

namespace korvun::test {

// Paths inside an archive use "\" as the game does; contents keyed that way.
using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;
// The same content keyed by "/" separated paths, as `korvun-tool archive extract` lays it out.
using FileTree = std::map<std::string, std::string>;

struct PackageEntry {
    std::string name;
    std::string data;
    bool deflate = true;
    // When set, the entry's content instead of data (large contents shared by entries).
    const std::string* shared = nullptr;
};

// The index and data file bytes of a fresh archive holding files, made by the independent
// archive writer of the tests.
std::pair<std::string, std::string> BuildArchive(const ArchiveFiles& files);
// The package bytes, written by libzip.
std::string BuildPackage(const std::vector<PackageEntry>& entries);
// Package entries update.kah and update.kaf carrying files.
std::vector<PackageEntry> UpdateArchiveEntries(const ArchiveFiles& files);
// "pk0002.patch"
std::string PackageName(unsigned number);

// nginx will not send slowly: tests/integration/trickle_server.py does.
class TrickleServer {
  public:
    explicit TrickleServer(double bytesPerSecond);
    std::string Address() const { return server_.Address(); }
    void WriteFile(const std::string& relative, const std::string& content) const;

  private:
    TempDirectory root_;
    ScriptServer server_;
};

struct ConsoleResult {
    std::optional<int> status;  // nullopt: it had to be killed
    std::string out, err;
    // The last line on standard output: the state the run ended in.
    std::string LastLine() const;
};

// Fails the test when a sanitizer build of the updater reported a fault.
void ExpectNoSanitizerReport(const std::string& err);

class UpdateScenario : public ::testing::Test {
  protected:
    UpdateScenario();

    // Client side.
    std::string GamePath(const std::string& relative = "") const;
    void WriteGameFile(const std::string& relative, const std::string& content) const;
    std::string ReadGameFile(const std::string& relative) const;
    bool GameFileExists(const std::string& relative) const;
    // Version.ini with CheckVersion=3, CurrentVersion (left out when nullopt) and StartUpdate.
    void WriteLocalVersion(std::optional<unsigned> current, const std::string& marker = "");
    // A key of [Version] in Version.ini, nullopt when absent.
    std::optional<std::string> LocalValue(const std::string& key) const;
    void InstallGameArchive(const ArchiveFiles& files) const;
    // data.kah's files as extracted by korvun-tool (which must also find the index sound).
    FileTree GameArchiveContents() const;
    void PointAt(const std::string& address) const;

    // Server side.
    void PublishVersion(int checkVersion, int updaterVersion, unsigned patchVersion) const;
    // Publishes the package and returns its bytes.
    std::string PublishPackage(unsigned number, const std::vector<PackageEntry>& entries) const;
    // Requests logged for paths containing path; waits a little for the expected number.
    size_t Requests(const std::string& path, size_t expected = 0) const;

    // Runs the console updater in the client directory until it ends.
    ConsoleResult RunConsole(std::chrono::milliseconds timeout = 60s);
    // stdoutFd: where its standard output goes instead of a file, when not -1.
    std::unique_ptr<ChildProcess> StartConsole(int stdoutFd = -1);
    // Runs it as the unprivileged user nobody when this process is root, who may write any
    // file: a copy of the program, the client and the lock directory are handed to nobody.
    ConsoleResult RunConsoleUnprivileged(std::chrono::milliseconds timeout = 60s);
    std::vector<std::string> ConsoleEnvironment() const;

    TempDirectory root_{"korvun-integration"};
    NginxServer server_;

  private:
    ConsoleResult WaitForConsole(std::unique_ptr<ChildProcess> console,
                                 std::chrono::milliseconds timeout);

    int runs_ = 0;
};

}  // namespace korvun::test
