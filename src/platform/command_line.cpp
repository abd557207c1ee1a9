// The Windows rules for splitting a command line, shared by both systems' StartProcess.
#include "platform/process.h"

namespace korvun {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// The program name: quotes group, backslashes are ordinary characters.
size_t SplitProgramName(const std::string& line, size_t pos, std::vector<std::string>& args) {
    std::string name;
    bool quoted = false;
    for (; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            quoted = !quoted;
        } else if (IsSpace(c) && !quoted) {
            break;
        } else {
            name += c;
        }
    }
    args.push_back(std::move(name));
    return pos;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos < commandLine.size() && IsSpace(commandLine[pos])) ++pos;
    if (pos == commandLine.size()) return args;
    pos = SplitProgramName(commandLine, pos, args);

    while (true) {
        while (pos < commandLine.size() && IsSpace(commandLine[pos])) ++pos;
        if (pos == commandLine.size()) break;
        std::string arg;
        bool quoted = false;
        while (pos < commandLine.size()) {
            char c = commandLine[pos];
            if (c == '\\') {
                size_t backslashes = 0;
                while (pos < commandLine.size() && commandLine[pos] == '\\') {
                    ++backslashes;
                    ++pos;
                }
                if (pos < commandLine.size() && commandLine[pos] == '"') {
                    // 2n backslashes + quote: n backslashes, the quote delimits;
                    // 2n+1 backslashes + quote: n backslashes and a literal quote.
                    arg.append(backslashes / 2, '\\');
                    if (backslashes % 2 == 1) {
                        arg += '"';
                        ++pos;
                    }
                } else {
                    arg.append(backslashes, '\\');
                }
            } else if (c == '"') {
                ++pos;
                if (quoted && pos < commandLine.size() && commandLine[pos] == '"') {
                    arg += '"';  // "" inside quotes is a literal quote
                    ++pos;
                } else {
                    quoted = !quoted;
                }
            } else if (IsSpace(c) && !quoted) {
                break;
            } else {
                arg += c;
                ++pos;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace korvun
