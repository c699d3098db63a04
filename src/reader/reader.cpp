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
// written, and recorded in flat arrays (FlatSubjects, with the index's
// parts): a subject's range is [i, i + size), its end known when its body
// closes. Every tag, identity and name is interned on sight, so a string is
// stored once however often it occurs. What comes after the text (relations
// and the ranges of moved subjects) is layout.cpp's; where the arrays live
// and what becomes of their memory is workspace.cpp's. This file is the hot
// loop of reading a record: its small helpers (blanks, gap, the pushes) are
// meant to be inlined into it, and GCC's default budget for inlining across
// one file covers them now that the large-graph code lives elsewhere. Code
// added here that exhausts the budget shows as a rise in the instructions
// per record that bench/read_bench.cpp counts under callgrind.

#include "reader/reader.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/compiler.h"
#include "base/duplicates.h"
#include "model/tag_graph.h"
#include "reader/layout.h"
#include "reader/workspace.h"
#include "syntax/lexer.h"
#include "syntax/parser.h"

namespace lumo {

namespace reading {
namespace {

class GraphReader {
 public:
  GraphReader(std::string_view text, bool validate, Interrupt* interrupt, Workspace& w)
      : c_{text, 0, &poll_}, validate_(validate), interrupt_(interrupt), poll_(interrupt), w_(w),
        s_(w.s), parts_(w.parts), scratch_(w.scratch) {
    w.clear();
  }

  Result<IndexedGraph, ReadStop> run() {
    if (c_.text.size() >= kNoSubject) return make_err(ReadStop::Declined);
    if (poll_.tick(InterruptPoll::kStride)) return make_err(ReadStop::Interrupted);
    w_.reserve_for(c_.text, poll_);
    if (!document()) return make_err(stop());
    if (!finish_root()) return make_err(ReadStop::Declined);
    // (A stop seen where a check answers no is reported here.)
    if (!lay_out(w_, poll_) || poll_.stopped()) return make_err(stop());
    w_.layout_done();
    std::optional<IndexedGraph> out = finish_index(parts_, interrupt_);
    if (!out) return make_err(ReadStop::Interrupted);
    return std::move(*out);
  }

 private:
  ReadStop stop() const { return poll_.stopped() ? ReadStop::Interrupted : ReadStop::Declined; }

  bool tick() { return poll_.turn(); }

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
      const std::size_t eol = comment_end(c_.pos + 2);
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

  // The first CR or LF from `from` on (npos: none), looked for a stretch of
  // kRunStretch bytes at a time, with a tick after each; npos as well when
  // interrupted (document() then sees the stop).
  LUMO_NOINLINE std::size_t comment_end(std::size_t from) {
    const std::string_view t = c_.text;
    for (;;) {
      const std::size_t n = std::min(kRunStretch, t.size() - from);
      const std::size_t eol = t.substr(0, from + n).find_first_of("\r\n", from);
      audit_work((eol == std::string_view::npos ? n : eol - from) / InterruptPoll::kTurnsPerUnit);
      if (eol != std::string_view::npos || from + n == t.size() || poll_.tick_bytes(n))
        return eol;
      from += n;
    }
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
    w_.reuse_names(out.names);
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

  // ---- checks --------------------------------------------------------------

  // Marks over string ids for the duplicate check of a long list: an id is
  // marked when its entry in `seen` equals the current stamp, so starting a
  // list is one increment, not a clearing.
  struct Stamps {
    std::vector<std::uint32_t>& seen;
    std::uint32_t& stamp;
    const TagTable& tags;

    void reset(std::size_t) {
      if (seen.size() < tags.size()) seen.resize(tags.size(), 0);
      ++stamp;
    }
    bool insert(TagId t) {
      if (seen[t] == stamp) return false;
      seen[t] = stamp;
      return true;
    }
  };

  // Whether list[first .. last) repeats a string.
  bool has_duplicate(const std::vector<TagId>& list, std::size_t first, std::size_t last) {
    Stamps stamps{w_.seen, stamp_, parts_.tags};
    return lumo::has_duplicate(std::span<const TagId>(list.data() + first, last - first), stamps,
                               poll_);
  }

  bool finish_root() {
    parts_.tags.settle();  // the lookups of relation paths come next
    parts_.end_subjects();
    parts_.ranges[0].end = static_cast<std::uint32_t>(s_.parent.size());
    const std::vector<TagId>& tags = parts_.root_tags;
    return !validate_ || !has_duplicate(tags, 0, tags.size());
  }

  Cursor c_;
  bool validate_;
  Interrupt* interrupt_;
  InterruptPoll poll_;
  Workspace& w_;
  FlatSubjects& s_;
  IndexParts& parts_;
  std::string& scratch_;
  TagId context_ = kNoTag;
  TagId star_ = kNoTag;
  std::uint32_t stamp_ = 0;
};

}  // namespace
}  // namespace reading

Result<IndexedGraph, ReadStop> read_graph_index(std::string_view text, bool validate,
                                                Interrupt* interrupt) {
  InterruptPoll trim_poll(interrupt);
  const std::string_view trimmed = trim_text(text, &trim_poll);
  if (trim_poll.stopped()) return make_err(ReadStop::Interrupted);
  reading::WorkspaceLease lease(text.size());
  return reading::GraphReader(trimmed, validate, interrupt, lease.get()).run();
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
