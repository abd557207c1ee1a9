#include "demo_trees.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <vector>

#include "archive_pair_writer.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

struct DemoEntry {
    std::string content;
    uint32_t extraWord = 0;
};

struct DemoVersion {
    std::map<std::string, DemoEntry> archive;  // '\'-separated paths
    std::map<std::string, std::string> loose;  // '/'-separated paths
    uint32_t headerWord = 1;
    std::array<uint8_t, 40> headerBlock{};
};

// Entries the version script treats by hand; random changes leave them alone.
constexpr const char* kStory = "script\\quest\\main_story.lua";
constexpr const char* kTitleFont = "ui\\font\\title.fnt";
constexpr const char* kTitleFontAgain = "UI\\Font\\TITLE.FNT";
constexpr const char* kWorldMap = "data\\map\\world.map";
constexpr const char* kEmpty = "data\\empty.dat";
constexpr const char* kBulk = "data\\movie\\bulk.bin";

struct FolderKind {
    const char* folder;
    const char* stem;
    const char* extension;
    bool text;
};

constexpr std::array<FolderKind, 14> kFolders = {{
    {"data\\char\\warrior", "motion", ".ani", false},
    {"data\\char\\mage", "motion", ".ani", false},
    {"data\\item\\weapon", "item", ".dds", false},
    {"data\\item\\armor", "item", ".dds", false},
    {"data\\map\\zone01", "tile", ".map", false},
    {"data\\map\\zone01\\npc", "npc", ".txt", true},
    {"data\\map\\zone02", "tile", ".map", false},
    {"data\\map\\zone03\\dungeon\\floor1", "room", ".map", false},
    {"sound\\bgm", "track", ".ogg", false},
    {"sound\\effect", "sfx", ".wav", false},
    {"ui\\icon", "icon", ".tga", false},
    {"ui\\font", "glyphs", ".fnt", false},
    {"script\\quest", "quest", ".lua", true},
    {"script\\ai", "brain", ".lua", true},
}};

class ContentMaker {
  public:
    explicit ContentMaker(uint32_t seed) : random_(seed) {}

    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

    // Mostly small files, some medium, a few large, like a game's data.
    uint32_t TypicalSize() {
        uint32_t roll = Below(100);
        if (roll < 70) return 200 + Below(8000);
        if (roll < 95) return 8000 + Below(32000);
        return 40000 + Below(110000);
    }

    std::string Binary(size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random_() & 0xFF);
        return bytes;
    }

    std::string Text(size_t size, const std::string& title) {
        std::string text = "-- " + title + "\n";
        while (text.size() < size) {
            text += "set_value(\"key_" + std::to_string(Below(500)) + "\", " +
                    std::to_string(Below(100000)) + ")\n";
        }
        text.resize(size);
        return text;
    }

    std::string For(const FolderKind& kind, const std::string& path, size_t size) {
        return kind.text ? Text(size, path) : Binary(size);
    }

  private:
    std::mt19937 random_;
};

std::string NumberedName(const FolderKind& kind, uint32_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%04u%s", kind.stem, number, kind.extension);
    return std::string(kind.folder) + "\\" + name;
}

void SetHeader(DemoVersion& version, uint32_t number) {
    version.headerWord = number;
    version.headerBlock.fill(0);
    std::string label = "KORVUN DEMO CLIENT VERSION " + std::to_string(number);
    std::copy(label.begin(), label.end(), version.headerBlock.begin());
}

std::string Readme(uint32_t number) {
    return "Korvun demo client\r\nversion " + std::to_string(number) +
           "\r\nThis directory was made by korvun-tool demo trees.\r\n";
}

DemoVersion FirstVersion(const DemoTreeOptions& options, ContentMaker& make) {
    DemoVersion version;
    SetHeader(version, 1);
    uint32_t number = 0;
    while (version.archive.size() < options.entries) {
        const FolderKind& kind = kFolders[number % kFolders.size()];
        std::string path = NumberedName(kind, ++number);
        version.archive[path] = {make.For(kind, path, make.TypicalSize()), number};
    }
    version.archive[kStory] = {make.Text(6000, kStory), 7};
    version.archive[kTitleFont] = {make.Binary(9000), 0};
    // Larger than the updater's 500000-byte copy buffer, so that merges copy it in pieces.
    version.archive[kWorldMap] = {make.Binary(620000), 0};
    version.archive[kEmpty] = {"", 0};
    if (options.bulkBytes > 0) version.archive[kBulk] = {make.Binary(options.bulkBytes), 0};

    version.loose["Game.exe"] = "MZ" + make.Binary(48000);
    version.loose["Config.exe"] = "MZ" + make.Binary(16000);
    version.loose["readme.txt"] = Readme(1);
    version.loose["license.txt"] = make.Text(3000, "license");
    version.loose["movie/intro.bik"] = make.Binary(150000);
    version.loose["manual/index.html"] = "<html><body><h1>Korvun</h1></body></html>\n";
    for (uint32_t i = 1; version.loose.size() < options.looseFiles; ++i) {
        char name[64];
        uint32_t group = i % 4;
        if (group == 0) {
            std::snprintf(name, sizeof name, "dll/module%02u.dll", i);
            version.loose[name] = "MZ" + make.Binary(2000 + make.Below(20000));
        } else if (group == 1) {
            std::snprintf(name, sizeof name, "manual/images/shot%02u.png", i);
            version.loose[name] = make.Binary(1000 + make.Below(30000));
        } else if (group == 2) {
            std::snprintf(name, sizeof name, "lang/en/strings%02u.txt", i);
            version.loose[name] = make.Text(500 + make.Below(5000), name);
        } else {
            std::snprintf(name, sizeof name, "font/face%02u.ttf", i);
            version.loose[name] = make.Binary(4000 + make.Below(12000));
        }
    }
    return version;
}

// The archive paths random changes may pick.
std::vector<std::string> OrdinaryEntries(const DemoVersion& version) {
    std::vector<std::string> paths;
    for (const auto& [path, entry] : version.archive) {
        if (path != kStory && path != kTitleFont && path != kTitleFontAgain && path != kWorldMap &&
            path != kEmpty && path != kBulk) {
            paths.push_back(path);
        }
    }
    return paths;
}

const FolderKind& KindOf(const std::string& path) {
    for (const FolderKind& kind : kFolders) {
        if (path.rfind(std::string(kind.folder) + "\\", 0) == 0 &&
            path.find('\\', std::string(kind.folder).size() + 1) == std::string::npos) {
            return kind;
        }
    }
    return kFolders[0];
}

void RandomArchiveChanges(DemoVersion& version, uint32_t number, ContentMaker& make) {
    std::vector<std::string> paths = OrdinaryEntries(version);
    const size_t base = std::max<size_t>(paths.size(), 20);
    for (size_t i = 0; i < base * 6 / 100 && !paths.empty(); ++i) {
        const std::string& path = paths[make.Below(static_cast<uint32_t>(paths.size()))];
        version.archive[path].content = make.For(KindOf(path), path, make.TypicalSize());
    }
    for (size_t i = 0; i < base * 3 / 100 && !paths.empty(); ++i) {
        size_t pick = make.Below(static_cast<uint32_t>(paths.size()));
        version.archive.erase(paths[pick]);
        paths.erase(paths.begin() + static_cast<std::ptrdiff_t>(pick));
    }
    // New entries: some beside the old ones, some in folders this version brings.
    for (size_t i = 0; i < base * 5 / 100; ++i) {
        const FolderKind& kind = kFolders[make.Below(kFolders.size())];
        std::string path =
            i % 2 == 0 ? NumberedName(kind, 5000 + number * 100 + static_cast<uint32_t>(i))
                       : "data\\event\\season" + std::to_string(number) + "\\stage" +
                             std::to_string(i % 3) + "\\reward_" + std::to_string(i) + ".dds";
        version.archive[path] = {make.For(kind, path, make.TypicalSize()), number};
    }
}

void ScriptedChanges(DemoVersion& version, uint32_t number, ContentMaker& make) {
    switch (number) {
        case 2:
            version.archive.erase(kTitleFont);
            version.archive[kEmpty] = {"now with content\n", 0};
            version.loose["manual/patch-notes/v2.html"] = "<p>Season 2</p>\n";
            break;
        case 3:
            version.archive.erase(kStory);
            version.archive[kWorldMap].content = make.Binary(640000);
            version.archive["data\\event\\marker.flag"] = {"", 3};
            if (auto it = version.archive.begin(); it != version.archive.end()) {
                it->second.extraWord ^= 0x5A5A0000;
            }
            version.loose["Game.exe"] = "MZ" + make.Binary(49000);
            version.loose["lang/fr/strings.txt"] = make.Text(2500, "fr");
            break;
        case 4:
            // Both come back: the deletion lists of packages 2 and 3 must not remove them
            // from a client that updates over all three in one run.
            version.archive[kStory] = {make.Text(6500, "story, rewritten"), 8};
            version.archive[kTitleFontAgain] = {make.Binary(9500), 0};
            if (!version.loose.empty()) {
                auto it = std::next(version.loose.begin(), make.Below(version.loose.size()));
                it->second = make.Binary(it->second.size() + 100);
            }
            break;
        default:
            version.loose["manual/patch-notes/v" + std::to_string(number) + ".html"] =
                "<p>Season " + std::to_string(number) + "</p>\n";
            break;
    }
    version.loose["readme.txt"] = Readme(number);
}

bool WriteTree(const DemoVersion& version, const std::string& directory, std::string& error) {
    std::error_code failure;
    fs::remove_all(directory, failure);
    fs::create_directories(directory, failure);
    if (failure) {
        error = "cannot create " + directory + ": " + failure.message();
        return false;
    }
    for (const auto& [path, content] : version.loose) {
        fs::path target = fs::path(directory) / path;
        fs::create_directories(target.parent_path(), failure);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            error = "cannot write " + target.string();
            return false;
        }
    }
    ArchivePairWriter writer;
    if (!writer.Open(directory + "/data.kah", error)) return false;
    for (const auto& [path, entry] : version.archive) {
        if (!writer.Add(path, entry.content, entry.extraWord, error)) return false;
    }
    return writer.Finish(version.headerWord, version.headerBlock.data(), error);
}

}  // namespace

bool WriteDemoTrees(const DemoTreeOptions& options, std::string& error) {
    if (options.versions < 1) {
        error = "at least one version is needed";
        return false;
    }
    ContentMaker make(options.seed);
    DemoVersion version = FirstVersion(options, make);
    for (uint32_t number = 1;; ++number) {
        // A release tree is a fresh installation of its version, Version.ini included.
        version.loose["Version.ini"] =
            "[Version]\r\nCheckVersion=3\r\nCurrentVersion=" + std::to_string(number) + "\r\n";
        if (!WriteTree(version, options.outDir + "/v" + std::to_string(number), error)) {
            return false;
        }
        if (number == options.versions) return true;
        RandomArchiveChanges(version, number + 1, make);
        ScriptedChanges(version, number + 1, make);
        if (options.bulkBytes > 0) version.archive[kBulk].content = make.Binary(options.bulkBytes);
        SetHeader(version, number + 1);
    }
}

}  // namespace korvun::tool
