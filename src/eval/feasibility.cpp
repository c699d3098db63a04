// Relation-free feasibility, memoised per (query subject, graph subject).
//
// Without relation entries the query subjects constrain each other only
// along the tree of their parents, so the question splits per subtree:
//
//   feasible(q, g) = the expression of q holds on g, and every child c of q
//                    has a candidate g' (inside g's subtree unless c is a
//                    relation subject) with feasible(c, g').
//
// It is evaluated lazily from the top down, memoised per (q, g), on an
// explicit stack of frames, one per pair being decided; a frame walks the
// children of its query subject and, for the current child, a scan over the
// child's candidates. When (q, g) fails because a non-relation child has no
// feasible candidate inside g's subtree, every graph subject below g fails
// for q too (its subtree is smaller), so scans over q's candidates jump past
// g's whole subtree ("Dead"). A relation child either has a feasible graph
// subject somewhere or makes its parent fail everywhere ("hopeless").

#include "eval/feasibility.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/child_lists.h"
#include "base/huge_pages.h"
#include "base/polled.h"

namespace lumo {

namespace {

// One key for every memo of the process: a memo lives for one match, and
// drawing a key per match cost more than the small ones' whole work.
std::uint64_t process_key() {
  static const std::uint64_t key = draw_hash_key();
  return key;
}

}  // namespace

PairMemo::PairMemo(std::size_t query_size, std::size_t graph_size,
                   std::pmr::memory_resource* memory, std::size_t dense_pairs)
    : stride_(graph_size), seed_(process_key()), slots_(memory) {
  const std::size_t pairs =
      graph_size != 0 && query_size > dense_pairs / graph_size ? dense_pairs + 1
                                                               : query_size * graph_size;
  if (pairs <= std::min(kSmallPairs, dense_pairs)) {
    const std::size_t bytes = std::max<std::size_t>(pairs, 1);  // dense_ is the flag
    dense_ = static_cast<std::uint8_t*>(memory->allocate(bytes, 1));
    std::memset(dense_, 0, bytes);
    return;
  }
  if (pairs <= dense_pairs) {
    // Zeroed pages come from the system as they are first touched, so a
    // match that visits few pairs does not pay for the whole array. Where
    // the system refuses the space, the hash table does with less.
    large_ = ZeroedPages(pairs);
    dense_ = large_.data();
    if (dense_ != nullptr) return;
  }
  slots_.resize(16);
  mask_ = slots_.size() - 1;
}

Memo PairMemo::get(SubjectIndex q, SubjectIndex g) const {
  if (dense_ != nullptr) return static_cast<Memo>(dense_[q * stride_ + g]);
  const std::uint64_t key = make_key(q, g);
  std::size_t i = hash_u64(key, seed_) & mask_;
  while (true) {
    const Slot& s = slots_[i];
    if (s.key == key) return s.value;
    if (s.key == 0) return Memo::Unknown;
    i = (i + 1) & mask_;
  }
}

void PairMemo::set(SubjectIndex q, SubjectIndex g, Memo value) {
  if (dense_ != nullptr) {
    dense_[q * stride_ + g] = static_cast<std::uint8_t>(value);
    return;
  }
  if ((count_ + 1) * 2 > slots_.size()) grow();
  insert(make_key(q, g), value);
}

void PairMemo::insert(std::uint64_t key, Memo value) {
  std::size_t i = hash_u64(key, seed_) & mask_;
  while (true) {
    Slot& s = slots_[i];
    if (s.key == key) {
      s.value = value;
      return;
    }
    if (s.key == 0) {
      s.key = key;
      s.value = value;
      ++count_;
      return;
    }
    i = (i + 1) & mask_;
  }
}

void PairMemo::grow() {
  std::pmr::vector<Slot> old(slots_.size() * 2, slots_.get_allocator());
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  count_ = 0;
  for (const Slot& s : old) {
    if (s.key != 0) insert(s.key, s.value);
  }
}

Feasibility::Feasibility(const Query& query, const IndexedGraph& graph, InterruptPoll& poll)
    : arena_(buffer_, sizeof buffer_, huge_block_resource()),
      query_(query),
      graph_(graph),
      poll_(poll),
      tester_(&arena_),
      memo_(query.subjects.size(), graph.size(), &arena_),
      more_identities_(&arena_),
      stack_(&arena_) {
  constexpr std::size_t kSmall = InterruptPoll::kSmall;
  if (query.subjects.size() <= kSmall && graph.size() <= kSmall) {
    prepare<false>();
    (void)poll_.tick_turns(query.subjects.size() + graph.size());  // feasible() sees a stop
  } else {
    prepare<true>();
  }
}

// Tags the graph lacks hold nowhere; the others hold where the index lists
// an occurrence inside the subject's range.
bool Feasibility::expression_holds(SubjectIndex q, SubjectIndex g) {
  if (facts_[q].trivial != 0) return true;
  const SubtreeRange& range = graph_.range(g);
  const auto holds = [&](ExprId node, std::string_view tag) {
    const TagId t = graph_tag(node, tag);
    return t != kNoTag && graph_.occurs_from(t, range, node_hints_[node]);
  };
  // A walk over a pool of kShortWalk nodes or fewer takes at most twice as
  // many steps: the turn of the candidate it tests (every caller ticks one)
  // weighs it.
  constexpr std::size_t kShortWalk = InterruptPoll::kTurnsPerUnit;
  if (query_.exprs.size() <= kShortWalk)
    return tester_.test<false>(query_.exprs, query_.subjects[q].expression, holds, poll_);
  return tester_.test(query_.exprs, query_.subjects[q].expression, holds, poll_);
}

TagId Feasibility::graph_tag(ExprId node, std::string_view tag) {
  constexpr TagId kUnknown = kNoTag - 1;
  if (node_tags_.empty()) {
    node_tags_ = take<TagId>(query_.exprs.size());
    std::fill(node_tags_.begin(), node_tags_.end(), kUnknown);
    node_hints_ = take<std::uint32_t>(query_.exprs.size());
    std::fill(node_hints_.begin(), node_hints_.end(), 0u);
  }
  TagId& t = node_tags_[node];
  if (t == kUnknown) t = graph_.tags.find(tag);
  return t;
}

template <bool kPolled>
const CandidateList* Feasibility::all_list() {
  if (all_list_ != SIZE_MAX) return &lists_[all_list_];
  const std::span<const SubtreeRange> ranges = graph_.ranges;
  const std::size_t n = ranges.size();
  const std::span<Cand> cands = take<Cand>(n);
  // The pre-order numbers of an index are 0 .. n - 1, each once, so every
  // subject goes straight to its number. Without moved relation subjects
  // that is its own index: the list is written in order.
  const auto place = [&](std::size_t lo, std::size_t hi) {
    for (SubjectIndex g = lo; g < hi; ++g) {
      const SubtreeRange& r = ranges[g];
      cands[r.start] = Cand{r.start, r.end, g};
    }
  };
  bool whole = true;
  if constexpr (kPolled) {
    whole = poll_.for_each_block(n, place);
  } else {
    place(0, n);
  }
  // (The list is built once, from the loop over query subjects in prepare():
  // its turns are ticked here.)
  if (!whole || (kPolled && poll_.tick_turns(n))) {  // interrupted: the match ends
    all_list_ = lists_used_++;
    lists_[all_list_] = CandidateList{};
    return &lists_[all_list_];
  }
  all_list_ = lists_used_++;
  lists_[all_list_] = CandidateList{cands};
  return &lists_[all_list_];
}

template <bool kPolled>
const CandidateList* Feasibility::list_for(const QuerySubject& s) {
  if (s.identities.empty()) return all_list<kPolled>();
  const TagId id = graph_.tags.find(s.identities.front());
  // Lists are kept by the graph's id of the identity: a few in a short list,
  // any more in a hash table.
  for (std::size_t k = 0; k < few_used_; ++k) {
    if (few_identities_[k].first == id) return &lists_[few_identities_[k].second];
  }
  if (auto found = more_identities_.find(id); found != more_identities_.end())
    return &lists_[found->second];
  const std::span<const std::uint32_t> carriers = graph_.carriers(id);  // ascending
  const std::span<Cand> all = take<Cand>(carriers.size());
  std::size_t count = 0;
  const auto list = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t k = lo; k < hi; ++k) {
      if (k > 0 && carriers[k] == carriers[k - 1]) continue;  // listed twice: try once
      const SubjectIndex g = carriers[k];
      const SubtreeRange& r = graph_.range(g);
      all[count++] = Cand{r.start, r.end, g};
    }
  };
  if constexpr (kPolled) {
    poll_.for_each_block(carriers.size(), list);
  } else {
    list(0, carriers.size());
  }
  const std::span<Cand> cands = all.first(count);
  const auto by_start = [](const Cand& a, const Cand& b) { return a.start < b.start; };
  if constexpr (kPolled) {
    bool sorted = true;
    poll_.for_each_block(cands.size(), [&](std::size_t lo, std::size_t hi) {
      // (Each block from the last of the one before.)
      sorted = sorted && std::is_sorted(cands.begin() + static_cast<std::ptrdiff_t>(lo ? lo - 1 : 0),
                                        cands.begin() + static_cast<std::ptrdiff_t>(hi), by_start);
    });
    if (!sorted) (void)polled_sort(poll_, cands.data(), cands.size(), by_start);
    // (Built once per identity, from the loop over query subjects in
    // prepare(): its turns are ticked here; a stop is seen by feasible().)
    (void)poll_.tick_turns(carriers.size());
  } else if (!std::is_sorted(cands.begin(), cands.end(), by_start)) {
    std::stable_sort(cands.begin(), cands.end(), by_start);
  }
  const std::size_t at = lists_used_++;
  lists_[at] = CandidateList{cands};
  if (few_used_ < kFewIdentities) {
    few_identities_[few_used_++] = {id, at};
  } else {
    more_identities_.emplace(id, at);
  }
  return &lists_[at];
}

template <bool kPolled>
void Feasibility::prepare() {
  const auto& subjects = query_.subjects;
  const std::size_t n = subjects.size();
  lists_ = take<CandidateList>(n + 1);
  cands_ = take<const CandidateList*>(n);
  cands_[0] = nullptr;
  facts_ = take<Facts>(n);
  const bool prepared =
      poll_.for_each<kPolled>(
          1, n, [&](SubjectIndex q) { cands_[q] = list_for<kPolled>(subjects[q]); }) &&
      poll_.for_each<kPolled>(n, [&](SubjectIndex q) {
        const ExprNode& e = query_.exprs[subjects[q].expression];
        facts_[q] = Facts{
            subjects[q].relation.has_value() ? std::uint8_t{1} : std::uint8_t{0},
            (e.kind == ExprKind::List && e.all && e.items.empty()) ? std::uint8_t{1}
                                                                   : std::uint8_t{0},
            0, Anywhere::Unknown};
      });
  if (!prepared) {
    // Interrupted: no candidates and no facts; feasible() sees the stop.
    static const CandidateList kNone{};
    std::fill(cands_.begin() + 1, cands_.end(), &kNone);
    std::fill(facts_.begin(), facts_.end(), Facts{0, 0, 0, Anywhere::Unknown});
  }
  order_children<kPolled>();
}

// Children lists by written parent (relation subjects stay with their
// source), each sorted so that the child with the fewest candidates is
// tried first.
template <bool kPolled>
void Feasibility::order_children() {
  const auto& subjects = query_.subjects;
  const std::size_t n = subjects.size();
  kid_begin_ = take<std::size_t>(n + 1);
  kids_ = take<SubjectIndex>(n > 0 ? n - 1 : 0);
  // An interrupted fill leaves no children at all; feasible() then sees the
  // stop.
  if (!fill_child_lists<kPolled>(
          n, [&](SubjectIndex q) { return subjects[q].parent; }, kid_begin_, kids_, poll_)) {
    std::fill(kid_begin_.begin(), kid_begin_.end(), 0);
    return;
  }
  const auto fewer = [this](SubjectIndex x, SubjectIndex y) {
    return cands_[x]->size() < cands_[y]->size();
  };
  if constexpr (!kPolled) {
    for (SubjectIndex q = 0; q < n; ++q) {
      auto b = kids_.begin() + static_cast<std::ptrdiff_t>(kid_begin_[q]);
      auto e = kids_.begin() + static_cast<std::ptrdiff_t>(kid_begin_[q + 1]);
      if (e - b > 1 && !std::is_sorted(b, e, fewer)) std::stable_sort(b, e, fewer);
    }
    return;
  }
  poll_.for_each(n, [&](SubjectIndex q) {
    SubjectIndex* b = kids_.data() + kid_begin_[q];
    const std::size_t count = kid_begin_[q + 1] - kid_begin_[q];
    if (count < 2) return true;
    bool sorted = true;
    poll_.for_each(1, count, [&](std::size_t k) { return sorted = !fewer(b[k], b[k - 1]); });
    return (sorted || polled_stable_sort(poll_, b, count, fewer)) && !poll_.tick_turns(count);
  });
}

void Feasibility::start_scan(Scan& scan, SubjectIndex q, SubjectIndex parent_match) {
  if (facts_[q].relation) {
    scan.init(cands_[q], nullptr);
  } else {
    scan.init(cands_[q], &graph_.range(parent_match));
  }
}


bool Feasibility::feasible(SubjectIndex q0, SubjectIndex g0) {
  const Memo known = memo_.get(q0, g0);
  if (known != Memo::Unknown) return known == Memo::True;
  if (facts_[q0].hopeless) return false;
  if (!expression_holds(q0, g0)) {
    memo_.set(q0, g0, Memo::False);
    return false;
  }
  stack_.clear();
  stack_.push_back(Frame{q0, g0, kid_begin_[q0], false, Scan{}});
  bool result = false;     // answer of the frame most recently settled
  bool returning = false;  // whether `result` is waiting for the top frame
  while (!stack_.empty()) {
    if (poll_.turn()) return false;
    if (returning) {
      resume(stack_.back(), result);
      returning = false;
    }
    const Step step = scan_children(stack_.back());
    if (step == Step::Pushed) continue;
    result = settle(stack_.back(), step == Step::Failed);
    stack_.pop_back();
    returning = true;
  }
  return result;
}

// Takes in the answer for the candidate that the current child's scan holds.
void Feasibility::resume(Frame& f, bool child_found) {
  const SubjectIndex c = kids_[f.kid];
  if (child_found) {
    if (facts_[c].relation) facts_[c].anywhere = Anywhere::Yes;
    ++f.kid;
    f.scanning = false;
  } else if (facts_[c].hopeless) {
    f.scan.finish();  // nothing for c anywhere
  } else {
    const Cand* cur = f.scan.peek();
    if (memo_.get(c, cur->g) == Memo::Dead) {
      f.scan.skip_subtree(*cur);
    } else {
      f.scan.advance();
    }
  }
}

// Finds a feasible candidate for each remaining child of the frame, or stops
// at the first child that has none, or pushes a frame for a candidate whose
// own children need deciding first.
Feasibility::Step Feasibility::scan_children(Frame& f) {
  const std::size_t kid_end = kid_begin_[f.q + 1];
  while (f.kid < kid_end) {
    const SubjectIndex c = kids_[f.kid];
    if (facts_[c].relation && facts_[c].anywhere != Anywhere::Unknown) {
      // (Every other turn ends here or ticks in scan_child.)
      if (poll_.turn() || facts_[c].anywhere == Anywhere::No) return Step::Failed;
      ++f.kid;
      continue;
    }
    if (!f.scanning) {
      if (facts_[c].hopeless) return Step::Failed;
      start_scan(f.scan, c, f.g);
      f.scanning = true;
    }
    bool pushed = false;
    const bool found = scan_child(f, c, pushed);
    if (pushed) return Step::Pushed;  // `f` may have moved: do not touch it
    if (!found) return Step::Failed;
    if (facts_[c].relation) facts_[c].anywhere = Anywhere::Yes;
    ++f.kid;
    f.scanning = false;
  }
  return Step::Done;
}

// Walks child c's scan until a candidate is known feasible (true), the scan
// ends (false), or a candidate needs its own frame (false, `pushed` set).
bool Feasibility::scan_child(Frame& f, SubjectIndex c, bool& pushed) {
  while (const Cand* cand = f.scan.peek()) {
    if (poll_.turn()) return false;
    const Memo m = memo_.get(c, cand->g);
    if (m == Memo::True) return true;
    if (m == Memo::Dead) {
      f.scan.skip_subtree(*cand);
      continue;
    }
    if (m == Memo::False) {
      f.scan.advance();
      continue;
    }
    if (!expression_holds(c, cand->g)) {
      memo_.set(c, cand->g, Memo::False);
      f.scan.advance();
      continue;
    }
    if (kid_begin_[c] == kid_begin_[c + 1]) {
      memo_.set(c, cand->g, Memo::True);
      return true;
    }
    const SubjectIndex g = cand->g;
    stack_.push_back(Frame{c, g, kid_begin_[c], false, Scan{}});
    pushed = true;
    return false;
  }
  return false;
}

// Records the frame's answer. A failure on a relation child means no graph
// subject at all suits that child, so the frame's subject fails wherever it
// is; a failure on another child fails every graph subject below too.
bool Feasibility::settle(const Frame& f, bool failed) {
  if (!failed) {
    memo_.set(f.q, f.g, Memo::True);
    return true;
  }
  const SubjectIndex c = kids_[f.kid];
  if (facts_[c].relation) {
    facts_[c].anywhere = Anywhere::No;
    facts_[f.q].hopeless = 1;
    memo_.set(f.q, f.g, Memo::False);
  } else {
    memo_.set(f.q, f.g, Memo::Dead);
  }
  return false;
}

}  // namespace lumo
