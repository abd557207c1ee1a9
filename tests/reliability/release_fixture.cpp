#include "reliability/release_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/archive_writer.h"
#include "support/console_process.h"

namespace korvun::test {

namespace fs = std::filesystem;

namespace {

// Bytes that compress somewhat, as game data do: runs of small values between random runs.
std::string GameBytes(size_t size, std::mt19937& random) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        uint32_t value = random();
        data[i] = static_cast<char>((i / 256) % 3 == 0 ? value & 0xFF : value % 12);
    }
    return data;
}

std::string Number(uint32_t version) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%.4u.patch", version);
    return name;
}

void AddToZip(zip_t* zip, const std::string& name, const std::string& data) {
    // The buffer must live until zip_close; the caller keeps its strings alive.
    zip_source_t* source = zip_source_buffer(zip, data.data(), data.size(), 0);
    zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_RAW);
    if (index < 0) throw std::runtime_error("libzip refused " + name);
    zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0);
}

std::string EncodeArchive(const std::map<std::string, std::string>& entries, std::string& data) {
    ArchiveBuilder builder;
    for (const auto& [path, content] : entries) builder.Add(path, content);
    data = builder.data;
    return EncodeIndex(builder.index);
}

std::map<std::string, std::string> ExtractArchive(const std::string& dir, std::string* error) {
    std::string target = dir + ".extract";
    RemoveTree(target);
    RunResult result = RunProgram({ToolProgram(), "archive", "extract", dir + "/data.kah", target});
    std::map<std::string, std::string> entries;
    if (result.exitCode != 0) {
        if (error) *error = "archive extract failed: " + result.err;
        RemoveTree(target);
        return entries;
    }
    for (auto& [path, content] : ReadTree(target)) {
        std::string name = path;
        for (char& c : name) {
            if (c == '/') c = '\\';
        }
        entries[name] = std::move(content);
    }
    RemoveTree(target);
    return entries;
}

std::string ProfileValue(const std::string& dir, const std::string& key) {
    std::string text = ReadFileBytes(dir + "/Version.ini");
    std::string needle = "\n" + key + "=";
    auto at = ("\n" + text).find(needle);
    if (at == std::string::npos) return "(absent)";
    auto start = at + needle.size() - 1;
    auto end = text.find_first_of("\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

std::vector<ClientTree> GenerateVersions(int packages, uint32_t seed, size_t entryScale) {
    std::mt19937 random(seed);
    auto size = [&](size_t low, size_t high) {
        return (low + random() % (high - low + 1)) * entryScale;
    };
    ClientTree first;
    for (int i = 0; i < 12; ++i) {
        first.archive["data\\item\\i" + std::to_string(i) + ".dds"] =
            GameBytes(size(500, 6000), random);
    }
    for (int i = 0; i < 8; ++i) {
        first.archive["data\\map\\m" + std::to_string(i) + ".map"] =
            GameBytes(size(2000, 20000), random);
    }
    for (int i = 0; i < 4; ++i) {
        first.archive["ui" + std::to_string(i) + ".txt"] = GameBytes(size(10, 300), random);
    }
    first.loose["readme.txt"] = "Korvun client\r\n";
    first.loose["bin/engine.dat"] = GameBytes(size(5000, 30000), random);
    first.loose["sound/s0.ogg"] = GameBytes(size(1000, 8000), random);

    std::vector<ClientTree> versions{first};
    for (int v = 2; v <= packages + 1; ++v) {
        ClientTree next = versions.back();
        std::vector<std::string> names;
        for (const auto& item : next.archive) names.push_back(item.first);
        for (int k = 0; k < 5; ++k) {
            next.archive[names[random() % names.size()]] = GameBytes(size(500, 25000), random);
        }
        for (int k = 0; k < 3; ++k) {
            next.archive["data\\v" + std::to_string(v) + "\\new" + std::to_string(k) + ".bin"] =
                GameBytes(size(100, 12000), random);
        }
        next.loose["bin/engine.dat"] = GameBytes(size(5000, 30000), random);
        next.loose["patch" + std::to_string(v) + ".txt"] = "notes of version " + std::to_string(v);
        if (v == packages + 1) {
            // Entries that no package of this release has touched since version 1.
            int removed = 0;
            for (const auto& item : first.archive) {
                if (removed == 3) break;
                bool untouched = true;
                for (const ClientTree& earlier : versions) {
                    auto found = earlier.archive.find(item.first);
                    if (found == earlier.archive.end() || found->second != item.second) {
                        untouched = false;
                    }
                }
                if (untouched && next.archive[item.first] == item.second) {
                    next.archive.erase(item.first);
                    ++removed;
                }
            }
        }
        versions.push_back(std::move(next));
    }
    return versions;
}

void WritePackage(const ClientTree& from, const ClientTree& to, const std::string& path) {
    std::map<std::string, std::string> changed;
    for (const auto& [name, content] : to.archive) {
        auto old = from.archive.find(name);
        if (old == from.archive.end() || old->second != content) changed[name] = content;
    }
    std::string deleteList;
    for (const auto& item : from.archive) {
        if (to.archive.count(item.first) == 0) deleteList += item.first + "\r\n";
    }

    // Every buffer must outlive zip_close, which reads them.
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& [name, content] : to.loose) {
        auto old = from.loose.find(name);
        if (old == from.loose.end() || old->second != content) files.emplace_back(name, content);
    }
    if (!changed.empty()) {
        std::string data;
        std::string index = EncodeArchive(changed, data);
        files.emplace_back("update.kah", index);
        files.emplace_back("update.kaf", data);
    }
    if (!deleteList.empty()) files.emplace_back("delete.lst", deleteList);

    int error = 0;
    fs::remove(path);
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (zip == nullptr) throw std::runtime_error("zip_open failed for " + path);
    for (const auto& [name, content] : files) AddToZip(zip, name, content);
    if (zip_close(zip) != 0) throw std::runtime_error("zip_close failed for " + path);
}

void PublishRelease(const std::vector<ClientTree>& versions, const std::string& serverRoot) {
    fs::create_directories(serverRoot + "/patch/patch");
    for (size_t v = 2; v <= versions.size(); ++v) {
        WritePackage(versions[v - 2], versions[v - 1],
                     serverRoot + "/patch/patch/" + Number(static_cast<uint32_t>(v)));
    }
    WriteFileBytes(serverRoot + "/patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=" +
                       std::to_string(versions.size()) + "\r\n");
}

void WriteTree(const ClientTree& tree, const std::string& dir) {
    RemoveTree(dir);
    fs::create_directories(dir);
    for (const auto& [name, content] : tree.loose) WriteFileBytes(dir + "/" + name, content);
    std::string data;
    std::string index = EncodeArchive(tree.archive, data);
    WriteFileBytes(dir + "/data.kah", index);
    WriteFileBytes(dir + "/data.kaf", data);
}

void PublishReleaseWithTool(const std::vector<ClientTree>& versions, const std::string& serverRoot,
                            const std::string& treesDir) {
    std::string packages = serverRoot + "/patch/patch";
    fs::create_directories(packages);
    for (size_t v = 1; v <= versions.size(); ++v) {
        WriteTree(versions[v - 1], treesDir + "/v" + std::to_string(v));
    }
    for (size_t v = 2; v <= versions.size(); ++v) {
        RunResult built = RunProgram(
            {ToolProgram(), "package", "build", "--from", treesDir + "/v" + std::to_string(v - 1),
             "--to", treesDir + "/v" + std::to_string(v), "--number", std::to_string(v), packages});
        if (built.exitCode != 0) throw std::runtime_error("package build failed: " + built.err);
    }
    WriteFileBytes(serverRoot + "/patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=" +
                       std::to_string(versions.size()) + "\r\n");
}

bool ClientVerifyPasses(const std::string& dir, const std::string& treeDir, std::string* output) {
    RunResult result = RunProgram({ToolProgram(), "client", "verify", dir, "--against", treeDir});
    if (output) *output = result.out + result.err;
    return result.exitCode == 0;
}

void InstallClient(const ClientTree& tree, uint32_t version, const std::string& dir,
                   const std::string& serverAddress) {
    WriteTree(tree, dir);
    WriteFileBytes(dir + "/Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=" +
                                             std::to_string(version) + "\r\nStartUpdate=\r\n");
    WriteFileBytes(dir + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    WriteFileBytes(dir + "/UpdaterURL.txt", serverAddress + "\r\n");
}

std::vector<std::string> CompareClient(const std::string& dir, const ClientTree& tree) {
    std::vector<std::string> differences;
    for (const auto& [name, content] : tree.loose) {
        std::string path = dir + "/" + name;
        if (!fs::exists(path)) {
            differences.push_back("missing file " + name);
        } else if (ReadFileBytes(path) != content) {
            differences.push_back("changed file " + name);
        }
    }
    std::string error;
    std::map<std::string, std::string> entries = ExtractArchive(dir, &error);
    if (!error.empty()) {
        differences.push_back(error);
        return differences;
    }
    for (const auto& [name, content] : tree.archive) {
        auto found = entries.find(name);
        if (found == entries.end()) {
            differences.push_back("missing entry " + name);
        } else if (found->second != content) {
            differences.push_back("changed entry " + name);
        }
    }
    for (const auto& item : entries) {
        if (tree.archive.count(item.first) == 0) differences.push_back("extra entry " + item.first);
    }
    return differences;
}

bool ClientAtLeast(const std::string& dir, const std::vector<ClientTree>& versions, size_t index,
                   std::string* why) {
    // A file may hold the recorded version's content or a later one. What the next package
    // changes may also hold anything at all: it was being extracted or merged when the run
    // ended, and the next run applies that package again from the start.
    auto acceptable = [&](auto member, const std::string& name, const std::string* content) {
        const auto& recorded = versions[index].*member;
        if (index + 1 < versions.size()) {
            const auto& next = versions[index + 1].*member;
            auto was = recorded.find(name);
            auto will = next.find(name);
            if (will == next.end() || will->second != was->second) return true;
        }
        if (content == nullptr) return false;
        for (size_t v = index; v < versions.size(); ++v) {
            const auto& files = versions[v].*member;
            auto found = files.find(name);
            if (found != files.end() && found->second == *content) return true;
        }
        return false;
    };
    for (const auto& item : versions[index].loose) {
        std::string path = dir + "/" + item.first;
        std::string content = ReadFileBytes(path);
        if (!acceptable(&ClientTree::loose, item.first, fs::exists(path) ? &content : nullptr)) {
            if (why)
                *why = "file " + item.first + " is older than version " + std::to_string(index + 1);
            return false;
        }
    }
    std::string error;
    std::map<std::string, std::string> entries = ExtractArchive(dir, &error);
    if (!error.empty()) {
        if (why) *why = error;
        return false;
    }
    for (const auto& item : versions[index].archive) {
        auto found = entries.find(item.first);
        if (!acceptable(&ClientTree::archive, item.first,
                        found == entries.end() ? nullptr : &found->second)) {
            if (why)
                *why =
                    "entry " + item.first + " is older than version " + std::to_string(index + 1);
            return false;
        }
    }
    return true;
}

bool ArchiveCheckPasses(const std::string& dir, std::string* output) {
    RunResult result = RunProgram({ToolProgram(), "archive", "check", dir + "/data.kah"});
    if (output) *output = result.out + result.err;
    return result.exitCode == 0;
}

std::string ReadMarker(const std::string& dir) { return ProfileValue(dir, "StartUpdate"); }
std::string ReadCurrentVersion(const std::string& dir) {
    return ProfileValue(dir, "CurrentVersion");
}

ConsoleEnvironment::ConsoleEnvironment(const std::string& scratch)
    : runtimeDir_(scratch + "/runtime"),
      winePrefix_(scratch + "/wine"),
      program_(ConsoleProgram()) {
    fs::create_directories(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all, fs::perm_options::replace);
    WriteFileBytes(winePrefix_ + "/drive_c/windows/system32/d3d9.dll", "MZ");
}

std::vector<std::string> ConsoleEnvironment::Variables(
    const std::vector<std::string>& extra) const {
    std::vector<std::string> variables;
    for (const char* name : {"PATH", "HOME", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TZ"}) {
        if (const char* value = std::getenv(name))
            variables.push_back(std::string(name) + "=" + value);
    }
    variables.push_back("XDG_RUNTIME_DIR=" + runtimeDir_);
    variables.push_back("WINEPREFIX=" + winePrefix_);
    variables.push_back("no_proxy=127.0.0.1,localhost");
    variables.push_back("NO_PROXY=127.0.0.1,localhost");
    variables.insert(variables.end(), extra.begin(), extra.end());
    // Retried failures wait 1, 2 and 4 s in a player's run; hundreds of provoked failures in
    // one suite cannot. A test that names its own pause keeps it (it comes first).
    variables.push_back("KORVUN_TEST_RETRY_PAUSE_MS=20");
    return variables;
}

namespace {

pid_t SpawnWith(const std::vector<std::string>& args, const std::vector<std::string>* environment,
                const std::string& outFile, const std::string& errFile) {
    return SpawnProcess(args, environment ? *environment : ChildEnvironment({}, {}), outFile,
                        errFile);
}

std::string TempOutput(const char* what) {
    static int counter = 0;
    return MakeScratchDirectory("korvun-out") + "/" + what + std::to_string(++counter);
}

}  // namespace

pid_t StartConsole(const ConsoleEnvironment& environment, const std::string& dir,
                   const std::vector<std::string>& extraEnvironment, const std::string& outFile,
                   const std::string& errFile, size_t addressSpaceMiB) {
    std::vector<std::string> variables = environment.Variables(extraEnvironment);
    if (addressSpaceMiB != 0) {
        // The shell sets the limit and then becomes the console, so the pid stays its own.
        std::string script =
            "ulimit -v " + std::to_string(addressSpaceMiB * 1024) + " && exec \"$0\" \"$@\"";
        std::vector<std::string> args{"/bin/sh", "-c", script, environment.Program(), "-C", dir};
        args.insert(args.end(), environment.Arguments().begin(), environment.Arguments().end());
        return SpawnWith(args, &variables, outFile, errFile);
    }
    std::vector<std::string> args{environment.Program(), "-C", dir};
    args.insert(args.end(), environment.Arguments().begin(), environment.Arguments().end());
    return SpawnWith(args, &variables, outFile, errFile);
}

RunResult WaitConsole(pid_t pid, const std::string& outFile, const std::string& errFile,
                      double timeoutSeconds) {
    ProcessEnd end = WaitProcess(pid, std::chrono::duration<double>(timeoutSeconds));
    RunResult result;
    result.timedOut = end.timedOut;
    result.seconds = end.seconds;
    if (end.exitCode) result.exitCode = *end.exitCode;
    result.signal = end.signal;
    result.out = ReadFileBytes(outFile);
    result.err = ReadFileBytes(errFile);
    return result;
}

std::string LastStatus(const std::string& out) {
    std::string last, line;
    std::istringstream lines(out);
    while (std::getline(lines, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

RunResult RunConsole(const ConsoleEnvironment& environment, const std::string& dir,
                     const std::vector<std::string>& extraEnvironment, double timeoutSeconds,
                     size_t addressSpaceMiB) {
    std::string out = dir + ".stdout", err = dir + ".stderr";
    pid_t pid = StartConsole(environment, dir, extraEnvironment, out, err, addressSpaceMiB);
    RunResult result = WaitConsole(pid, out, err, timeoutSeconds);
    fs::remove(out);
    fs::remove(err);
    return result;
}

RunResult RunProgram(const std::vector<std::string>& args, double timeoutSeconds) {
    std::string out = TempOutput("out"), err = TempOutput("err");
    pid_t pid = SpawnWith(args, nullptr, out, err);
    RunResult result = WaitConsole(pid, out, err, timeoutSeconds);
    fs::remove(out);
    fs::remove(err);
    return result;
}

std::string ConsoleProgram() { return KORVUN_TEST_CONSOLE; }
std::string SignedConsoleProgram() { return KORVUN_TEST_SIGNED_CONSOLE; }
std::string TrustKeys() { return KORVUN_TRUST_KEYS; }
std::string ToolProgram() { return KORVUN_TOOL; }

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::map<std::string, std::string> ReadTree(const std::string& root) {
    std::map<std::string, std::string> tree;
    if (!fs::exists(root)) return tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            tree[fs::relative(item.path(), root).string()] = ReadFileBytes(item.path().string());
        }
    }
    return tree;
}

std::string MakeScratchDirectory(const std::string& prefix) {
    // One directory per prefix and process, removed when the process ends.
    static std::map<std::string, std::unique_ptr<TempDirectory>> made;
    std::unique_ptr<TempDirectory>& directory = made[prefix];
    if (!directory) {
        directory = std::make_unique<TempDirectory>(prefix, TempDirectory::Place::Memory);
    }
    return directory->Path();
}

}  // namespace korvun::test
