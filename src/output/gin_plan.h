// Keys and query plans for a GIN index over stored graphs.
//
// A graph's index entries are the 32-bit keys of the strings that
// collect_tags() gives (gin_graph_keys). A query's plan (gin_plan) is the
// condition that to_sql() prints for it, over keys instead of tag texts: its
// distinct keys, and the condition as a small postfix program over them,
// which evaluate() runs in three-valued logic for the operator class's
// consistent and triConsistent functions.
//
// Like the SQL condition the plan is a prefilter: a graph the query matches
// always satisfies it, and the exact match decides. Two strings with one key
// only make the prefilter keep more rows, never fewer.
//
// Apart from an always-true plan, the condition is false when none of its
// keys is present (it is monotone, and its only constant parts are "never"
// lists), so an index scan needs to look only at rows holding at least one
// key; a plan with no keys that is not always true matches no row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

// The seed of gin_key(): the bytes "lumo-gin" read as a big-endian number.
inline constexpr std::uint64_t kGinKeySeed = 0x6c756d6f2d67696eULL;

// The key of a tag or identity string: the low 32 bits of
// hash_bytes(tag.data(), tag.size(), kGinKeySeed) (base/random_hash.h). It
// reads the bytes as unsigned values in little-endian words with
// unaligned-safe loads and multiplies through mul128(), whose every form
// gives the same bits, so it is the same in every process, with every
// compiler, in builds with and without fast paths, and on machines of
// either byte order.
//
// Stored indexes hold these values: changing this function, hash_bytes() or
// the seed invalidates every index built with them. Such a change needs a
// new version of the operator class and a REINDEX of its indexes;
// tests/cpp/gin_plan_test.cpp pins recorded values so that it cannot happen
// unnoticed.
std::uint32_t gin_key(std::string_view tag);

// The distinct keys of the strings that collect_tags() gives, ascending.
std::vector<std::uint32_t> gin_graph_keys(const IndexedGraph& graph);

// Three-valued truth: ordered, so that "and" takes the least value and "or"
// the greatest.
enum class GinValue : std::uint8_t { False = 0, Maybe = 1, True = 2 };

// One instruction of a plan's postfix program.
struct GinStep {
  enum class Kind : std::uint8_t {
    Key,  // pushes the state of key `arg` (an index into GinPlan::keys)
    And,  // replaces the last `arg` values with their "and" (True for none)
    Or,   // replaces the last `arg` values with their "or" (False for none)
  };
  Kind kind;
  std::size_t arg;
};

struct GinPlan {
  std::vector<std::uint32_t> keys;  // distinct, in the order the program first uses them
  std::vector<GinStep> program;     // leaves exactly one value
  std::size_t depth = 0;            // the most values the program holds at once
  bool always_true = false;         // the condition holds for every row: scan them all
};

// The plan of a query: the condition to_sql() prints for it, simplified the
// same way (output/simplify.h). Never recurses, however deep the query
// nests. Interrupted when `interrupt` stopped the work.
Result<GinPlan, Interrupted> gin_plan(const Query& query, Interrupt* interrupt = nullptr);

// The value of the plan's condition given each key's state (`key_state[i]`
// for `plan.keys[i]`; a missing entry counts as Maybe). Runs the program
// with a value stack and no recursion.
GinValue evaluate(const GinPlan& plan, std::span<const GinValue> key_state);

// evaluate() of a program kept elsewhere (a PostgreSQL scan keeps a copy in
// its own memory), `depth` being its GinPlan's.
GinValue evaluate(std::span<const GinStep> program, std::size_t depth,
                  std::span<const GinValue> key_state);

}  // namespace lumo
