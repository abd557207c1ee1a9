// What a program says about its own build with --version: the updater's version, the release
// key it trusts and the server it asks when the game directory names none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvun {

// The updater's version as the project was configured ("1.0.0").
const char* UpdaterVersion();

// The number the build was given as its own updater version (KORVUN_UPDATER_VERSION), compared
// with the server's UpdaterVersion; nullopt in a build without one.
std::optional<uint32_t> OwnUpdaterVersion();

// The updater version a program file carries: the number after the marker text that every
// build with an own version embeds; nullopt when bytes hold no such marker.
std::optional<uint32_t> FindUpdaterVersionMarker(std::string_view bytes);

// The first lines of --help in a branded build: the product the updater belongs to
// (KORVUN_PRODUCT_NAME); empty in a build without one.
std::string ProductHeading();

// Lines for --version: "PROGRAM VERSION", the built-in release key's id (or "none") for
// keyLine, and the default server with its mirrors.
std::string BuildInfoText(const std::string& program, const std::string& keyLine);

}  // namespace korvun
