#include "eval/index.h"

#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace lumo {

namespace {

// s becomes the union of s and c: the smaller set is inserted element by
// element into (a copy of) the larger one; on equal sizes c goes into s. When
// s is the larger it is extended in place, which gives the same set as
// extending a copy of it, since s's old value is not kept.
void unite(PersistentSet& s, const PersistentSet& c) {
  if (c.size() > s.size()) {
    PersistentSet u = c;
    u.insert_all(s);
    s = std::move(u);
  } else {
    s.insert_all(c);
  }
}

class IndexBuilder {
 public:
  IndexBuilder(const std::vector<GraphSubject>& in, std::vector<IndexedSubject>& out,
               Interrupt* interrupt)
      : in_(in), out_(out), state_(in.size(), kUnseen), poll_(interrupt) {}

  // Numbers and fills everything reachable from the root, then fills the
  // sets of whatever the root does not reach (their ranges stay (0, 0)).
  // False when interrupted.
  bool run() {
    if (in_.empty()) return true;
    if (!walk(0, true)) return false;
    for (SubjectIndex i = 1; i < in_.size(); ++i) {
      if (state_[i] == kUnseen && !walk(i, false)) return false;
    }
    return true;
  }

 private:
  enum : std::uint8_t { kUnseen, kOpen, kDone };

  struct Frame {
    SubjectIndex subject;
    std::size_t next_child;
  };

  // Iterative depth-first walk over the final children lists: pre-order
  // numbers on the way down, subtree sets in post-order on the way up. A
  // child that is already open (only possible in a malformed, cyclic graph)
  // is skipped; one already done is united but not entered again.
  bool walk(SubjectIndex from, bool number) {
    enter(from, number);
    while (!stack_.empty()) {
      if (poll_.tick()) return false;
      Frame& f = stack_.back();
      const std::vector<SubjectIndex>& kids = in_[f.subject].children;
      if (f.next_child < kids.size()) {
        const SubjectIndex c = kids[f.next_child++];
        if (c < in_.size() && state_[c] == kUnseen) enter(c, number);
        continue;
      }
      const SubjectIndex s = f.subject;
      stack_.pop_back();
      if (number) out_[s].subtree_range.end = counter_;
      finish(s);
    }
    return true;
  }

  void enter(SubjectIndex s, bool number) {
    state_[s] = kOpen;
    if (number) out_[s].subtree_range.start = counter_++;
    stack_.push_back({s, 0});
  }

  void finish(SubjectIndex s) {
    const GraphSubject& g = in_[s];
    PersistentSet set;
    for (const std::string& t : g.tags) set.insert_shared(t, strings_);
    for (const std::string& id : g.identities) set.insert(id);
    for (SubjectIndex c : g.children) {
      if (c < in_.size() && state_[c] == kDone) unite(set, out_[c].subtree_tags);
    }
    out_[s].subtree_tags = std::move(set);
    state_[s] = kDone;
  }

  const std::vector<GraphSubject>& in_;
  std::vector<IndexedSubject>& out_;
  std::vector<std::uint8_t> state_;
  InterruptPoll poll_;
  std::vector<Frame> stack_;
  std::uint32_t counter_ = 0;
  // Every string met so far, so that each is stored once for all the sets.
  PersistentSet strings_;
};

}  // namespace

IndexedGraph build_index(TagGraph graph) {
  return std::move(build_index(graph, nullptr)).value();
}

Result<IndexedGraph, Interrupted> build_index(TagGraph& graph, Interrupt* interrupt) {
  std::vector<GraphSubject>& in = graph.subjects;
  const std::size_t n = in.size();
  IndexedGraph out;
  out.subjects.resize(n);

  // The sets copy what they need; the graph is taken over only once the
  // build can no longer be interrupted.
  if (!IndexBuilder(in, out.subjects, interrupt).run()) return make_err(Interrupted{});

  std::size_t identity_count = 0;
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
    identity_count += x.identities.size();
  }
  std::vector<GraphSubject>().swap(in);

  out.identity_index.reserve(identity_count);
  for (SubjectIndex i = 0; i < n; ++i) {
    for (const std::string& id : out.subjects[i].identities) {
      out.identity_index.try_emplace(id).first->second.push_back(i);
    }
  }

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
