#include "platform/code_page.h"

#include <gtest/gtest.h>

#include "platform/oem_code_page.h"
#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScopedEnv;

// The C locale's OEM code page is CP437.
TEST(CodePage, Cp437BytesBecomeUtf8) {
    ScopedEnv locale("LC_ALL", "C");
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
    ScopedEnv locale("LC_ALL", "C");
    std::string oem(3000, '\x81');
    std::string utf8;
    for (int i = 0; i < 3000; ++i) utf8 += "\xC3\xBC";
    EXPECT_EQ(OemToUtf8(oem), utf8);
}

TEST(CodePage, LocalesMapToTheOemCodePageWineGivesThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"C", "CP437"},
        {"POSIX", "CP437"},
        {"", "CP437"},
        {"C.UTF-8", "CP437"},
        {"en_US.UTF-8", "CP437"},
        {"de_DE.UTF-8", "CP850"},
        {"de_AT", "CP850"},
        {"fr_FR.ISO-8859-1", "CP850"},
        {"pl_PL.UTF-8", "CP852"},
        {"ru_RU.UTF-8", "CP866"},
        {"sr_RS", "CP855"},
        {"sr_RS@latin", "CP852"},
        {"ko_KR.UTF-8", "CP949"},
        {"ja_JP.eucJP", "CP932"},
        {"zh_CN.UTF-8", "CP936"},
        {"zh_TW.UTF-8", "CP950"},
        {"el_GR.UTF-8", "CP737"},
        {"tr_TR.UTF-8", "CP857"},
        {"xx_YY.UTF-8", "CP437"},
    };
    for (const auto& [locale, codePage] : cases) {
        EXPECT_EQ(OemCodePageOfLocale(locale), codePage) << locale;
    }
}

TEST(CodePage, LcAllThenLcCtypeThenLangDecide) {
    ScopedEnv all("LC_ALL", "pl_PL.UTF-8");
    ScopedEnv ctype("LC_CTYPE", "de_DE.UTF-8");
    ScopedEnv lang("LANG", "ko_KR.UTF-8");
    EXPECT_EQ(CharacterTypeLocale(), "pl_PL.UTF-8");
    ScopedEnv emptyAll("LC_ALL", "");
    EXPECT_EQ(CharacterTypeLocale(), "de_DE.UTF-8");
    ScopedEnv noCtype("LC_CTYPE", std::nullopt);
    EXPECT_EQ(CharacterTypeLocale(), "ko_KR.UTF-8");
    ScopedEnv noLang("LANG", std::nullopt);
    EXPECT_EQ(CharacterTypeLocale(), "C");
}

// The same bytes read differently as the locale changes, even on a thread that has
// converted names before.
TEST(CodePage, ConversionFollowsTheLocale) {
#ifdef KORVUN_OEM_CODEPAGE
    GTEST_SKIP() << "this build reads every name as " << KORVUN_OEM_CODEPAGE;
#endif
    const std::string bytes = "\x9B\xA9";
    ScopedEnv c("LC_ALL", "C");
    EXPECT_EQ(OemToUtf8(bytes), "\xC2\xA2\xE2\x8C\x90");  // CP437: cent sign, reversed not
    ScopedEnv german("LC_ALL", "de_DE.UTF-8");
    EXPECT_EQ(OemToUtf8(bytes), "\xC3\xB8\xC2\xAE");  // CP850: o with stroke, registered
    ScopedEnv korean("LC_ALL", "ko_KR.UTF-8");
    EXPECT_EQ(OemToUtf8("\xC7\xD1\xB1\xDB"), "\xED\x95\x9C\xEA\xB8\x80");  // CP949: Hangul
}

}  // namespace
}  // namespace korvun
