// Private-profile (INI) files with the semantics of GetPrivateProfileStringA and
// WritePrivateProfileStringA that the updater relies on.
#pragma once

#include <string>

#ifdef _WIN32
// windows.h names its own WriteProfileString as a macro; ours is meant.
#undef WriteProfileString
#endif

namespace korvun {

// Value of key in section of file; def when the file, the section or the key is absent.
// Section and key names match case-insensitively; the value is trimmed and one pair of
// surrounding quotes is removed. Afterwards errno is 0 when the file was read, ENOENT when it
// does not exist, and the error when it exists but could not be read.
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& def, const std::string& file);

// Writes key=value into section of file, creating file, section and key as needed. Every
// other line keeps its bytes and order; an existing key is replaced in place and keeps its
// spelling. New files use CRLF; an existing file keeps its line ends. The write is atomic
// and durable (temporary file, fsync, rename, fsync of the directory). A new key goes after
// the section's last key line; a new section goes at the end. False on failure, and also when
// a name or the value holds a line break (or the key an '=', the section a ']'), since such
// an entry could not be read back; the file is then left as it was.
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

}  // namespace korvun
