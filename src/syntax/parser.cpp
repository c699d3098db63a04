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
// Each grammar action is a method named after its rule that returns a Status;
// the rule is written above it. The machines call the actions in a loop
// instead of through each other where a rule nests: and_list runs its steps
// over the frame stack, subject_body runs one entry or closing "}" per turn
// and a children part only pushes the body it opens.
//
// Failures are carried as a status plus one reused expectation vector, so the
// many recoverable failures of optional parts cost no allocation. Labels that
// a failure would collect on its way out through n nested constructs are
// appended n times at once when it escapes.
//
// The interrupt hook is polled through a countdown of work units: one per
// gap (each statement, subject entry and closing "}" follows one), comment,
// list item, expression term, closing ")" and applied "-". Each also weighs
// one unit per 256 bytes read for it, so that long tokens count by their
// length: a term its token, the others what the cursor moved over since the
// last of them. Copying the source counts its bytes the same way, and so do
// long runs of blanks and white space (the lexer ticks between stretches of
// them) and comments. A stop unwinds as Status::Stopped; only a single token
// is read without a poll. Once the poll has said stop, the parse reports the
// interruption whatever else it ended with.
//
// The tree is built flat: entries are appended to the document in the order
// they are met (pre-order), expressions go into the document's pool.
#include "syntax/parser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/compiler.h"
#include "syntax/lexer.h"

namespace lumo {

namespace {

// The outcome of a grammar action. Recoverable: the rule does not apply here
// and the caller may try something else (an action that read part of its
// text says where it leaves the cursor). Fatal: a committed rule failed, the
// parse ends and err_ holds the innermost expectations so far. Stopped: the
// interrupt hook asked to stop.
enum class Status : unsigned char { Ok, Recoverable, Fatal, Stopped };

class Parser {
 public:
  // Parses a copy of `source` kept by the document, so that tag texts can be
  // views of it.
  Parser(std::string_view source, InterruptPoll poll) : poll_(poll), source_(source) {}

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
  // Steps of the expression machine; Done, NoList, Fatal and Stopped end it.
  enum class Step : unsigned char {
    TermStart, TermDone, TermFail, OrDone, AndDone, Done, NoList, Fatal, Stopped
  };

  bool copy_source();
  Status statement();

  Status and_list(ExprId& out);
  Step term_start();
  Step term_fail();
  Step term_done();
  Step or_done();
  Step and_done();
  Status leave_and_list(Step step, std::size_t base, std::size_t items_base);

  Status subject_body();
  Status subject_entry();
  Status body_end();
  Status leave_bodies(Status s);
  SubjectEntry& new_entry(Span span);
  Status identities_part(SubjectEntry& e);
  Status name_part(SubjectEntry& e);
  Status relation_part(SubjectEntry& e);
  Status relation_context(RelationSpec& rel);
  Status expression_part(SubjectEntry& e);
  void children_part(EntryId id);
  Status path(NamePath& out);

  Status meta_queries();
  Status meta_query();

  template <class Item>
  Status separated(char sep, Item item);
  Status tag();
  Status tag_item(std::vector<std::string>& out);

  // blanks sep blanks: true with the cursor behind them, or false with the
  // cursor left where it was.
  bool separator(char sep) {
    const std::size_t save = c_.pos;
    blanks(c_);
    if (!peek(sep)) {
      c_.pos = save;
      return false;
    }
    ++c_.pos;
    blanks(c_);
    return true;
  }

  // blanks ch: true with the cursor behind `ch`, or false with the cursor
  // left where it was. Starts an optional part.
  bool opens(char ch) {
    const std::size_t save = c_.pos;
    blanks(c_);
    if (!peek(ch)) {
      c_.pos = save;
      return false;
    }
    ++c_.pos;
    return true;
  }

  Status gap();

  // Counts one unit of work for the interrupt poll, plus one per 256 bytes
  // of text read for it; true once the hook asked to stop.
  // (The audit counts one turn here: the bytes are counted where they are
  // read, by the lexer and the comment loop.)
  bool tick(std::size_t bytes = 0) {
    audit_work();
    const std::size_t weight = std::min<std::size_t>(bytes >> 8, InterruptPoll::kStride);
    return poll_.tick(1 + static_cast<std::uint32_t>(weight));
  }

  // The same, weighing the bytes the cursor moved on since the last count
  // made here.
  bool tick_moved() {
    const std::size_t moved = c_.pos > moved_from_ ? c_.pos - moved_from_ : 0;
    moved_from_ = c_.pos;
    return tick(moved);
  }

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
  LUMO_ALWAYS_INLINE ExprId fold(std::size_t mark, bool all);
  LUMO_NOINLINE ExprId fold_long(std::size_t mark, bool all);

  InterruptPoll poll_;
  std::size_t moved_from_ = 0;  // cursor position at the last tick_moved()
  std::string_view source_;
  ParsedDocument doc_;
  Cursor c_;  // over the document's copy of the source
  std::vector<Expectation> err_;
  std::string tag_;       // scratch for quoted strings
  std::string_view tv_;   // the last tag read
  ExprId term_ = 0;       // the term the expression machine just read
  std::vector<ExprFrame> frames_;
  std::vector<ExprId> items_;
  std::vector<ExprId> root_exprs_;
  std::vector<EntryId> bodies_;  // open subject bodies: the entry they belong to
  ExprId empty_all_ = 0;
};

ExprId Parser::fold(std::size_t mark, bool all) {
  const std::size_t count = items_.size() - mark;
  if (count > InterruptPoll::kBlock) [[unlikely]]
    return fold_long(mark, all);
  const ExprId v = fold_list(doc_.exprs, items_.data() + mark, count, all);
  items_.resize(mark);
  return v;
}

ExprId Parser::fold_long(std::size_t mark, bool all) {
  const ExprId v =
      fold_long_list(doc_.exprs, items_.data() + mark, items_.size() - mark, all, poll_);
  items_.resize(mark);
  return v;
}

// gap: white space and "//" comments, each ended by a line feed, CR LF or
// the end of the text. Each gap and each comment counts as work: the gaps
// are where statements and subject entries begin.
Status Parser::gap() {
  if (tick_moved()) return Status::Stopped;
  white_space(c_);
  const std::string_view t = c_.text;
  while (c_.text.size() - c_.pos >= 2 && t[c_.pos] == '/' && t[c_.pos + 1] == '/') {
    std::size_t i = c_.pos + 2;
    // A comment is read a stretch of kRunStretch bytes at a time.
    for (;;) {
      const std::size_t from = i;
      const std::size_t end = t.size() - i > kRunStretch ? i + kRunStretch : t.size();
      while (i < end && t[i] != '\r' && t[i] != '\n') ++i;
      audit_work((i - from) * InterruptPoll::kTurnsPerUnit / InterruptPoll::kBytesPerUnit);
      if (i < end || end == t.size()) break;
      if (tick(i - from)) return Status::Stopped;
    }
    if (i < t.size() && t[i] == '\r' && (i + 1 >= t.size() || t[i + 1] != '\n')) {
      break;  // a lone CR ends no comment: leave the "//" to the caller
    }
    c_.pos = i;
    if (tick_moved()) return Status::Stopped;
    white_space(c_);
  }
  return Status::Ok;
}

// item { blanks sep blanks item }
//
// The one repetition of the grammar's lists (identities, path names, meta
// queries). A first item that fails gives its status as it is; a later one
// that is Recoverable ends the list before its separator.
template <class Item>
Status Parser::separated(char sep, Item item) {
  if (tick_moved()) return Status::Stopped;
  Status s = item();
  while (s == Status::Ok) {
    const std::size_t save = c_.pos;
    if (!separator(sep)) return Status::Ok;
    if (tick_moved()) return Status::Stopped;
    s = item();
    if (s == Status::Recoverable) {
      c_.pos = save;
      return Status::Ok;
    }
  }
  return s;
}

// tag_name, into tv_: Recoverable with [expected tag] and the cursor
// unchanged where none starts; Fatal with [expected `string`] and the cursor
// at the fault for a malformed quoted string.
Status Parser::tag() {
  switch (read_tag(c_, tag_, tv_)) {
    case TagStatus::Ok:
      return Status::Ok;
    case TagStatus::NoTag:
      fail({expected("tag")});
      return Status::Recoverable;
    case TagStatus::BadString:
      break;
  }
  fail({expected_literal("string")});
  return Status::Fatal;
}

Status Parser::tag_item(std::vector<std::string>& out) {
  const Status s = tag();
  if (s == Status::Ok) out.emplace_back(tv_);
  return s;
}

// Copies the source into the document in slices, each counted as the work
// of its bytes, so that a long text is polled while it is copied too. False
// when the hook asked to stop.
bool Parser::copy_source() {
  constexpr std::size_t kSlice = std::size_t{256} * InterruptPoll::kStride;
  char* copy = doc_.exprs.text_storage(source_.size());
  for (std::size_t at = 0; at < source_.size(); at += kSlice) {
    const std::size_t n = std::min(kSlice, source_.size() - at);
    std::memcpy(copy + at, source_.data() + at, n);
    if (poll_.tick(static_cast<std::uint32_t>(n >> 8))) return false;
  }
  c_ = Cursor{std::string_view(copy, source_.size()), 0, &poll_};
  return true;
}

// statement: subject_body | meta_queries | and_list
Status Parser::statement() {
  if (peek('{')) return subject_body();
  if (peek('[')) return meta_queries();
  ExprId v;
  const Status s = and_list(v);
  if (s == Status::Ok) root_exprs_.push_back(v);
  return s;
}

// and_list: or_list { blanks "," blanks or_list }
// or_list:  term { blanks "/" blanks term }
// term:     "-" blanks term | "(" blanks [and_list] blanks ")" | tag_name
//
// The steps below run over frames_: a List frame for each open and_list (the
// bottom one is this call's, each one above it a parenthesis), a Neg frame
// for each pending "-". Each step returns the next one.
Status Parser::and_list(ExprId& out) {
  const std::size_t base = frames_.size();
  const std::size_t items_base = items_.size();
  frames_.push_back({FrameKind::List, false, ListState::First, 0, items_base, items_base, 0});
  Step step = Step::TermStart;
  for (;;) {
    switch (step) {
      case Step::TermStart: step = term_start(); break;
      case Step::TermDone: step = term_done(); break;
      case Step::TermFail: step = term_fail(); break;
      case Step::OrDone: step = or_done(); break;
      case Step::AndDone: step = and_done(); break;
      case Step::Done:
        out = term_;
        return Status::Ok;
      case Step::NoList:
      case Step::Fatal:
      case Step::Stopped:
        return leave_and_list(step, base, items_base);
    }
  }
}

// A term starts: "-" and "(" push a frame, a tag name is a whole term.
Parser::Step Parser::term_start() {
  const std::size_t start = c_.pos;
  if (c_.at_end()) return Step::TermFail;
  const char ch = c_.text[start];
  if (ch == '-') {
    frames_.push_back({FrameKind::Neg, false, ListState::First, start, 0, 0, 0});
    ++c_.pos;
    blanks(c_);
    return tick() ? Step::Stopped : Step::TermStart;
  }
  if (ch == '(') {
    ++c_.pos;
    blanks(c_);
    const std::size_t mark = items_.size();
    frames_.push_back({FrameKind::List, true, ListState::First, start, mark, mark, c_.pos});
    return tick() ? Step::Stopped : Step::TermStart;
  }
  switch (read_tag(c_, tag_, tv_)) {
    case TagStatus::Ok:
      term_ = doc_.exprs.add_stored_tag(stored(tv_), Span{start, c_.pos});
      return tick(c_.pos - start) ? Step::Stopped : Step::TermDone;
    case TagStatus::NoTag:
      return Step::TermFail;
    case TagStatus::BadString:
      break;
  }
  fail({expected_literal("string")});
  return Step::Fatal;
}

// No term where the top frame wanted one.
Parser::Step Parser::term_fail() {
  ExprFrame& f = frames_.back();
  if (f.kind == FrameKind::Neg) {
    // "-" term failed; the "(" alternative then fails at the "-".
    c_.pos = f.pos;
    frames_.pop_back();
    return Step::TermFail;
  }
  if (f.state != ListState::First) {
    // A separator that no term follows is left unread.
    c_.pos = f.pos;
    return f.state == ListState::AfterSlash ? Step::OrDone : Step::AndDone;
  }
  // The list's first term failed, so its and_list fails.
  const bool paren = f.paren;
  const std::size_t opt_start = f.opt_start;
  frames_.pop_back();
  if (!paren) return Step::NoList;
  // The optional and_list is absent: "(" blanks blanks ")".
  c_.pos = opt_start;
  blanks(c_);
  if (!peek(')')) {
    fail({});
    return Step::Fatal;
  }
  ++c_.pos;
  term_ = empty_all_;
  return Step::TermDone;
}

// A term was read: pending "-" apply to it, it joins the or_list, and a "/"
// asks for the next term.
Parser::Step Parser::term_done() {
  while (frames_.back().kind == FrameKind::Neg) {
    if (tick()) return Step::Stopped;
    term_ = doc_.exprs.add_not(term_);
    frames_.pop_back();
  }
  items_.push_back(term_);
  ExprFrame& f = frames_.back();
  const std::size_t save = c_.pos;
  if (!separator('/')) return Step::OrDone;
  f.state = ListState::AfterSlash;
  f.pos = save;
  return Step::TermStart;
}

// An or_list ended: it joins the and_list, and a "," asks for the next one.
Parser::Step Parser::or_done() {
  ExprFrame& f = frames_.back();
  items_.push_back(fold(f.or_mark, false));
  const std::size_t save = c_.pos;
  if (!separator(',')) return Step::AndDone;
  f.state = ListState::AfterComma;
  f.pos = save;
  f.or_mark = items_.size();
  return Step::TermStart;
}

// An and_list ended: the bottom one is the result, a parenthesised one must
// be closed by ")" and is then a term.
Parser::Step Parser::and_done() {
  ExprFrame& f = frames_.back();
  term_ = fold(f.and_mark, true);
  const bool paren = f.paren;
  frames_.pop_back();
  if (!paren) return Step::Done;
  if (tick()) return Step::Stopped;
  blanks(c_);
  if (!peek(')')) {
    fail({});
    return Step::Fatal;
  }
  ++c_.pos;
  return Step::TermDone;
}

// Clears what a failed and_list left on the stacks. NoList: its first term
// failed (Recoverable). Fatal: every and_list still open adds its label.
Status Parser::leave_and_list(Step step, std::size_t base, std::size_t items_base) {
  Status s = Status::Stopped;
  if (step == Step::NoList) {
    fail({invalid("expression")});
    s = Status::Recoverable;
  } else if (step == Step::Fatal) {
    std::size_t lists = 0;
    if (poll_.for_each(base, frames_.size(), [&](std::size_t i) {
          lists += frames_[i].kind == FrameKind::List;
        })) {
      label(invalid("expression"), lists);
      s = Status::Fatal;
    }
  }
  frames_.resize(base);
  items_.resize(items_base);
  return s;
}

// subject_body: "{" { gap subject_entry } gap "}"
//
// One turn reads an entry or the "}" of the innermost open body. A children
// part pushes the body it opens on bodies_, so nested bodies are read by
// this same loop.
Status Parser::subject_body() {
  // The cursor stands at "{".
  ++c_.pos;
  bodies_.assign(1, 0);  // the root entry
  do {
    if (gap() != Status::Ok) return leave_bodies(Status::Stopped);
    Status s = subject_entry();
    if (s == Status::Recoverable) s = body_end();
    if (s != Status::Ok) return leave_bodies(s);
  } while (!bodies_.empty());
  return Status::Ok;
}

// No further entry: the innermost body must close here.
Status Parser::body_end() {
  if (!peek('}')) {
    fail({expected("}")});
    return Status::Fatal;
  }
  ++c_.pos;
  bodies_.pop_back();
  return Status::Ok;
}

// A failure leaving k nested bodies passes k-1 children parts.
Status Parser::leave_bodies(Status s) {
  if (s == Status::Fatal) label(invalid("children"), bodies_.size() - 1);
  bodies_.clear();
  return s;
}

// subject_entry: subject [identities_part] [name_part] [relation_part]
//                [expression_part] [children_part]
// subject:       tag_name | "*"
//
// Recoverable, with the cursor unchanged, where no subject starts.
Status Parser::subject_entry() {
  const std::size_t start = c_.pos;
  const bool star = peek('*');
  if (star) {
    ++c_.pos;
  } else {
    const TagStatus st = read_tag(c_, tag_, tv_);
    if (st == TagStatus::NoTag) return Status::Recoverable;
    if (st == TagStatus::BadString) {
      fail({expected_literal("string"), invalid("subject"), expected("tag")});
      return Status::Fatal;
    }
  }
  const EntryId id = doc_.entries.size();
  SubjectEntry& e = new_entry(Span{start, c_.pos});
  if (star) {
    e.name.assign(1, '*');
  } else {
    e.name = tv_;
  }
  Status s = identities_part(e);
  if (s != Status::Ok) return s;
  if (!star) e.identities.push_back(e.name);  // the subject tag comes last
  s = name_part(e);
  if (s == Status::Ok) s = relation_part(e);
  if (s == Status::Ok) s = expression_part(e);
  if (s == Status::Ok) children_part(id);
  return s;
}

// Appends an entry to the innermost open body.
SubjectEntry& Parser::new_entry(Span span) {
  const EntryId id = doc_.entries.size();
  const EntryId parent = bodies_.back();
  SubjectEntry& e = doc_.entries.emplace_back();
  doc_.entries[parent].children.push_back(id);
  e.parent = parent;
  e.span = span;
  e.expression = empty_all_;
  return e;
}

// identities_part: "(" blanks [tag_name {blanks "," blanks tag_name}] blanks ")"
Status Parser::identities_part(SubjectEntry& e) {
  if (!peek('(')) return Status::Ok;
  ++c_.pos;
  blanks(c_);
  const Status s = separated(',', [&] { return tag_item(e.identities); });
  if (s == Status::Stopped) return s;
  if (s == Status::Fatal) {
    err_.push_back(invalid("identities"));
    return s;
  }
  blanks(c_);
  if (!peek(')')) {
    fail({invalid("identities")});
    return Status::Fatal;
  }
  ++c_.pos;
  return Status::Ok;
}

// name_part: blanks "@" tag_name
Status Parser::name_part(SubjectEntry& e) {
  if (!opens('@')) return Status::Ok;
  if (tag() != Status::Ok) {
    err_.push_back(invalid("name"));
    return Status::Fatal;
  }
  e.name = tv_;
  return Status::Ok;
}

// relation_part: blanks ">" blanks path [relation_context]
Status Parser::relation_part(SubjectEntry& e) {
  if (!opens('>')) return Status::Ok;
  blanks(c_);
  RelationSpec rel;
  Status s = path(rel.target);
  if (s == Status::Ok && peek('(')) s = relation_context(rel);
  if (s == Status::Stopped) return s;
  if (s != Status::Ok) {
    err_.push_back(invalid("relation"));
    return Status::Fatal;
  }
  e.relation = std::move(rel);
  return Status::Ok;
}

// relation_context: "(" blanks path blanks ")"
Status Parser::relation_context(RelationSpec& rel) {
  ++c_.pos;
  blanks(c_);
  const Status s = path(rel.context.emplace());
  if (s != Status::Ok) return s;
  blanks(c_);
  if (!peek(')')) {
    fail({});
    return Status::Fatal;
  }
  ++c_.pos;
  return Status::Ok;
}

// path: "@" tag_name {blanks "." blanks tag_name}
Status Parser::path(NamePath& out) {
  const std::size_t at = c_.pos;
  if (!peek('@')) {
    fail({});
    return Status::Recoverable;
  }
  ++c_.pos;
  const Status s = separated('.', [&] { return tag_item(out.names); });
  if (s != Status::Ok) return s;
  out.span = Span{at, c_.pos};
  return Status::Ok;
}

// expression_part: blanks ":" blanks and_list
Status Parser::expression_part(SubjectEntry& e) {
  if (!opens(':')) return Status::Ok;
  blanks(c_);
  const Status s = and_list(e.expression);
  // After ":" an and_list must follow; err_ holds [invalid expression].
  return s == Status::Recoverable ? Status::Fatal : s;
}

// children_part: blanks subject_body
void Parser::children_part(EntryId id) {
  if (opens('{')) bodies_.push_back(id);
}

// meta_queries: "[" blanks [meta_query {blanks "," blanks meta_query}] "]" blanks
Status Parser::meta_queries() {
  // The cursor stands at "[".
  ++c_.pos;
  blanks(c_);
  const Status s = separated(',', [&] { return meta_query(); });
  if (s == Status::Fatal || s == Status::Stopped) return s;
  if (!peek(']')) {
    fail({});
    return Status::Fatal;
  }
  ++c_.pos;
  blanks(c_);
  return Status::Ok;
}

// meta_query: ["-"] tag_name ":" tag_name
//
// Recoverable, with the cursor unchanged, unless it is all there.
Status Parser::meta_query() {
  const std::size_t start = c_.pos;
  MetaQuery m;
  m.negated = peek('-');
  if (m.negated) ++c_.pos;
  Status s = tag();
  if (s == Status::Ok && !peek(':')) s = Status::Recoverable;
  if (s == Status::Ok) {
    m.key = tv_;
    ++c_.pos;
    s = tag();
  }
  if (s == Status::Recoverable) c_.pos = start;
  if (s != Status::Ok) return s;
  m.value = tv_;
  doc_.meta_queries.push_back(std::move(m));
  return Status::Ok;
}

// document: { gap statement } gap
Result<ParsedDocument, LocatedFailure> Parser::run() {
  if (!copy_source()) return make_err(LocatedFailure{{}, 0, true});
  doc_.entries.emplace_back();
  {
    SubjectEntry& root = doc_.entries[0];
    root.identities.push_back("context");
    root.span = Span{0, c_.text.size()};
  }
  empty_all_ = doc_.exprs.add_empty_all();

  for (;;) {
    Status s = gap();
    const std::size_t start = c_.pos;
    if (s == Status::Ok) s = statement();
    if (s == Status::Ok) continue;
    // A stop seen inside a loop may leave an error behind it: the stop wins.
    if (s == Status::Stopped || poll_.stopped()) return make_err(LocatedFailure{{}, c_.pos, true});
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
    doc_.entries[0].expression = fold_list(doc_.exprs, std::move(root_exprs_), true, &poll_);
  }
  if (poll_.stopped()) return make_err(LocatedFailure{{}, c_.pos, true});
  return std::move(doc_);
}

// An ASCII byte that is not white space ends the trim at once.
bool ascii_not_white(unsigned char b) { return b < 0x80 && b != ' ' && (b < 0x09 || b > 0x0D); }

// The trims tick `poll` (when given) for each character they remove, and
// stop early once it says stop.
std::size_t trim_front(std::string_view t, InterruptPoll* poll) {
  std::size_t i = 0;
  for (std::size_t turn = 0; i < t.size(); ++turn) {
    if (ascii_not_white(static_cast<unsigned char>(t[i]))) break;
    if (poll != nullptr && poll->turn_at(turn)) break;
    std::size_t len;
    char32_t ch = decode_utf8(t, i, len);
    if (!is_text_white_space(ch)) break;
    i += len;
  }
  return i;
}

std::size_t trim_back(std::string_view t, std::size_t lo, InterruptPoll* poll) {
  std::size_t end = t.size();
  for (std::size_t turn = 0; end > lo; ++turn) {
    if (ascii_not_white(static_cast<unsigned char>(t[end - 1]))) break;
    if (poll != nullptr && poll->turn_at(turn)) break;
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

std::string_view trim_text(std::string_view text, InterruptPoll* poll) {
  std::size_t lo = trim_front(text, poll);
  std::size_t hi = trim_back(text, lo, poll);
  return text.substr(lo, hi - lo);
}

Result<ParsedDocument, LocatedFailure> parse_trimmed(std::string_view trimmed,
                                                     Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  if (poll.tick(InterruptPoll::kStride)) {  // once before the text is copied
    LocatedFailure f;
    f.interrupted = true;
    return make_err(std::move(f));
  }
  Parser p(trimmed, poll);
  return p.run();
}

Result<ParsedDocument, ParseErrorReport> parse_document(std::string_view text,
                                                        Interrupt* interrupt) {
  InterruptPoll trim_poll(interrupt);
  std::string_view trimmed = trim_text(text, &trim_poll);
  if (trim_poll.stopped()) {
    ParseErrorReport stopped;
    stopped.interrupted = true;
    return make_err(std::move(stopped));
  }
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
