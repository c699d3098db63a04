// Building the tag graph index.
//
// From a TagGraph model: one iterative depth-first walk over the final
// children lists numbers the subjects in pre-order and gives each its range
// [start, end); every tag and identity is then interned and listed by
// subject. finish_index() turns those lists into the per-string lists with a
// counting sort over the string ids, placing the subjects from each list's
// end in reverse pre-order, so that every list comes out ascending. The
// build is linear in the subjects and the strings, allocates one block (a
// large graph a few), and never copies a set: a chain a million deep costs
// what a flat list of a million subjects costs.
//
// The build only reads the graph, so an interrupted build leaves it as it
// was; the graph is released once the build can no longer stop.

#include "eval/index.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/compiler.h"
#include "base/polled.h"

namespace lumo {

namespace {

// Turns per-tag counts, at begin[t], into ends: begin[t] is then where tag
// t's list ends, and begin[tags] the total. Values placed from the back,
// each at --begin[t], leave begin[t] at the start of t's list. False when
// interrupted.
template <bool kPolled>
bool counts_to_ends(std::uint32_t* begin, std::size_t tags, InterruptPoll& poll) {
  // The running sum stays in a register: adding begin[t - 1] back from
  // memory would wait on the store just made, element after element.
  std::uint32_t sum = 0;
  for (std::size_t t = 0; t < tags;) {
    const std::size_t block_end =
        kPolled && tags - t > InterruptPoll::kBlock ? t + InterruptPoll::kBlock : tags;
    audit_work(block_end - t);
    for (; t < block_end; ++t) begin[t] = sum += begin[t];
    if (kPolled && t < tags && poll.tick_turns(InterruptPoll::kBlock)) return false;
  }
  begin[tags] = sum;
  return true;
}

class IndexBuilder {
 public:
  IndexBuilder(const std::vector<GraphSubject>& in, IndexParts& out, Interrupt* interrupt)
      : in_(in), out_(out), poll_(interrupt) {}

  // False when interrupted.
  bool run() {
    const std::size_t n = in_.size();
    out_.ranges.resize(n);
    out_.preorder.reserve(n);
    // A graph the builder accepts is a tree from the root: the walk reaches
    // every subject once.
    if (n > 0 && !number_from(0)) return false;
    return list_strings();
  }

 private:
  struct Frame {
    SubjectIndex subject;
    std::size_t next_child;
  };

  // Iterative depth-first walk: pre-order numbers on the way down, range
  // ends on the way up.
  bool number_from(SubjectIndex from) {
    enter(from);
    TurnCounter turns(poll_);
    while (!stack_.empty()) {
      if (turns.turn()) return false;
      Frame& f = stack_.back();
      const std::vector<SubjectIndex>& kids = in_[f.subject].children;
      if (f.next_child < kids.size()) {
        enter(kids[f.next_child++]);
        continue;
      }
      out_.ranges[f.subject].end = next_;
      stack_.pop_back();
    }
    return true;
  }

  void enter(SubjectIndex s) {
    out_.ranges[s].start = next_++;
    out_.preorder.push_back(static_cast<std::uint32_t>(s));
    stack_.push_back({s, 0});
  }

  bool list_strings() {
    std::size_t strings = 0;
    if (!poll_.for_each_block(in_.size(), [&](std::size_t lo, std::size_t hi) {
          for (const GraphSubject* g = in_.data() + lo; g != in_.data() + hi; ++g)
            strings += g->tags.size() + g->identities.size();
        })) {
      return false;
    }
    // Distinct strings are usually far fewer; a quarter avoids most growth.
    out_.tags.reserve(strings / 4 + 8);
    out_.strings.reserve(strings);
    out_.begin.reserve(in_.size() + 1);
    out_.identities_end.reserve(in_.size());
    TurnCounter turns(poll_);
    for (const GraphSubject& g : in_) {
      const std::size_t count = g.identities.size() + g.tags.size();
      if (count > InterruptPoll::kBlock) [[unlikely]] {
        if (!list_many(g)) return false;
        continue;
      }
      if (turns.turn(count)) return false;
      // Interning a long string weighs its bytes, as reading it did (a stop
      // is seen at the next tick).
      out_.begin_subject();
      for (const std::string& id : g.identities) {
        out_.strings.push_back(out_.tags.intern(id));
        if (id.size() > InterruptPoll::kBytesPerUnit) [[unlikely]] weigh(id);
      }
      out_.end_identities();
      for (const std::string& t : g.tags) {
        out_.strings.push_back(out_.tags.intern(t));
        if (t.size() > InterruptPoll::kBytesPerUnit) [[unlikely]] weigh(t);
      }
    }
    out_.end_subjects();
    return !poll_.stopped();
  }

  // The strings of a subject that has many, a block at a time.
  LUMO_NOINLINE bool list_many(const GraphSubject& g) {
    const auto intern = [&](const std::string& text) {
      out_.strings.push_back(out_.tags.intern(text));
      if (text.size() > InterruptPoll::kBytesPerUnit) weigh(text);
    };
    out_.begin_subject();
    if (!poll_.for_each(g.identities.size(), [&](std::size_t k) { intern(g.identities[k]); }))
      return false;
    out_.end_identities();
    return poll_.for_each(g.tags.size(), [&](std::size_t k) { intern(g.tags[k]); }) &&
           !poll_.tick_turns(g.identities.size() + g.tags.size());
  }

  LUMO_NOINLINE void weigh(const std::string& text) { (void)poll_.tick_bytes(text.size()); }

  const std::vector<GraphSubject>& in_;
  IndexParts& out_;
  std::vector<Frame> stack_;
  std::uint32_t next_ = 0;
  InterruptPoll poll_;
};

}  // namespace

namespace {

// A graph whose ranges and string table take at most this much keeps a
// copy of them in its block; a larger one takes them over as they are.
constexpr std::size_t kPackedBytes = 256 * 1024;

// The four lists of an index under construction, in its one block.
struct ListBlock {
  std::uint32_t* occ_begin;
  std::uint32_t* id_begin;
  std::uint32_t* occ_pos;
  std::uint32_t* id_subjects;
};

// kPolled below: false for an index so small (see finish_index) that its
// loops need no ticks inside. Each function returns false when interrupted.

// for_subject_strings() with `order` (kOrdered) or without.
template <bool kBackwards, bool kOrdered, class Each>
bool run_subject_strings(InterruptPoll& poll, std::size_t n, const std::uint32_t* begin,
                         const std::uint32_t* end, const std::uint32_t* order, Each each) {
  constexpr std::size_t kBlock = InterruptPoll::kBlock;
  constexpr std::size_t kFewStrings = kBlock * InterruptPoll::kTurnsPerUnit;
  for (std::size_t j0 = 0; j0 < n; j0 += kBlock) {
    const std::size_t j1 = std::min(n, j0 + kBlock);
    const std::size_t k0 = kBackwards ? n - j1 : j0;
    const std::size_t k1 = kBackwards ? n - j0 : j1;
    if (!kOrdered && begin[k1] - begin[k0] <= kFewStrings) [[likely]] {
      for (std::size_t j = j0; j < j1; ++j) {
        const std::size_t s = kBackwards ? n - 1 - j : j;
        each(s, begin[s], end[s]);
      }
      audit_work(j1 - j0 + begin[k1] - begin[k0]);
      if (poll.tick_turns(j1 - j0 + begin[k1] - begin[k0])) return false;
      continue;
    }
    std::size_t turns = 0;
    for (std::size_t j = j0; j < j1; ++j) {
      const std::size_t k = kBackwards ? n - 1 - j : j;
      const std::size_t s = kOrdered ? order[k] : k;
      std::uint32_t lo = begin[s];
      const std::uint32_t hi = end[s];
      for (; hi - lo > kBlock; lo += kBlock) {
        each(s, lo, lo + kBlock);
        audit_work(kBlock);
        if (poll.tick_turns(kBlock)) return false;
      }
      each(s, lo, hi);
      turns += 1 + hi - lo;
    }
    audit_work(turns);
    if (poll.tick_turns(turns)) return false;
  }
  return true;
}

// Runs each(s, lo, hi) over the strings [lo, hi) = [begin[s], end[s]) of
// every subject s (of `order`, or of 0 .. n - 1 where `order` is null,
// from the last with kBackwards), a block of kBlock subjects at a time, with
// a tick for each. Where the subjects come in index order, the strings of a
// block are at most begin[last + 1] - begin[first], at hand: a block with
// few enough runs as plain loops. Otherwise each subject's strings weigh
// too, a long list of them run a block at a time.
template <bool kBackwards, class Each>
bool for_subject_strings(InterruptPoll& poll, std::size_t n, const std::uint32_t* begin,
                         const std::uint32_t* end, const std::uint32_t* order, Each each) {
  if (order != nullptr)
    return run_subject_strings<kBackwards, true>(poll, n, begin, end, order, each);
  return run_subject_strings<kBackwards, false>(poll, n, begin, end, order, each);
}

// Counts each string's occurrences (at occ_begin[t]) and identity carriers
// (at id_begin[t]).
template <bool kPolled>
bool count_lists(const IndexParts& parts, const ListBlock& b, InterruptPoll& poll) {
  const std::vector<TagId>& strings = parts.strings;
  const std::vector<TagId>& root_tags = parts.root_tags;
  // (The lambdas below take the arrays by value, so that their loops keep
  // them in registers.)
  const auto count_identities = [id_begin = b.id_begin, str = strings.data()](
                                    std::size_t, std::uint32_t lo, std::uint32_t hi) {
    for (std::uint32_t k = lo; k < hi; ++k) ++id_begin[str[k]];
  };
  if constexpr (!kPolled) {
    for (TagId t : strings) ++b.occ_begin[t];
    for (TagId t : root_tags) ++b.occ_begin[t];
    for (std::size_t s = 0; s < parts.ranges.size(); ++s) {
      audit_work(1 + parts.identities_end[s] - parts.begin[s]);
      for (std::uint32_t k = parts.begin[s]; k < parts.identities_end[s]; ++k)
        ++b.id_begin[strings[k]];
    }
    audit_work(strings.size() + root_tags.size());
    return true;
  }
  const auto count_occurrences = [&](const std::vector<TagId>& list) {
    return poll.for_each_block(list.size(), [&](std::size_t lo, std::size_t hi) {
      for (const TagId* t = list.data() + lo; t != list.data() + hi; ++t) ++b.occ_begin[*t];
    });
  };
  return count_occurrences(strings) && count_occurrences(root_tags) &&
         for_subject_strings<false>(poll, parts.ranges.size(), parts.begin.data(),
                                    parts.identities_end.data(), nullptr, count_identities);
}

// Places each subject's pre-order number in the lists of its strings, from
// the back, taking the subjects in reverse pre-order, so that every list
// comes out ascending.
template <bool kPolled>
bool place_occurrences(const IndexParts& parts, const ListBlock& b, InterruptPoll& poll) {
  const std::vector<TagId>& strings = parts.strings;
  const auto place = [ranges = parts.ranges.data(), occ_pos = b.occ_pos, occ_begin = b.occ_begin,
                      str = strings.data()](std::size_t s, std::uint32_t lo, std::uint32_t hi) {
    const std::uint32_t at = ranges[s].start;
    for (std::uint32_t i = lo; i < hi; ++i) occ_pos[--occ_begin[str[i]]] = at;
  };
  const auto place_root_tags = [&](std::size_t i) {
    b.occ_pos[--b.occ_begin[parts.root_tags[i]]] = parts.ranges[0].start;
  };
  if constexpr (!kPolled) {
    for (std::size_t k = parts.ranges.size(); k-- > 0;) {
      const std::size_t s = parts.preorder.empty() ? k : parts.preorder[k];
      const std::uint32_t at = parts.ranges[s].start;
      audit_work(1 + parts.begin[s + 1] - parts.begin[s]);
      for (std::uint32_t i = parts.begin[s]; i < parts.begin[s + 1]; ++i)
        b.occ_pos[--b.occ_begin[strings[i]]] = at;
      if (s == 0) {
        for (TagId t : parts.root_tags) b.occ_pos[--b.occ_begin[t]] = at;
      }
    }
    return true;
  }
  // (Subject 0, the root, comes last, and the root's tags after it.)
  return for_subject_strings<true>(poll, parts.ranges.size(), parts.begin.data(),
                                   parts.begin.data() + 1,
                                   parts.preorder.empty() ? nullptr : parts.preorder.data(),
                                   place) &&
         poll.for_each(parts.root_tags.size(), place_root_tags);
}

// Places each subject in the carrier lists of its identities, from the
// back, taking the subjects in reverse index order, so that every list comes
// out ascending.
template <bool kPolled>
bool place_identities(const IndexParts& parts, const ListBlock& b, InterruptPoll& poll) {
  const std::vector<TagId>& strings = parts.strings;
  const auto place = [id_subjects = b.id_subjects, id_begin = b.id_begin, str = strings.data()](
                         std::size_t s, std::uint32_t lo, std::uint32_t hi) {
    for (std::uint32_t i = lo; i < hi; ++i)
      id_subjects[--id_begin[str[i]]] = static_cast<std::uint32_t>(s);
  };
  if constexpr (!kPolled) {
    for (std::size_t s = parts.ranges.size(); s-- > 0;) {
      audit_work(1 + parts.identities_end[s] - parts.begin[s]);
      for (std::uint32_t i = parts.begin[s]; i < parts.identities_end[s]; ++i)
        b.id_subjects[--b.id_begin[strings[i]]] = static_cast<std::uint32_t>(s);
    }
    return true;
  }
  return for_subject_strings<true>(poll, parts.ranges.size(), parts.begin.data(),
                                   parts.identities_end.data(), nullptr, place);
}

// Copies the ranges, the relations and the string table to `place`, in the
// block after the lists, and points the index at the copies.
void copy_into_block(const IndexParts& parts, IndexedGraph& out, std::byte* place) {
  const std::size_t n = parts.ranges.size();
  if (n != 0) std::memcpy(place, parts.ranges.data(), n * sizeof(SubtreeRange));
  out.ranges = {reinterpret_cast<const SubtreeRange*>(place), n};
  place += n * sizeof(SubtreeRange);
  auto* relations = reinterpret_cast<RelationEntry*>(place);
  std::uninitialized_copy(parts.relations.begin(), parts.relations.end(), relations);
  out.relations = {relations, parts.relations.size()};
  out.tags = parts.tags.pack_into(place + parts.relations.size() * sizeof(RelationEntry));
}

// Moves the ranges, the relations and the string table into the index.
void take_over(IndexParts& parts, IndexedGraph& out) {
  out.own_ranges = std::move(parts.ranges);
  out.own_tags = std::make_unique<TagTable>(std::move(parts.tags));
  out.own_relations = std::move(parts.relations);
  out.ranges = out.own_ranges;
  out.tags = out.own_tags->view();
  out.relations = out.own_relations;
}

}  // namespace

namespace {

template <bool kPolled>
std::optional<IndexedGraph> finish(IndexParts& parts, InterruptPoll& poll) {
  IndexedGraph out;
  const std::size_t tags = parts.tags.size();
  const std::size_t n = parts.ranges.size();
  std::size_t identities = 0;
  if (!poll.for_each_block(n, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) identities += parts.identities_end[s] - parts.begin[s];
      })) {
    return std::nullopt;
  }
  const std::size_t occurrences = parts.strings.size() + parts.root_tags.size();
  // The block: occ_begin, id_begin, occ_pos, id_subjects; then, when they
  // are small enough to copy, the ranges, the relations and the string
  // table. Only the starts need zeros, the lists are written in full.
  const std::size_t starts = 2 * (tags + 1);
  const std::size_t list_words = (starts + occurrences + identities + 1) / 2;
  // The block is freed without destructors.
  static_assert(sizeof(SubtreeRange) % 8 == 0 && sizeof(RelationEntry) % 8 == 0 &&
                std::is_trivially_destructible_v<RelationEntry>);
  const std::size_t range_bytes = n * sizeof(SubtreeRange);
  const std::size_t relation_bytes = parts.relations.size() * sizeof(RelationEntry);
  const std::size_t table_bytes = parts.tags.packed_bytes();
  const std::size_t packed = range_bytes + relation_bytes + table_bytes;
  const bool pack = packed <= kPackedBytes;
  const std::size_t words = list_words + (pack ? packed / 8 : 0);
  out.block = std::make_unique_for_overwrite<std::uint64_t[]>(words);
  auto* lists = reinterpret_cast<std::uint32_t*>(out.block.get());
  std::fill(lists, lists + starts, 0u);
  ListBlock b;
  b.occ_begin = lists;
  b.id_begin = b.occ_begin + tags + 1;
  b.occ_pos = b.id_begin + tags + 1;
  b.id_subjects = b.occ_pos + occurrences;

  // A counting sort by string: count, then place, which leaves every list
  // ascending without sorting any.
  if (!count_lists<kPolled>(parts, b, poll) || !counts_to_ends<kPolled>(b.occ_begin, tags, poll) ||
      !counts_to_ends<kPolled>(b.id_begin, tags, poll) ||
      !place_occurrences<kPolled>(parts, b, poll) || !place_identities<kPolled>(parts, b, poll)) {
    return std::nullopt;
  }
  out.occ_begin = {b.occ_begin, tags + 1};
  out.id_begin = {b.id_begin, tags + 1};
  out.occ_pos = {b.occ_pos, occurrences};
  out.id_subjects = {b.id_subjects, identities};
  if (pack) {
    copy_into_block(parts, out, reinterpret_cast<std::byte*>(out.block.get() + list_words));
  } else {
    take_over(parts, out);
  }
  return out;
}

}  // namespace

std::optional<IndexedGraph> finish_index(IndexParts& parts, Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  parts.tags.settle();
  // An index whose every loop is short needs no tick inside them: one for
  // the whole of it.
  constexpr std::size_t kSmall = InterruptPoll::kSmall;
  if (parts.ranges.size() <= kSmall && parts.strings.size() <= 4 * kSmall &&
      parts.tags.size() <= 4 * kSmall && parts.root_tags.size() <= kSmall) {
    if (poll.tick_turns(parts.strings.size() + parts.tags.size())) return std::nullopt;
    return finish<false>(parts, poll);
  }
  return finish<true>(parts, poll);
}

Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt) {
  IndexParts parts;
  if (!IndexBuilder(graph.subjects, parts, interrupt).run()) return make_err(Interrupted{});
  parts.relations.assign(graph.relations.begin(), graph.relations.end());
  InterruptPoll poll(interrupt);
  if (!polled_sort(poll, parts.relations,
                   [](const auto& a, const auto& b) { return a.first.subject < b.first.subject; }))
    return make_err(Interrupted{});
  std::optional<IndexedGraph> out = finish_index(parts, interrupt);
  if (!out) return make_err(Interrupted{});
  // Nothing can stop the build from here on: let the graph go.
  graph = TagGraph{};
  return std::move(*out);
}

const IndexedGraph* GraphState::ensure_index(Interrupt* interrupt) {
  if (TagGraph* g = std::get_if<TagGraph>(&state_)) {
    auto indexed = build_index(*g, interrupt);
    if (!indexed) return nullptr;
    state_.emplace<IndexedGraph>(std::move(indexed).value());
  }
  return std::get_if<IndexedGraph>(&state_);
}

}  // namespace lumo
