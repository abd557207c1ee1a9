// What the reliability tests share: generated client trees of several versions, patch packages
// made from them by independent writers (libzip for the ZIP, the test archive writer for the
// update archive), a served release, game directories, runs of the test console
// and the checks that decide whether a client is exactly a given version.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/test_files.h"

namespace korvun::test {

// One version of the client: loose files by '/'-separated path, archive entries by
// '\'-separated path.
struct ClientTree {
    std::map<std::string, std::string> loose;
    std::map<std::string, std::string> archive;
};

// Versions 1 .. packages + 1 of a generated client; version 1 is the installed one and each
// later version is patch package number `version`. Every package replaces and adds archive
// entries and loose files; the last one also removes archive entries through delete.lst.
// entryScale multiplies the content sizes (1: a few kilobytes per entry).
std::vector<ClientTree> GenerateVersions(int packages, uint32_t seed, size_t entryScale = 1);

// Writes the patch package that turns `from` into `to` as package `number` (libzip, deflated).
void WritePackage(const ClientTree& from, const ClientTree& to, const std::string& path);

// Lays out a server root: patch/UpdateVersion.ini (CheckVersion 3, PatchFileVersion = last)
// and patch/patch/pk%.4u.patch for versions 2 .. versions.size(), written with libzip by
// WritePackage.
void PublishRelease(const std::vector<ClientTree>& versions, const std::string& serverRoot);

// The same with the operator's tool: every version is written out as a complete client tree
// under treesDir/vN and each package made by `korvun-tool package build`.
void PublishReleaseWithTool(const std::vector<ClientTree>& versions, const std::string& serverRoot,
                            const std::string& treesDir);

// Writes a version as a complete client tree (loose files, data.kah, data.kaf).
void WriteTree(const ClientTree& tree, const std::string& dir);

// `korvun-tool client verify dir --against treeDir` finds them identical.
bool ClientVerifyPasses(const std::string& dir, const std::string& treeDir,
                        std::string* output = nullptr);

// Installs `tree` as a client at CurrentVersion `version` into dir (created when missing),
// pointed at the server address.
void InstallClient(const ClientTree& tree, uint32_t version, const std::string& dir,
                   const std::string& serverAddress);

// Every difference between the client in dir and tree (loose files present in tree, and the
// archive in full: missing, changed and extra entries). Empty when identical.
std::vector<std::string> CompareClient(const std::string& dir, const ClientTree& tree);

// True when the client in dir is at least versions[index]: every file and archive entry holds
// that version's content or a later one, except what the next package changes, which may be
// in any state (that package was being applied and will be applied again from the start).
bool ClientAtLeast(const std::string& dir, const std::vector<ClientTree>& versions, size_t index,
                   std::string* why);

// `korvun-tool archive check DIR/data.kah` passes.
bool ArchiveCheckPasses(const std::string& dir, std::string* output = nullptr);

// The StartUpdate marker and CurrentVersion of dir/Version.ini, as text.
std::string ReadMarker(const std::string& dir);
std::string ReadCurrentVersion(const std::string& dir);

struct RunResult {
    int exitCode = -1;      // when the program exited
    int signal = 0;         // when a signal ended it
    bool timedOut = false;  // killed by the runner
    std::string out;
    std::string err;
    double seconds = 0;
};

// The environment every console run gets: a private lock directory (so parallel test runs
// of other people do not meet our single-instance lock), a Wine prefix with Direct3D 9, no
// display, no proxies.
class ConsoleEnvironment {
  public:
    explicit ConsoleEnvironment(const std::string& scratch);
    std::vector<std::string> Variables(const std::vector<std::string>& extra) const;
    // The program its runs start: ConsoleProgram() unless set.
    void SetProgram(std::string program) { program_ = std::move(program); }
    const std::string& Program() const { return program_; }
    // Arguments its runs get after -C DIR (--repair, say).
    void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    const std::vector<std::string>& Arguments() const { return arguments_; }

  private:
    std::string runtimeDir_;
    std::string winePrefix_;
    std::string program_;
    std::vector<std::string> arguments_;
};

// The status line a console run ended with: the console prints one line per status change
// on standard output (message boxes go to standard error).
std::string LastStatus(const std::string& out);

// Runs the test console with -C dir and the extra environment entries
// ("NAME=value"); killed after timeoutSeconds. A non-zero addressSpaceMiB runs it under that
// address-space limit (ulimit -v), so that memory without bound shows as a failed allocation.
RunResult RunConsole(const ConsoleEnvironment& environment, const std::string& dir,
                     const std::vector<std::string>& extraEnvironment, double timeoutSeconds = 60,
                     size_t addressSpaceMiB = 0);
// Starts it and returns the pid; stdout and stderr go to the given files.
pid_t StartConsole(const ConsoleEnvironment& environment, const std::string& dir,
                   const std::vector<std::string>& extraEnvironment, const std::string& outFile,
                   const std::string& errFile, size_t addressSpaceMiB = 0);
// Waits for a started program; kills it after timeoutSeconds.
RunResult WaitConsole(pid_t pid, const std::string& outFile, const std::string& errFile,
                      double timeoutSeconds);

// Runs a program and captures its output (used for korvun-tool).
RunResult RunProgram(const std::vector<std::string>& args, double timeoutSeconds = 60);

// Paths of the programs under test.
std::string ConsoleProgram();
// The same console with the tests' release key built in; the keys are in TrustKeys()
// ("signing/release.key" signs what it accepts).
std::string SignedConsoleProgram();
std::string TrustKeys();
std::string ToolProgram();

// Copies and removes whole trees; files of a directory tree by relative path.
void RemoveTree(const std::string& path);
std::map<std::string, std::string> ReadTree(const std::string& root);

// A directory for scratch files, one per prefix and process (a TempDirectory in memory where
// it can be, as fsync is cheap there).
std::string MakeScratchDirectory(const std::string& prefix);

}  // namespace korvun::test
