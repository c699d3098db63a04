// Rendering of syntax error reports.
//
// A one-line text is echoed with a caret under the failure byte (the caret
// is placed by bytes). A text with line feeds gets a header with the 1-based
// line and column, a gutter as wide as the line number, and the caret under
// the column that locate() computes. The expectation list follows: the first
// "invalid" construct, then every expected description or literal in order.
#include "syntax/report.h"

#include <algorithm>

#include "syntax/lexer.h"

namespace lumo {

namespace {

// Number of characters in `s` if it is valid UTF-8, otherwise -1.
long count_utf8_chars(std::string_view s) {
  long count = 0;
  for (std::size_t i = 0, len = 0; i < s.size(); i += len, ++count) {
    const char32_t c = decode_utf8(s, i, len);
    if (is_malformed(c, len)) return -1;
  }
  return count;
}

}  // namespace

LineColumn locate(std::string_view text, std::size_t offset) {
  LineColumn lc;
  if (text.empty()) return lc;
  offset = std::min(offset, text.size());
  const std::size_t index = std::min(offset, text.size() - 1);
  const std::size_t extra = offset - index;
  std::size_t line_start = 0;
  std::size_t nl = index == 0 ? std::string_view::npos : text.rfind('\n', index - 1);
  if (nl != std::string_view::npos) line_start = nl + 1;
  lc.line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + line_start, '\n'));
  long chars = count_utf8_chars(text.substr(line_start, index - line_start + 1));
  lc.column = chars >= 0 ? static_cast<std::size_t>(chars - 1) : index - line_start;
  lc.column += extra;
  return lc;
}

std::string render_expectations(const std::vector<Expectation>& expectations) {
  std::string out;
  for (const Expectation& e : expectations) {
    if (e.kind == ExpectationKind::InvalidConstruct) {
      out += "invalid ";
      out += e.text;
      break;
    }
  }
  bool first = true;
  for (const Expectation& e : expectations) {
    if (e.kind == ExpectationKind::InvalidConstruct) continue;
    if (first) {
      if (!out.empty()) out += '\n';
      out += "expected ";
      first = false;
    } else {
      out += ", ";
    }
    if (e.kind == ExpectationKind::ExpectedLiteral) {
      out += '`';
      out += e.text;
      out += '`';
    } else {
      out += e.text;
    }
  }
  return out;
}

std::string render_report(const ParseErrorReport& report) {
  const std::string_view text = report.text;
  const std::size_t offset = std::min(report.offset, text.size());
  std::string out;
  if (text.find('\n') == std::string_view::npos) {
    out.reserve(text.size() * 2 + 64);
    out.append(text);
    out += '\n';
    out.append(offset, ' ');
    out += "^\n";
  } else {
    const LineColumn lc = locate(text, offset);
    const std::string L = std::to_string(lc.line + 1);
    const std::size_t G = L.size();
    // The line with index lc.line.
    std::size_t start = 0;
    for (std::size_t k = 0; k < lc.line; ++k) start = text.find('\n', start) + 1;
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out += "parse error at line ";
    out += L;
    out += ", column ";
    out += std::to_string(lc.column + 1);
    out += '\n';
    out.append(G, ' ');
    out += " |\n";
    out += L;
    out += " | ";
    out.append(text.substr(start, end - start));
    out += '\n';
    out.append(G, ' ');
    out += " | ";
    out.append(lc.column, ' ');
    out += "^\n";
  }
  out += render_expectations(report.expectations);
  return out;
}

}  // namespace lumo
