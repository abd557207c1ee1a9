// The code table against the operator's guide, and the filling of a text's fields.
#include "app/player_codes.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "support/test_files.h"

namespace korvun {
namespace {

// The guide's message table: each code's text column as it reads, "(same text)" resolved.
std::map<std::string, std::string> GuideTexts() {
    std::istringstream guide(
        test::ReadFileBytes(std::string(KORVUN_SOURCE_DIR) + "/docs/operator-guide.md"));
    std::map<std::string, std::string> texts;
    std::string previous;
    for (std::string line; std::getline(guide, line);) {
        if (line.rfind("| c", 0) != 0) continue;
        std::vector<std::string> cells;
        for (size_t at = 1, bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1) {
            cells.push_back(line.substr(at + 1, bar - at - 2));  // one space on either side
        }
        if (cells.size() < 3) continue;
        const std::string& code = cells[0];
        std::string text = cells[2];
        const std::string same = "(same text)";
        if (text.rfind(same, 0) == 0) text = previous + text.substr(same.size());
        texts[code] = text;
        previous = text.substr(0, text.size() - code.size());
    }
    return texts;
}

// A code's texts as the guide shows them: fields by their names, several joined by ", then ".
std::map<std::string, std::string> TableTexts() {
    std::map<std::string, std::string> texts;
    for (const PlayerCodeEntry& entry : PlayerCodes()) {
        std::string shown;
        for (const char* c = entry.text; *c; ++c) {
            if (*c != '{' && *c != '}') shown += *c;
        }
        std::string& text = texts[entry.id];
        text += (text.empty() ? "" : ", then ") + shown + entry.id;
        EXPECT_NE(std::string(entry.description), "") << entry.id;
    }
    return texts;
}

TEST(PlayerCodesTest, TheGuideListsEveryCodeWithTheSameText) {
    std::map<std::string, std::string> guide = GuideTexts(), table = TableTexts();
    for (const auto& [code, text] : table) {
        ASSERT_TRUE(guide.contains(code)) << code << " is missing from the guide";
        EXPECT_EQ(guide[code], text) << code;
    }
    for (const auto& [code, text] : guide) EXPECT_TRUE(table.contains(code)) << code;
}

TEST(PlayerCodesTest, FieldsAreFilledInOrderAndTheIdFollowsDirectly) {
    struct Case {
        std::string composed, expected;
    };
    for (const Case& c : {
             Case{ComposeMessage(PlayerCode::PackageWriteFailed, {"28", "7"}),
                  "Download FailedLWx: ,28,7 c23"},
             Case{ComposeMessage(PlayerCode::PackageReadFailed, {"12002", "3"}),
                  "Download FailedEx: ,12002,3 c23-1"},
             Case{ComposeMessage(PlayerCode::PackageLongerThanAnnounced, {"0", "3", "120", "100"}),
                  "Download FailedOv: ,0,3,120/100 c34"},
             Case{ComposeMessage(PlayerCode::SignedSizeWrong, {"pk0002.patch"}),
                  "Download Failed: pk0002.patch Wrong size.c57"},
             Case{PlayerFailure(PlayerCode::ExtractionFailed).Message(), "Extraction Failedc12"},
             Case{PlayerFailure(PlayerCode::ExtractionFailed).Code(), "c12"},
         }) {
        EXPECT_EQ(c.composed, c.expected);
    }
}

}  // namespace
}  // namespace korvun
