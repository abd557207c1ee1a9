#include <direct.h>
#include <windows.h>

#include <cerrno>

#include "platform/directories.h"
#include "platform/wide.h"

namespace korvun {

int NativePathKind(const std::string& native) {
    DWORD attributes = GetFileAttributesW(Widen(native).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -1 : 1;
}

bool MakeDirectory(const std::string& native) {
    return CreateDirectoryW(Widen(native).c_str(), nullptr) != 0 || NativePathKind(native) == -1;
}

bool CreateNewDirectory(const std::string& native) {
    if (CreateDirectoryW(Widen(native).c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    errno = error == ERROR_ALREADY_EXISTS   ? EEXIST
            : error == ERROR_PATH_NOT_FOUND ? ENOENT
                                            : EACCES;
    return false;
}

bool ChangeDirectory(const std::string& native) { return ::_wchdir(Widen(native).c_str()) == 0; }

std::string RealPath(const std::string& native) {
    HANDLE file = CreateFileW(Widen(native).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED);
    }
    CloseHandle(file);
    if (length == 0 || length >= buffer.size()) return {};
    buffer.resize(length);
    // "\\?\C:\dir" names the same place as "C:/dir"; the callers compare with '/'.
    if (buffer.rfind(L"\\\\?\\", 0) == 0) buffer.erase(0, 4);
    for (wchar_t& c : buffer) {
        if (c == L'\\') c = L'/';
    }
    return Narrow(buffer);
}

std::string CurrentDirectory() {
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0) return ".";
    std::wstring buffer(length, L'\0');
    length = GetCurrentDirectoryW(length, buffer.data());
    if (length == 0 || length >= buffer.size()) return ".";
    buffer.resize(length);
    return Narrow(buffer);
}

std::vector<std::string> DirectoryNames(const std::string& native) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Widen(native + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = Narrow(found.cFileName);
        if (name != "." && name != "..") names.push_back(std::move(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

}  // namespace korvun
