#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <optional>
#include <string_view>

#include "platform/file_io.h"
#include "platform/win_path.h"

namespace korvun {

namespace {

// One physical line of the file's content, by position: its text and its own line end
// ("\r\n", "\n" or none at the end of the file). The content is scanned in place, so a file
// costs its own size in memory however many lines it has, and untouched lines are written
// back byte for byte.
struct Line {
    size_t start = 0;
    size_t textEnd = 0;
    size_t end = 0;  // past the line end
};

std::optional<std::string> ReadWholeFile(const std::string& native) {
    FileHandle file = OpenNativeFile(native, OpenMode::ReadOnly);
    if (!file.IsOpen()) return std::nullopt;
    std::string content;
    struct stat st;
    if (::fstat(file.Get(), &st) == 0 && st.st_size > 0) {
        content.reserve(static_cast<size_t>(st.st_size));
    }
    char buffer[8192];
    for (;;) {
        int64_t n = ReadSome(file.Get(), buffer, sizeof buffer);
        if (n < 0) return std::nullopt;  // the handle's close keeps errno
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

// The line that begins at start; start must lie inside content.
Line LineAt(std::string_view content, size_t start) {
    Line line{start, content.size(), content.size()};
    size_t newline = content.find('\n', start);
    if (newline == std::string_view::npos) return line;
    line.textEnd = newline;
    if (line.textEnd > start && content[line.textEnd - 1] == '\r') --line.textEnd;
    line.end = newline + 1;
    return line;
}

std::string_view TextOf(std::string_view content, const Line& line) {
    return content.substr(line.start, line.textEnd - line.start);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A file saved by an editor may begin with a UTF-8 byte order mark; it is not part of the
// first line's meaning, but it stays in the file.
std::string_view WithoutByteOrderMark(std::string_view text, bool first) {
    if (first && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return text;
}

enum class LineKind { Blank, Comment, Section, Key, Other };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name, or the key as spelled
    std::string_view value;
    size_t keyEnd = 0;  // offset in the line text just past the key's last character
};

ParsedLine Parse(std::string_view text) {
    ParsedLine parsed;
    std::string_view trimmed = Trim(text);
    if (trimmed.empty()) {
        parsed.kind = LineKind::Blank;
    } else if (trimmed.front() == ';') {
        parsed.kind = LineKind::Comment;
    } else if (trimmed.front() == '[') {
        size_t close = trimmed.find(']');
        if (close != std::string_view::npos) {
            parsed.kind = LineKind::Section;
            parsed.name = Trim(trimmed.substr(1, close - 1));
        }
    } else if (size_t equals = text.find('='); equals != std::string_view::npos) {
        parsed.kind = LineKind::Key;
        parsed.name = Trim(text.substr(0, equals));
        parsed.keyEnd = static_cast<size_t>(parsed.name.data() - text.data()) + parsed.name.size();
        parsed.value = Trim(text.substr(equals + 1));
    }
    return parsed;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    return value;
}

// Where section and key sit in the file.
struct Location {
    std::optional<Line> section;
    std::optional<Line> key;
    Line lastKeyLine;  // the section header when the section has no key lines yet
};

Location Locate(std::string_view content, std::string_view section, std::string_view key) {
    Location location;
    for (size_t start = 0; start < content.size();) {
        Line line = LineAt(content, start);
        start = line.end;
        ParsedLine parsed = Parse(WithoutByteOrderMark(TextOf(content, line), line.start == 0));
        if (parsed.kind == LineKind::Section) {
            // The first section of that name is the one that counts, as with the key.
            if (location.section) break;
            if (EqualsIgnoringCase(parsed.name, section)) {
                location.section = line;
                location.lastKeyLine = line;
            }
        } else if (location.section && parsed.kind == LineKind::Key) {
            location.lastKeyLine = line;
            if (!location.key && EqualsIgnoringCase(parsed.name, key)) location.key = line;
        } else if (location.section && parsed.kind == LineKind::Other) {
            location.lastKeyLine = line;
        }
    }
    return location;
}

// The line end new lines get: the one the file already uses (taken from its first line), or
// CRLF for a new file.
std::string LineEndOf(std::string_view content) {
    if (content.empty()) return "\r\n";
    Line first = LineAt(content, 0);
    if (first.end == first.textEnd) return "\r\n";
    return std::string(content.substr(first.textEnd, first.end - first.textEnd));
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// The file's content with key=value set in section, every other byte kept.
std::string WithValue(const std::string& content, std::string_view section, std::string_view key,
                      const std::string& value) {
    const std::string lineEnd = LineEndOf(content);
    Location location = Locate(content, section, key);
    std::string result;
    if (location.key) {
        // A key line always follows its section header, so it never carries the byte order mark.
        const Line& line = *location.key;
        size_t keyEnd = line.start + Parse(TextOf(content, line)).keyEnd;
        result.reserve(content.size() + value.size() + 1);
        result.append(content, 0, keyEnd);
        result += "=" + value;
        result.append(content, line.textEnd);
    } else if (location.section) {
        const Line& after = location.lastKeyLine;
        result.reserve(content.size() + key.size() + value.size() + 2 * lineEnd.size() + 1);
        result.append(content, 0, after.end);
        if (after.end == after.textEnd) result += lineEnd;
        result.append(key).append("=").append(value).append(lineEnd);
        result.append(content, after.end);
    } else {
        result.reserve(content.size() + section.size() + key.size() + value.size() + 8);
        result = content;
        if (!result.empty() && result.back() != '\n') result += lineEnd;
        result.append("[").append(section).append("]").append(lineEnd);
        result.append(key).append("=").append(value).append(lineEnd);
    }
    return result;
}

// Writes content to a new file next to native and renames it over native, so that a crash at
// any moment leaves either the old or the new file, never a mixture.
bool ReplaceContent(const std::string& native, const std::string& content,
                    std::optional<mode_t> mode) {
    static std::atomic<unsigned> counter{0};
    std::string temporary =
        native + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    FileHandle file = OpenFile(temporary, OpenMode::WriteCreateTruncate);
    if (!file.IsOpen()) return false;
    bool ok = WriteFull(file.Get(), content.data(), content.size());
#ifndef _WIN32
    if (ok && mode) ok = ::fchmod(file.Get(), *mode) == 0;
#else
    (void)mode;
#endif
    ok = ok && SyncFile(file.Get());
    ok = file.Close() && ok;
    ok = ok && ReplaceFile(temporary, native);
    if (!ok) {
        int saved = errno;
        DeleteFile(temporary);
        errno = saved;
    }
    return ok;
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& def, const std::string& file) {
    try {
        std::optional<std::string> content = ReadWholeFile(NativePath(file));
        if (!content) return def;  // errno says why: ENOENT for a missing file
        errno = 0;
        Location location = Locate(*content, Trim(section), Trim(key));
        if (!location.key) return def;
        return std::string(Unquote(Parse(TextOf(*content, *location.key)).value));
    } catch (const std::bad_alloc&) {
        // A file too large for the memory left is an unreadable file, not the end of the run.
        errno = ENOMEM;
        return def;
    }
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
    std::string_view sectionName = Trim(section);
    std::string_view keyName = Trim(key);
    // A line break or a misplaced bracket or '=' would change the file's structure; such names
    // and values cannot be stored faithfully.
    if (sectionName.empty() || keyName.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || sectionName.find(']') != std::string_view::npos ||
        keyName.find('=') != std::string_view::npos || keyName.front() == '[' ||
        keyName.front() == ';') {
        errno = EINVAL;
        return false;
    }

    try {
        const std::string native = NativePath(file);
        std::string content;
        std::optional<mode_t> mode;
        if (std::optional<std::string> existing = ReadWholeFile(native)) {
            content = std::move(*existing);
#ifndef _WIN32
            // The new file keeps the old one's permissions; Windows has none to keep.
            struct stat st;
            if (::stat(native.c_str(), &st) == 0) mode = st.st_mode & 07777;
            // The rename below would succeed over a write-protected file; writing to it must
            // fail as it does in place.
            int probe = ::open(native.c_str(), O_WRONLY | O_CLOEXEC);
            if (probe < 0) return false;
            ::close(probe);
#endif
        } else if (errno != ENOENT) {
            return false;  // an unreadable file must not be replaced by one holding only this key
        }
        return ReplaceContent(native, WithValue(content, sectionName, keyName, value), mode);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

}  // namespace korvun
