// Building the tag graph index.
//
// One iterative depth-first walk over the final children lists numbers the
// subjects in pre-order and gives each its range [start, end). Every tag and
// identity is then interned, and its occurrences are listed by pre-order
// number with a counting sort over the tag ids (walking the subjects in
// pre-order makes each list ascending by construction). Identities are listed
// the same way by subject index. The build is linear in the subjects and the
// strings, allocates a handful of flat arrays, and never copies a set: a
// chain a million deep costs what a flat list of a million subjects costs.
//
// The build only reads the graph, so an interrupted build leaves it as it
// was; its contents move into the index once the build can no longer stop.

#include "eval/index.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace lumo {

namespace {

// A (tag, number) pair waiting for its place in a per-tag list.
struct Occurrence {
  TagId tag;
  std::uint32_t at;
};

// Counting sort of `occ` by tag: `begin` gets each tag's start (and the end
// after the last tag), `out` the numbers, in their order within `occ`.
template <class Out>
void group_by_tag(const std::vector<Occurrence>& occ, std::size_t tags,
                  std::vector<std::uint32_t>& begin, std::vector<Out>& out) {
  begin.assign(tags + 1, 0);
  for (const Occurrence& o : occ) ++begin[o.tag + 1];
  for (std::size_t t = 0; t < tags; ++t) begin[t + 1] += begin[t];
  out.resize(occ.size());
  std::vector<std::uint32_t> fill(begin.begin(), begin.end() - 1);
  for (const Occurrence& o : occ) out[fill[o.tag]++] = o.at;
}

class IndexBuilder {
 public:
  IndexBuilder(const std::vector<GraphSubject>& in, IndexedGraph& out, Interrupt* interrupt)
      : in_(in), out_(out), seen_(in.size(), 0), poll_(interrupt) {}

  // False when interrupted.
  bool run() {
    const std::size_t n = in_.size();
    out_.subjects.resize(n);
    order_.reserve(n);
    // Everything reachable from the root first, so the root's range holds
    // exactly the reachable subjects; then whatever it does not reach (no
    // graph the builder accepts has any).
    if (n > 0 && !number_from(0)) return false;
    for (SubjectIndex i = 1; i < n; ++i) {
      if (!seen_[i] && !number_from(i)) return false;
    }
    return list_occurrences();
  }

 private:
  struct Frame {
    SubjectIndex subject;
    std::size_t next_child;
  };

  // Iterative depth-first walk: pre-order numbers on the way down, range
  // ends on the way up. A child seen before (only in a malformed graph) is
  // not entered again.
  bool number_from(SubjectIndex from) {
    enter(from);
    while (!stack_.empty()) {
      if (poll_.tick()) return false;
      Frame& f = stack_.back();
      const std::vector<SubjectIndex>& kids = in_[f.subject].children;
      if (f.next_child < kids.size()) {
        const SubjectIndex c = kids[f.next_child++];
        if (c < in_.size() && !seen_[c]) enter(c);
        continue;
      }
      out_.subjects[f.subject].subtree_range.end = static_cast<std::uint32_t>(order_.size());
      stack_.pop_back();
    }
    return true;
  }

  void enter(SubjectIndex s) {
    seen_[s] = 1;
    out_.subjects[s].subtree_range.start = static_cast<std::uint32_t>(order_.size());
    order_.push_back(s);
    stack_.push_back({s, 0});
  }

  bool list_occurrences() {
    std::size_t strings = 0, identities = 0;
    for (const GraphSubject& g : in_) {
      strings += g.tags.size() + g.identities.size();
      identities += g.identities.size();
    }
    // Distinct strings are usually far fewer; a quarter avoids most growth.
    out_.tags.reserve(strings / 4 + 8);
    std::vector<Occurrence> occ;
    std::vector<Occurrence> ids;
    occ.reserve(strings);
    ids.reserve(identities);
    for (std::uint32_t at = 0; at < order_.size(); ++at) {
      if (poll_.tick()) return false;
      const GraphSubject& g = in_[order_[at]];
      for (const std::string& t : g.tags) occ.push_back({out_.tags.intern(t), at});
      for (const std::string& id : g.identities) {
        const TagId t = out_.tags.intern(id);
        occ.push_back({t, at});
        ids.push_back({t, static_cast<std::uint32_t>(order_[at])});
      }
    }
    if (poll_.tick(InterruptPoll::kStride)) return false;
    group_by_tag(occ, out_.tags.size(), out_.occ_begin, out_.occ_pos);
    group_by_tag(ids, out_.tags.size(), out_.id_begin, out_.id_subjects);
    // Identity lists were filled in pre-order; they are kept by index.
    for (TagId t = 0; t < out_.tags.size(); ++t) {
      auto first = out_.id_subjects.begin() + out_.id_begin[t];
      auto last = out_.id_subjects.begin() + out_.id_begin[t + 1];
      if (!std::is_sorted(first, last)) std::sort(first, last);
    }
    return true;
  }

  const std::vector<GraphSubject>& in_;
  IndexedGraph& out_;
  std::vector<std::uint8_t> seen_;
  std::vector<SubjectIndex> order_;
  std::vector<Frame> stack_;
  InterruptPoll poll_;
};

}  // namespace

IndexedGraph build_index(TagGraph graph) {
  return std::move(build_index(graph, nullptr)).value();
}

Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt) {
  IndexedGraph out;
  if (!IndexBuilder(graph.subjects, out, interrupt).run()) return make_err(Interrupted{});

  // Nothing can stop the build from here on: take the graph over.
  std::vector<GraphSubject>& in = graph.subjects;
  const std::size_t n = in.size();
  for (SubjectIndex i = 0; i < n; ++i) {
    GraphSubject& g = in[i];
    IndexedSubject& x = out.subjects[i];
    x.relation = g.relation;
    x.name = std::move(g.name);
    x.identities = std::move(g.identities);
    x.children = std::move(g.children);
    x.index = g.index;
    x.parent = g.parent;
    x.span = g.span;
  }
  std::vector<GraphSubject>().swap(in);
  out.all_subjects.resize(n);
  std::iota(out.all_subjects.begin(), out.all_subjects.end(), SubjectIndex{0});
  out.relations = std::move(graph.relations);
  return out;
}

const IndexedGraph& GraphState::ensure_index() { return *ensure_index(nullptr); }

const IndexedGraph* GraphState::ensure_index(Interrupt* interrupt) {
  if (TagGraph* g = std::get_if<TagGraph>(&state_)) {
    auto indexed = build_index(*g, interrupt);
    if (!indexed) return nullptr;
    state_.emplace<IndexedGraph>(std::move(indexed).value());
  }
  return std::get_if<IndexedGraph>(&state_);
}

}  // namespace lumo
