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
std::string render_report(const ParseErrorReport& report);

}  // namespace lumo
