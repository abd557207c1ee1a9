#include "integration/update_scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/archive_writer.h"

extern char** environ;

namespace korvun::test {

namespace fs = std::filesystem;

namespace {

const std::string kConsole = KORVUN_CONSOLE_PATH;
const std::string kTool = KORVUN_TOOL_PATH;
const std::string kTrickleScript = KORVUN_TRICKLE_SERVER;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

void WritePackageFile(const std::string& path, const std::vector<PackageEntry>& entries) {
    fs::create_directories(fs::path(path).parent_path());
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) throw std::runtime_error("zip_open failed for " + path);
    for (const PackageEntry& entry : entries) {
        const std::string& content = entry.shared ? *entry.shared : entry.data;
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        zip_int64_t index =
            zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_RAW);
        if (index < 0) {
            zip_source_free(source);
            zip_discard(archive);
            throw std::runtime_error("libzip refused " + entry.name);
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                 entry.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    }
    if (zip_close(archive) != 0) {
        std::string message = zip_strerror(archive);
        zip_discard(archive);
        throw std::runtime_error("zip_close failed: " + message);
    }
}

}  // namespace

std::pair<std::string, std::string> BuildArchive(const ArchiveFiles& files) {
    ArchiveBuilder builder;
    for (const auto& [path, content] : files) builder.Add(path, content);
    return {EncodeIndex(builder.index), builder.data};
}

std::string BuildPackage(const std::vector<PackageEntry>& entries) {
    TempDirectory scratch("korvun-package");
    std::string path = scratch.Path() + "/package.zip";
    WritePackageFile(path, entries);
    return ReadFileBytes(path);
}

std::vector<PackageEntry> UpdateArchiveEntries(const ArchiveFiles& files) {
    auto [index, data] = BuildArchive(files);
    return {{"update.kah", index}, {"update.kaf", data}};
}

std::string PackageName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%04u.patch", number);
    return name;
}

TrickleServer::TrickleServer(double bytesPerSecond)
    : root_("korvun-trickle"),
      server_(kTrickleScript, {"--root", root_.Path(), "--rate", std::to_string(bytesPerSecond)}) {}

void TrickleServer::WriteFile(const std::string& relative, const std::string& content) const {
    WriteFileBytes(root_.Path() + "/" + relative, content);
}

std::string ConsoleResult::LastLine() const {
    std::string text = out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t newline = text.find_last_of('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

UpdateScenario::UpdateScenario() {
    fs::create_directories(GamePath());
    // The start-up checks: DirectX 9 present in the Wine prefix, and a private directory for
    // the single-instance lock so that scenarios running side by side do not exclude each
    // other.
    WriteFileBytes(root_.Path() + "/wine/drive_c/windows/system32/d3d9.dll", "MZ");
    fs::create_directories(root_.Path() + "/run");
    chmod((root_.Path() + "/run").c_str(), 0700);
    PointAt(server_.Address());
}

std::string UpdateScenario::GamePath(const std::string& relative) const {
    return root_.Path() + "/game" + (relative.empty() ? "" : "/" + relative);
}

void UpdateScenario::WriteGameFile(const std::string& relative, const std::string& content) const {
    WriteFileBytes(GamePath(relative), content);
}

std::string UpdateScenario::ReadGameFile(const std::string& relative) const {
    return ReadFileBytes(GamePath(relative));
}

bool UpdateScenario::GameFileExists(const std::string& relative) const {
    return fs::exists(GamePath(relative));
}

void UpdateScenario::WriteLocalVersion(std::optional<unsigned> current, const std::string& marker) {
    std::string text = "[Version]\r\nCheckVersion=3\r\n";
    if (current) text += "CurrentVersion=" + std::to_string(*current) + "\r\n";
    text += "StartUpdate=" + marker + "\r\n";
    WriteGameFile("Version.ini", text);
}

std::optional<std::string> UpdateScenario::LocalValue(const std::string& key) const {
    std::istringstream in(ReadGameFile("Version.ini"));
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        if (!line.empty() && line.front() == '[') {
            inSection = Lower(line) == "[version]";
            continue;
        }
        size_t equals = line.find('=');
        if (inSection && equals != std::string::npos &&
            Lower(Trim(line.substr(0, equals))) == Lower(key)) {
            return Trim(line.substr(equals + 1));
        }
    }
    return std::nullopt;
}

void UpdateScenario::InstallGameArchive(const ArchiveFiles& files) const {
    auto [index, data] = BuildArchive(files);
    WriteGameFile("data.kah", index);
    WriteGameFile("data.kaf", data);
}

FileTree UpdateScenario::GameArchiveContents() const {
    std::string scratch = root_.Path() + "/extracted";
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    ProgramResult check = RunProgram({kTool, "archive", "check", GamePath("data.kah")}, scratch);
    EXPECT_EQ(check.status, std::optional<int>(0)) << check.out << check.err;
    std::string tree = scratch + "/tree";
    ProgramResult extract =
        RunProgram({kTool, "archive", "extract", GamePath("data.kah"), tree}, scratch);
    EXPECT_EQ(extract.status, std::optional<int>(0)) << extract.out << extract.err;
    FileTree files;
    if (!fs::exists(tree)) return files;
    for (const auto& item : fs::recursive_directory_iterator(tree)) {
        if (!item.is_regular_file()) continue;
        files[fs::relative(item.path(), tree).generic_string()] = ReadFileBytes(item.path());
    }
    return files;
}

void UpdateScenario::PointAt(const std::string& address) const {
    WriteGameFile("CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    WriteGameFile("UpdaterURL.txt", address + "\r\n");
}

void UpdateScenario::PublishVersion(int checkVersion, int updaterVersion,
                                    unsigned patchVersion) const {
    server_.WriteFile("patch/UpdateVersion.ini",
                      "[Version]\r\nCheckVersion=" + std::to_string(checkVersion) +
                          "\r\nUpdaterVersion=" + std::to_string(updaterVersion) +
                          "\r\nPatchFileVersion=" + std::to_string(patchVersion) + "\r\n");
}

std::string UpdateScenario::PublishPackage(unsigned number,
                                           const std::vector<PackageEntry>& entries) const {
    std::string path = server_.Root() + "/patch/patch/" + PackageName(number);
    WritePackageFile(path, entries);
    return ReadFileBytes(path);
}

size_t UpdateScenario::Requests(const std::string& path, size_t expected) const {
    // nginx logs a request when it has finished with it, which for a size query that the
    // client cut short can be a moment after the client has gone.
    return server_.CountRequests(path, std::max<size_t>(expected, 1),
                                 expected == 0 ? 100ms : 2000ms);
}

std::vector<std::string> UpdateScenario::ConsoleEnvironment() const {
    return {"WINEPREFIX=" + root_.Path() + "/wine", "XDG_RUNTIME_DIR=" + root_.Path() + "/run"};
}

std::unique_ptr<ChildProcess> UpdateScenario::StartConsole(int stdoutFd) {
    std::string prefix = root_.Path() + "/console-" + std::to_string(++runs_);
    // Without a display there is no game window to look for.
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{kConsole, "-C", GamePath()}, prefix,
        std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"}, ConsoleEnvironment(), stdoutFd);
}

ConsoleResult UpdateScenario::RunConsole(std::chrono::milliseconds timeout) {
    return WaitForConsole(StartConsole(), timeout);
}

ConsoleResult UpdateScenario::RunConsoleUnprivileged(std::chrono::milliseconds timeout) {
    if (::getuid() != 0) return RunConsole(timeout);
    constexpr unsigned kNobody = 65534;
    // The build tree may lie below a directory only root can enter.
    const std::string program = root_.Path() + "/korvun-updater-console";
    fs::copy_file(kConsole, program, fs::copy_options::overwrite_existing);
    fs::permissions(root_.Path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    std::vector<std::string> owned{GamePath(), root_.Path() + "/run"};
    for (const auto& entry : fs::recursive_directory_iterator(GamePath()))
        owned.push_back(entry.path().string());
    for (const std::string& path : owned) {
        if (::lchown(path.c_str(), kNobody, kNobody) != 0)
            throw std::runtime_error("cannot hand " + path + " to nobody");
    }
    std::string id = std::to_string(kNobody);
    return WaitForConsole(
        std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
                                     "--clear-groups", program, "-C", GamePath()},
            root_.Path() + "/console-" + std::to_string(++runs_),
            std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"}, ConsoleEnvironment()),
        timeout);
}

ConsoleResult UpdateScenario::WaitForConsole(std::unique_ptr<ChildProcess> console,
                                             std::chrono::milliseconds timeout) {
    ConsoleResult result;
    result.status = console->Wait(timeout);
    result.out = console->Stdout();
    result.err = console->Stderr();
    ExpectNoSanitizerReport(result.err);
    return result;
}

void ExpectNoSanitizerReport(const std::string& err) {
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
        EXPECT_EQ(err.find(report), std::string::npos) << err;
    }
}

}  // namespace korvun::test
