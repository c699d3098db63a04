// The tag graph index: subtree ranges, where each tag occurs, the identity
// table.
//
// The index is a handful of flat arrays and keeps no per-subject strings:
// each subject has its pre-order range, every distinct tag or identity string
// is interned once, and for each string the index lists the pre-order
// numbers of the subjects holding it and, separately, the subjects carrying
// it as an identity. Two readers fill it: build_index() from a TagGraph
// model, and the direct reader of graph texts (reader/reader.h); both
// hand their strings to finish_index(), which makes the lists.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
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

// A graph's subjects with their pre-order ranges, and for every distinct tag
// or identity string the sorted pre-order numbers of the subjects that hold
// it: a subject's subtree holds a string exactly when one of those numbers
// falls in the subject's range, which is one binary search.
struct IndexedGraph {
  IndexedGraph() = default;
  IndexedGraph(IndexedGraph&&) noexcept = default;
  IndexedGraph& operator=(IndexedGraph&&) noexcept = default;
  // The views view what this graph owns: a copy would view the original's.
  IndexedGraph(const IndexedGraph&) = delete;
  IndexedGraph& operator=(const IndexedGraph&) = delete;

  // Per subject index. The starts are the pre-order numbers 0 .. size() - 1,
  // each once; every range is proper (start < end), ranges nest, and the
  // root's (subject 0) is [0, size()). Both readers make them so, and
  // matching relies on it.
  std::span<const SubtreeRange> ranges;
  std::span<const RelationEntry> relations;    // ascending by subject

  TagView tags;  // every tag and identity string
  std::span<const std::uint32_t> occ_begin;    // per tag id, into occ_pos; one more at the end
  std::span<const std::uint32_t> occ_pos;      // pre-order numbers holding the tag, ascending
  std::span<const std::uint32_t> id_begin;     // per tag id, into id_subjects; one more at the end
  std::span<const std::uint32_t> id_subjects;  // subjects with the tag as an identity, ascending

  // What the views above view: one block holds the four lists and, for a
  // graph of modest size, the ranges and a packed copy of the string table
  // too; a large graph keeps its table and ranges as the reader built them,
  // rather than copy them at the peak.
  std::unique_ptr<std::uint64_t[]> block;
  std::unique_ptr<TagTable> own_tags;  // null when the block holds the table
  std::vector<SubtreeRange> own_ranges;
  RelationList own_relations;

  std::size_t size() const { return ranges.size(); }
  const SubtreeRange& range(SubjectIndex g) const { return ranges[g]; }

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

  // occurs(), for callers whose ranges mostly come in ascending order of
  // their starts, as a scan over candidates in pre-order asks them: `hint`
  // is where the previous search of t's list ended, and the search gallops
  // on from there, so that a scan costs about one pass over the list
  // rather than a binary search of all of it per candidate. Any hint gives
  // the same answer; one past the start is just slower.
  bool occurs_from(TagId t, const SubtreeRange& range, std::uint32_t& hint) const {
    const std::uint32_t* lo = occ_pos.data() + occ_begin[t];
    const std::size_t n = occ_begin[t + 1] - occ_begin[t];
    if (n <= 8) return occurs(t, range);
    std::size_t from = hint < n ? hint : 0;
    if (from > 0 && lo[from - 1] >= range.start) from = 0;  // behind: search it all
    // lo[i] < range.start for every i < from; gallop to a bound past it.
    std::size_t step = 1;
    std::size_t to = from;
    while (to < n && lo[to] < range.start) {
      from = to + 1;
      to += step;
      step *= 2;
    }
    const std::uint32_t* at = std::lower_bound(lo + from, lo + std::min(to, n), range.start);
    hint = static_cast<std::uint32_t>(at - lo);
    return at != lo + n && *at < range.end;
  }

  // The subjects carrying the string with id `t` as an identity, ascending,
  // one per occurrence (kNoTag: none).
  std::span<const std::uint32_t> carriers(TagId t) const {
    if (t == kNoTag) return {};
    return {id_subjects.data() + id_begin[t], id_begin[t + 1] - id_begin[t]};
  }

  // Whether subject `g` carries identity `id`.
  bool has_identity(SubjectIndex g, std::string_view id) const {
    const std::span<const std::uint32_t> with = carriers(tags.find(id));
    return std::binary_search(with.begin(), with.end(), g);
  }
};

// What a reader hands to finish_index(): the interned strings, each
// subject's strings (identities first), and the ranges.
struct IndexParts {
  TagTable tags;
  // Subject s holds strings[begin[s] .. begin[s + 1]), of which
  // strings[begin[s] .. identities_end[s]) are its identities.
  std::vector<TagId> strings;
  std::vector<std::uint32_t> begin;  // one more than there are subjects
  std::vector<std::uint32_t> identities_end;
  // More tags of the root, which readers meet anywhere in the text.
  std::vector<TagId> root_tags;
  std::vector<SubtreeRange> ranges;  // per subject; starts are the pre-order numbers
  // The subjects in pre-order, or empty when that is their index order.
  std::vector<std::uint32_t> preorder;
  // Relation subjects whose context is not their source, ascending by
  // subject.
  RelationList relations;

  void begin_subject() { begin.push_back(static_cast<std::uint32_t>(strings.size())); }
  void end_identities() { identities_end.push_back(static_cast<std::uint32_t>(strings.size())); }
  void end_subjects() { begin.push_back(static_cast<std::uint32_t>(strings.size())); }
};

// Lists each string's pre-order numbers and identity carriers. The table,
// the ranges and the relations are copied into the index's block when they
// are small (and stay the caller's to reuse), else moved into the index;
// the subjects' strings are only read, and left to the caller. Polls
// `interrupt`; null when it stopped the work.
std::optional<IndexedGraph> finish_index(IndexParts& parts, Interrupt* interrupt = nullptr);

// A tag graph in one of its two states; the index is built once, in place,
// on first use, unless the graph was read straight into its index.
class GraphState {
 public:
  explicit GraphState(TagGraph&& graph) : state_(std::move(graph)) {}
  explicit GraphState(IndexedGraph&& graph) : state_(std::move(graph)) {}
  // Null when `interrupt` stopped the build; the graph then stays unindexed.
  const IndexedGraph* ensure_index(Interrupt* interrupt);

 private:
  std::variant<TagGraph, IndexedGraph> state_;
};

// The index of a graph model, polling `interrupt`: on success the graph's contents move into
// the index; when interrupted the graph is left as it was.
Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt);

}  // namespace lumo
