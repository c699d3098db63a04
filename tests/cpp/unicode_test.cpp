#include "syntax/unicode.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace {

using lumo::unicode::is_alphabetic_or_number;
using lumo::unicode::is_white_space;

struct Case {
    char32_t c;
    bool expected;
    const char* what;
};

std::string describe(const Case& k) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "U+%04X ", static_cast<unsigned>(k.c));
    return buf + std::string(k.what);
}

constexpr Case kAlnumCases[] = {
    // ASCII
    {U'A', true, "A"}, {U'Z', true, "Z"}, {U'a', true, "a"}, {U'z', true, "z"},
    {U'0', true, "0"}, {U'9', true, "9"},
    {U'@', false, "@ before A"}, {U'[', false, "[ after Z"},
    {U'`', false, "` before a"}, {U'{', false, "{ after z"},
    {U'/', false, "/ before 0"}, {U':', false, ": after 9"},
    {U'_', false, "low line"}, {U'\'', false, "apostrophe"}, {U'-', false, "hyphen-minus"},
    {U' ', false, "space"}, {0x00, false, "NUL"}, {0x7F, false, "DEL"},
    // Latin-1
    {0x0080, false, "first C1 control"},
    {0x00AA, true, "feminine ordinal"},
    {0x00B2, true, "superscript two (No)"},
    {0x00B5, true, "micro sign"},
    {0x00B7, false, "middle dot"},
    {0x00B9, true, "superscript one (No)"},
    {0x00BA, true, "masculine ordinal"},
    {0x00BC, true, "one quarter (No)"},
    {0x00BF, false, "inverted question mark"},
    {0x00C0, true, "A grave"},
    {0x00D7, false, "multiplication sign"},
    {0x00E9, true, "e acute"},
    {0x00F7, false, "division sign"},
    {0x00FF, true, "y diaeresis"},
    {0x00A0, false, "no-break space"},
    // Across the Latin-1 edge: 00F8..02C1 is one range.
    {0x0100, true, "A macron"},
    {0x02C1, true, "end of 00F8..02C1"},
    {0x02C2, false, "after 00F8..02C1"},
    // Combining marks
    {0x0300, false, "combining grave"},
    {0x0345, true, "combining ypogegrammeni (Other_Alphabetic)"},
    {0x0344, false, "before 0345"},
    {0x0346, false, "after 0345"},
    // Greek: 03A3..03F5 and 03F7..0481 with a symbol between
    {0x03A2, false, "before 03A3..03F5"},
    {0x03A3, true, "start of 03A3..03F5"},
    {0x03F5, true, "end of 03A3..03F5"},
    {0x03F6, false, "reversed lunate epsilon symbol"},
    {0x03F7, true, "start of 03F7..0481"},
    {0x0481, true, "end of 03F7..0481"},
    {0x0482, false, "Cyrillic thousands sign"},
    // Arabic letters merged with Arabic-Indic digits (Nd): 0659..0669
    {0x0660, true, "Arabic-Indic zero"},
    {0x0669, true, "Arabic-Indic nine"},
    {0x066A, false, "Arabic percent sign"},
    {0x0897, true, "Arabic pepet (new in 16.0)"},
    {0x1C8A, true, "end of 1C80..1C8A (extended in 16.0)"},
    {0x1C8B, false, "after 1C80..1C8A"},
    // Symbols
    {0x2022, false, "bullet"},
    {0x214F, false, "before 2150..2189"},
    {0x2150, true, "one seventh (No), start of merged 2150..2189"},
    {0x216B, true, "roman numeral twelve (Nl)"},
    {0x2183, true, "reversed roman numeral one hundred (Alphabetic)"},
    {0x2189, true, "zero thirds (No), end of 2150..2189"},
    {0x218A, false, "turned digit two"},
    {0x245F, false, "before 2460..249B"},
    {0x2460, true, "circled digit one (No)"},
    {0x249B, true, "end of 2460..249B"},
    {0x249C, false, "parenthesized small a"},
    {0x24B5, false, "before 24B6..24FF"},
    {0x24B6, true, "circled capital A (Alphabetic)"},
    {0x24FF, true, "negative circled digit zero (No), end of 24B6..24FF"},
    {0x2500, false, "box drawing"},
    // CJK
    {0x33FF, false, "square gal"},
    {0x3400, true, "start of CJK extension A"},
    {0x4DBF, true, "end of CJK extension A"},
    {0x4DC0, false, "hexagram"},
    {0x65E5, true, "CJK sun"},
    {0xA48C, true, "end of 4E00..A48C"},
    {0xA48D, false, "after 4E00..A48C"},
    {0xD800, false, "high surrogate"},
    {0xDFFF, false, "low surrogate"},
    {0xFFFF, false, "noncharacter"},
    // Supplementary planes
    {0x10400, true, "Deseret long I"},
    {0x1049D, true, "end of 10400..1049D"},
    {0x1049E, false, "after 10400..1049D"},
    {0x104A0, true, "Osmanya digit zero (Nd)"},
    {0x104A9, true, "Osmanya digit nine"},
    {0x104AA, false, "after Osmanya digits"},
    {0x13460, true, "Egyptian hieroglyphs extended-A (16.0)"},
    {0x143FA, true, "end of 13460..143FA"},
    {0x143FB, false, "after 13460..143FA"},
    {0x16D79, true, "Kirat Rai digit nine (Nd, 16.0)"},
    {0x1D7CB, true, "end of 1D7C4..1D7CB"},
    {0x1D7CC, false, "between math letters and digits"},
    {0x1D7CE, true, "mathematical bold digit zero"},
    {0x1D7FF, true, "end of math digits"},
    {0x1D800, false, "SignWriting"},
    {0x1F10C, true, "end of 1F100..1F10C (No)"},
    {0x1F10D, false, "after 1F100..1F10C"},
    {0x20000, true, "start of CJK extension B"},
    {0x2A6DF, true, "end of CJK extension B"},
    {0x2A6E0, false, "after CJK extension B"},
    {0x2B739, true, "end of 2A700..2B739"},
    {0x2B73A, false, "after 2A700..2B739"},
    {0x3134A, true, "end of 30000..3134A"},
    {0x3134B, false, "after 30000..3134A"},
    {0x31350, true, "start of last range"},
    {0x323AF, true, "end of last range"},
    {0x323B0, false, "after last range"},
    {0xE0041, false, "tag latin capital A"},
    {0x10FFFF, false, "last code point"},
    {0x110000, false, "beyond Unicode"},
    {0xFFFFFFFF, false, "largest char32_t"},
};

constexpr Case kSpaceCases[] = {
    {0x0008, false, "backspace"},
    {0x0009, true, "tab"}, {0x000A, true, "line feed"}, {0x000B, true, "vertical tab"},
    {0x000C, true, "form feed"}, {0x000D, true, "carriage return"},
    {0x000E, false, "shift out"},
    {0x001F, false, "unit separator"},
    {0x0020, true, "space"},
    {0x0021, false, "!"},
    {U'A', false, "letter"}, {U'0', false, "digit"},
    {0x0084, false, "before NEL"},
    {0x0085, true, "next line"},
    {0x0086, false, "after NEL"},
    {0x00A0, true, "no-break space"},
    {0x00A1, false, "after no-break space"},
    {0x00FF, false, "end of Latin-1"},
    {0x167F, false, "before ogham space"},
    {0x1680, true, "ogham space mark"},
    {0x1681, false, "after ogham space"},
    {0x180E, false, "Mongolian vowel separator"},
    {0x1FFF, false, "before 2000..200A"},
    {0x2000, true, "en quad"}, {0x2005, true, "four-per-em space"}, {0x200A, true, "hair space"},
    {0x200B, false, "zero width space"},
    {0x2027, false, "hyphenation point"},
    {0x2028, true, "line separator"}, {0x2029, true, "paragraph separator"},
    {0x202A, false, "after paragraph separator"},
    {0x202F, true, "narrow no-break space"},
    {0x205F, true, "medium mathematical space"},
    {0x2060, false, "word joiner"},
    {0x3000, true, "ideographic space"},
    {0x3001, false, "ideographic comma"},
    {0xFEFF, false, "byte order mark"},
    {0x10FFFF, false, "last code point"},
    {0xFFFFFFFF, false, "largest char32_t"},
};

TEST(Unicode, AlphabeticOrNumberSpotChecks) {
    for (const Case& k : kAlnumCases) {
        EXPECT_EQ(is_alphabetic_or_number(k.c), k.expected) << describe(k);
    }
}

TEST(Unicode, WhiteSpaceSpotChecks) {
    for (const Case& k : kSpaceCases) {
        EXPECT_EQ(is_white_space(k.c), k.expected) << describe(k);
    }
}

TEST(Unicode, AsciiIsExactlyLettersAndDigits) {
    for (char32_t c = 0; c < 0x80; ++c) {
        const bool letter_or_digit =
            (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9');
        const bool space = (c >= 0x09 && c <= 0x0D) || c == 0x20;
        EXPECT_EQ(is_alphabetic_or_number(c), letter_or_digit) << static_cast<unsigned>(c);
        EXPECT_EQ(is_white_space(c), space) << static_cast<unsigned>(c);
    }
}

// Totals over the whole code space, counted from props-16.0.0.txt
// (union of Alphabetic, Nd, Nl and No; White_Space). Any dropped, shifted
// or mis-merged range changes them.
TEST(Unicode, TotalsOverAllCodePoints) {
    std::size_t alnum = 0;
    std::size_t alnum_supplementary = 0;
    std::size_t space = 0;
    std::size_t both = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const bool a = is_alphabetic_or_number(c);
        const bool w = is_white_space(c);
        alnum += a;
        alnum_supplementary += a && c >= 0x10000;
        space += w;
        both += a && w;
    }
    EXPECT_EQ(alnum, 144434u);
    EXPECT_EQ(alnum_supplementary, 93842u);
    EXPECT_EQ(space, 25u);
    EXPECT_EQ(both, 0u);
}

}  // namespace
