// SQL generation: a parameterised PostgreSQL condition over `tags`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/interrupt.h"
#include "model/query.h"

namespace lumo {

// One value for the caller's argument list: a single tag, or a group of tags
// (which becomes a Python list). The views borrow from the Query.
using SqlParam = std::variant<std::string_view, std::vector<std::string_view>>;

// Receives the values in print order. append() stores the length of the
// caller's list right after the append (the number the placeholder gets) and
// returns false to stop generation.
class SqlParamSink {
 public:
  virtual ~SqlParamSink() = default;
  virtual bool append(SqlParam param, std::size_t& length_after) = 0;
};

// Generates the condition into `text`, handing each value to `sink` at the
// moment it is printed. Returns false when the sink refused a value or
// `interrupt` stopped the work; `text` is then incomplete and must be
// discarded.
bool to_sql(const Query& query, SqlParamSink& sink, std::string& text,
            Interrupt* interrupt = nullptr);

}  // namespace lumo
