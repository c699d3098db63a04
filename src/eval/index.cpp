// Building the tag graph index.
//
// From a TagGraph model: one iterative depth-first walk over the final
// children lists numbers the subjects in pre-order and gives each its range
// [start, end); every tag and identity is then interned and recorded as a
// (string, subject) pair. finish_index() turns the pairs into the per-string
// lists with a counting sort over the string ids, placing each subject at its
// pre-order number; a list that does not come out ascending (the reader met
// its subjects out of pre-order) is sorted. The build is linear in the
// subjects and the strings apart from those sorts, allocates a handful of
// flat arrays, and never copies a set: a chain a million deep costs what a
// flat list of a million subjects costs.
//
// The build only reads the graph, so an interrupted build leaves it as it
// was; the graph is released once the build can no longer stop.

#include "eval/index.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace lumo {

namespace {

// Counting sort of `pairs` by tag into `begin` (each tag's start, and the
// end after the last tag; tags + 1 zeros on entry) and `out` (the values
// `value(pair)` in their order within `pairs`). With `sort`, each tag's
// values are then made ascending.
template <class Value>
bool group_by_tag(const std::vector<Occurrence>& pairs, std::size_t tags, std::uint32_t* begin,
                  std::uint32_t* out, Value value, bool sort, InterruptPoll& poll) {
  for (const Occurrence& o : pairs) ++begin[o.tag + 1];
  for (std::size_t t = 0; t < tags; ++t) begin[t + 1] += begin[t];
  // begin[t] serves as tag t's cursor, which leaves it at t's end, that is
  // at the start of t + 1; shifting the array by one restores the starts.
  for (const Occurrence& o : pairs) out[begin[o.tag]++] = value(o);
  for (std::size_t t = tags; t > 0; --t) begin[t] = begin[t - 1];
  begin[0] = 0;
  if (!sort) return true;
  if (poll.tick(InterruptPoll::kStride)) return false;
  for (std::size_t t = 0; t < tags; ++t) {
    std::uint32_t* first = out + begin[t];
    std::uint32_t* last = out + begin[t + 1];
    if (!std::is_sorted(first, last)) {
      if (poll.tick(InterruptPoll::kStride)) return false;
      std::sort(first, last);
    }
  }
  return true;
}

class IndexBuilder {
 public:
  IndexBuilder(const std::vector<GraphSubject>& in, IndexParts& out, Interrupt* interrupt)
      : in_(in), out_(out), seen_(in.size(), 0), poll_(interrupt) {}

  // False when interrupted.
  bool run() {
    const std::size_t n = in_.size();
    out_.ranges.resize(n);
    // Everything reachable from the root first, so the root's range holds
    // exactly the reachable subjects; then whatever it does not reach (no
    // graph the builder accepts has any).
    if (n > 0 && !number_from(0)) return false;
    for (SubjectIndex i = 1; i < n; ++i) {
      if (!seen_[i] && !number_from(i)) return false;
    }
    return list_strings();
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
      out_.ranges[f.subject].end = next_;
      stack_.pop_back();
    }
    return true;
  }

  void enter(SubjectIndex s) {
    seen_[s] = 1;
    out_.ranges[s].start = next_++;
    stack_.push_back({s, 0});
  }

  bool list_strings() {
    std::size_t strings = 0, identities = 0;
    for (const GraphSubject& g : in_) {
      strings += g.tags.size() + g.identities.size();
      identities += g.identities.size();
    }
    // Distinct strings are usually far fewer; a quarter avoids most growth.
    out_.tags.reserve(strings / 4 + 8);
    out_.strings.reserve(strings);
    out_.identities.reserve(identities);
    for (std::uint32_t s = 0; s < in_.size(); ++s) {
      if (poll_.tick()) return false;
      const GraphSubject& g = in_[s];
      for (const std::string& t : g.tags) out_.strings.push_back({out_.tags.intern(t), s});
      for (const std::string& id : g.identities) {
        const TagId t = out_.tags.intern(id);
        out_.strings.push_back({t, s});
        out_.identities.push_back({t, s});
      }
    }
    return true;
  }

  const std::vector<GraphSubject>& in_;
  IndexParts& out_;
  std::vector<std::uint8_t> seen_;
  std::vector<Frame> stack_;
  std::uint32_t next_ = 0;
  InterruptPoll poll_;
};

}  // namespace

std::optional<IndexedGraph> finish_index(IndexParts& parts, Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  IndexedGraph out;
  const std::vector<SubtreeRange>& ranges = parts.ranges;
  const std::size_t tags = parts.tags.size();
  const std::size_t strings = parts.strings.size(), identities = parts.identities.size();
  // One block: occ_begin, id_begin, occ_pos, id_subjects.
  out.lists.assign(2 * (tags + 1) + strings + identities, 0);
  std::uint32_t* occ_begin = out.lists.data();
  std::uint32_t* id_begin = occ_begin + tags + 1;
  std::uint32_t* occ_pos = id_begin + tags + 1;
  std::uint32_t* id_subjects = occ_pos + strings;
  if (!group_by_tag(parts.strings, tags, occ_begin, occ_pos,
                    [&](const Occurrence& o) { return ranges[o.subject].start; },
                    !parts.strings_in_order, poll))
    return std::nullopt;
  // Identities come in subject order, so their lists are ascending as made.
  if (!group_by_tag(parts.identities, tags, id_begin, id_subjects,
                    [](const Occurrence& o) { return o.subject; }, false, poll))
    return std::nullopt;
  out.occ_begin = {occ_begin, tags + 1};
  out.id_begin = {id_begin, tags + 1};
  out.occ_pos = {occ_pos, strings};
  out.id_subjects = {id_subjects, identities};
  out.ranges = std::move(parts.ranges);
  out.tags = std::move(parts.tags);
  return out;
}

IndexedGraph build_index(TagGraph graph) {
  return std::move(build_index(graph, nullptr)).value();
}

Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt) {
  IndexParts parts;
  if (!IndexBuilder(graph.subjects, parts, interrupt).run()) return make_err(Interrupted{});
  std::optional<IndexedGraph> out = finish_index(parts, interrupt);
  if (!out) return make_err(Interrupted{});
  // Nothing can stop the build from here on: take the graph over.
  out->relations = std::move(graph.relations);
  graph = TagGraph{};
  return std::move(*out);
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
