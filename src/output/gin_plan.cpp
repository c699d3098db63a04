// GIN keys and query plans.
//
// The plan is written from the same simplified condition that to_sql()
// prints (output/simplify.h), walked the same way, with an explicit stack:
// each list's non-tag items in order, then its tags, then one And or Or
// over all of them. The SQL tests a list's tags as one array (@> for an
// all-list, && for an any-list), which is the same "and" or "or" of each.

#include "output/gin_plan.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "base/random_hash.h"
#include "eval/collect.h"
#include "output/simplify.h"

namespace lumo {
namespace {

using condition::kNone;
using condition::Simplifier;
using condition::SNode;

// Keys are hash values whose function is public: the table that numbers
// them hashes them again with a key of its own.
struct KeyHash {
  std::uint64_t seed = draw_hash_key();
  std::size_t operator()(std::uint32_t key) const {
    return static_cast<std::size_t>(hash_u64(key, seed));
  }
};

class PlanWriter {
 public:
  PlanWriter(const Simplifier& s, GinPlan& plan, InterruptPoll& poll)
      : s_(s), plan_(plan), poll_(poll) {}

  // Writes the program of the condition `root`. False when the poll stopped
  // the work.
  bool write(std::size_t root) {
    const SNode& r = s_.node(root);
    if (r.is_tag) {
      push_key(r.tag);
      return true;
    }
    frames_.push_back(Frame{root, r.head});
    while (!frames_.empty()) {
      if (poll_.turn()) return false;
      Frame& f = frames_.back();
      // Next non-tag item.
      while (f.cursor != kNone && s_.node(s_.cell(f.cursor).node).is_tag) {
        f.cursor = s_.cell(f.cursor).next;
        if (poll_.turn()) return false;
      }
      if (f.cursor != kNone) {
        const std::size_t item = s_.cell(f.cursor).node;
        f.cursor = s_.cell(f.cursor).next;
        frames_.push_back(Frame{item, s_.node(item).head});
        continue;
      }
      // Every list item has left its value: the tags, then the list's own.
      const SNode& list = s_.node(f.list);
      for (std::size_t c = list.head; c != kNone; c = s_.cell(c).next) {
        const SNode& item = s_.node(s_.cell(c).node);
        if (item.is_tag) push_key(item.tag);
        if (poll_.turn()) return false;
      }
      plan_.program.push_back(
          GinStep{list.all ? GinStep::Kind::And : GinStep::Kind::Or, list.count});
      height_ = height_ - list.count + 1;
      plan_.depth = std::max(plan_.depth, height_);
      frames_.pop_back();
    }
    return true;
  }

 private:
  struct Frame {
    std::size_t list;
    std::size_t cursor;  // next cell to look at
  };

  void push_key(std::string_view tag) {
    const std::uint32_t key = gin_key(tag);
    const auto [at, added] = numbers_.try_emplace(key, plan_.keys.size());
    if (added) plan_.keys.push_back(key);
    plan_.program.push_back(GinStep{GinStep::Kind::Key, at->second});
    plan_.depth = std::max(plan_.depth, ++height_);
  }

  const Simplifier& s_;
  GinPlan& plan_;
  InterruptPoll& poll_;
  std::vector<Frame> frames_;
  std::unordered_map<std::uint32_t, std::size_t, KeyHash> numbers_;  // key -> index in keys
  std::size_t height_ = 0;  // values the program holds so far
};

}  // namespace

std::uint32_t gin_key(std::string_view tag) {
  return static_cast<std::uint32_t>(hash_bytes(tag.data(), tag.size(), kGinKeySeed));
}

std::vector<std::uint32_t> gin_graph_keys(const IndexedGraph& graph) {
  std::vector<std::uint32_t> keys;
  keys.reserve(count_collected(graph));
  for_each_collected(graph, [&](std::string_view s) {
    keys.push_back(gin_key(s));
    return true;
  });
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

Result<GinPlan, Interrupted> gin_plan(const Query& query, Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  Simplifier s(query.exprs, poll);
  const std::size_t root = condition::simplify_query(query, s, poll);
  if (root == kNone) return make_err(Interrupted{});

  GinPlan plan;
  plan.always_true = s.is_true(root);
  if (!PlanWriter(s, plan, poll).write(root)) return make_err(Interrupted{});
  return plan;
}

GinValue evaluate(const GinPlan& plan, std::span<const GinValue> key_state) {
  return evaluate(plan.program, plan.depth, key_state);
}

GinValue evaluate(std::span<const GinStep> program, std::size_t depth,
                  std::span<const GinValue> key_state) {
  // Most plans are small: their values fit on the machine stack.
  std::array<GinValue, 256> local;
  std::vector<GinValue> large;
  GinValue* values = local.data();
  if (depth > local.size()) {
    large.resize(depth);
    values = large.data();
  }
  std::size_t height = 0;
  for (const GinStep& step : program) {
    switch (step.kind) {
      case GinStep::Kind::Key:
        values[height++] = step.arg < key_state.size() ? key_state[step.arg] : GinValue::Maybe;
        break;
      case GinStep::Kind::And: {
        GinValue v = GinValue::True;
        for (std::size_t i = height - step.arg; i < height; ++i) v = std::min(v, values[i]);
        height -= step.arg;
        values[height++] = v;
        break;
      }
      case GinStep::Kind::Or: {
        GinValue v = GinValue::False;
        for (std::size_t i = height - step.arg; i < height; ++i) v = std::max(v, values[i]);
        height -= step.arg;
        values[height++] = v;
        break;
      }
    }
  }
  return height == 1 ? values[0] : GinValue::Maybe;
}

}  // namespace lumo
