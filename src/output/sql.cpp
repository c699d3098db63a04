// SQL generation.
//
// The query's subjects are turned into one condition in three steps:
//
//   collect   every subject after the root contributes its identities as
//             single tags and its expression, all under one all-list;
//   simplify  negations become "always true", always-true items vanish from
//             all-lists and turn a whole any-list into "always true", items
//             that are lists of the same kind are spliced in one level, and
//             a list left with one item stands for that item;
//   print     tags directly inside a list are gathered into one array value
//             whose test comes after the list's other parts; other items are
//             printed in order, each appending its values as it goes.
//
// Expressions may nest as deep as the query text does, so both the
// simplification and the printing walk with explicit stacks. Collection and
// simplification run as one post-order walk over the expression pool; the
// simplified lists are singly linked chains of cells, so that splicing a
// same-kind list into its parent costs O(1) however long it is. The first
// two steps are in output/simplify.h, which the GIN plan shares.

#include "output/sql.h"

#include <charconv>
#include <cstdint>
#include <utility>

#include "output/simplify.h"

namespace lumo {
namespace {

using condition::Simplifier;
using condition::SNode;
using condition::kNone;

class Printer {
 public:
  Printer(const Simplifier& s, SqlParamSink& sink, std::string& text, InterruptPoll& poll)
      : s_(s), sink_(sink), text_(text), poll_(poll) {}

  // False when the sink refused a value.
  bool print(std::size_t root) {
    const SNode& r = s_.node(root);
    if (r.is_tag) {
      text_ += "(tags @> array[";
      if (!emit(r.tag)) return false;
      text_ += "])";
      return true;
    }
    enter(root);
    while (!frames_.empty()) {
      if (failed_ || poll_.turn()) return false;
      Frame& f = frames_.back();
      // Next non-tag item.
      while (f.cursor != kNone && s_.node(s_.cell(f.cursor).node).is_tag) {
        f.cursor = s_.cell(f.cursor).next;
        if (poll_.turn()) return false;
      }
      if (f.cursor != kNone) {
        std::size_t item = s_.cell(f.cursor).node;
        f.cursor = s_.cell(f.cursor).next;
        separator(f);
        enter(item);
        continue;
      }
      finish_list(f);
      frames_.pop_back();
    }
    return !failed_;
  }

 private:
  struct Frame {
    std::size_t list;
    std::size_t cursor;  // next cell to look at
    bool has_tags;
    bool wrapped;
    bool any_part;
  };

  // Hands one value to the sink and writes its placeholder.
  bool emit(SqlParam param) {
    std::size_t n = 0;
    if (!sink_.append(std::move(param), n)) {
      failed_ = true;
      return false;
    }
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    text_ += '$';
    text_.append(buf, r.ptr);
    return true;
  }

  void separator(Frame& f) {
    if (f.any_part) text_ += s_.node(f.list).all ? " and " : " or ";
    f.any_part = true;
  }

  // Opens a (non-tag) list: writes what comes before its parts and, unless
  // it has none, pushes a frame for them.
  void enter(std::size_t list) {
    const SNode& l = s_.node(list);
    std::size_t tags = 0;
    std::size_t others = 0;
    for (std::size_t c = l.head; c != kNone; c = s_.cell(c).next) {
      if (s_.node(s_.cell(c).node).is_tag) {
        ++tags;
      } else {
        ++others;
      }
      if (poll_.turn()) return;  // the caller's loop sees the stop
    }
    std::size_t parts = others + (tags > 0 ? 1 : 0);
    if (parts == 0) {
      text_ += l.all ? "true" : "false";
      return;
    }
    bool wrapped = parts >= 2;
    if (wrapped) text_ += '(';
    frames_.push_back(Frame{list, l.head, tags > 0, wrapped, false});
  }

  // Appends the list's group of tags (if any) and closes it.
  void finish_list(Frame& f) {
    const SNode& l = s_.node(f.list);
    if (f.has_tags) {
      std::vector<std::string_view> group;
      for (std::size_t c = l.head; c != kNone; c = s_.cell(c).next) {
        const SNode& item = s_.node(s_.cell(c).node);
        if (item.is_tag) group.push_back(item.tag);
        if (poll_.turn()) {
          failed_ = true;
          return;
        }
      }
      separator(f);
      text_ += "(tags ";
      text_ += l.all ? "@>" : "&&";
      text_ += ' ';
      if (!emit(std::move(group))) return;
      text_ += ')';
    }
    if (f.wrapped) text_ += ')';
  }

  const Simplifier& s_;
  SqlParamSink& sink_;
  std::string& text_;
  InterruptPoll& poll_;
  std::vector<Frame> frames_;
  bool failed_ = false;
};

}  // namespace

bool to_sql(const Query& query, SqlParamSink& sink, std::string& text, Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  Simplifier s(query.exprs, poll);
  const std::size_t root = condition::simplify_query(query, s, poll);
  if (root == kNone) return false;

  return Printer(s, sink, text, poll).print(root) && !poll.stopped();
}

}  // namespace lumo
