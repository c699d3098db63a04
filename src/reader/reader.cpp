// The direct reader of tag graph texts.
//
// The reader is a loop over the text with an explicit stack of open subject
// bodies; an expression keeps only a count of open parentheses, since every
// all-list of a graph folds into one flat list of tags. It follows the
// grammar step by step, with the same lexer, the same optional parts and the
// same rewind points, but wherever the grammar would fail, or would build
// something a graph refuses (a negation, an any-list), it declines instead
// and leaves the text to the full parser. A meta-query statement, which a
// graph ignores, is declined too: it is rare in graph texts and the full
// parser reads it exactly.
//
// Subjects are numbered in text order, which is the pre-order of the tree as
// written, so without relation moves each subject's range is [i, i + size),
// its end known when its body closes. Relations of a small graph are
// resolved by climbing from each relation's source through those ranges; a
// large one, or one where climbing would cost too much, goes to the
// builders' resolver over the flat arrays. When a relation subject moves
// to another context, the final tree is walked once, iteratively, reaching
// written children through the ranges and moved ones through a sorted list.
// Every tag, identity and name is interned on sight, so a string is stored
// once however often it occurs.

#include "reader/reader.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/count_byte.h"
#include "base/free_memory.h"
#include "model/relation_resolver.h"
#include "model/tag_graph.h"
#include "syntax/lexer.h"
#include "syntax/parser.h"

namespace lumo {

namespace {

constexpr std::uint8_t kContext = 1;   // carries the identity "context"
constexpr std::uint8_t kRelation = 2;  // has a written relation
constexpr std::uint8_t kMoved = 4;     // a relation subject moved to another context
constexpr std::uint8_t kHost = 8;      // a context some relation subject moved to
constexpr std::uint32_t kNoSubject = 0xffffffffu;

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
};

// Fills `c` with the children of each subject as written, in index order.
inline void child_lists(const std::vector<std::uint32_t>& parent, ChildLists& c) {
  const std::size_t n = parent.size();
  c.begin.assign(n + 1, 0);
  for (std::uint32_t i = 1; i < n; ++i) ++c.begin[parent[i] + 1];
  for (std::size_t i = 0; i < n; ++i) c.begin[i + 1] += c.begin[i];
  c.kids.resize(n > 0 ? n - 1 : 0);
  // begin[p] is p's cursor while filling, which leaves it at the start of
  // p + 1; shifting by one restores the starts.
  for (std::uint32_t i = 1; i < n; ++i) c.kids[c.begin[parent[i]]++] = i;
  for (std::size_t i = n; i > 0; --i) c.begin[i] = c.begin[i - 1];
  c.begin[0] = 0;
}

// The flat subjects with their children as written, as the resolver sees
// them. Spans are not kept: the reader declines on every error, and the
// builder that then runs reports it.
class FlatTree {
 public:
  // `kids` is filled here with the children as written, `relation_of` with
  // each subject's position in s.relations.
  FlatTree(const FlatSubjects& s, const TagTable& tags, ChildLists& kids,
           std::vector<std::uint32_t>& relation_of)
      : s_(s), tags_(tags), kids_(kids), relation_of_(relation_of) {
    child_lists(s.parent, kids);
    relation_of.assign(s.parent.size(), kNoSubject);
    for (std::uint32_t k = 0; k < s.relations.size(); ++k) relation_of[s.relations[k].first] = k;
  }

  static constexpr TagId kNoName = kNoTag;

  std::size_t size() const { return s_.parent.size(); }
  std::span<const std::uint32_t> children(SubjectIndex i) const { return kids_.of(i); }
  std::string_view name(SubjectIndex i) const { return tags_.text(s_.name[i]); }
  // Names are interned with the tags, so the resolver can index by them.
  TagId name_id(SubjectIndex i) const { return s_.name[i]; }
  std::size_t name_ids() const { return tags_.size(); }
  void find_name_ids(const std::string_view* names, TagId* ids, std::size_t n) const {
    tags_.find_many(names, ids, n);
  }
  bool is_context(SubjectIndex i) const { return (s_.flags[i] & kContext) != 0; }
  const RelationSpec* written(SubjectIndex i) const {
    const std::uint32_t k = relation_of_[i];
    return k == kNoSubject ? nullptr : &s_.relations[k].second;
  }
  Span span(SubjectIndex) const { return {}; }
  void set_link(SubjectIndex, RelationLink) {}

 private:
  const FlatSubjects& s_;
  const TagTable& tags_;
  const ChildLists& kids_;
  const std::vector<std::uint32_t>& relation_of_;
};

struct Frame {
  std::uint32_t subject;
  std::uint32_t next;   // the next child as written, by index
  std::uint32_t moved;  // the next entry of `moved_in`
};

// The reader's working arrays. A thread keeps one from read to read, so that
// reading record after record allocates little more than the index it
// keeps; a read that finds it taken (a signal handler that reads a graph
// while a read is polling) brings its own. After a large read the arrays
// are released rather than kept.
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
  std::vector<Frame> stack;
  ResolverScratch resolver;
  // Name lists of paths read before, kept for their memory: a record's
  // relation then allocates nothing.
  std::vector<std::vector<std::string>> spare_names;
  bool busy = false;

  void clear() {
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

  static constexpr std::size_t kKeepSubjects = 4096;
  static constexpr std::size_t kSpareNames = 64;   // lists kept at most
  static constexpr std::size_t kSpareLength = 8;   // names a kept list has room for

  bool large() const {
    return s.parent.capacity() > kKeepSubjects || parts.strings.capacity() > 4 * kKeepSubjects ||
           seen.capacity() > 4 * kKeepSubjects || scratch.capacity() > 16 * kKeepSubjects;
  }

  // The arrays that only relation resolution needs.
  void release_resolution() {
    written = ChildLists();
    std::vector<std::uint32_t>().swap(relation_of);
    resolver = ResolverScratch();
  }

  // The arrays that only the layout needs, released once it is done.
  void release_layout() {
    release_resolution();
    s = FlatSubjects();
    std::vector<std::uint32_t>().swap(text_end);
    std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(moved_in);
    std::vector<Frame>().swap(stack);
  }

  // Returns `true` when it released a large workspace.
  bool release_if_large() {
    if (!large()) return false;
    const bool was_busy = busy;
    *this = Workspace();
    busy = was_busy;
    return true;
  }
};

class GraphReader {
 public:
  GraphReader(std::string_view text, bool validate, Interrupt* interrupt, Workspace& w)
      : c_{text, 0}, validate_(validate), interrupt_(interrupt), poll_(interrupt), w_(w),
        s_(w.s), parts_(w.parts), scratch_(w.scratch) {
    w.clear();
  }

  Result<IndexedGraph, ReadStop> run() {
    if (c_.text.size() >= kNoSubject) return make_err(ReadStop::Declined);
    if (poll_.tick(InterruptPoll::kStride)) return make_err(ReadStop::Interrupted);
    reserve();
    if (!document()) return make_err(stop());
    if (!finish_root()) return make_err(ReadStop::Declined);
    if (!lay_out(parts_.relations)) return make_err(stop());
    // A large graph's index should not have to share the peak with arrays
    // that are done with.
    if (w_.large()) w_.release_layout();
    std::optional<IndexedGraph> out = finish_index(parts_, interrupt_);
    if (!out) return make_err(ReadStop::Interrupted);
    return std::move(*out);
  }

 private:
  ReadStop stop() const { return interrupted_ ? ReadStop::Interrupted : ReadStop::Declined; }

  bool tick() {
    if (!poll_.tick()) return false;
    interrupted_ = true;
    return true;
  }

  // Graph texts hold a subject every few dozen bytes; reserving for that
  // spares most regrowth of the large arrays.
  void reserve() {
    const std::size_t size = c_.text.size();
    // A large text is written a subject or so to a line, more when its
    // lines are short; counting them costs little beside the read.
    const std::size_t lines = size >= kCountLinesFrom ? count_lines() : 0;
    const std::size_t guess = std::max(size / 24, lines) + 4;
    s_.parent.reserve(guess);
    s_.name.reserve(guess);
    s_.flags.reserve(guess);
    parts_.strings.reserve(3 * guess);
    parts_.begin.reserve(guess + 1);
    parts_.identities_end.reserve(guess);
    parts_.ranges.reserve(guess);
    // In a large graph tags repeat, and distinct strings are fewer than
    // subjects, though where every line names its subject there are as many
    // (down to lines of eight bytes, as in a chain of short names); a small
    // text has a new string every dozen bytes or so. The string table grows
    // if there are more.
    const std::size_t strings =
        std::max({size / 32, std::min(lines, size / 8), std::min<std::size_t>(size / 12, 256)});
    parts_.tags.clear(strings + 8, size + 16);
  }

  static constexpr std::size_t kCountLinesFrom = 64 * 1024;

  std::size_t count_lines() const { return 1 + count_byte(c_.text.data(), c_.text.size(), '\n'); }

  bool at(char ch) const { return c_.pos < c_.text.size() && c_.text[c_.pos] == ch; }
  bool at2(char a, char b) const {
    return c_.pos + 1 < c_.text.size() && c_.text[c_.pos] == a && c_.text[c_.pos + 1] == b;
  }

  // `blanks` and then the literal `ch`: both are consumed when `ch`
  // follows; otherwise nothing is (the rewind of an optional part, or of a
  // list's separator, that does not start here).
  bool blanks_then(char ch) {
    const std::size_t save = c_.pos;
    blanks(c_);
    if (at(ch)) {
      ++c_.pos;
      return true;
    }
    c_.pos = save;
    return false;
  }

  // Reads a tag name that must be there.
  bool tag(std::string_view& out) { return read_tag(c_, scratch_, out) == TagStatus::Ok; }

  std::uint32_t add_subject(std::uint32_t parent) {
    const auto s = static_cast<std::uint32_t>(s_.parent.size());
    s_.parent.push_back(parent);
    s_.name.push_back(0);
    s_.flags.push_back(0);
    parts_.ranges.push_back({s, s + 1});  // until its body, if any, closes
    parts_.begin_subject();
    return s;
  }

  void add_identity(std::uint32_t s, TagId id) {
    parts_.strings.push_back(id);
    if (id == context_) s_.flags[s] |= kContext;
  }

  // ---- document and statements -------------------------------------------

  bool document() {
    add_subject(0);
    context_ = parts_.tags.intern("context");
    add_identity(0, context_);
    parts_.end_identities();  // the root's tags are kept apart (root_tags)
    s_.name[0] = parts_.tags.intern("");
    for (;;) {
      if (tick()) return false;
      if (!gap()) return false;
      if (c_.at_end()) return true;
      if (at('{')) {
        if (!body()) return false;
      } else if (at('[') || at('-')) {
        return false;
      } else if (!and_list(kNoSubject)) {
        return false;
      }
    }
  }

  // White space, then comments each followed by white space. A comment
  // ending in a lone CR is refused, which the grammar reports as an error.
  bool gap() {
    white_space(c_);
    while (at2('/', '/')) {
      const std::size_t eol = c_.text.find_first_of("\r\n", c_.pos + 2);
      if (eol == std::string_view::npos) {
        c_.pos = c_.text.size();
        return true;
      }
      if (c_.text[eol] == '\r' && (eol + 1 == c_.text.size() || c_.text[eol + 1] != '\n'))
        return false;
      c_.pos = eol;
      white_space(c_);
    }
    return true;
  }

  // A subject body statement, at its "{"; nested bodies go on `w_.open`.
  bool body() {
    ++c_.pos;
    w_.open.assign(1, 0);
    while (!w_.open.empty()) {
      if (tick()) return false;
      if (!gap()) return false;
      if (at('}')) {
        ++c_.pos;
        // Text order is pre-order: the subtree ends where the body does.
        parts_.ranges[w_.open.back()].end = static_cast<std::uint32_t>(s_.parent.size());
        w_.open.pop_back();
      } else if (!entry(w_.open.back())) {
        return false;
      }
    }
    return true;
  }

  // ---- entries -------------------------------------------------------------

  bool entry(std::uint32_t parent) {
    std::string_view text;
    const TagStatus st = read_tag(c_, scratch_, text);
    if (st == TagStatus::BadString) return false;
    TagId subject_tag = kNoTag;
    if (st == TagStatus::Ok) {
      subject_tag = parts_.tags.intern(text);
    } else if (at('*')) {
      ++c_.pos;
    } else {
      return false;  // neither an entry nor the closing brace
    }
    const std::uint32_t s = add_subject(parent);
    const std::size_t first_identity = parts_.strings.size();
    if (at('(') && !identities_part(s)) return false;
    if (subject_tag != kNoTag) add_identity(s, subject_tag);
    parts_.end_identities();
    TagId name = subject_tag;
    if (!name_part(name)) return false;
    s_.name[s] = name != kNoTag ? name : star_name();
    if (!relation_part(s)) return false;
    const std::size_t first_tag = parts_.strings.size();
    if (!expression_part(s)) return false;
    if (validate_ && (has_duplicate(parts_.strings, first_identity, first_tag) ||
                      has_duplicate(parts_.strings, first_tag, parts_.strings.size())))
      return false;
    // children_part: `blanks` then a body.
    if (blanks_then('{')) w_.open.push_back(s);
    return true;
  }

  TagId star_name() {
    if (star_ == kNoTag) star_ = parts_.tags.intern("*");
    return star_;
  }

  // "(" blanks [tag { blanks "," blanks tag }] blanks ")", at the "(".
  bool identities_part(std::uint32_t s) {
    ++c_.pos;
    blanks(c_);
    std::string_view text;
    const TagStatus st = read_tag(c_, scratch_, text);
    if (st == TagStatus::BadString) return false;
    if (st == TagStatus::Ok) {
      add_identity(s, parts_.tags.intern(text));
      while (blanks_then(',')) {
        blanks(c_);
        if (tick() || !tag(text)) return false;
        add_identity(s, parts_.tags.intern(text));
      }
    }
    blanks(c_);
    if (!at(')')) return false;
    ++c_.pos;
    return true;
  }

  // [blanks "@" tag]
  bool name_part(TagId& name) {
    if (!blanks_then('@')) return true;
    std::string_view text;
    if (!tag(text)) return false;
    name = parts_.tags.intern(text);
    return true;
  }

  // [blanks ">" blanks path ["(" blanks path blanks ")"]]
  bool relation_part(std::uint32_t s) {
    if (!blanks_then('>')) return true;
    blanks(c_);
    RelationSpec written;
    if (!path(written.target)) return false;
    if (at('(')) {
      ++c_.pos;
      blanks(c_);
      NamePath context;
      if (!path(context)) return false;
      blanks(c_);
      if (!at(')')) return false;
      ++c_.pos;
      written.context = std::move(context);
    }
    s_.relations.emplace_back(s, std::move(written));
    s_.flags[s] |= kRelation;
    return true;
  }

  // "@" tag { blanks "." blanks tag }
  bool path(NamePath& out) {
    if (!at('@')) return false;
    ++c_.pos;
    if (!w_.spare_names.empty()) {
      out.names = std::move(w_.spare_names.back());  // empty, with room
      w_.spare_names.pop_back();
    }
    std::string_view text;
    if (!tag(text)) return false;
    out.names.emplace_back(text);
    while (blanks_then('.')) {
      blanks(c_);
      if (tick() || !tag(text)) return false;
      out.names.emplace_back(text);
    }
    return true;
  }

  // [blanks ":" blanks and_list]
  bool expression_part(std::uint32_t s) {
    if (!blanks_then(':')) return true;
    blanks(c_);
    return and_list(s);
  }

  // ---- expressions ---------------------------------------------------------

  // An and_list whose tags go to subject `s` (kNoSubject: the root's
  // expression statements). Only tags, "," and parentheses make a graph's
  // tag list; "-" and a "/" with a term behind it are declined. A "/" that
  // opens a comment ends the list, as the grammar's rewind does.
  bool and_list(std::uint32_t s) {
    std::uint32_t depth = 0;
    for (;;) {
      // A term.
      if (tick()) return false;
      if (at('(')) {
        ++c_.pos;
        ++depth;
        blanks(c_);
        if (!at(')')) continue;  // the inner list starts with a term
        ++c_.pos;
        --depth;
      } else {
        if (at('-')) return false;
        std::string_view text;
        if (!tag(text)) return false;
        const TagId t = parts_.tags.intern(text);
        if (s == kNoSubject) {
          parts_.root_tags.push_back(t);
        } else {
          parts_.strings.push_back(t);
        }
      }
      // After an item: a separator and the next term, a closing parenthesis,
      // or the end of the list.
      for (;;) {
        const std::size_t save = c_.pos;
        blanks(c_);
        if (at(',')) {
          ++c_.pos;
          blanks(c_);
          break;
        }
        if (depth > 0 && at(')')) {
          ++c_.pos;
          --depth;
          continue;
        }
        if (at('/') && !at2('/', '/')) return false;
        c_.pos = save;
        return depth == 0;
      }
    }
  }

  // ---- checks and layout ---------------------------------------------------

  // Whether list[first .. last) repeats a string.
  bool has_duplicate(const std::vector<TagId>& list, std::size_t first, std::size_t last) {
    const std::size_t n = last - first;
    if (n < 2) return false;
    const TagId* o = list.data() + first;
    if (n <= 8) {
      for (std::size_t i = 1; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
          if (o[i] == o[j]) return true;
      return false;
    }
    if (w_.seen.size() < parts_.tags.size()) w_.seen.resize(parts_.tags.size(), 0);
    ++stamp_;
    for (std::size_t i = 0; i < n; ++i) {
      if (w_.seen[o[i]] == stamp_) return true;
      w_.seen[o[i]] = stamp_;
    }
    return false;
  }

  bool finish_root() {
    parts_.tags.settle();  // the lookups of relation paths come next
    parts_.end_subjects();
    parts_.ranges[0].end = static_cast<std::uint32_t>(s_.parent.size());
    const std::vector<TagId>& tags = parts_.root_tags;
    return !validate_ || !has_duplicate(tags, 0, tags.size());
  }

  // Resolves the relations, moves relation subjects under their contexts and
  // gives every subject its range. False to decline (or when interrupted).
  bool lay_out(RelationList& relations) {
    const std::size_t n = s_.parent.size();
    if (s_.relations.empty()) return true;  // parts_.preorder stays empty
    // Past a record's size the scope walk takes over from the start: on a
    // large text climbing would often run out of its budget and leave the
    // walk to be done after it.
    const Climb climbed = n <= kClimbSubjects ? resolve_by_climbing(relations) : Climb::TooLong;
    switch (climbed) {
      case Climb::Resolved:
        break;
      case Climb::Declined:
        return false;
      case Climb::TooLong: {
        relations.clear();
        FlatTree tree(s_, parts_.tags, w_.written, w_.relation_of);
        if (!resolve_tree_relations(tree, relations, w_.resolver)) return false;
        // The layout below does not share its peak with the resolution.
        if (n > Workspace::kKeepSubjects) w_.release_resolution();
        break;
      }
    }
    if (relations.empty()) return true;
    return number_moved(relations);
  }

  // ---- relations -------------------------------------------------------------
  //
  // A path's first name is looked up among the children of the relation's
  // source, then of its parent, and so on up to the root's (the innermost
  // scope wins, and among siblings the last written); each further name
  // among the children of the subject reached, the last written winning.
  // Children are reached through the text-order ranges. That is what the
  // builders' resolver finds with its scope walk, and on a small graph it
  // costs next to nothing; should the lookups of one text cost more than a
  // few times its subjects, the reader hands over to that resolver, which
  // is linear on any text.

  enum class Climb : std::uint8_t { Resolved, Declined, TooLong };
  static constexpr std::size_t kClimbSubjects = 4096;

  // The last child of `p` named `name` in `found` (kNoSubject: none); false
  // when over budget.
  bool child_named(std::uint32_t p, TagId name, std::uint32_t& found) {
    const std::vector<SubtreeRange>& ranges = parts_.ranges;
    found = kNoSubject;
    for (std::uint32_t c = p + 1; c < ranges[p].end; c = ranges[c].end) {
      if (climb_budget_-- == 0) return false;
      if (s_.name[c] == name) found = c;
    }
    return true;
  }

  // The subject `path` names in the scope of `source`'s children, in
  // `found` (kNoSubject: none); false when over budget.
  bool climb_path(const NamePath& path, std::uint32_t source, std::uint32_t& found) {
    found = kNoSubject;
    if (path.names.empty()) return true;
    TagId name = parts_.tags.find(path.names[0]);
    if (name == kNoTag) return true;
    for (std::uint32_t a = source;; a = s_.parent[a]) {
      if (!child_named(a, name, found)) return false;
      if (found != kNoSubject || a == 0) break;
    }
    for (std::size_t k = 1; found != kNoSubject && k < path.names.size(); ++k) {
      name = parts_.tags.find(path.names[k]);
      if (name == kNoTag) {
        found = kNoSubject;
        break;
      }
      if (!child_named(found, name, found)) return false;
    }
    return true;
  }

  // The nearest subject with identity "context" from `source` up, or the
  // root; false when over budget.
  bool default_context(std::uint32_t source, std::uint32_t& context) {
    context = source;
    while (context != 0 && !(s_.flags[context] & kContext)) {
      if (climb_budget_-- == 0) return false;
      context = s_.parent[context];
    }
    return true;
  }

  Climb resolve_by_climbing(RelationList& relations) {
    climb_budget_ = 4 * s_.parent.size() + 256;
    for (const auto& [s, written] : s_.relations) {
      const std::uint32_t source = s_.parent[s];
      std::uint32_t target, context;
      if (!climb_path(written.target, source, target)) return Climb::TooLong;
      if (target == kNoSubject) return Climb::Declined;
      if (written.context) {
        if (!climb_path(*written.context, source, context)) return Climb::TooLong;
        if (context == kNoSubject) return Climb::Declined;
      } else if (!default_context(source, context)) {
        return Climb::TooLong;
      }
      for (std::uint32_t end : {source, target, context}) {
        if (end != s && (s_.flags[end] & kRelation)) return Climb::Declined;
      }
      if (context != source)
        add_relation(relations, RelationKey{s, source, target},
                     RelationContext{!written.context.has_value(), context});
    }
    return Climb::Resolved;
  }

  // ---- layout ----------------------------------------------------------------

  // Pre-order numbers and ranges of the final tree, on an explicit stack:
  // a subject's children are those written in it that stayed, in index
  // order, then the relation subjects moved to it, in index order. Written
  // children are reached through the text-order ranges. Every subject has
  // one parent in the final tree, so the walk from the root reaches every
  // subject exactly when no moves form a cycle; if it misses one, the long
  // way reports the error.
  bool number_moved(const RelationList& relations) {
    const std::size_t n = s_.parent.size();
    std::vector<SubtreeRange>& ranges = parts_.ranges;
    std::vector<std::uint32_t>& end = w_.text_end;
    end.resize(n);
    for (std::size_t i = 0; i < n; ++i) end[i] = ranges[i].end;
    auto& moved_in = w_.moved_in;
    moved_in.clear();
    for (const auto& [key, ctx] : relations) {
      const auto subject = static_cast<std::uint32_t>(key.subject);
      const auto context = static_cast<std::uint32_t>(ctx.context);
      moved_in.emplace_back(context, subject);
      s_.flags[subject] |= kMoved;
      s_.flags[context] |= kHost;
    }
    std::sort(moved_in.begin(), moved_in.end());
    std::vector<Frame>& stack = w_.stack;
    stack.clear();
    std::vector<std::uint32_t>& preorder = parts_.preorder;
    preorder.reserve(n);
    std::uint32_t count = 0;
    const auto enter = [&](std::uint32_t c) {
      ranges[c].start = count++;
      preorder.push_back(c);
      std::uint32_t first_moved = 0;
      if (s_.flags[c] & kHost) {
        first_moved = static_cast<std::uint32_t>(
            std::lower_bound(moved_in.begin(), moved_in.end(), std::pair{c, 0u}) -
            moved_in.begin());
      }
      stack.push_back({c, c + 1, first_moved});
    };
    enter(0);
    while (!stack.empty()) {
      if (tick()) return false;
      Frame& f = stack.back();
      std::uint32_t next = kNoSubject;
      while (f.next < end[f.subject]) {
        const std::uint32_t c = f.next;
        f.next = end[c];
        if (!(s_.flags[c] & kMoved)) {
          next = c;
          break;
        }
      }
      if (next == kNoSubject && (s_.flags[f.subject] & kHost) && f.moved < moved_in.size() &&
          moved_in[f.moved].first == f.subject) {
        next = moved_in[f.moved++].second;
      }
      if (next != kNoSubject) {
        enter(next);  // may reallocate `stack`; `f` is not used after
        continue;
      }
      ranges[f.subject].end = count;
      stack.pop_back();
    }
    return count == n;
  }

  Cursor c_;
  bool validate_;
  Interrupt* interrupt_;
  InterruptPoll poll_;
  bool interrupted_ = false;
  Workspace& w_;
  FlatSubjects& s_;
  IndexParts& parts_;
  std::string& scratch_;
  TagId context_ = kNoTag;
  TagId star_ = kNoTag;
  std::uint32_t stamp_ = 0;
  std::size_t climb_budget_ = 0;  // lookups left to resolve_by_climbing
};

// After a read of a text this long or longer, the working memory it freed
// is handed back to the system. After a shorter one the allocator keeps
// what was freed for the next read (as it keeps any freed memory): handing
// it back and faulting it in again took a sixth of the time of reading a
// 10 MB text again and again, and a quarter of reading 10^4 subjects. What
// the allocator keeps was seen at up to three times the text's size.
constexpr std::size_t kTrimFrom = std::size_t{16} << 20;

}  // namespace

Result<IndexedGraph, ReadStop> read_graph_index(std::string_view text, bool validate,
                                                Interrupt* interrupt) {
  thread_local Workspace kept;
  if (kept.busy) {
    Workspace own;
    return GraphReader(trim_text(text), validate, interrupt, own).run();
  }
  struct Hold {
    Workspace& w;
    std::size_t text_size;
    Hold(Workspace& x, std::size_t size) : w(x), text_size(size) { w.busy = true; }
    ~Hold() {
      // After a large read the arrays go; after a very large one, the
      // memory they held goes back to the system too.
      if (w.release_if_large() && text_size >= kTrimFrom) release_free_memory();
      w.busy = false;
    }
  } hold(kept, text.size());
  return GraphReader(trim_text(text), validate, interrupt, kept).run();
}

Result<GraphState, BuildError> load_tag_graph(std::string_view text, bool validate,
                                              Interrupt* interrupt) {
  auto read = read_graph_index(text, validate, interrupt);
  if (read) return GraphState(std::move(read).value());
  if (read.error() == ReadStop::Interrupted) return make_err(BuildError::interrupted());
  auto built = compile_tag_graph(text, validate, interrupt);
  if (!built) return make_err(std::move(built).error());
  return GraphState(std::move(built).value());
}

}  // namespace lumo
