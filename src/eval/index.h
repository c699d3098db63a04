// The tag graph index: subtree ranges, subtree tag sets, the identity table.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/interrupt.h"
#include "base/random_hash.h"
#include "base/result.h"
#include "eval/persistent_set.h"
#include "model/tag_graph.h"

namespace lumo {

struct SubtreeRange {
  std::uint32_t start = 0;
  std::uint32_t end = 0;  // exclusive
};

struct IndexedSubject {
  std::optional<RelationLink> relation;
  std::string name;
  std::vector<std::string> identities;
  std::vector<SubjectIndex> children;
  PersistentSet subtree_tags;
  SubtreeRange subtree_range;
  SubjectIndex index = 0;
  SubjectIndex parent = 0;
  Span span;
};

using IdentityIndex =
    std::unordered_map<std::string, std::vector<SubjectIndex>, SeededStringHash, StringEq>;

struct IndexedGraph {
  std::vector<IndexedSubject> subjects;
  RelationTable relations;
  std::vector<SubjectIndex> all_subjects;
  IdentityIndex identity_index;
};

// A tag graph in one of its two states; the index is built once, in place,
// on first use.
class GraphState {
 public:
  explicit GraphState(TagGraph graph) : state_(std::move(graph)) {}
  const IndexedGraph& ensure_index();
  // Null when `interrupt` stopped the build; the graph then stays unindexed.
  const IndexedGraph* ensure_index(Interrupt* interrupt);

 private:
  std::variant<TagGraph, IndexedGraph> state_;
};

IndexedGraph build_index(TagGraph graph);

// The same, polling `interrupt`: on success the graph's contents move into
// the index; when interrupted the graph is left as it was.
Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt);

}  // namespace lumo
