// The workspace's clearing, its reserve guesses, what a large read releases,
// and the thread's kept workspace (see workspace.h).
//
// The guesses size the arrays from the text alone, before it is read: too
// small costs regrowth, a copy of each array at its largest; too large
// costs memory that a large text's peak can ill afford. What they cost and
// spare shows in bench/bench.py: time per record (section f), memory per
// subject at the peak (section g) and time per subject across sizes and
// shapes (section h).

#include "reader/workspace.h"

#include <algorithm>

#include "base/child_lists.h"
#include "base/count_byte.h"
#include "base/fast_paths.h"
#include "base/free_memory.h"

namespace lumo::reading {

namespace {

// After a read of a text this long or longer, the working memory it freed
// is handed back to the system. After a shorter one the allocator keeps
// what was freed for the next read, as it keeps any freed memory. The
// trade: memory handed back has to be faulted in again by the next read,
// which adds to the time of every read of a text of moderate size read
// again and again (bench/bench.py section a, a 10 MB text, and section h
// from 10^4 subjects up); memory kept leaves the process holding a
// multiple of the text's size after the read (section g's "kept" figure;
// its records text falls under the threshold). Rerun those sections when
// moving the threshold.
constexpr std::size_t kTrimFrom = std::size_t{16} << 20;

// Past this size the line count enters the guess.
constexpr std::size_t kCountLinesFrom = 64 * 1024;

}  // namespace

bool ChildLists::fill(const std::vector<std::uint32_t>& parent, InterruptPoll& poll) {
  const std::size_t n = parent.size();
  begin.resize(n + 1);
  kids.resize(n > 0 ? n - 1 : 0);
  return fill_child_lists(n, [&](std::size_t i) { return parent[i]; }, std::span(begin),
                          std::span(kids), poll);
}

namespace {

// The lines of `text`, counted a stretch at a time with a tick after each
// (interrupted, the count is short).
std::size_t count_lines(std::string_view text, InterruptPoll& poll) {
  constexpr std::size_t kStretch = std::size_t{64} << 10;
  std::size_t lines = 1;
  for (std::size_t at = 0; at < text.size(); at += kStretch) {
    const std::size_t n = std::min(kStretch, text.size() - at);
    audit_work(n * InterruptPoll::kTurnsPerUnit / InterruptPoll::kBytesPerUnit);
    lines += count_byte(text.data() + at, n, '\n');
    if (poll.tick_bytes(n)) break;
  }
  return lines;
}

}  // namespace

void Workspace::clear() {
  s.parent.clear();
  s.name.clear();
  s.flags.clear();
  for (auto& [subject, written] : s.relations) {
    if (spare_names.size() == kSpareNames) break;
    std::vector<std::string>& names = written.target.names;
    if (names.capacity() <= kSpareLength) {
      names.clear();  // a long name's memory goes now
      spare_names.push_back(std::move(names));
    }
  }
  s.relations.clear();
  parts.strings.clear();
  parts.begin.clear();
  parts.identities_end.clear();
  parts.root_tags.clear();
  parts.ranges.clear();
  parts.preorder.clear();
  parts.relations.clear();
  open.clear();
  seen.clear();  // stamps count from 1 again
}

// Graph texts hold a subject every few dozen bytes; reserving for that
// spares most regrowth of the large arrays.
void Workspace::reserve_for(std::string_view text, InterruptPoll& poll) {
  const std::size_t size = text.size();
  // A large text is written a subject or so to a line, more when its
  // lines are short; counting them costs little beside the read.
  const std::size_t lines = size >= kCountLinesFrom ? count_lines(text, poll) : 0;
  const std::size_t guess = std::max(size / 24, lines) + 4;
  s.parent.reserve(guess);
  s.name.reserve(guess);
  s.flags.reserve(guess);
  parts.strings.reserve(3 * guess);
  parts.begin.reserve(guess + 1);
  parts.identities_end.reserve(guess);
  parts.ranges.reserve(guess);
  // In a large graph tags repeat, and distinct strings are fewer than
  // subjects, though where every line names its subject there are as many
  // (down to lines of eight bytes, as in a chain of short names); a small
  // text has a new string every dozen bytes or so. The string table grows
  // if there are more.
  const std::size_t strings =
      std::max({size / 32, std::min(lines, size / 8), std::min<std::size_t>(size / 12, 256)});
  parts.tags.clear(strings + 8, size + 16);
}

void Workspace::release_resolution() {
  written = ChildLists();
  std::vector<std::uint32_t>().swap(relation_of);
  resolver = ResolverScratch();
}

void Workspace::release_layout() {
  release_resolution();
  s = FlatSubjects();
  std::vector<std::uint32_t>().swap(text_end);
  std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(moved_in);
  std::vector<LayoutFrame>().swap(stack);
}

WorkspaceLease::WorkspaceLease(std::size_t text_size) : text_size_(text_size) {
  thread_local Workspace kept;
  if (!kFastPaths || kept.busy) {
    w_ = &own_.emplace();
    return;
  }
  w_ = &kept;
  kept.busy = true;
}

WorkspaceLease::~WorkspaceLease() {
  if (own_) return;
  // After a large read the arrays go; after a very large one, the memory
  // they held goes back to the system too.
  if (w_->large()) {
    *w_ = Workspace();
    if (text_size_ >= kTrimFrom) release_free_memory();
  }
  w_->busy = false;
}

}  // namespace lumo::reading
