// The bounded formatter, the texts and the version rules.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/shell.h"
#include "app/texts.h"

namespace {

// Sets LANG (and clears its overrides) for one test.
class LanguageScope {
public:
    explicit LanguageScope(const char* lang) {
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", lang, 1);
    }
    ~LanguageScope() { setenv("LANG", "C.UTF-8", 1); }
};

// The three conversions the system uses, with printf's meaning in a wide
// format whatever the C library thinks %s means there.
TEST(FormatText, ExpandsTextDecimalAndEightHexDigits) {
    EXPECT_EQ(FormatText(256, L"VESTORA %s FW Updater %u.%u %s", {L"ORVANTO", 3, 0, L""}),
              L"VESTORA ORVANTO FW Updater 3.0 ");
    EXPECT_EQ(FormatText(2048, L"0x%08x-0x%08x", {static_cast<std::uint32_t>(-2), 31}),
              L"0xfffffffe-0x0000001f");
    EXPECT_EQ(FormatText(2048, L"0x%08x", {1627}), L"0x0000065b");
    EXPECT_EQ(FormatText(32, L"%u.%u", {0u, 4294967295u}), L"0.4294967295");
    EXPECT_EQ(FormatText(32, L"100%% %d %", {}), L"100% %d %");
}

// Whatever the arguments, the result never outgrows its buffer.
TEST(FormatText, NeverExceedsItsCapacity) {
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(FormatText(2048, L"%s%s", {longText, longText}).size(), 2047u);
    EXPECT_EQ(FormatText(8, L"%08x%08x", {1, 2}), L"0000000");
    EXPECT_EQ(FormatText(1, L"abc", {}), L"");
    EXPECT_EQ(FormatText(0, L"abc", {}), L"");
    EXPECT_EQ(FormatText(16, L"%s|%u|%08x", {}), L"||") << "missing arguments expand to nothing";
}

// The title is the same in both languages and ends with a blank.
TEST(Texts, EnglishAndGermanComeFromTheSameTable) {
    {
        LanguageScope english("en_US.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update failed!");
        EXPECT_EQ(LoadText(IDS_LABEL_UNIT), L"programming unit");
        EXPECT_EQ(LoadText(IDS_REGISTRATION_FAILED),
                  L"Failed to register Windows Device Manager. New devices on USB port cannot "
                  L"be detected.The program is closed.");
    }
    {
        LanguageScope german("de_DE.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update fehlgeschlagen!");
        EXPECT_EQ(LoadText(IDS_LABEL_BOOTLOADER), L"Regler-Bootloader");
        EXPECT_EQ(LoadText(IDS_ERROR_CODE_LINE), L"Das System meldet Fehlercode 0x%08x-0x%08x");
        EXPECT_NE(LoadText(IDS_INSTRUCTIONS).find(L"Windows\u2122PC"), std::wstring::npos);
    }
    {
        LanguageScope austrian("de_AT.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update failed!");
    }
}

// All 43 ids exist in both languages; a missing id loads as empty.
TEST(Texts, EveryIdExistsInBothLanguages) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = 40000; id <= 40041; ++id) {
        if (id != 40010 && id != 40013 && id != 40014 && id != 40018 && id != 40019 &&
            id != 40021 && id != 40024) {
            ids.push_back(id);
        }
    }
    for (std::uint32_t id = 60001; id <= 60008; ++id) {
        ids.push_back(id);
    }
    ASSERT_EQ(ids.size(), 43u);
    for (const char* lang : {"en_GB.UTF-8", "de_DE.UTF-8"}) {
        LanguageScope scope(lang);
        for (std::uint32_t id : ids) {
            EXPECT_FALSE(LoadText(id).empty()) << id << " " << lang;
        }
        EXPECT_TRUE(LoadText(40010).empty());
    }
    {
        // The longest text is the German instructions; it fits its buffer whole.
        LanguageScope german("de_DE.UTF-8");
        const std::size_t longest = LoadText(IDS_INSTRUCTIONS).size();
        for (std::uint32_t id : ids) {
            EXPECT_LE(LoadText(id).size(), longest) << id;
        }
        EXPECT_LT(longest, TEXT_BUFFER_SIZE - 1);
    }
    LanguageScope english("C");
    EXPECT_NE(LoadText(60002).find(L"LED\u2019s"), std::wstring::npos);
    EXPECT_NE(LoadText(60002).find(L"\u201cUpdate\u201d"), std::wstring::npos);
}

// Rule U: a word with byte 0 zero is shifted; byte 3 leads when set; byte 2
// never shows.
TEST(VersionRules, UnitVersion) {
    EXPECT_EQ(UnitVersionText(0x00010200), L"1.2");
    EXPECT_EQ(UnitVersionText(0x00000105), L"1.5");
    EXPECT_EQ(UnitVersionText(0x01000203), L"1.2.3");
    EXPECT_EQ(UnitVersionText(0x01020300), L"2.3");
    EXPECT_EQ(UnitVersionText(0), L"0.0");
    EXPECT_EQ(UnitVersionText(0xFFFFFFFF), L"255.255.255");
}

// Rule B: as U without the shift.
TEST(VersionRules, BootloaderVersion) {
    EXPECT_EQ(BootloaderVersionText(0x00FF0102), L"1.2");
    EXPECT_EQ(BootloaderVersionText(0x01000000), L"1.0.0");
    EXPECT_EQ(BootloaderVersionText(0x00010200), L"2.0");
}

// Rule E: high byte, low byte; 0xFFFF is ten hyphens.
TEST(VersionRules, EscVersion) {
    EXPECT_EQ(EscVersionText(0x0300), L"3.0");
    EXPECT_EQ(EscVersionText(0x0A05), L"10.5");
    EXPECT_EQ(EscVersionText(0x00FF), L"0.255");
    EXPECT_EQ(EscVersionText(0xFFFF), L"----------");
    EXPECT_EQ(EscVersionText(0xFFFE), L"255.254");
}

// The logo's worked example, and its cap at half the bitmap.
TEST(LogoPlacement, WorkedExampleAndCap) {
    const LogoPlacement example =
        PlaceLogo(1772, 263, {100, 120, 560, 500}, {110, 150, 330, 300}, 3, 22);
    EXPECT_EQ(example.x, 247);
    EXPECT_EQ(example.y, 8);
    EXPECT_EQ(example.width, 185);
    EXPECT_EQ(example.height, 27);

    const LogoPlacement wide =
        PlaceLogo(1772, 263, {0, 0, 3000, 500}, {10, 30, 330, 300}, 3, 22);
    EXPECT_EQ(wide.width, 886);
    EXPECT_EQ(wide.height, 131);

    const LogoPlacement cramped =
        PlaceLogo(1772, 263, {0, 0, 360, 500}, {10, 30, 330, 300}, 3, 22);
    EXPECT_EQ(cramped.width, -15) << "no lower bound";
}

}  // namespace
