// Parse failures and the report handed out for a refused text.
//
// The parser stops at the first failure it cannot recover from and describes
// it with a ParseFailure: a severity and a list of Expectation entries.
//
//   * Recoverable: no statement starts at the cursor (every alternative of a
//     statement failed without reading anything it committed to). The list
//     is the statement alternatives.
//   * Fatal: a construct was begun and cannot be completed. The list starts
//     with what was expected at the failure position and the construct being
//     read there (for instance [expected `string`, invalid identities]);
//     then, innermost first, one "invalid" entry for each enclosing labelled
//     construct the failure leaves open: every tag expression list still open
//     around it, every subject body that a nested body sits in.
//
// Expectation texts are static strings, so building a list never allocates
// a text. parse_document turns the failure into a ParseErrorReport, which
// report.h renders (the first "invalid" entry, then every expected one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

enum class Severity : std::uint8_t { Recoverable, Fatal };

enum class ExpectationKind : std::uint8_t {
  InvalidConstruct,
  ExpectedDescription,
  ExpectedLiteral,
};

struct Expectation {
  ExpectationKind kind;
  const char* text;  // static

  friend bool operator==(const Expectation& a, const Expectation& b) {
    return a.kind == b.kind && std::string_view(a.text) == std::string_view(b.text);
  }
};

inline Expectation invalid(const char* t) { return {ExpectationKind::InvalidConstruct, t}; }
inline Expectation expected(const char* t) { return {ExpectationKind::ExpectedDescription, t}; }
inline Expectation expected_literal(const char* t) { return {ExpectationKind::ExpectedLiteral, t}; }

struct ParseFailure {
  Severity severity = Severity::Recoverable;
  std::vector<Expectation> expectations;
};

struct ParseErrorReport {
  std::string text;  // the trimmed text that was parsed
  std::size_t offset = 0;
  std::vector<Expectation> expectations;
  bool interrupted = false;  // the caller's hook stopped the parse; no syntax error
};

}  // namespace lumo
