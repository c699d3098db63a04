// The value of a condition that to_sql() printed, over one row's `tags`, as
// PostgreSQL computes it: `tags @> array[$n]` and `tags @> $n` hold when
// every value is among the tags, `tags && $n` when one is, and `and`, `or`
// (the weaker), parentheses, `true` and `false` as in SQL. Reads the text
// with an explicit stack, so it takes conditions of any depth.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/sql.h"

namespace lumo {

// `params` are the values in append order: `$n` names
// params[n - args_len - 1]. Nothing when the text is not such a condition,
// or names a value that is not there or not of the kind its test takes.
std::optional<bool> sql_holds(std::string_view text, std::span<const SqlParam> params,
                              std::size_t args_len, const std::vector<std::string>& tags);

}  // namespace lumo
