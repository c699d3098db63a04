// The direct reader's working arrays and the policy on their memory.
//
// A graph text becomes an index through a dozen arrays: the subjects as
// written, the index's parts, and those of relation resolution and layout.
// An application reads record after record, each a few hundred bytes, and
// should not allocate these arrays afresh for each: a thread keeps one
// Workspace from read to read, cleared but with its memory, and a read
// allocates little more than the index it hands out. A large text is the
// other way round: its arrays are released as soon as they are done with,
// so that the index built last does not share the peak with them, and they
// are not kept after the read. Those decisions are all here; the grammar
// (reader.cpp) and the layout (layout.cpp) only say when a phase is over.
// Arrays are reserved from the text's size before the read, by guesses
// that spare most regrowth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/index.h"
#include "model/relation_resolver.h"
#include "model/relations.h"
#include "syntax/ast.h"

namespace lumo::reading {

// Subject flags.
inline constexpr std::uint8_t kContext = 1;   // carries the identity "context"
inline constexpr std::uint8_t kRelation = 2;  // has a written relation
inline constexpr std::uint8_t kMoved = 4;     // a relation subject moved to another context
inline constexpr std::uint8_t kHost = 8;      // a context some relation subject moved to
inline constexpr std::uint32_t kNoSubject = 0xffffffffu;

// Subjects as the reader records them, in text order.
struct FlatSubjects {
  std::vector<std::uint32_t> parent;  // as written; the root's is 0
  std::vector<TagId> name;
  std::vector<std::uint8_t> flags;
  std::vector<std::pair<std::uint32_t, RelationSpec>> relations;  // by subject, ascending
};

// Children lists in compressed form: subject i's are
// kids[begin[i] .. begin[i + 1]).
struct ChildLists {
  std::vector<std::uint32_t> begin;
  std::vector<std::uint32_t> kids;

  std::span<const std::uint32_t> of(std::size_t i) const {
    return {kids.data() + begin[i], begin[i + 1] - begin[i]};
  }

  // The children of each subject as written, in index order. False when
  // `poll` said stop (the lists then unfinished).
  bool fill(const std::vector<std::uint32_t>& parent, InterruptPoll& poll);
};

// A subject on the layout's walk (layout.cpp).
struct LayoutFrame {
  std::uint32_t subject;
  std::uint32_t next;   // the next child as written, by index
  std::uint32_t moved;  // the next entry of `moved_in`
};

struct Workspace {
  FlatSubjects s;
  IndexParts parts;
  std::vector<std::uint32_t> open;  // subjects whose bodies are open
  std::string scratch;
  std::vector<std::uint32_t> seen;
  ChildLists written;
  std::vector<std::uint32_t> relation_of;
  std::vector<std::uint32_t> text_end;  // subtree ends in text order
  std::vector<std::pair<std::uint32_t, std::uint32_t>> moved_in;  // (context, subject)
  std::vector<LayoutFrame> stack;
  ResolverScratch resolver;
  // Name lists of paths read before, kept for their memory: a record's
  // relation then allocates nothing.
  std::vector<std::vector<std::string>> spare_names;
  bool busy = false;

  // Empties every array for the next read, keeping their memory.
  void clear();

  // Reserves the arrays for reading `text`. (Interrupted, it reserves less;
  // the reader sees the stop at its next tick.)
  void reserve_for(std::string_view text, InterruptPoll& poll);

  // Gives `names` (empty) the memory of a name list read before, if any.
  void reuse_names(std::vector<std::string>& names) {
    if (spare_names.empty()) return;
    names = std::move(spare_names.back());  // empty, with room
    spare_names.pop_back();
  }

  // Relations have been resolved; the layout comes next.
  void resolution_done() {
    // The layout does not share its peak with the resolution.
    if (s.parent.size() > kKeepSubjects) release_resolution();
  }

  // Subjects have their ranges; only the index is left to build.
  void layout_done() {
    // A large graph's index should not have to share the peak with arrays
    // that are done with.
    if (large()) release_layout();
  }

  static constexpr std::size_t kKeepSubjects = 4096;
  static constexpr std::size_t kSpareNames = 64;   // lists kept at most
  static constexpr std::size_t kSpareLength = 8;   // names a kept list has room for

  bool large() const {
    return s.parent.capacity() > kKeepSubjects || parts.strings.capacity() > 4 * kKeepSubjects ||
           seen.capacity() > 4 * kKeepSubjects || scratch.capacity() > 16 * kKeepSubjects;
  }

 private:
  // The arrays that only relation resolution needs.
  void release_resolution();
  // The arrays that only the layout needs.
  void release_layout();
};

// The workspace of one read: the one its thread keeps, or, when that one is
// taken (a signal handler that reads a graph while a read is polling), one
// of its own (always, in a build without fast paths: base/fast_paths.h).
// On leaving, the kept workspace is released if the read made
// it large, and after a very large read the freed memory goes back to the
// system.
class WorkspaceLease {
 public:
  explicit WorkspaceLease(std::size_t text_size);
  ~WorkspaceLease();
  WorkspaceLease(const WorkspaceLease&) = delete;
  WorkspaceLease& operator=(const WorkspaceLease&) = delete;

  Workspace& get() { return *w_; }

 private:
  std::optional<Workspace> own_;
  Workspace* w_;
  std::size_t text_size_;
};

}  // namespace lumo::reading
