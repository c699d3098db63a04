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
// same-kind list into its parent costs O(1) however long it is.

#include "output/sql.h"

#include <charconv>
#include <cstdint>
#include <utility>

namespace lumo {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A simplified expression: a tag (borrowed text) or a list of cells.
struct SNode {
  std::string_view tag;     // Tag
  std::size_t head = kNone;  // List: first cell
  std::size_t tail = kNone;  // List: last cell
  std::size_t count = 0;     // List: number of cells
  bool is_tag = false;
  bool all = true;
};

// One item of a simplified list.
struct Cell {
  std::size_t node;
  std::size_t next;
};

// Node 0 is the shared "always true" value: the empty all-list. It is never
// linked into a list, so sharing it is safe.
constexpr std::size_t kTrue = 0;

class Simplifier {
 public:
  Simplifier(const ExprPool& pool, InterruptPoll& poll) : pool_(pool), poll_(poll) {
    nodes_.push_back(SNode{});  // kTrue
  }

  std::size_t new_tag(std::string_view text) {
    SNode n;
    n.is_tag = true;
    n.tag = text;
    nodes_.push_back(n);
    return nodes_.size() - 1;
  }

  std::size_t new_list(bool all) {
    SNode n;
    n.all = all;
    nodes_.push_back(n);
    return nodes_.size() - 1;
  }

  bool is_true(std::size_t id) const {
    const SNode& n = nodes_[id];
    return !n.is_tag && n.all && n.count == 0;
  }

  // Adds the simplified item `item` to the list accumulator `list`. Returns
  // false when the list has collapsed to "always true" (an any-list meeting
  // an always-true item); its remaining items need not be looked at.
  bool add_item(std::size_t list, std::size_t item) {
    SNode& acc = nodes_[list];
    if (is_true(item)) return acc.all;
    const SNode& it = nodes_[item];
    if (!it.is_tag && it.all == acc.all) {
      if (it.count == 0) return true;
      if (acc.count == 0) {
        acc.head = it.head;
      } else {
        cells_[acc.tail].next = it.head;
      }
      acc.tail = it.tail;
      acc.count += it.count;
      return true;
    }
    cells_.push_back(Cell{item, kNone});
    std::size_t c = cells_.size() - 1;
    if (acc.count == 0) {
      acc.head = c;
    } else {
      cells_[acc.tail].next = c;
    }
    acc.tail = c;
    ++acc.count;
    return true;
  }

  // The value of a finished accumulator.
  std::size_t finish(std::size_t list) const {
    const SNode& acc = nodes_[list];
    if (acc.count == 1) return cells_[acc.head].node;
    return list;
  }

  // Simplifies the expression `root` without recursion.
  std::size_t simplify(ExprId root) {
    std::size_t result = kNone;
    auto start = [&](ExprId id) -> bool {
      const ExprNode& e = pool_[id];
      switch (e.kind) {
        case ExprKind::Tag:
          result = new_tag(e.tag);
          return false;
        case ExprKind::Not:
          result = kTrue;
          return false;
        case ExprKind::List:
          break;
      }
      frames_.push_back(Frame{id, 0, new_list(e.all)});
      return true;
    };

    const std::size_t base = frames_.size();
    if (!start(root)) return result;
    while (frames_.size() > base) {
      if (poll_.turn()) return kTrue;  // the caller sees poll_.stopped()
      Frame& f = frames_.back();
      const ExprNode& e = pool_[f.expr];
      if (f.next == e.items.size()) {
        result = finish(f.acc);
      } else {
        ExprId child = e.items[f.next++];
        if (start(child)) continue;
        // `result` holds the child's value: fall through to deliver it.
        if (add_item(frames_.back().acc, result)) continue;
        result = kTrue;  // collapsed any-list
      }
      // `result` is the value of the top frame: hand it to the frame below.
      frames_.pop_back();
      while (frames_.size() > base) {
        if (poll_.turn()) return kTrue;  // a collapse can run through every open list
        Frame& parent = frames_.back();
        if (add_item(parent.acc, result)) break;
        result = kTrue;
        frames_.pop_back();
      }
    }
    return result;
  }

  const SNode& node(std::size_t id) const { return nodes_[id]; }
  const Cell& cell(std::size_t id) const { return cells_[id]; }

 private:
  struct Frame {
    ExprId expr;
    std::size_t next;  // next item of the expression to look at
    std::size_t acc;   // list accumulator node
  };

  const ExprPool& pool_;
  InterruptPoll& poll_;
  std::vector<SNode> nodes_;
  std::vector<Cell> cells_;
  std::vector<Frame> frames_;
};

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
  // Collect and simplify in one go: the subjects' identities and expressions
  // are the items of one all-list, which never collapses.
  std::size_t root = s.new_list(true);
  for (std::size_t i = 1; i < query.subjects.size(); ++i) {
    if (poll.turn()) return false;
    const QuerySubject& subject = query.subjects[i];
    for (const std::string& identity : subject.identities) {
      (void)s.add_item(root, s.new_tag(identity));
    }
    (void)s.add_item(root, s.simplify(subject.expression));
    if (poll.stopped()) return false;
  }
  root = s.finish(root);

  return Printer(s, sink, text, poll).print(root) && !poll.stopped();
}

}  // namespace lumo
