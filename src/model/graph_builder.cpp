// The tag graph builder: each entry's expression becomes its tag list (only
// tags and all-lists of tags are allowed), then the relations are resolved and
// moved as on the query side, and, when validating, every subject's tags and
// identities are checked for duplicates in pre-order of the final tree.

#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/compiler.h"
#include "base/duplicates.h"
#include "base/random_hash.h"
#include "model/relation_builder.h"
#include "model/tag_graph.h"
#include "syntax/parser.h"

namespace lumo {

namespace {

// A long string weighs its bytes (a short one weighs nothing beside the loop
// turn it is part of); a stop is seen at the next tick.
void weigh(std::string_view text, InterruptPoll& poll) {
  if (text.size() > InterruptPoll::kBytesPerUnit) [[unlikely]]
    (void)poll.tick_bytes(text.size());
}

// take_tags() of a list of more than InterruptPoll::kBlock items, a block at
// a time.
LUMO_NOINLINE bool take_many_tags(ExprPool& pool, std::span<const ExprId> items,
                                  std::vector<std::string>& out, InterruptPoll& poll) {
  bool tags = true;
  if (!poll.for_each(items.size(),
                     [&](std::size_t k) { return tags = pool[items[k]].kind == ExprKind::Tag; }) ||
      !tags) {
    return false;
  }
  out.reserve(items.size());
  return poll.for_each(items.size(), [&](std::size_t k) {
    const std::string_view tag = pool[items[k]].tag;
    out.emplace_back(tag);
    weigh(tag, poll);
  }) && !poll.stopped();
}

// A subject's expression as its tag list: a single tag, or an all-list whose
// items are all tags (none for the empty all-list). The texts are copied out
// of the pool, each weighing its bytes if long. Returns false for anything else
// (and when interrupted: the caller checks).
bool take_tags(ExprPool& pool, ExprId e, std::vector<std::string>& out, InterruptPoll& poll) {
  ExprNode& n = pool[e];
  if (n.kind == ExprKind::Tag) {
    out.emplace_back(n.tag);
    weigh(n.tag, poll);
    return true;
  }
  if (n.kind != ExprKind::List || !n.all) return false;
  if (n.items.size() > InterruptPoll::kBlock) [[unlikely]]
    return take_many_tags(pool, n.items, out, poll);
  for (ExprId id : n.items)
    if (pool[id].kind != ExprKind::Tag) return false;
  out.reserve(n.items.size());
  for (ExprId id : n.items) {
    const std::string_view tag = pool[id].tag;
    out.emplace_back(tag);
    weigh(tag, poll);
  }
  return true;
}

// The tag that opens (first) or closes (!first) expression `e`, found by
// following first or last items; null for an empty list (and when
// interrupted). Counts the negations passed on the way.
const ExprNode* edge_tag(const ExprPool& pool, ExprId e, bool first, std::size_t& nots,
                         InterruptPoll& poll) {
  for (ExprId id = e;;) {
    if (poll.turn()) return nullptr;
    const ExprNode& n = pool[id];
    if (n.kind == ExprKind::Tag) return &n;
    if (n.kind == ExprKind::Not) {
      ++nots;
      id = n.operand;
      continue;
    }
    if (n.items.empty()) return nullptr;
    id = first ? n.items.front() : n.items.back();
  }
}

// The source range of an expression: from the start of its first tag to the
// end of its last; a negation starts one byte before its operand; an empty
// list contributes 0..0.
Span expression_span(const ExprPool& pool, ExprId e, InterruptPoll& poll) {
  std::size_t nots = 0, ignored = 0;
  const ExprNode* open = edge_tag(pool, e, true, nots, poll);
  const ExprNode* close = edge_tag(pool, e, false, ignored, poll);
  const std::size_t start = open ? open->span.start : 0;
  return Span{start >= nots ? start - nots : 0, close ? close->span.end : 0};
}

// Finds a string that occurs twice in a list (exact bytes). A list longer
// than kPairwiseMax goes through a hash set of views, kept from list to list
// for its buckets; it views the last such list until the next one. Hashing
// a long string weighs its bytes. (Interrupted, it answers no: the caller
// checks.)
class DuplicateFinder {
 public:
  explicit DuplicateFinder(InterruptPoll& poll) : poll_(poll) { seen_.poll = &poll; }

  bool has_duplicate(const std::vector<std::string>& list) {
    return lumo::has_duplicate(std::span<const std::string>(list), seen_, poll_);
  }

 private:
  struct Seen {
    std::unordered_set<std::string_view, SeededStringHash, StringEq> set;

    void reset(std::size_t n) {
      set.clear();
      set.reserve(n);
    }
    bool insert(const std::string& s) {
      weigh(s, *poll);
      return set.insert(std::string_view(s)).second;
    }

    InterruptPoll* poll = nullptr;
  };
  InterruptPoll& poll_;
  Seen seen_;
};

}  // namespace

Result<TagGraph, BuildError> build_tag_graph(ParsedDocument doc, bool validate,
                                             Interrupt* interrupt) {
  ensure_root(doc);
  InterruptPoll poll(interrupt);
  const auto interrupted = [] { return Err<BuildError>{BuildError::interrupted()}; };

  TagGraph g;
  const std::size_t n = doc.entries.size();
  g.subjects.reserve(n);
  RelationSpecs written(n);
  // Entries are in pre-order, so the first offending entry is the first
  // offending subject in pre-order.
  TurnCounter turns(poll);
  for (std::size_t i = 0; i < n; ++i) {
    SubjectEntry& e = doc.entries[i];
    GraphSubject& s = g.subjects.emplace_back();
    if (!take_tags(doc.exprs, e.expression, s.tags, poll)) {
      const Span span = expression_span(doc.exprs, e.expression, poll);
      if (poll.stopped()) return interrupted();
      return Err<BuildError>{BuildError::make(BuildErrorKind::InvalidTags, span)};
    }
    take_entry(e, i, s, written);
    // (More tags than a block were taken a block at a time.)
    if (turns.turn(s.tags.size() <= InterruptPoll::kBlock ? s.tags.size() : 0))
      return interrupted();
  }
  doc = ParsedDocument{};  // expressions and meta queries are not kept

  if (auto r = resolve_relations(g.subjects, written, g.relations, poll); !r)
    return Err<BuildError>{std::move(r).error()};
  written = {};
  if (auto r = move_relation_subjects(g.subjects, g.relations, poll); !r)
    return Err<BuildError>{std::move(r).error()};

  if (validate) {
    DuplicateFinder finder(poll);
    BuildErrorKind kind = BuildErrorKind::DuplicateTags;
    std::optional<SubjectIndex> bad = find_first_preorder(
        g.subjects,
        [&](const GraphSubject& s) {
          if (finder.has_duplicate(s.tags)) {
            kind = BuildErrorKind::DuplicateTags;
            return true;
          }
          if (finder.has_duplicate(s.identities)) {
            kind = BuildErrorKind::DuplicateIdentities;
            return true;
          }
          return false;
        },
        poll);
    if (poll.stopped()) return interrupted();
    if (bad) return Err<BuildError>{BuildError::make(kind, g.subjects[*bad].span)};
  }
  return g;
}

Result<TagGraph, BuildError> compile_tag_graph(std::string_view text, bool validate,
                                               Interrupt* interrupt) {
  auto parsed = parse_document(text, interrupt);
  if (!parsed) return Err<BuildError>{parse_error(std::move(parsed).error())};
  return build_tag_graph(std::move(parsed).value(), validate, interrupt);
}

}  // namespace lumo
