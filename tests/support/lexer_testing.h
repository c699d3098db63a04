// Lexer readers that only tests use: the tag reader with the failure values
// of the language's definition, and literal matchers.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "syntax/failure.h"
#include "syntax/lexer.h"

namespace lumo {

// read_tag with the failure of the language's definition: NoTag is
// Recoverable with [expected "tag"] and the cursor at the token start;
// BadString is Fatal with [expected `string`] and the cursor at the fault.
Result<std::string, ParseFailure> tag_name(Cursor& c);

// One character / one text, read when the cursor stands at it; otherwise a
// Recoverable failure with no expectations and the cursor unchanged.
Result<char32_t, ParseFailure> literal_char(Cursor& c, char32_t ch);
Result<std::string_view, ParseFailure> literal_text(Cursor& c, std::string_view s);

}  // namespace lumo
