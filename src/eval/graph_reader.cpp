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
// written, so without relation moves each subject's range is [i, i + size)
// and falls out of one backward pass over the parents. Relations are
// resolved by the builders' resolver over the flat arrays; when a relation
// subject moves to another context, the final tree is laid out as children
// lists and walked once, iteratively. Every tag, identity and name is
// interned on sight, so a string is stored once however often it occurs.

#include "eval/graph_reader.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/free_memory.h"
#include "model/relation_resolver.h"
#include "model/tag_graph.h"
#include "syntax/lexer.h"
#include "syntax/parser.h"

namespace lumo {

namespace {

constexpr std::uint8_t kContext = 1;   // carries the identity "context"
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

// Fills `c` with each subject under `parent_of(i)`: first the subjects for
// which `first(i)` holds, then the others, each group in index order.
template <class ParentOf, class First>
void child_lists(std::size_t n, ParentOf parent_of, First first, ChildLists& c) {
  c.begin.assign(n + 1, 0);
  for (std::uint32_t i = 1; i < n; ++i) ++c.begin[parent_of(i) + 1];
  for (std::size_t i = 0; i < n; ++i) c.begin[i + 1] += c.begin[i];
  c.kids.resize(n > 0 ? n - 1 : 0);
  // begin[p] is p's cursor while filling, which leaves it at the start of
  // p + 1; shifting by one restores the starts.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t i = 1; i < n; ++i) {
      if (first(i) == (pass == 0)) c.kids[c.begin[parent_of(i)]++] = i;
    }
  }
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
    child_lists(
        s.parent.size(), [&](std::uint32_t i) { return s.parent[i]; },
        [](std::uint32_t) { return true; }, kids);
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
  TagId find_name_id(std::string_view name) const { return tags_.find(name); }
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
  std::uint32_t next;
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
  ChildLists laid_out;
  std::vector<std::uint32_t> moved_to;
  std::vector<Frame> stack;
  ResolverScratch resolver;
  bool busy = false;

  void clear() {
    s.parent.clear();
    s.name.clear();
    s.flags.clear();
    s.relations.clear();
    parts.tags = TagTable();
    parts.strings.clear();
    parts.begin.clear();
    parts.identities_end.clear();
    parts.root_tags.clear();
    parts.ranges.clear();
    parts.preorder.clear();
    open.clear();
    seen.clear();  // stamps count from 1 again
  }

  static constexpr std::size_t kKeepSubjects = 4096;

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
    laid_out = ChildLists();
    std::vector<std::uint32_t>().swap(moved_to);
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
    RelationTable relations;
    if (!lay_out(relations)) return make_err(stop());
    // A large graph's index should not have to share the peak with arrays
    // that are done with.
    if (w_.large()) w_.release_layout();
    std::optional<IndexedGraph> out = finish_index(parts_, interrupt_);
    if (!out) return make_err(ReadStop::Interrupted);
    out->relations = std::move(relations);
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
    const std::size_t guess = c_.text.size() / 24 + 4;
    s_.parent.reserve(guess);
    s_.name.reserve(guess);
    s_.flags.reserve(guess);
    parts_.strings.reserve(3 * guess);
    parts_.begin.reserve(guess + 1);
    parts_.identities_end.reserve(guess);
    // In a large graph tags repeat, and distinct strings are fewer than
    // subjects; a small text has a new string every dozen bytes or so. The
    // string table grows if there are more.
    const std::size_t size = c_.text.size();
    const std::size_t strings = std::max(size / 32, std::min<std::size_t>(size / 12, 256));
    parts_.tags.reserve(strings + 8, size + 16);
  }

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
    return true;
  }

  // "@" tag { blanks "." blanks tag }
  bool path(NamePath& out) {
    if (!at('@')) return false;
    ++c_.pos;
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
    parts_.end_subjects();
    const std::vector<TagId>& tags = parts_.root_tags;
    return !validate_ || !has_duplicate(tags, 0, tags.size());
  }

  // Resolves the relations, moves relation subjects under their contexts and
  // gives every subject its range. False to decline (or when interrupted).
  bool lay_out(RelationTable& relations) {
    const std::size_t n = s_.parent.size();
    std::vector<SubtreeRange>& ranges = parts_.ranges;
    ranges.resize(n);
    if (!s_.relations.empty()) {
      FlatTree tree(s_, parts_.tags, w_.written, w_.relation_of);
      if (!resolve_tree_relations(tree, relations, w_.resolver)) return false;
      // The layout below does not share its peak with the resolution.
      if (n > Workspace::kKeepSubjects) w_.release_resolution();
    }
    if (relations.empty()) {
      // Text order is pre-order: a subject's subtree is the run of subjects
      // after it up to the end of its last child's subtree.
      for (std::uint32_t i = 0; i < n; ++i) ranges[i] = {i, i + 1};
      for (std::uint32_t i = static_cast<std::uint32_t>(n); i-- > 1;) {
        SubtreeRange& p = ranges[s_.parent[i]];
        p.end = std::max(p.end, ranges[i].end);
      }
      // Text order is pre-order here (parts_.preorder stays empty).
      return true;
    }
    std::vector<std::uint32_t>& moved_to = w_.moved_to;
    moved_to.assign(n, kNoSubject);
    for (const auto& [key, ctx] : relations)
      moved_to[key.subject] = static_cast<std::uint32_t>(ctx.context);
    if (lowest_cut_subject(
            relations, moved_to, kNoSubject,
            [&](SubjectIndex s) { return SubjectIndex{s_.parent[s]}; }, w_.resolver) != kNoMove)
      return false;
    // Moved subjects follow their context's own children, in index order.
    child_lists(
        n, [&](std::uint32_t i) { return moved_to[i] != kNoSubject ? moved_to[i] : s_.parent[i]; },
        [&](std::uint32_t i) { return moved_to[i] == kNoSubject; }, w_.laid_out);
    // The reachability check above leaves every subject below the root;
    // should the walk still miss one, the long way decides.
    return number(w_.laid_out, ranges) && parts_.preorder.size() == n;
  }

  // Pre-order numbers and ranges over `kids`, from the root, iteratively.
  bool number(const ChildLists& kids, std::vector<SubtreeRange>& ranges) {
    std::vector<Frame>& stack = w_.stack;
    stack.clear();
    std::vector<std::uint32_t>& preorder = parts_.preorder;
    preorder.reserve(ranges.size());
    std::uint32_t count = 0;
    ranges[0].start = count++;
    preorder.push_back(0);
    stack.push_back({0, kids.begin[0]});
    while (!stack.empty()) {
      if (tick()) return false;
      Frame& f = stack.back();
      if (f.next < kids.begin[f.subject + 1]) {
        const std::uint32_t c = kids.kids[f.next++];
        ranges[c].start = count++;
        preorder.push_back(c);
        stack.push_back({c, kids.begin[c]});
        continue;
      }
      ranges[f.subject].end = count;
      stack.pop_back();
    }
    return true;
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
};

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
    explicit Hold(Workspace& x) : w(x) { w.busy = true; }
    ~Hold() {
      // After a large read, hand the freed working memory back to the
      // system rather than leave it counted against the process.
      if (w.release_if_large()) release_free_memory();
      w.busy = false;
    }
  } hold(kept);
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
