#include "platform/oem_code_page.h"

#include <cstdlib>
#include <string_view>

namespace korvun {

namespace {

struct LocaleCodePage {
    std::string_view locale;  // "language", "language_TERRITORY" or "language@modifier"
    const char* codePage;
};

// Windows' OEM code pages per language; a territory or script entry comes before the
// language's own. Arabic and Persian (CP720) are missing because iconv has no CP720; their
// names are read as CP437 like any language not listed.
constexpr LocaleCodePage kCodePages[] = {
    {"en", "CP437"},       {"de", "CP850"},    {"fr", "CP850"},    {"es", "CP850"},
    {"it", "CP850"},       {"nl", "CP850"},    {"pt", "CP850"},    {"ca", "CP850"},
    {"eu", "CP850"},       {"gl", "CP850"},    {"da", "CP850"},    {"sv", "CP850"},
    {"fi", "CP850"},       {"nb", "CP850"},    {"nn", "CP850"},    {"no", "CP850"},
    {"af", "CP850"},       {"id", "CP850"},    {"ms", "CP850"},    {"fo", "CP850"},
    {"ga", "CP850"},       {"lb", "CP850"},    {"is", "CP861"},    {"pl", "CP852"},
    {"cs", "CP852"},       {"sk", "CP852"},    {"hu", "CP852"},    {"sl", "CP852"},
    {"hr", "CP852"},       {"ro", "CP852"},    {"sq", "CP852"},    {"bs", "CP852"},
    {"sr@latin", "CP852"}, {"sr", "CP855"},    {"ru", "CP866"},    {"uk", "CP866"},
    {"be", "CP866"},       {"bg", "CP866"},    {"mk", "CP866"},    {"kk", "CP866"},
    {"ky", "CP866"},       {"tt", "CP866"},    {"el", "CP737"},    {"tr", "CP857"},
    {"az", "CP857"},       {"lt", "CP775"},    {"lv", "CP775"},    {"et", "CP775"},
    {"he", "CP862"},       {"th", "CP874"},    {"vi", "CP1258"},   {"ja", "CP932"},
    {"ko", "CP949"},       {"zh_TW", "CP950"}, {"zh_HK", "CP950"}, {"zh_MO", "CP950"},
    {"zh", "CP936"},
};

const char* Lookup(std::string_view key) {
    for (const LocaleCodePage& entry : kCodePages) {
        if (entry.locale == key) return entry.codePage;
    }
    return nullptr;
}

}  // namespace

std::string OemCodePageOfLocale(const std::string& locale) {
    // language[_TERRITORY][.codeset][@modifier]
    std::string_view name = locale;
    std::string_view modifier;
    if (size_t at = name.find('@'); at != std::string_view::npos) {
        modifier = name.substr(at + 1);
        name = name.substr(0, at);
    }
    name = name.substr(0, name.find('.'));
    std::string_view language = name.substr(0, name.find('_'));
    if (!modifier.empty()) {
        if (const char* found = Lookup(std::string(language) + "@" + std::string(modifier))) {
            return found;
        }
    }
    if (const char* found = Lookup(name)) return found;
    if (const char* found = Lookup(language)) return found;
    return "CP437";
}

std::string CharacterTypeLocale() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return value;
    }
    return "C";
}

}  // namespace korvun
