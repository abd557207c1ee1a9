#include "update/server_address.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "app/message_box.h"
#include "platform/profile.h"
#include "platform/win_path.h"

namespace korvun {

namespace {

std::string& AddressBuffer() {
    static std::string address = DefaultServerAddress();
    return address;
}

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

void ReadServerAddress() {
    ServerAddressChoice choice = ChooseServerAddress();
    switch (choice.status) {
        case ServerAddressStatus::Found:
            AddressBuffer() = choice.address;
            return;
        case ServerAddressStatus::UrlFileMissing:
            ShowMessageBox("Can't Find UpdaterURL.txt", "Error");
            std::exit(0);
        case ServerAddressStatus::UrlFileUnreadable:
            ShowMessageBox("Can't Read UpdaterURL.txt", "Error");
            std::exit(0);
    }
}

const std::string& ServerAddress() { return AddressBuffer(); }

bool AddressHasScheme(const std::string& address) {
    return address.rfind("http://", 0) == 0 || address.rfind("https://", 0) == 0;
}

std::string ServerUrl(const std::string& path) {
    const std::string& address = AddressBuffer();
    return (AddressHasScheme(address) ? "" : "http://") + address + path;
}

}  // namespace korvun
