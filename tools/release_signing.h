// Signing what a server publishes: a minisign key pair for the operator, and the release
// manifest (size and SHA-256 of every file a client fetches) with its signature.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "release.h"
#include "trust/minisign.h"

namespace korvun::tool {

// Days a signed release stays valid unless the operator says otherwise.
constexpr unsigned kDefaultExpiryDays = 30;

// Every file a client may fetch from the server at root, relative to it, in the order
// clients fetch them: the version file, the packages, the updaters that are published.
std::vector<std::string> PublishedPaths(const std::string& root);

// Writes DIR/release.key (secret, mode 0600, no password) and DIR/release.pub; never
// overwrites a key.
ReleaseResult GenerateReleaseKey(const std::string& dir);
// Writes patch/release.manifest and patch/release.manifest.minisig for the files the server
// publishes now, with a serial above the previous one and an expiry days from now.
ReleaseResult SignRelease(const std::string& root, const std::string& keyFile, unsigned days);
// Checks the signature and every listed file; refused (1) when anything does not hold.
ReleaseResult VerifyRelease(const std::string& root, const std::string& publicKeyFile);

// Reads and parses a secret key file; nothing with a reason in error.
std::optional<MinisignSecretKey> ReadSecretKey(const std::string& keyFile, std::string& error);

// After a change to the server: signs again when a key is given; otherwise, on a server that
// is signed, says that its signature no longer covers what is published.
void SignAfterChange(const std::string& root, const std::optional<std::string>& keyFile,
                     unsigned days, ReleaseResult& result);

}  // namespace korvun::tool
