// Relation-free feasibility of query subjects on graph subjects.
//
// feasible(q, g) holds when graph subject g carries q's identity and
// satisfies its expression, and every query subject written in q has a
// feasible graph subject inside g's subtree (anywhere, for a relation
// subject): the whole question when the query has no relation entries, and
// the filter every placement must pass when it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <memory_resource>
#include <span>
#include <vector>

#include "base/interrupt.h"
#include "base/random_hash.h"
#include "base/zeroed_pages.h"
#include "eval/candidates.h"
#include "eval/index.h"
#include "eval/match_expr.h"
#include "model/query.h"

namespace lumo {

enum class Memo : std::uint8_t {
  Unknown = 0,
  True,
  False,  // this (q, g) fails
  Dead,   // this (q, g) fails, and so does every graph subject below g
};

// Memo of feasible(q, g): one byte per pair, indexed by (q, g), while the
// query and graph sizes multiply to at most `dense_pairs`; beyond that, open
// addressing over the pairs met, with a seeded hash. The byte array reads
// in the order a scan visits subjects, where a hash table missed the cache
// at every lookup on a large graph.
class PairMemo {
 public:
  static constexpr std::size_t kDensePairs = 16 << 20;  // zeroed by the system, on touch

  // `dense_pairs` is where the byte array gives way to the hash table.
  PairMemo(std::size_t query_size, std::size_t graph_size, std::pmr::memory_resource* memory,
           std::size_t dense_pairs = kDensePairs);
  Memo get(SubjectIndex q, SubjectIndex g) const;
  void set(SubjectIndex q, SubjectIndex g, Memo value);

 private:
  struct Slot {
    std::uint64_t key = 0;  // 0: empty
    Memo value = Memo::Unknown;
  };
  std::uint64_t make_key(SubjectIndex q, SubjectIndex g) const {
    return static_cast<std::uint64_t>(q) * stride_ + g + 1;
  }
  void insert(std::uint64_t key, Memo value);
  void grow();

  static constexpr std::size_t kSmallPairs = 1024;  // in the match's arena

  std::uint64_t stride_;
  std::uint64_t seed_;
  std::pmr::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
  std::uint8_t* dense_ = nullptr;  // one Memo per pair, or null: the hash table
  ZeroedPages large_;
};

class Feasibility {
 public:
  Feasibility(const Query& query, const IndexedGraph& graph, InterruptPoll& poll);
  Feasibility(const Feasibility&) = delete;
  Feasibility& operator=(const Feasibility&) = delete;

  // Decides feasible(q, g) for a g that carries q's identity (any g from
  // candidates(q)); false as well when interrupted (poll().stopped()).
  bool feasible(SubjectIndex q, SubjectIndex g);

  const CandidateList& candidates(SubjectIndex q) const { return *cands_[q]; }
  // The subjects written in q, in the order feasible() tries them.
  std::span<const SubjectIndex> children(SubjectIndex q) const {
    return {kids_.data() + kid_begin_[q], kid_begin_[q + 1] - kid_begin_[q]};
  }
  bool is_relation(SubjectIndex q) const { return facts_[q].relation != 0; }
  // True once some child of q is known to have no feasible graph subject
  // anywhere: q then fails wherever it is placed.
  bool hopeless(SubjectIndex q) const { return facts_[q].hopeless != 0; }
  Memo memo(SubjectIndex q, SubjectIndex g) const { return memo_.get(q, g); }
  InterruptPoll& poll() { return poll_; }

 private:
  // Whether a relation child has a feasible graph subject anywhere.
  enum class Anywhere : std::uint8_t { Unknown, Yes, No };

  // What the match knows of one query subject.
  struct Facts {
    std::uint8_t relation;  // it is a relation subject
    std::uint8_t trivial;   // its expression is the empty all-list
    std::uint8_t hopeless;  // see hopeless()
    Anywhere anywhere;      // for a relation subject
  };

  struct Frame {
    SubjectIndex q;
    SubjectIndex g;
    std::size_t kid;  // position in kids_
    bool scanning;
    Scan scan;
  };
  enum class Step : std::uint8_t { Pushed, Failed, Done };

  static constexpr std::size_t kBufferBytes = 4096;

  // `n` uninitialised elements from the arena.
  template <class T>
  std::span<T> take(std::size_t n) {
    return {static_cast<T*>(arena_.allocate(n * sizeof(T), alignof(T))), n};
  }
  // kPolled is false when the query and the graph have at most
  // InterruptPoll::kSmall subjects: the loops then need no ticks inside.
  template <bool kPolled>
  void prepare();
  template <bool kPolled>
  void order_children();
  template <bool kPolled>
  const CandidateList* list_for(const QuerySubject& s);
  template <bool kPolled>
  const CandidateList* all_list();
  bool expression_holds(SubjectIndex q, SubjectIndex g);
  TagId graph_tag(ExprId node, std::string_view tag);
  void start_scan(Scan& scan, SubjectIndex q, SubjectIndex parent_match);
  void resume(Frame& f, bool child_found);
  Step scan_children(Frame& f);
  bool scan_child(Frame& f, SubjectIndex c, bool& pushed);
  bool settle(const Frame& f, bool failed);

  // Everything below lives in one arena: a small match allocates from the
  // buffer inside this object, a large one from blocks that grow
  // geometrically, and all of it goes at once when the match ends.
  alignas(std::max_align_t) std::byte buffer_[kBufferBytes];
  std::pmr::monotonic_buffer_resource arena_;

  const Query& query_;
  const IndexedGraph& graph_;
  InterruptPoll& poll_;
  ExprTester tester_;
  PairMemo memo_;

  // The arrays below are sized once, by the query, and live in the arena.
  // Written children of every query subject, most selective first: q's are
  // kids_[kid_begin_[q] .. kid_begin_[q + 1]).
  std::span<std::size_t> kid_begin_;
  std::span<SubjectIndex> kids_;
  std::span<const CandidateList*> cands_;
  std::span<Facts> facts_;
  // The graph's id of each tag node of the query, looked up on first use,
  // and where the last search of that tag's occurrences ended.
  std::span<TagId> node_tags_;
  std::span<std::uint32_t> node_hints_;

  // One list per identity met, and one of all subjects, at most one per
  // query subject in all.
  std::span<CandidateList> lists_;
  std::size_t lists_used_ = 0;
  static constexpr std::size_t kFewIdentities = 8;
  std::pair<TagId, std::size_t> few_identities_[kFewIdentities];
  std::size_t few_used_ = 0;
  std::pmr::unordered_map<TagId, std::size_t> more_identities_;
  std::size_t all_list_ = SIZE_MAX;
  std::pmr::vector<Frame> stack_;
};

}  // namespace lumo
