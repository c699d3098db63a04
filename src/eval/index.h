// The tag graph index: subtree ranges, where each tag occurs, the identity
// table.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/tag_table.h"
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
  SubtreeRange subtree_range;
  SubjectIndex index = 0;
  SubjectIndex parent = 0;
  Span span;
};

// A graph's subjects with their pre-order ranges, and for every distinct tag
// or identity string the sorted pre-order numbers of the subjects that hold
// it: a subject's subtree holds a string exactly when one of those numbers
// falls in the subject's range, which is one binary search.
struct IndexedGraph {
  std::vector<IndexedSubject> subjects;
  RelationTable relations;
  std::vector<SubjectIndex> all_subjects;  // 0, 1, ..., n-1

  TagTable tags;                          // every tag and identity string
  std::vector<std::uint32_t> occ_begin;   // per tag id, into occ_pos; one more at the end
  std::vector<std::uint32_t> occ_pos;     // pre-order numbers holding the tag, ascending
  std::vector<std::uint32_t> id_begin;    // per tag id, into id_subjects; one more at the end
  std::vector<SubjectIndex> id_subjects;  // subjects with the tag as an identity, ascending

  // Whether some subject in `range` holds tag `t` (as a tag or identity).
  bool occurs(TagId t, const SubtreeRange& range) const {
    const std::uint32_t* lo = occ_pos.data() + occ_begin[t];
    const std::uint32_t* hi = occ_pos.data() + occ_begin[t + 1];
    // Most tags occur a few times: look at them in turn before searching.
    if (hi - lo <= 8) {
      for (; lo != hi; ++lo) {
        if (*lo >= range.start) return *lo < range.end;
      }
      return false;
    }
    const std::uint32_t* at = std::lower_bound(lo, hi, range.start);
    return at != hi && *at < range.end;
  }

  // The same by text.
  bool subtree_holds(SubjectIndex g, std::string_view tag) const {
    const TagId t = tags.find(tag);
    return t != kNoTag && occurs(t, subjects[g].subtree_range);
  }

  // The subjects carrying identity `id`, ascending, one per occurrence.
  std::span<const SubjectIndex> with_identity(std::string_view id) const {
    const TagId t = tags.find(id);
    if (t == kNoTag) return {};
    return {id_subjects.data() + id_begin[t], id_begin[t + 1] - id_begin[t]};
  }
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
