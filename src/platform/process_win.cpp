#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/process.h"
#include "platform/wide.h"

namespace korvun {

namespace {

std::string OwnDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    size_t slash = buffer.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string() : Narrow(buffer.substr(0, slash));
}

bool IsRegularFile(const std::string& path) {
    DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> SearchOnce(const std::string& name) {
    if (name.find_first_of("/\\:") != std::string::npos) {
        if (IsRegularFile(name)) return name;
        return std::nullopt;
    }
    std::vector<std::string> directories;
    if (std::string own = OwnDirectory(); !own.empty()) directories.push_back(own);
    directories.push_back(".");
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find(';', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) directories.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const std::string& directory : directories) {
        std::string candidate = directory + "\\" + name;
        if (IsRegularFile(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> FindProgram(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (auto found = SearchOnce(name)) return found;
    size_t base = name.find_last_of("/\\");
    base = base == std::string::npos ? 0 : base + 1;
    if (name.find('.', base) == std::string::npos) return SearchOnce(name + ".exe");
    return std::nullopt;
}

bool StartProcess(const std::string& commandLine) {
    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty()) return false;
    std::optional<std::string> program = FindProgram(args[0]);
    if (!program) return false;
    // The program gets the command line exactly as given; CreateProcessW may write to it.
    std::wstring line = Widen(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(Widen(*program).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace korvun
