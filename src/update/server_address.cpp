#include "update/server_address.h"

#include <cctype>
#include <cstdio>

#include "platform/profile.h"
#include "platform/win_path.h"

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

}  // namespace

const char* DefaultServerAddress() { return KORVUN_DEFAULT_SERVER; }

ServerAddressChoice ChooseServerAddress() {
    ServerAddressChoice choice;
    choice.address = DefaultServerAddress();
    std::string testIp = ReadProfileString("LOGIN", "TEST_IP", "", ".\\CONFIG.ini");
    if (testIp.empty() || !IsRegionSelected(testIp)) return choice;

    std::FILE* file = std::fopen(NativePath("UpdaterURL.txt").c_str(), "r");
    if (!file) {
        choice.status = ServerAddressStatus::UrlFileMissing;
        return choice;
    }
    std::string word;
    choice.status = ReadFirstWord(file, &word);
    std::fclose(file);
    if (choice.status == ServerAddressStatus::Found) choice.address = word;
    return choice;
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
    return address.rfind("http://", 0) == 0 || address.rfind("https://", 0) == 0;
}

std::string ServerUrl(const std::string& address, const std::string& path) {
    return (AddressHasScheme(address) ? "" : "http://") + address + path;
}

}  // namespace korvun
