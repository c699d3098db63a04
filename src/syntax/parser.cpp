// Parser for query and tag graph text.
//
// A recursive descent over this grammar would recurse once per nesting level
// of parentheses, negations and subject bodies, and texts nest as deep as
// their authors like. The parser therefore keeps its own stacks: one machine
// reads a tag expression (frames for open parentheses and pending "-"), one
// reads nested subject bodies (a frame per open "{"). Both follow the
// grammar's ordered choice, optional parts, repetitions, commit points and
// labels step by step, so offsets and expectation lists come out as a plain
// descent would produce them.
//
// Failures are carried as a status (Ok, Recoverable, Fatal) plus one reused
// expectation vector, so the many recoverable failures of optional parts cost
// no allocation. Labels that a failure would collect on its way out through
// n nested constructs are appended n times at once when it escapes.
//
// The tree is built flat: entries are appended to the document in the order
// they are met (pre-order), expressions go into the document's pool.
#include "syntax/parser.h"

#include <utility>

#include "syntax/lexer.h"

namespace lumo {

namespace {

enum class Status : unsigned char { Ok, Recoverable, Fatal };

class Parser {
 public:
  // Parses a copy of `text` kept by the document, so that tag texts can be
  // views of it.
  explicit Parser(std::string_view text) : c_{doc_.exprs.store(text), 0} {}

  Result<ParsedDocument, LocatedFailure> run();

 private:
  // Expression machine frames.
  enum class FrameKind : unsigned char { Neg, List };
  enum class ListState : unsigned char { First, AfterSlash, AfterComma };
  struct ExprFrame {
    FrameKind kind;
    bool paren = false;
    ListState state = ListState::First;
    std::size_t pos = 0;        // Neg: the "-"; List: saved separator position
    std::size_t and_mark = 0;   // start of this list's items on items_
    std::size_t or_mark = 0;    // start of the current or_list's items
    std::size_t opt_start = 0;  // paren: where the optional and_list began
  };

  Status and_list(ExprId& out);
  Status subject_body();
  Status meta_queries();
  void gap();

  // The text of a tag as held by the document: a bare tag is already a view
  // of the document's copy of the text; a quoted one is copied out of the
  // scratch buffer.
  std::string_view stored(std::string_view tag) {
    const char* lo = c_.text.data();
    if (tag.data() >= lo && tag.data() <= lo + c_.text.size()) return tag;
    return doc_.exprs.store(tag);
  }

  bool peek(char ch) const { return c_.pos < c_.text.size() && c_.text[c_.pos] == ch; }
  void fail(std::initializer_list<Expectation> es) {
    err_.assign(es.begin(), es.end());
  }
  void label(Expectation e, std::size_t times) { err_.insert(err_.end(), times, e); }
  ExprId fold(std::size_t mark, bool all);

  // Reads "@" name { "." name }; `label_text` names the construct for
  // failures (the caller has committed).
  Status path(NamePath& out);

  ParsedDocument doc_;  // before c_, whose text it holds
  Cursor c_;
  std::vector<Expectation> err_;
  std::string tag_;       // scratch for quoted strings
  std::string_view tv_;   // the last tag read
  std::vector<ExprFrame> frames_;
  std::vector<ExprId> items_;
  std::vector<ExprId> root_exprs_;
  std::vector<EntryId> bodies_;  // open subject bodies: the entry they belong to
  ExprId empty_all_ = 0;
};

ExprId Parser::fold(std::size_t mark, bool all) {
  const ExprId v = fold_list(doc_.exprs, items_.data() + mark, items_.size() - mark, all);
  items_.resize(mark);
  return v;
}

void Parser::gap() {
  white_space(c_);
  const std::string_view t = c_.text;
  while (c_.text.size() - c_.pos >= 2 && t[c_.pos] == '/' && t[c_.pos + 1] == '/') {
    std::size_t i = c_.pos + 2;
    while (i < t.size() && t[i] != '\r' && t[i] != '\n') ++i;
    if (i < t.size() && t[i] == '\r' && (i + 1 >= t.size() || t[i + 1] != '\n')) {
      return;  // a lone CR ends no comment: leave the "//" to the caller
    }
    c_.pos = i;
    white_space(c_);
  }
}

Status Parser::and_list(ExprId& out) {
  const std::size_t base = frames_.size();
  const std::size_t items_base = items_.size();
  frames_.push_back({FrameKind::List, false, ListState::First, 0, items_.size(), items_.size(), 0});

  enum class Step { TermStart, TermDone, TermFail, OrDone, AndDone };
  Step step = Step::TermStart;
  ExprId val = 0;
  std::size_t fatal_labels_from = 0;  // set on a fatal failure

  for (;;) {
    switch (step) {
      case Step::TermStart: {
        const std::size_t start = c_.pos;
        if (c_.at_end()) {
          step = Step::TermFail;
          break;
        }
        const char ch = c_.text[start];
        if (ch == '-') {
          frames_.push_back({FrameKind::Neg, false, ListState::First, start, 0, 0, 0});
          ++c_.pos;
          blanks(c_);
          break;
        }
        if (ch == '(') {
          ++c_.pos;
          blanks(c_);
          frames_.push_back({FrameKind::List, true, ListState::First, start, items_.size(),
                             items_.size(), c_.pos});
          break;
        }
        switch (read_tag(c_, tag_, tv_)) {
          case TagStatus::Ok:
            val = doc_.exprs.add_stored_tag(stored(tv_), Span{start, c_.pos});
            step = Step::TermDone;
            break;
          case TagStatus::NoTag:
            step = Step::TermFail;
            break;
          case TagStatus::BadString:
            fail({expected_literal("string")});
            fatal_labels_from = base;
            goto fatal;
        }
        break;
      }

      case Step::TermFail: {
        ExprFrame& f = frames_.back();
        if (f.kind == FrameKind::Neg) {
          // "-" term failed; the "(" alternative then fails at the "-".
          c_.pos = f.pos;
          frames_.pop_back();
          break;
        }
        if (f.state == ListState::AfterSlash) {
          c_.pos = f.pos;
          step = Step::OrDone;
          break;
        }
        if (f.state == ListState::AfterComma) {
          c_.pos = f.pos;
          step = Step::AndDone;
          break;
        }
        // The list's first term failed, so its and_list fails.
        if (f.paren) {
          // The optional and_list is absent: "(" blanks blanks ")".
          c_.pos = f.opt_start;
          blanks(c_);
          frames_.pop_back();
          if (peek(')')) {
            ++c_.pos;
            val = empty_all_;
            step = Step::TermDone;
            break;
          }
          fail({});
          fatal_labels_from = base;
          goto fatal;
        }
        frames_.pop_back();
        fail({invalid("expression")});
        items_.resize(items_base);
        return Status::Recoverable;
      }

      case Step::TermDone: {
        while (frames_.back().kind == FrameKind::Neg) {
          val = doc_.exprs.add_not(val);
          frames_.pop_back();
        }
        items_.push_back(val);
        ExprFrame& f = frames_.back();
        const std::size_t save = c_.pos;
        blanks(c_);
        if (peek('/')) {
          ++c_.pos;
          blanks(c_);
          f.state = ListState::AfterSlash;
          f.pos = save;
          step = Step::TermStart;
        } else {
          c_.pos = save;
          step = Step::OrDone;
        }
        break;
      }

      case Step::OrDone: {
        ExprFrame& f = frames_.back();
        const ExprId v = fold(f.or_mark, false);
        items_.push_back(v);
        const std::size_t save = c_.pos;
        blanks(c_);
        if (peek(',')) {
          ++c_.pos;
          blanks(c_);
          f.state = ListState::AfterComma;
          f.pos = save;
          f.or_mark = items_.size();
          step = Step::TermStart;
        } else {
          c_.pos = save;
          step = Step::AndDone;
        }
        break;
      }

      case Step::AndDone: {
        ExprFrame& f = frames_.back();
        const ExprId v = fold(f.and_mark, true);
        const bool paren = f.paren;
        frames_.pop_back();
        if (!paren) {
          out = v;
          return Status::Ok;
        }
        blanks(c_);
        if (peek(')')) {
          ++c_.pos;
          val = v;
          step = Step::TermDone;
          break;
        }
        fail({});
        fatal_labels_from = base;
        goto fatal;
      }
    }
  }

fatal : {
  // The failure leaves every and_list still open: one label each.
  std::size_t lists = 0;
  for (std::size_t i = fatal_labels_from; i < frames_.size(); ++i) {
    if (frames_[i].kind == FrameKind::List) ++lists;
  }
  label(invalid("expression"), lists);
  frames_.resize(base);
  items_.resize(items_base);
  return Status::Fatal;
}
}

Status Parser::path(NamePath& out) {
  const std::size_t at = c_.pos;
  if (!peek('@')) {
    fail({});
    return Status::Recoverable;
  }
  ++c_.pos;
  out.names.clear();
  switch (read_tag(c_, tag_, tv_)) {
    case TagStatus::Ok:
      out.names.emplace_back(tv_);
      break;
    case TagStatus::NoTag:
      fail({expected("tag")});
      return Status::Recoverable;
    case TagStatus::BadString:
      fail({expected_literal("string")});
      return Status::Fatal;
  }
  for (;;) {
    const std::size_t save = c_.pos;
    blanks(c_);
    if (!peek('.')) {
      c_.pos = save;
      break;
    }
    ++c_.pos;
    blanks(c_);
    TagStatus st = read_tag(c_, tag_, tv_);
    if (st == TagStatus::Ok) {
      out.names.emplace_back(tv_);
      continue;
    }
    if (st == TagStatus::BadString) {
      fail({expected_literal("string")});
      return Status::Fatal;
    }
    c_.pos = save;
    break;
  }
  out.span = Span{at, c_.pos};
  return Status::Ok;
}

Status Parser::subject_body() {
  // The cursor stands at "{".
  ++c_.pos;
  const EntryId outer = 0;
  bodies_.clear();
  bodies_.push_back(outer);

  auto escape = [&](Status s) {
    // A failure leaving k nested bodies passes k-1 children parts.
    label(invalid("children"), bodies_.size() - 1);
    bodies_.clear();
    return s;
  };

  for (;;) {
    const std::size_t save = c_.pos;
    gap();
    const std::size_t start = c_.pos;

    // subject: tag_name | "*"
    bool star = false;
    TagStatus st = TagStatus::NoTag;
    if (peek('*')) {
      star = true;
      ++c_.pos;
    } else {
      st = read_tag(c_, tag_, tv_);
      if (st == TagStatus::BadString) {
        fail({expected_literal("string"), invalid("subject"), expected("tag")});
        return escape(Status::Fatal);
      }
    }
    if (!star && st != TagStatus::Ok) {
      // No further entry: the body must close here.
      c_.pos = save;
      gap();
      if (!peek('}')) {
        fail({expected("}")});
        return escape(Status::Fatal);
      }
      ++c_.pos;
      bodies_.pop_back();
      if (bodies_.empty()) return Status::Ok;
      continue;
    }

    const EntryId id = doc_.entries.size();
    const EntryId parent = bodies_.back();
    doc_.entries.emplace_back();
    doc_.entries[parent].children.push_back(id);
    {
      SubjectEntry& e = doc_.entries.back();
      e.parent = parent;
      e.span = Span{start, c_.pos};
      e.expression = empty_all_;
    }
    std::string subject_tag;
    if (!star) subject_tag = tv_;

    // [identities_part]: "(" blanks [tag {blanks "," blanks tag}] blanks ")"
    if (peek('(')) {
      ++c_.pos;
      blanks(c_);
      std::vector<std::string>& ids = doc_.entries[id].identities;
      TagStatus t = read_tag(c_, tag_, tv_);
      if (t == TagStatus::Ok) {
        ids.emplace_back(tv_);
        for (;;) {
          const std::size_t s2 = c_.pos;
          blanks(c_);
          if (!peek(',')) {
            c_.pos = s2;
            break;
          }
          ++c_.pos;
          blanks(c_);
          t = read_tag(c_, tag_, tv_);
          if (t == TagStatus::Ok) {
            ids.emplace_back(tv_);
            continue;
          }
          if (t == TagStatus::BadString) break;
          c_.pos = s2;
          break;
        }
      }
      if (t == TagStatus::BadString) {
        fail({expected_literal("string"), invalid("identities")});
        return escape(Status::Fatal);
      }
      blanks(c_);
      if (!peek(')')) {
        fail({invalid("identities")});
        return escape(Status::Fatal);
      }
      ++c_.pos;
    }
    {
      SubjectEntry& e = doc_.entries[id];
      if (star) {
        e.name.assign(1, '*');
      } else {
        e.identities.push_back(subject_tag);
        e.name = std::move(subject_tag);
      }
    }

    // [name_part]: blanks "@" tag
    {
      const std::size_t s = c_.pos;
      blanks(c_);
      if (peek('@')) {
        ++c_.pos;
        TagStatus t = read_tag(c_, tag_, tv_);
        if (t == TagStatus::Ok) {
          doc_.entries[id].name = tv_;
        } else {
          if (t == TagStatus::NoTag) fail({expected("tag"), invalid("name")});
          else fail({expected_literal("string"), invalid("name")});
          return escape(Status::Fatal);
        }
      } else {
        c_.pos = s;
      }
    }

    // [relation_part]: blanks ">" blanks path ["(" blanks path blanks ")"]
    {
      const std::size_t s = c_.pos;
      blanks(c_);
      if (peek('>')) {
        ++c_.pos;
        blanks(c_);
        RelationSpec rel;
        Status ps = path(rel.target);
        if (ps != Status::Ok) {
          err_.push_back(invalid("relation"));
          return escape(Status::Fatal);
        }
        if (peek('(')) {
          ++c_.pos;
          blanks(c_);
          NamePath ctx;
          ps = path(ctx);
          if (ps != Status::Ok) {
            err_.push_back(invalid("relation"));
            return escape(Status::Fatal);
          }
          blanks(c_);
          if (!peek(')')) {
            fail({invalid("relation")});
            return escape(Status::Fatal);
          }
          ++c_.pos;
          rel.context = std::move(ctx);
        }
        doc_.entries[id].relation = std::move(rel);
      } else {
        c_.pos = s;
      }
    }

    // [expression_part]: blanks ":" blanks and_list
    {
      const std::size_t s = c_.pos;
      blanks(c_);
      if (peek(':')) {
        ++c_.pos;
        blanks(c_);
        ExprId v;
        Status es = and_list(v);
        if (es != Status::Ok) return escape(Status::Fatal);
        doc_.entries[id].expression = v;
      } else {
        c_.pos = s;
      }
    }

    // [children_part]: blanks subject_body
    {
      const std::size_t s = c_.pos;
      blanks(c_);
      if (peek('{')) {
        ++c_.pos;
        bodies_.push_back(id);
      } else {
        c_.pos = s;
      }
    }
  }
}

Status Parser::meta_queries() {
  // The cursor stands at "[".
  ++c_.pos;
  blanks(c_);
  auto item = [&]() -> Status {
    const std::size_t s = c_.pos;
    MetaQuery m;
    if (peek('-')) {
      m.negated = true;
      ++c_.pos;
    }
    TagStatus t = read_tag(c_, tag_, tv_);
    if (t == TagStatus::BadString) {
      fail({expected_literal("string")});
      return Status::Fatal;
    }
    if (t == TagStatus::NoTag || !peek(':')) {
      c_.pos = s;
      return Status::Recoverable;
    }
    m.key = tv_;
    ++c_.pos;
    t = read_tag(c_, tag_, tv_);
    if (t == TagStatus::BadString) {
      fail({expected_literal("string")});
      return Status::Fatal;
    }
    if (t == TagStatus::NoTag) {
      c_.pos = s;
      return Status::Recoverable;
    }
    m.value = tv_;
    doc_.meta_queries.push_back(std::move(m));
    return Status::Ok;
  };
  Status s = item();
  if (s == Status::Fatal) return s;
  if (s == Status::Ok) {
    for (;;) {
      const std::size_t save = c_.pos;
      blanks(c_);
      if (!peek(',')) {
        c_.pos = save;
        break;
      }
      ++c_.pos;
      blanks(c_);
      s = item();
      if (s == Status::Fatal) return s;
      if (s == Status::Recoverable) {
        c_.pos = save;
        break;
      }
    }
  }
  if (!peek(']')) {
    fail({});
    return Status::Fatal;
  }
  ++c_.pos;
  blanks(c_);
  return Status::Ok;
}

Result<ParsedDocument, LocatedFailure> Parser::run() {
  doc_.entries.emplace_back();
  {
    SubjectEntry& root = doc_.entries[0];
    root.identities.push_back("context");
    root.span = Span{0, c_.text.size()};
  }
  empty_all_ = doc_.exprs.add_empty_all();

  for (;;) {
    gap();
    const std::size_t start = c_.pos;
    Status s;
    if (peek('{')) {
      s = subject_body();
    } else if (peek('[')) {
      s = meta_queries();
    } else {
      ExprId v;
      s = and_list(v);
      if (s == Status::Ok) root_exprs_.push_back(v);
    }
    if (s == Status::Ok) continue;
    if (s == Status::Fatal) {
      return make_err(LocatedFailure{ParseFailure{Severity::Fatal, std::move(err_)}, c_.pos});
    }
    c_.pos = start;
    if (c_.at_end()) break;
    return make_err(LocatedFailure{
        ParseFailure{Severity::Recoverable,
                     {expected("expression"), expected("subject body"), expected("meta queries")}},
        start});
  }

  if (root_exprs_.size() == 1) {
    doc_.entries[0].expression = root_exprs_[0];
  } else {
    doc_.entries[0].expression = fold_list(doc_.exprs, std::move(root_exprs_), true);
  }
  return std::move(doc_);
}

std::size_t trim_front(std::string_view t) {
  std::size_t i = 0;
  while (i < t.size()) {
    std::size_t len;
    char32_t ch = decode_utf8(t, i, len);
    if (!is_text_white_space(ch)) break;
    i += len;
  }
  return i;
}

std::size_t trim_back(std::string_view t, std::size_t lo) {
  std::size_t end = t.size();
  while (end > lo) {
    std::size_t s = end - 1;
    while (s > lo && (static_cast<unsigned char>(t[s]) & 0xC0) == 0x80 && end - s < 4) --s;
    std::size_t len;
    char32_t ch = decode_utf8(t, s, len);
    if (s + len != end || !is_text_white_space(ch)) break;
    end = s;
  }
  return end;
}

}  // namespace

std::string_view trim_text(std::string_view text) {
  std::size_t lo = trim_front(text);
  std::size_t hi = trim_back(text, lo);
  return text.substr(lo, hi - lo);
}

Result<ParsedDocument, LocatedFailure> parse_trimmed(std::string_view trimmed,
                                                     Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  if (poll.tick(InterruptPoll::kStride)) {
    LocatedFailure f;
    f.interrupted = true;
    return make_err(std::move(f));
  }
  Parser p(trimmed);
  return p.run();
}

Result<ParsedDocument, ParseErrorReport> parse_document(std::string_view text,
                                                        Interrupt* interrupt) {
  std::string_view trimmed = trim_text(text);
  auto r = parse_trimmed(trimmed, interrupt);
  if (r.ok()) return std::move(r).value();
  LocatedFailure& f = r.error();
  if (f.interrupted) {
    ParseErrorReport stopped;
    stopped.interrupted = true;
    return make_err(std::move(stopped));
  }
  return make_err(
      ParseErrorReport{std::string(trimmed), f.offset, std::move(f.failure.expectations)});
}

}  // namespace lumo
