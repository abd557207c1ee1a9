// The update server's address: the text put in place of %s in every server URL. Chosen
// from CONFIG.ini and UpdaterURL.txt, else the built-in default, and handed to the worker.
#pragma once

#include <cstddef>
#include <string>

namespace korvun {

constexpr size_t kMaxServerAddressLength = 511;

enum class ServerAddressStatus {
    Found,              // address holds the choice (the default included)
    UrlFileMissing,     // a region is selected but UpdaterURL.txt cannot be opened
    UrlFileUnreadable,  // UpdaterURL.txt has no first word, or one that does not fit
};

struct ServerAddressChoice {
    ServerAddressStatus status = ServerAddressStatus::Found;
    std::string address;
};

// The built-in address (an IPv4 address followed by "/").
const char* DefaultServerAddress();

// Decides the address from the files in the current directory, without side effects.
ServerAddressChoice ChooseServerAddress();

// The text of the "Error" box for a choice that failed; empty for a found address.
std::string ServerAddressProblem(ServerAddressStatus status);

// True when the address names its scheme ("https://host:port/"); a bare address is a
// plain HTTP server.
bool AddressHasScheme(const std::string& address);

// address + path when the address names its scheme, else "http://" + address + path; path
// starts with "/".
std::string ServerUrl(const std::string& address, const std::string& path);

}  // namespace korvun
