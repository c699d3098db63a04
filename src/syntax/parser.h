// Parser entry for query and tag graph text.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/interrupt.h"
#include "base/result.h"
#include "syntax/ast.h"
#include "syntax/failure.h"

namespace lumo {

// The failure that ended a parse, with its severity and the cursor offset at
// which it left the statement loop.
struct LocatedFailure {
  ParseFailure failure;
  std::size_t offset = 0;
  bool interrupted = false;  // the caller's hook stopped the parse
};

// Removes Unicode White_Space from both ends. With `poll`, polled while it
// reads white space, and cut short once it says stop.
std::string_view trim_text(std::string_view text, InterruptPoll* poll = nullptr);

// Parses text that is already trimmed; offsets and spans count from its
// first byte. `interrupt`, when given, is polled while parsing.
Result<ParsedDocument, LocatedFailure> parse_trimmed(std::string_view trimmed,
                                                     Interrupt* interrupt = nullptr);

// Trims, parses, and turns a failure into a report that owns the trimmed
// text. An interrupted parse gives a report with `interrupted` set.
Result<ParsedDocument, ParseErrorReport> parse_document(std::string_view text,
                                                        Interrupt* interrupt = nullptr);

}  // namespace lumo
