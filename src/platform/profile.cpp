#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "platform/win_path.h"

namespace korvun {

namespace {

// One physical line: its text and its own line end ("\r\n", "\n" or none at the end of the
// file), so that untouched lines can be written back byte for byte.
struct Line {
    std::string text;
    std::string end;
};

std::optional<std::string> ReadWholeFile(const std::string& native) {
    int fd = OpenFile(native, OpenMode::ReadOnly);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[8192];
    for (;;) {
        int64_t n = ReadSome(fd, buffer, sizeof buffer);
        if (n < 0) {
            CloseFile(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    CloseFile(fd);
    return content;
}

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t newline = content.find('\n', start);
        if (newline == std::string::npos) {
            lines.push_back({content.substr(start), ""});
            break;
        }
        size_t textEnd = newline;
        if (textEnd > start && content[textEnd - 1] == '\r') --textEnd;
        lines.push_back({content.substr(start, textEnd - start),
                         content.substr(textEnd, newline + 1 - textEnd)});
        start = newline + 1;
    }
    return lines;
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
std::string_view WithoutByteOrderMark(const Line& line, bool first) {
    std::string_view text = line.text;
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

// Where section and key sit in the file; indices into the line list.
struct Location {
    std::optional<size_t> section;
    std::optional<size_t> key;
    size_t lastKeyLine = 0;  // the section header when the section has no key lines yet
};

Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
    Location location;
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine parsed = Parse(WithoutByteOrderMark(lines[i], i == 0));
        if (parsed.kind == LineKind::Section) {
            // The first section of that name is the one that counts, as with the key.
            if (location.section) break;
            if (EqualsIgnoringCase(parsed.name, section)) {
                location.section = i;
                location.lastKeyLine = i;
            }
        } else if (location.section && parsed.kind == LineKind::Key) {
            location.lastKeyLine = i;
            if (!location.key && EqualsIgnoringCase(parsed.name, key)) location.key = i;
        } else if (location.section && parsed.kind == LineKind::Other) {
            location.lastKeyLine = i;
        }
    }
    return location;
}

// The line end new lines get: the one the file already uses (taken from its first line), or
// CRLF for a new file.
std::string LineEndOf(const std::vector<Line>& lines) {
    if (!lines.empty() && !lines.front().end.empty()) return lines.front().end;
    return "\r\n";
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string Join(const std::vector<Line>& lines) {
    std::string content;
    for (const Line& line : lines) {
        content += line.text;
        content += line.end;
    }
    return content;
}

// Writes content to a new file next to native and renames it over native, so that a crash at
// any moment leaves either the old or the new file, never a mixture.
bool ReplaceContent(const std::string& native, const std::string& content,
                    std::optional<mode_t> mode) {
    static std::atomic<unsigned> counter{0};
    std::string temporary =
        native + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    int fd = OpenFile(temporary, OpenMode::WriteCreateTruncate);
    if (fd < 0) return false;
    bool ok = WriteFull(fd, content.data(), content.size());
    if (ok && mode) ok = ::fchmod(fd, *mode) == 0;
    ok = ok && SyncFile(fd);
    CloseFile(fd);
    ok = ok && ReplaceFile(temporary, native);
    if (!ok) {
        int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
    }
    return ok;
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& def, const std::string& file) {
    std::optional<std::string> content = ReadWholeFile(NativePath(file));
    if (!content) return def;  // errno says why: ENOENT for a missing file
    errno = 0;
    std::vector<Line> lines = SplitLines(*content);
    Location location = Locate(lines, Trim(section), Trim(key));
    if (!location.key) return def;
    return std::string(Unquote(Parse(lines[*location.key].text).value));
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

    const std::string native = NativePath(file);
    std::vector<Line> lines;
    std::optional<mode_t> mode;
    if (std::optional<std::string> content = ReadWholeFile(native)) {
        lines = SplitLines(*content);
        struct stat st;
        if (::stat(native.c_str(), &st) == 0) mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;  // an unreadable file must not be replaced by one holding only this key
    }

    const std::string lineEnd = LineEndOf(lines);
    const std::string keyLine = std::string(keyName) + "=" + value;
    Location location = Locate(lines, sectionName, keyName);
    if (location.key) {
        // A key line always follows its section header, so it never carries the byte order mark.
        Line& line = lines[*location.key];
        line.text = line.text.substr(0, Parse(line.text).keyEnd) + "=" + value;
    } else if (location.section) {
        size_t after = location.lastKeyLine;
        if (lines[after].end.empty()) lines[after].end = lineEnd;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after) + 1, {keyLine, lineEnd});
    } else {
        if (!lines.empty() && lines.back().end.empty()) lines.back().end = lineEnd;
        lines.push_back({"[" + std::string(sectionName) + "]", lineEnd});
        lines.push_back({keyLine, lineEnd});
    }
    return ReplaceContent(native, Join(lines), mode);
}

}  // namespace korvun
