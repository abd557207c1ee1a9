// The update server's address: the text put in place of %s in every server URL. Chosen
// from CONFIG.ini and UpdaterURL.txt, else the built-in default, and handed to the worker.
// Either source may name mirrors after the first address: servers with the same files, which
// a run turns to when the ones before do not answer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/client_directory.h"

namespace korvun {

constexpr size_t kMaxServerAddressLength = 511;
// Every mirror costs a request (and a time-out when it is down) before a run can start; more
// than this many are not read.
constexpr size_t kMaxMirrors = 8;

enum class ServerAddressStatus {
    Found,              // address holds the choice (the default included)
    UrlFileMissing,     // a region is selected but UpdaterURL.txt cannot be opened
    UrlFileUnreadable,  // UpdaterURL.txt has no first word, or one that does not fit
};

struct ServerAddressChoice {
    ServerAddressStatus status = ServerAddressStatus::Found;
    std::string address;
    // Further addresses in the order given, without repeats of one before.
    std::vector<std::string> mirrors;
    // A TEST_IP value in CONFIG.ini that selects no region ("germany", an address): it is
    // ignored, and the run says so beside its own messages.
    std::string ignoredTestIp;

    // The address first, then the mirrors.
    std::vector<std::string> Addresses() const;
};

// The built-in address (an IPv4 address followed by "/"): the first of the comma-separated
// list the program was built with; the others are its mirrors.
std::string DefaultServerAddress();
std::vector<std::string> DefaultMirrors();

// The items of a comma-separated list, blanks around them removed, empty items left out.
std::vector<std::string> SplitAddressList(const std::string& list);

// Decides the address from the files in the client's directory, without side effects.
ServerAddressChoice ChooseServerAddress(const ClientDirectory& client);

// The line that reports an ignored TEST_IP value with the address used instead; empty when
// there is none.
std::string IgnoredTestIpNote(const ServerAddressChoice& choice);

// The text of the "Error" box for a choice that failed; empty for a found address.
std::string ServerAddressProblem(ServerAddressStatus status);

// True when the address names its scheme ("https://host:port/"); a bare address is a
// plain HTTP server.
bool AddressHasScheme(const std::string& address);

// True when the address names https, in any case of letters.
bool AddressIsSecure(const std::string& address);

// address + path when the address names its scheme, else "http://" + address + path; path
// starts with "/".
std::string ServerUrl(const std::string& address, const std::string& path);

// A page URL from a build-time pattern in which %s stands for the address
// ("http://%s/notice/index.html"). An address that names its scheme replaces the pattern's
// own scheme as well, so that an https server gives https pages; any other address is put in
// place of %s unchanged.
std::string ServerPageUrl(const std::string& pattern, const std::string& address);

}  // namespace korvun
