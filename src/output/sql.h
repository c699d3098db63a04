// SQL generation: a parameterised PostgreSQL condition over `tags`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/query.h"

namespace lumo {

// One value for the caller's argument list: a single tag, or a group of tags
// (which becomes a Python list). The views borrow from the Query.
using SqlParam = std::variant<std::string_view, std::vector<std::string_view>>;

struct SqlOutput {
  std::string text;
  std::vector<SqlParam> params;  // in append order
};

// `args_len` is the length of the caller's list before the call; placeholder
// numbers continue from it.
SqlOutput to_sql(const Query& query, std::size_t args_len);

}  // namespace lumo
