// Parse failures and the report handed out for a refused text.
//
// A ParseFailure travels outward from the place where a matcher gave up. Each
// labelled construct it passes appends its Expectation entries at the end of
// the list (innermost first); a commit point turns Recoverable into Fatal.
// Expectation texts are static strings, so gathering never allocates a text.
// The top of the parse turns the last failure into a ParseErrorReport, which
// report.h renders.
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

  static ParseFailure recoverable() { return {Severity::Recoverable, {}}; }
  static ParseFailure fatal() { return {Severity::Fatal, {}}; }

  bool is_fatal() const { return severity == Severity::Fatal; }
  ParseFailure& append(Expectation e) {
    expectations.push_back(e);
    return *this;
  }
  ParseFailure& commit() {
    severity = Severity::Fatal;
    return *this;
  }
};

struct ParseErrorReport {
  std::string text;  // the trimmed text that was parsed
  std::size_t offset = 0;
  std::vector<Expectation> expectations;
  bool interrupted = false;  // the caller's hook stopped the parse; no syntax error
};

}  // namespace lumo
