#include "update/server_address.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "platform/file_io.h"
#include "platform/profile.h"

namespace korvun {

namespace {

bool IsRegionSelected(const std::string& testIp) {
    // Exact, case-sensitive whole-value matches; anything else, an IP included, is ignored.
    return testIp == "GERMANY" || testIp == "FRANCE" || testIp == "POLAND";
}

// Reads the first whitespace-delimited word of file. Longer words than the address buffer
// holds are refused rather than cut, so a damaged file never yields a wrong server.
ServerAddressStatus ReadFirstWord(std::FILE* file, std::string* word) {
    int c;
    do {
        c = std::fgetc(file);
    } while (c != EOF && std::isspace(c));
    word->clear();
    while (c != EOF && !std::isspace(c)) {
        if (word->size() == kMaxServerAddressLength) {
            return ServerAddressStatus::UrlFileUnreadable;
        }
        word->push_back(static_cast<char>(c));
        c = std::fgetc(file);
    }
    return word->empty() ? ServerAddressStatus::UrlFileUnreadable : ServerAddressStatus::Found;
}

void AddMirror(std::vector<std::string>* mirrors, const std::string& first,
               const std::string& mirror) {
    if (mirrors->size() == kMaxMirrors || mirror == first ||
        std::find(mirrors->begin(), mirrors->end(), mirror) != mirrors->end()) {
        return;
    }
    mirrors->push_back(mirror);
}

// The words after the first, on its line or on further lines. A word that does not fit is
// left out rather than cut, as the first one would be refused.
std::vector<std::string> ReadMirrorWords(std::FILE* file, const std::string& first) {
    std::vector<std::string> mirrors;
    std::string word;
    for (;;) {
        ServerAddressStatus status = ReadFirstWord(file, &word);
        if (status == ServerAddressStatus::Found) {
            AddMirror(&mirrors, first, word);
            continue;
        }
        if (word.empty()) break;
        // The rest of a word that did not fit.
        int c;
        do {
            c = std::fgetc(file);
        } while (c != EOF && !std::isspace(c));
        if (c == EOF) break;
    }
    return mirrors;
}

// Schemes are case-insensitive: "HTTP://host/" names its scheme as well.
bool StartsWithScheme(const std::string& address, std::string_view scheme) {
    return address.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), address.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

std::vector<std::string> ServerAddressChoice::Addresses() const {
    std::vector<std::string> all{address};
    all.insert(all.end(), mirrors.begin(), mirrors.end());
    return all;
}

std::vector<std::string> SplitAddressList(const std::string& list) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = std::min(list.find(',', start), list.size());
        size_t first = start;
        size_t last = end;
        while (first < last && std::isspace(static_cast<unsigned char>(list[first]))) ++first;
        while (last > first && std::isspace(static_cast<unsigned char>(list[last - 1]))) --last;
        if (last > first) items.push_back(list.substr(first, last - first));
        start = end + 1;
    }
    return items;
}

std::string DefaultServerAddress() {
    std::vector<std::string> list = SplitAddressList(KORVUN_DEFAULT_SERVER);
    return list.empty() ? std::string() : list.front();
}

std::vector<std::string> DefaultMirrors() {
    std::vector<std::string> list = SplitAddressList(KORVUN_DEFAULT_SERVER);
    std::vector<std::string> mirrors;
    for (size_t i = 1; i < list.size(); ++i) AddMirror(&mirrors, list.front(), list[i]);
    return mirrors;
}

ServerAddressChoice ChooseServerAddress(const ClientDirectory& client) {
    ServerAddressChoice choice;
    choice.address = DefaultServerAddress();
    choice.mirrors = DefaultMirrors();
    std::string testIp = ReadProfileString("LOGIN", "TEST_IP", "", client.Path("CONFIG.ini"));
    if (!testIp.empty() && !IsRegionSelected(testIp)) choice.ignoredTestIp = testIp;
    if (testIp.empty() || !IsRegionSelected(testIp)) return choice;
    // The region's file replaces the built-in list as a whole, mirrors included.
    choice.mirrors.clear();

    std::FILE* file = OpenReadStream(client.Path("UpdaterURL.txt"));
    if (!file) {
        choice.status = ServerAddressStatus::UrlFileMissing;
        return choice;
    }
    std::string word;
    choice.status = ReadFirstWord(file, &word);
    if (choice.status == ServerAddressStatus::Found) {
        choice.address = word;
        choice.mirrors = ReadMirrorWords(file, word);
    }
    std::fclose(file);
    return choice;
}

std::string IgnoredTestIpNote(const ServerAddressChoice& choice) {
    if (choice.ignoredTestIp.empty()) return {};
    return "CONFIG.ini: TEST_IP=" + choice.ignoredTestIp +
           " is not GERMANY, FRANCE or POLAND (exactly so) and is ignored; the update server is " +
           choice.address;
}

std::string ServerAddressProblem(ServerAddressStatus status) {
    switch (status) {
        case ServerAddressStatus::Found:
            break;
        case ServerAddressStatus::UrlFileMissing:
            return "Can't Find UpdaterURL.txt";
        case ServerAddressStatus::UrlFileUnreadable:
            return "Can't Read UpdaterURL.txt";
    }
    return {};
}

bool AddressHasScheme(const std::string& address) {
    return StartsWithScheme(address, "http://") || StartsWithScheme(address, "https://");
}

bool AddressIsSecure(const std::string& address) { return StartsWithScheme(address, "https://"); }

std::string ServerUrl(const std::string& address, const std::string& path) {
    return (AddressHasScheme(address) ? "" : "http://") + address + path;
}

std::string ServerPageUrl(const std::string& pattern, const std::string& address) {
    std::string url = pattern;
    size_t at = url.find("%s");
    if (at == std::string::npos) return url;
    size_t from = at;
    if (AddressHasScheme(address)) {
        // Only a scheme right before %s is the address's to replace; a pattern that puts
        // the address anywhere else gets it as it is.
        for (const char* scheme : {"http://", "https://"}) {
            size_t length = std::char_traits<char>::length(scheme);
            if (at >= length && url.compare(at - length, length, scheme) == 0) from = at - length;
        }
    }
    url.replace(from, at + 2 - from, address);
    return url;
}

}  // namespace korvun
