// Why a query does or does not hold in a graph.
//
// The verdict comes from the steps of is_match(), in its order: feasible(0, 0)
// over the same Feasibility, then, with relation entries, the same search.
// What follows only reads the memo those steps left, or extends it:
//
//   * Match: the root is on the graph root, the subjects the relation search
//     placed keep their places, and every other subject, in pre-order, takes
//     the first feasible candidate inside its parent's graph subject (any,
//     for a relation subject). Feasibility guarantees one exists.
//   * No match, root expression: the reasons on the graph root.
//   * No match, placement: from the root down, the first child with no
//     feasible candidate inside its parent's graph subject; if one of those
//     candidates satisfies the child's own expression, the failure lies below
//     it, and the walk goes on there (one step per query level, on an
//     explicit loop). Otherwise every candidate fails on its expression: the
//     report lists the closest, fewest reasons first.
//   * No match, relations: for each query entry, whether some graph
//     relation has feasible subjects at every position.
//
// The walk revisits the scans feasibility made (memo hits, Dead subtrees
// skipped alike). The rest is bounded by fixed budgets: kExamined candidates
// get reasons, each from at most kReasonSteps expression nodes with
// kItemsPerList items tested per list; kRelationChecks (entry, graph
// relation) pairs; printed expressions stop after kPrinted bytes. Every loop
// ticks the poll.

#include "eval/explain.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "eval/candidates.h"
#include "eval/feasibility.h"
#include "eval/match_expr.h"
#include "eval/relation_search.h"

namespace lumo {

namespace {

constexpr SubjectIndex kNone = SIZE_MAX;
constexpr std::size_t kExamined = 64;
constexpr std::size_t kReasonSteps = 16;
constexpr std::size_t kItemsPerList = 16;
constexpr std::size_t kPrinted = 60;
constexpr std::size_t kRelationChecks = std::size_t{1} << 16;
constexpr std::size_t kPathSteps = 3;
constexpr std::size_t kListedPlacements = 1000;

class Explainer {
 public:
  Explainer(const Query& query, const IndexedGraph& graph, InterruptPoll& poll)
      : query_(query), graph_(graph), poll_(poll) {}

  Explanation run() {
    Explanation out;
    if (query_.subjects.empty() || graph_.size() == 0) {
      out.kind = ExplainKind::EmptyGraph;
      return out;
    }
    f_.emplace(query_, graph_, poll_);
    if (!f_->feasible(0, 0)) {
      if (!poll_.stopped()) diagnose(out);
      return out;
    }
    std::vector<SubjectIndex> at(query_.subjects.size(), kNone);
    if (!query_.relations.empty() && !search_relations(query_, graph_, *f_, at)) {
      if (!poll_.stopped()) {
        out.kind = ExplainKind::Relations;
        check_relations(out);
      }
      return out;
    }
    out.kind = ExplainKind::Match;
    assign(out, at);
    return out;
  }

 private:
  Feasibility& f() { return *f_; }

  void start(Scan& scan, SubjectIndex q, SubjectIndex within) {
    scan.init(&f().candidates(q), f().is_relation(q) ? nullptr : &graph_.range(within));
  }

  // The first feasible candidate of q inside `within` (anywhere, for a
  // relation subject), or kNone.
  SubjectIndex first_feasible(SubjectIndex q, SubjectIndex within) {
    if (f().hopeless(q)) return kNone;
    Scan scan;
    start(scan, q, within);
    while (const Cand* c = scan.peek()) {
      if (poll_.turn()) return kNone;
      Memo m = f().memo(q, c->g);
      if (m == Memo::Unknown) {
        if (f().feasible(q, c->g)) return c->g;
        if (poll_.stopped()) return kNone;
        m = f().memo(q, c->g);
      }
      if (m == Memo::True) return c->g;
      if (m == Memo::Dead) {
        scan.skip_subtree(*c);
      } else {
        scan.advance();
      }
    }
    return kNone;
  }

  bool tag_holds(std::string_view tag, SubjectIndex g) {
    (void)poll_.tick_bytes(tag.size());
    const TagId t = graph_.tags.find(tag);
    return t != kNoTag && graph_.occurs(t, graph_.range(g));
  }

  bool holds(ExprId e, SubjectIndex g) {
    return tester_.test(
        query_.exprs, e, [&](ExprId, std::string_view tag) { return tag_holds(tag, g); }, poll_);
  }

  // Why q's expression fails on g: the tags that decide it, looked for
  // through negations and through lists that need every item.
  std::vector<std::string> reasons(SubjectIndex q, SubjectIndex g) {
    std::vector<std::string> out;
    std::vector<std::pair<ExprId, bool>> stack;  // node, the value it needed
    stack.emplace_back(query_.subjects[q].expression, true);
    for (std::size_t steps = 0; !stack.empty() && out.size() < kExplainReasons &&
                                steps < kReasonSteps;
         ++steps) {
      if (poll_.turn()) break;
      const auto [id, want] = stack.back();
      stack.pop_back();
      const ExprNode& node = query_.exprs[id];
      switch (node.kind) {
        case ExprKind::Tag:
          if (tag_holds(node.tag, g) != want) {
            out.push_back(want ? "lacks `" + std::string(node.tag) + "`"
                               : "has `" + std::string(node.tag) + "`, which the query excludes");
          }
          break;
        case ExprKind::Not:
          stack.emplace_back(node.operand, !want);
          break;
        case ExprKind::List:
          if (node.all == want) {
            // Every item must come out as `want`: look into those that do
            // not, in text order.
            const std::size_t tested = std::min(node.items.size(), kItemsPerList);
            const std::size_t before = stack.size();
            for (std::size_t k = tested; k-- > 0;) {
              if (poll_.turn()) break;
              if (holds(node.items[k], g) != want) stack.emplace_back(node.items[k], want);
            }
            if (stack.size() == before) out.push_back(unsatisfied(id, want));
          } else {
            out.push_back(unsatisfied(id, want));
          }
          break;
      }
    }
    if (out.empty()) out.push_back(unsatisfied(query_.subjects[q].expression, true));
    return out;
  }

  std::string unsatisfied(ExprId e, bool want) {
    return "does not satisfy `" + print(e, !want) + "`";
  }

  // The expression as text, cut after kPrinted bytes.
  std::string print(ExprId e, bool negated) {
    std::string out = negated ? "-(" : "";
    struct Item {
      ExprId id;
      std::size_t next;
    };
    std::vector<Item> stack{{e, 0}};
    while (!stack.empty() && out.size() <= kPrinted) {
      if (poll_.turn()) break;
      const Item it = stack.back();
      const ExprNode& node = query_.exprs[it.id];
      const bool top = stack.size() == 1;
      switch (node.kind) {
        case ExprKind::Tag:
          out += node.tag.substr(0, kPrinted);
          stack.pop_back();
          break;
        case ExprKind::Not:
          if (it.next == 0) {
            out += '-';
            stack.back().next = 1;
            stack.push_back(Item{node.operand, 0});
          } else {
            stack.pop_back();
          }
          break;
        case ExprKind::List:
          if (it.next == 0 && !top) out += '(';
          if (it.next == node.items.size()) {
            if (!top) out += ')';
            stack.pop_back();
            break;
          }
          if (it.next > 0) out += node.all ? ", " : " / ";
          stack.back().next = it.next + 1;
          stack.push_back(Item{node.items[it.next], 0});
          break;
      }
    }
    if (!stack.empty()) out += "...";
    if (negated) out += ')';
    return out;
  }

  void diagnose(Explanation& out) {
    const auto& subjects = query_.subjects;
    if (!holds(subjects[0].expression, 0)) {
      if (poll_.stopped()) return;
      out.kind = ExplainKind::RootExpression;
      out.candidates = 1;
      out.closest.push_back(CandidateNote{0, reasons(0, 0)});
      return;
    }
    SubjectIndex q = 0;
    SubjectIndex g = 0;
    out.assignment.emplace_back(0, 0);
    while (!poll_.turn()) {
      // The child of q with no place inside g.
      SubjectIndex failing = kNone;
      for (const SubjectIndex c : f().children(q)) {
        if (first_feasible(c, g) == kNone) {
          failing = c;
          break;
        }
        if (poll_.stopped()) return;
      }
      if (failing == kNone || poll_.stopped()) return;
      // A candidate whose own expression holds failed below: go there.
      Scan scan;
      start(scan, failing, g);
      SubjectIndex deeper = kNone;
      while (const Cand* c = scan.peek()) {
        if (poll_.turn()) return;
        const Memo m = f().memo(failing, c->g);
        if (m == Memo::Dead || (m != Memo::True && holds(subjects[failing].expression, c->g))) {
          deeper = c->g;
          break;
        }
        scan.advance();
      }
      if (poll_.stopped()) return;
      if (deeper == kNone) {
        out.kind = ExplainKind::Unplaced;
        out.subject = failing;
        out.anywhere = f().is_relation(failing);
        out.parent_graph = out.anywhere ? 0 : g;
        list_candidates(out, failing, g);
        return;
      }
      out.assignment.emplace_back(failing, deeper);
      q = failing;
      g = deeper;
    }
  }

  void list_candidates(Explanation& out, SubjectIndex c, SubjectIndex within) {
    Scan scan;
    start(scan, c, within);
    const auto& cands = f().candidates(c).cands;
    if (scan.anywhere) {
      out.candidates = cands.size();
    } else {
      const auto end = std::lower_bound(cands.begin(), cands.end(), scan.hi,
                                        [](const Cand& x, Pos v) { return x.start < v; });
      out.candidates = static_cast<std::size_t>(end - cands.begin()) - scan.pos;
    }
    std::vector<CandidateNote> notes;
    while (const Cand* cand = scan.peek()) {
      if (notes.size() == kExamined || poll_.turn()) break;
      notes.push_back(CandidateNote{cand->g, reasons(c, cand->g)});
      scan.advance();
    }
    std::stable_sort(notes.begin(), notes.end(), [](const CandidateNote& a, const CandidateNote& b) {
      return a.reasons.size() < b.reasons.size();
    });
    if (notes.size() > kExplainShown) notes.resize(kExplainShown);
    out.closest = std::move(notes);
  }

  bool fits(SubjectIndex q, SubjectIndex g) {
    if (q == 0) return g == 0;
    const auto& ids = query_.subjects[q].identities;
    if (!ids.empty() && !graph_.has_identity(g, ids.front())) return false;
    return f().feasible(q, g);
  }

  void check_relations(Explanation& out) {
    // In subject order: the table's own order is its hash's.
    std::vector<RelationEntry> entries;
    for (const auto& entry : query_.relations) {
      if (poll_.turn()) return;
      entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const RelationEntry& a, const RelationEntry& b) {
      return a.first.subject < b.first.subject;
    });
    (void)poll_.tick_turns(entries.size());
    std::size_t budget = kRelationChecks;
    for (const auto& [key, ctx] : entries) {
      bool met = false;
      for (const auto& [link, link_ctx] : graph_.relations) {
        if (budget-- == 0) {
          out.relations_checked = false;
          return;
        }
        if (poll_.turn()) return;
        if (fits(key.subject, link.subject) && fits(key.source, link.source) &&
            fits(key.target, link.target) && (ctx.implicit || fits(ctx.context, link_ctx.context))) {
          met = true;
          break;
        }
      }
      if (poll_.stopped()) return;
      if (!met) out.unmet.push_back(key.subject);
    }
  }

  // `at`: the places the relation search gave, kNone elsewhere.
  void assign(Explanation& out, std::vector<SubjectIndex>& at) {
    const auto& subjects = query_.subjects;
    at[0] = 0;
    for (SubjectIndex q = 1; q < subjects.size(); ++q) {
      if (poll_.turn()) return;
      if (at[q] == kNone) at[q] = first_feasible(q, at[subjects[q].parent]);
      if (at[q] == kNone) return;  // interrupted
    }
    out.assignment.reserve(subjects.size());
    for (SubjectIndex q = 0; q < subjects.size(); ++q) {
      if (poll_.turn()) return;
      out.assignment.emplace_back(q, at[q]);
    }
  }

  const Query& query_;
  const IndexedGraph& graph_;
  InterruptPoll& poll_;
  std::optional<Feasibility> f_;
  ExprTester tester_;
};

// Names of subjects by their paths of identities.
class Labels {
 public:
  Labels(const Query& query, const IndexedGraph& graph, InterruptPoll& poll)
      : query_(query), graph_(graph), poll_(poll) {}

  std::string query_subject(SubjectIndex q) {
    if (q == 0) return "(root)";
    std::vector<std::string_view> steps;
    SubjectIndex s = q;
    while (s != 0 && steps.size() < kPathSteps) {
      const auto& ids = query_.subjects[s].identities;
      steps.push_back(ids.empty() ? std::string_view("*") : std::string_view(ids.front()));
      s = query_.subjects[s].parent;
    }
    return path(steps, s != 0);
  }

  // Empty when interrupted.
  std::string graph_subject(SubjectIndex g) {
    const std::string number = " #" + std::to_string(graph_.range(g).start);
    if (g == 0) return "`(root)`" + number;
    if (!ready_ && !prepare()) return "";
    std::vector<std::string_view> steps;
    SubjectIndex s = g;
    while (s != 0 && steps.size() < kPathSteps) {
      steps.push_back(identity_[s] == kNoTag ? std::string_view("*") : graph_.tags.text(identity_[s]));
      s = parent_[s];
    }
    return "`" + path(steps, s != 0) + "`" + number;
  }

 private:
  static std::string path(const std::vector<std::string_view>& steps, bool more) {
    std::string out = more ? "... > " : "";
    for (std::size_t k = steps.size(); k-- > 0;) {
      out += steps[k];
      if (k > 0) out += " > ";
    }
    return out;
  }

  // Each graph subject's parent, and its identity that sorts first.
  bool prepare() {
    const std::size_t n = graph_.size();
    std::vector<SubjectIndex> by_start(n);
    parent_.assign(n, 0);
    identity_.assign(n, kNoTag);
    if (!poll_.for_each(n, [&](SubjectIndex g) { by_start[graph_.range(g).start] = g; }))
      return false;
    std::vector<SubjectIndex> open;
    for (std::size_t i = 0; i < n; ++i) {
      if (poll_.turn()) return false;
      const SubjectIndex s = by_start[i];
      while (!open.empty() && graph_.range(open.back()).end <= graph_.range(s).start) {
        if (poll_.turn()) return false;
        open.pop_back();
      }
      parent_[s] = open.empty() ? s : open.back();
      open.push_back(s);
    }
    for (TagId t = 0; t < graph_.tags.size(); ++t) {
      if (poll_.turn()) return false;
      const std::string_view text = graph_.tags.text(t);
      for (const std::uint32_t s : graph_.carriers(t)) {
        if (poll_.turn()) return false;
        TagId& best = identity_[s];
        if (best == kNoTag || text < graph_.tags.text(best)) best = t;
        (void)poll_.tick_bytes(text.size());
      }
    }
    ready_ = true;
    return true;
  }

  const Query& query_;
  const IndexedGraph& graph_;
  InterruptPoll& poll_;
  bool ready_ = false;
  std::vector<SubjectIndex> parent_;
  std::vector<TagId> identity_;
};

std::string join_reasons(const std::vector<std::string>& reasons) {
  std::string out;
  for (std::size_t k = 0; k < reasons.size(); ++k) {
    if (k > 0) out += "; ";
    out += reasons[k];
  }
  return out;
}

std::string render(const Query& query, const IndexedGraph& graph, const Explanation& e,
                   InterruptPoll& poll) {
  Labels labels(query, graph, poll);
  std::string out;
  const auto placement = [&](SubjectIndex q, SubjectIndex g) {
    out += "  `" + labels.query_subject(q) + "` -> " + labels.graph_subject(g) + "\n";
  };
  const auto notes = [&](const std::string& indent) {
    for (const CandidateNote& note : e.closest) {
      if (poll.turn()) return;
      out += indent + labels.graph_subject(note.graph_subject) + ": " +
             join_reasons(note.reasons) + "\n";
    }
  };
  switch (e.kind) {
    case ExplainKind::Match: {
      out = "match\n";
      const std::size_t n = std::min(e.assignment.size(), kListedPlacements);
      for (std::size_t k = 0; k < n && !poll.turn(); ++k)
        placement(e.assignment[k].first, e.assignment[k].second);
      if (e.assignment.size() > n)
        out += "  ... and " + std::to_string(e.assignment.size() - n) + " more\n";
      break;
    }
    case ExplainKind::EmptyGraph:
      out = "no match\n  the graph has no subjects\n";
      break;
    case ExplainKind::RootExpression:
      out = "no match\n  the query's top-level expression does not hold on the graph:\n";
      notes("    ");
      break;
    case ExplainKind::Unplaced: {
      out = "no match\n";
      // The placements above it, the last kPathSteps of them.
      const std::size_t n = e.assignment.size();
      const std::size_t from = n > kPathSteps ? n - kPathSteps : 0;
      if (from > 0) out += "  ... " + std::to_string(from) + " placements above\n";
      for (std::size_t k = from; k < n && !poll.turn(); ++k)
        placement(e.assignment[k].first, e.assignment[k].second);
      const std::string subject = "`" + labels.query_subject(e.subject) + "`";
      const std::string where = e.anywhere ? std::string("anywhere in the graph")
                                           : "inside " + labels.graph_subject(e.parent_graph);
      out += "  " + subject + " cannot be placed " + where + "\n";
      const auto& ids = query.subjects[e.subject].identities;
      if (e.candidates == 0) {
        out += "  no graph subject there has the identity `" +
               (ids.empty() ? std::string("*") : ids.front()) + "`\n";
        break;
      }
      out += "  closest graph subjects (" + std::to_string(e.closest.size()) + " of " +
             std::to_string(e.candidates) + "):\n";
      notes("    ");
      break;
    }
    case ExplainKind::Relations:
      out = "no match\n  every subject has a place, but no placement meets the relation entries\n";
      if (graph.relations.empty()) {
        out += "  the graph has no relations\n";
        break;
      }
      for (const SubjectIndex q : e.unmet) {
        if (poll.turn()) break;
        out += "  no graph relation fits `" + labels.query_subject(q) + "`\n";
      }
      if (e.unmet.empty() && e.relations_checked)
        out += "  each relation entry fits some graph relation, but no placement fits them all\n";
      if (!e.relations_checked) out += "  (not every relation entry was checked)\n";
      break;
  }
  return out;
}

}  // namespace

Result<Explanation, Interrupted> explain(const Query& query, const IndexedGraph& graph,
                                         Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  Explainer explainer(query, graph, poll);
  Explanation out = explainer.run();
  if (poll.stopped()) return make_err(Interrupted{});
  return out;
}

Result<std::string, Interrupted> render_explanation(const Query& query, const IndexedGraph& graph,
                                                    const Explanation& explanation,
                                                    Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  std::string text = render(query, graph, explanation, poll);
  if (poll.stopped()) return make_err(Interrupted{});
  return text;
}

Result<std::string, Interrupted> explain_text(const Query& query, const IndexedGraph& graph,
                                              Interrupt* interrupt) {
  auto explanation = explain(query, graph, interrupt);
  if (!explanation) return make_err(Interrupted{});
  return render_explanation(query, graph, explanation.value(), interrupt);
}

}  // namespace lumo
