// The tag graph builder: each entry's expression becomes its tag list (only
// tags and all-lists of tags are allowed), then the relations are resolved and
// moved as on the query side, and, when validating, every subject's tags and
// identities are checked for duplicates in pre-order of the final tree.

#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/duplicates.h"
#include "base/random_hash.h"
#include "model/relation_builder.h"
#include "model/tag_graph.h"
#include "syntax/parser.h"

namespace lumo {

namespace {

// A subject's expression as its tag list: a single tag, or an all-list whose
// items are all tags (none for the empty all-list). The texts are copied out
// of the pool. Returns false for anything else.
bool take_tags(ExprPool& pool, ExprId e, std::vector<std::string>& out) {
  ExprNode& n = pool[e];
  if (n.kind == ExprKind::Tag) {
    out.emplace_back(n.tag);
    return true;
  }
  if (n.kind != ExprKind::List || !n.all) return false;
  for (ExprId id : n.items)
    if (pool[id].kind != ExprKind::Tag) return false;
  out.reserve(n.items.size());
  for (ExprId id : n.items) out.emplace_back(pool[id].tag);
  return true;
}

// The tag that opens (first) or closes (!first) expression `e`, found by
// following first or last items; null for an empty list. Counts the
// negations passed on the way.
const ExprNode* edge_tag(const ExprPool& pool, ExprId e, bool first, std::size_t& nots) {
  for (ExprId id = e;;) {
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
Span expression_span(const ExprPool& pool, ExprId e) {
  std::size_t nots = 0, ignored = 0;
  const ExprNode* open = edge_tag(pool, e, true, nots);
  const ExprNode* close = edge_tag(pool, e, false, ignored);
  const std::size_t start = open ? open->span.start : 0;
  return Span{start >= nots ? start - nots : 0, close ? close->span.end : 0};
}

// Finds a string that occurs twice in a list (exact bytes). A list longer
// than kPairwiseMax goes through a hash set of views, kept from list to list
// for its buckets; it views the last such list until the next one.
class DuplicateFinder {
 public:
  bool has_duplicate(const std::vector<std::string>& list) {
    return lumo::has_duplicate(std::span<const std::string>(list), seen_);
  }

 private:
  struct Seen {
    std::unordered_set<std::string_view, SeededStringHash, StringEq> set;

    void reset(std::size_t n) {
      set.clear();
      set.reserve(n);
    }
    bool insert(const std::string& s) { return set.insert(std::string_view(s)).second; }
  };
  Seen seen_;
};

}  // namespace

Result<TagGraph, BuildError> build_tag_graph(ParsedDocument doc, bool validate) {
  ensure_root(doc);

  TagGraph g;
  const std::size_t n = doc.entries.size();
  g.subjects.reserve(n);
  RelationSpecs written(n);
  // Entries are in pre-order, so the first offending entry is the first
  // offending subject in pre-order.
  for (std::size_t i = 0; i < n; ++i) {
    SubjectEntry& e = doc.entries[i];
    GraphSubject& s = g.subjects.emplace_back();
    if (!take_tags(doc.exprs, e.expression, s.tags))
      return Err<BuildError>{BuildError::make(BuildErrorKind::InvalidTags,
                                              expression_span(doc.exprs, e.expression))};
    take_entry(e, i, s, written);
  }
  doc = ParsedDocument{};  // expressions and meta queries are not kept

  if (auto r = resolve_relations(g.subjects, written, g.relations); !r)
    return Err<BuildError>{std::move(r).error()};
  written = {};
  if (auto r = move_relation_subjects(g.subjects, g.relations); !r)
    return Err<BuildError>{std::move(r).error()};

  if (validate) {
    DuplicateFinder finder;
    BuildErrorKind kind = BuildErrorKind::DuplicateTags;
    std::optional<SubjectIndex> bad =
        find_first_preorder(g.subjects, [&](const GraphSubject& s) {
          if (finder.has_duplicate(s.tags)) {
            kind = BuildErrorKind::DuplicateTags;
            return true;
          }
          if (finder.has_duplicate(s.identities)) {
            kind = BuildErrorKind::DuplicateIdentities;
            return true;
          }
          return false;
        });
    if (bad) return Err<BuildError>{BuildError::make(kind, g.subjects[*bad].span)};
  }
  return g;
}

Result<TagGraph, BuildError> compile_tag_graph(std::string_view text, bool validate,
                                               Interrupt* interrupt) {
  auto parsed = parse_document(text, interrupt);
  if (!parsed) return Err<BuildError>{parse_error(std::move(parsed).error())};
  return build_tag_graph(std::move(parsed).value(), validate);
}

}  // namespace lumo
