// Rendering of syntax error reports.
//
// A one-line text is echoed with a caret under the failure byte (the caret
// is placed by bytes). A text with line feeds gets a header with the 1-based
// line and column, a gutter as wide as the line number, and the caret under
// the column that locate() computes. The expectation list follows: the first
// "invalid" construct, then every expected description or literal in order.
#include "syntax/report.h"

#include <algorithm>
#include <cstddef>

#include "syntax/lexer.h"

namespace lumo {

namespace {

// Number of characters in `s` if it is valid UTF-8, otherwise -1.
std::ptrdiff_t count_utf8_chars(std::string_view s) {
  std::ptrdiff_t count = 0;
  for (std::size_t i = 0, len = 0; i < s.size(); i += len, ++count) {
    const char32_t c = decode_utf8(s, i, len);
    if (is_malformed(c, len)) return -1;
  }
  return count;
}

bool is_continuation(char b) { return (static_cast<unsigned char>(b) & 0xC0) == 0x80; }

// The byte where the character `count` characters before `pos` starts, not
// before `floor`.
std::size_t back_chars(std::string_view s, std::size_t pos, std::size_t floor,
                       std::size_t count) {
  for (; count > 0 && pos > floor; --count) {
    --pos;
    for (int k = 0; k < 3 && pos > floor && is_continuation(s[pos]); ++k) --pos;
  }
  return pos;
}

// The byte behind the character `count` characters after `pos`, not past
// `ceiling`.
std::size_t ahead_chars(std::string_view s, std::size_t pos, std::size_t ceiling,
                        std::size_t count) {
  for (; count > 0 && pos < ceiling; --count) {
    ++pos;
    for (int k = 0; k < 3 && pos < ceiling && is_continuation(s[pos]); ++k) ++pos;
  }
  return pos;
}

std::size_t count_chars(std::string_view s) {
  std::size_t n = 0;
  for (const char b : s) n += !is_continuation(b);
  return n;
}

// The part of the line [start, end) shown around the caret at byte `caret`
// (start <= caret <= end): its text with "..." where it was cut, and where
// that part begins in `text` (`from`; the caret moves right by `lead`, the
// width of a leading "..."). False when the whole line fits.
bool cut_line(std::string_view text, std::size_t start, std::size_t end, std::size_t caret,
              std::size_t window, std::string& shown, std::size_t& from, std::size_t& lead) {
  from = back_chars(text, caret, start, window);
  // The caret's own character and `window` more.
  const std::size_t to = ahead_chars(text, caret, end, window + 1);
  if (from == start && to == end) return false;
  lead = from > start ? 3 : 0;
  shown.assign(lead, '.');
  shown.append(text.substr(from, to - from));
  if (to < end) shown += "...";
  return true;
}

}  // namespace

std::string_view shown_prefix(std::string_view text, std::size_t limit, bool& cut) {
  const std::size_t end = ahead_chars(text, 0, text.size(), limit);
  cut = end < text.size();
  return text.substr(0, end);
}

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
  const std::ptrdiff_t chars = count_utf8_chars(text.substr(line_start, index - line_start + 1));
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

std::string render_report(const ParseErrorReport& report, std::size_t window) {
  const std::string_view text = report.text;
  const std::size_t offset = std::min(report.offset, text.size());
  std::string out;
  std::string shown;
  std::size_t from = 0;
  std::size_t lead = 0;
  if (text.find('\n') == std::string_view::npos) {
    if (window != 0 && cut_line(text, 0, text.size(), offset, window, shown, from, lead)) {
      // The whole form places its caret by bytes; so does the cut one.
      out += shown;
      out += '\n';
      out.append(lead + (offset - from), ' ');
      out += "^\n";
      out += render_expectations(report.expectations);
      return out;
    }
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
    const std::size_t caret = std::min(std::max(offset, start), end);
    const bool cut = window != 0 && cut_line(text, start, end, caret, window, shown, from, lead);
    // A cut line counts its caret column in characters from the cut.
    const std::size_t column =
        cut ? lead + count_chars(text.substr(from, caret - from)) : lc.column;
    out += L;
    out += " | ";
    if (cut) {
      out += shown;
    } else {
      out.append(text.substr(start, end - start));
    }
    out += '\n';
    out.append(G, ' ');
    out += " | ";
    out.append(column, ' ');
    out += "^\n";
  }
  out += render_expectations(report.expectations);
  return out;
}

}  // namespace lumo
