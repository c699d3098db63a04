// Malformed UTF-8 for the front end's tests: byte sequences that are not
// UTF-8, and the places in a text where each one is tried, with the outcome.
//
// The decoder reads every byte of such a sequence as U+FFFD of length one.
// Where the text must hold a character of the language (a bare tag or name,
// white space for the trim) that is none, so the parse fails at its first
// byte; quoted strings and comments copy or skip bytes as they are and take
// it. The error
// report counts the columns of a line that holds a malformed byte in bytes,
// so an error behind the sequence on its line is placed by the sequence's
// byte length.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace lumo {

struct MalformedUtf8 {
  const char* name;  // a test name
  std::string_view bytes;
};

// gtest prints a parameter by its name.
inline void PrintTo(const MalformedUtf8& bad, std::ostream* os) { *os << bad.name; }

inline constexpr MalformedUtf8 kMalformedUtf8[] = {
    // Overlong: a shorter form exists.
    {"Overlong2_C0_80", "\xC0\x80"},
    {"Overlong2_C1_81", "\xC1\x81"},
    {"Overlong2Space_C0_A0", "\xC0\xA0"},  // U+0020, which the trim would remove
    {"Overlong3_E0_80_80", "\xE0\x80\x80"},
    {"Overlong3_E0_9F_BF", "\xE0\x9F\xBF"},
    {"Overlong3Space_E0_80_A0", "\xE0\x80\xA0"},
    {"Overlong4_F0_80_80_80", "\xF0\x80\x80\x80"},
    {"Overlong4_F0_8F_BF_BF", "\xF0\x8F\xBF\xBF"},
    // Surrogates, which are no scalar values.
    {"Surrogate_ED_A0_80", "\xED\xA0\x80"},
    {"Surrogate_ED_BF_BF", "\xED\xBF\xBF"},
    // Past U+10FFFF.
    {"Past10FFFF_F4_90_80_80", "\xF4\x90\x80\x80"},
    {"Past10FFFF_F5_80_80_80", "\xF5\x80\x80\x80"},
    {"Past10FFFF_F7_BF_BF_BF", "\xF7\xBF\xBF\xBF"},
    {"Lead_F8_88_80_80_80", "\xF8\x88\x80\x80\x80"},
    {"Lead_FC_84_80_80_80_80", "\xFC\x84\x80\x80\x80\x80"},
    {"Lead_FE", "\xFE"},
    {"Lead_FF", "\xFF"},
    // Cut short: a lead byte without all its continuation bytes.
    {"Truncated2_C3", "\xC3"},
    {"Truncated3_E2_82", "\xE2\x82"},
    {"Truncated4_F0_9F_98", "\xF0\x9F\x98"},
    // Continuation bytes with no lead byte.
    {"Continuation_80", "\x80"},
    {"Continuation_BF", "\xBF"},
    {"Continuations_A9_A9", "\xA9\xA9"},
};

struct Utf8Placement {
  const char* where;
  // The text, "%" standing for the sequence.
  const char* text;
  // The error the text gives, "%" standing for the sequence, "#" for the
  // 1-based column `column` + the sequence's length and "$" for one space
  // less than that column; null when the text builds.
  const char* error;
  std::size_t column = 0;
};

inline constexpr Utf8Placement kUtf8Placements[] = {
    // Where a character is wanted: the parse fails at the sequence.
    {"bare tag", "{ a: t%u }", "invalid syntax\n{ a: t%u }\n      ^\nexpected }"},
    {"start of a bare tag", "{ a: %u }", "invalid syntax\n{ a: %u }\n     ^\ninvalid expression"},
    {"before a space", "{ a: t% }", "invalid syntax\n{ a: t% }\n      ^\nexpected }"},
    {"before }", "{ a: t%}", "invalid syntax\n{ a: t%}\n      ^\nexpected }"},
    {"end of the text", "a, t%",
     "invalid syntax\na, t%\n    ^\nexpected expression, subject body, meta queries"},
    {"subject", "{ x% }", "invalid syntax\n{ x% }\n   ^\nexpected }"},
    {"identity", "{ a(i%) }", "invalid syntax\n{ a(i%) }\n     ^\ninvalid identities"},
    {"name", "{ a @n% }", "invalid syntax\n{ a @n% }\n      ^\nexpected }"},
    {"relation path", "{ b { c } a > @b.c% }",
     "invalid syntax\n{ b { c } a > @b.c% }\n                  ^\nexpected }"},
    {"first byte", "%{ a }",
     "invalid syntax\n%{ a }\n^\nexpected expression, subject body, meta queries"},
    {"last byte", "{ a }%",
     "invalid syntax\n{ a }%\n     ^\nexpected expression, subject body, meta queries"},
    // Taken as bytes; an error behind it on its line is placed by bytes.
    {"quoted tag, error behind", "{\n a: \"t%\" ^\n}",
     "invalid syntax\nparse error at line 2, column #\n  |\n2 |  a: \"t%\" ^\n  | $^\nexpected }",
     9},
    {"comment, text ends", "{\n a // c%",
     "invalid syntax\nparse error at line 2, column #\n  |\n2 |  a // c%\n  | $^\nexpected }", 8},
    {"quoted identity, error behind", "{\n a(\"i%\") ^\n}",
     "invalid syntax\nparse error at line 2, column #\n  |\n2 |  a(\"i%\") ^\n  | $^\nexpected }",
     9},
    {"quoted relation path, error behind", "{\n b { \"c%\" }\n a > @b.\"c%\" ^\n}",
     "invalid syntax\nparse error at line 3, column #\n  |\n3 |  a > @b.\"c%\" ^\n  | $^\n"
     "expected }",
     13},
    // Taken as bytes.
    {"quoted tag", "{ a: \"t%\" }", nullptr},
    {"comment", "{ a: x // c%\n}", nullptr},
    {"quoted names", "{ b { \"c%\" } x { * @\"n%\" > @b.\"c%\" } }", nullptr},
};

// `pattern` with "%" replaced by `bytes`, "#" by the column and "$" by the
// spaces before it.
inline std::string with_sequence(std::string_view pattern, std::string_view bytes,
                                 std::size_t column = 0) {
  std::string out;
  for (const char ch : pattern) {
    if (ch == '%') {
      out += bytes;
    } else if (ch == '#') {
      out += std::to_string(column);
    } else if (ch == '$') {
      out.append(column - 1, ' ');
    } else {
      out += ch;
    }
  }
  return out;
}

// The text of `place` with `bad` in it, and its error ("" when it builds).
inline std::string placed_text(const Utf8Placement& place, const MalformedUtf8& bad) {
  return with_sequence(place.text, bad.bytes);
}

inline std::string placed_error(const Utf8Placement& place, const MalformedUtf8& bad) {
  if (place.error == nullptr) return "";
  return with_sequence(place.error, bad.bytes, place.column + bad.bytes.size());
}

}  // namespace lumo
