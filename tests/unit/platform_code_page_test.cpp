#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace korvun {
namespace {

// The build's default OEM code page is CP437.
TEST(CodePage, Cp437BytesBecomeUtf8) {
    EXPECT_EQ(OemToUtf8("\x81\x9A"), "\xC3\xBC\xC3\x9C");                          // üÜ
    EXPECT_EQ(OemToUtf8("data\\\x8Erger.txt"), "data\\\xC3\x84rger.txt");          // Ärger
    EXPECT_EQ(OemToUtf8("\xC9\xCD\xBB"), "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97");  // ╔═╗
    EXPECT_EQ(OemToUtf8("\xE1"), "\xC3\x9F");                                      // ß
}

TEST(CodePage, AsciiAndEmptyNamesPassUnchanged) {
    EXPECT_EQ(OemToUtf8(""), "");
    EXPECT_EQ(OemToUtf8("Data\\Map\\x.kah"), "Data\\Map\\x.kah");
}

TEST(CodePage, LongNamesConvertCompletely) {
    std::string oem(3000, '\x81');
    std::string utf8;
    for (int i = 0; i < 3000; ++i) utf8 += "\xC3\xBC";
    EXPECT_EQ(OemToUtf8(oem), utf8);
}

}  // namespace
}  // namespace korvun
