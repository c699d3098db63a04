// Rendering of syntax error reports.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/failure.h"

namespace lumo {

struct LineColumn {
  std::size_t line = 0;    // counted from 0
  std::size_t column = 0;  // counted from 0
};

// Line and column of a byte offset in a non-empty text.
LineColumn locate(std::string_view text, std::size_t offset);

std::string render_expectations(const std::vector<Expectation>& expectations);

// The report: the failing line with a caret under the failure, then the
// expectations. With a nonzero `window`, at most that many characters are
// shown on each side of the caret, a cut marked by "..." (so that the size
// of a report no longer follows the size of the text); a line that fits is
// shown exactly as without a window.
std::string render_report(const ParseErrorReport& report, std::size_t window = 0);

// `text` cut to its first `limit` characters, "..." marking a cut (whole
// characters of UTF-8; a malformed byte counts as one).
std::string_view shown_prefix(std::string_view text, std::size_t limit, bool& cut);

}  // namespace lumo
