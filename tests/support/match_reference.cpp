// The plain backtracking search (see match_reference.h), iterative.

#include "match_reference.h"
#include "shortcuts.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <numeric>
#include <vector>

namespace lumo {
namespace {

// Evaluates every node below `expr` bottom-up (no short cut) with an explicit
// stack; a separate formulation from the matcher's so the two check each
// other.
bool test_expression(const ExprPool& pool, ExprId expr, const IndexedGraph& graph,
                     SubjectIndex g) {
  struct Visit {
    ExprId id;
    bool expanded;
  };
  std::vector<Visit> todo{{expr, false}};
  std::vector<std::uint8_t> values;
  while (!todo.empty()) {
    Visit v = todo.back();
    todo.pop_back();
    const ExprNode& node = pool[v.id];
    if (node.kind == ExprKind::Tag) {
      values.push_back(subtree_holds(graph, g, node.tag) ? 1 : 0);
      continue;
    }
    if (!v.expanded) {
      todo.push_back({v.id, true});
      if (node.kind == ExprKind::Not) {
        todo.push_back({node.operand, false});
      } else {
        for (auto it = node.items.rbegin(); it != node.items.rend(); ++it) {
          todo.push_back({*it, false});
        }
      }
      continue;
    }
    if (node.kind == ExprKind::Not) {
      values.back() = values.back() ? 0 : 1;
      continue;
    }
    const std::size_t k = node.items.size();
    bool all_true = true;
    bool any_true = false;
    for (std::size_t i = values.size() - k; i < values.size(); ++i) {
      all_true = all_true && values[i];
      any_true = any_true || values[i];
    }
    values.resize(values.size() - k);
    values.push_back(node.all ? all_true : any_true);
  }
  return values.back() != 0;
}

bool relations_hold(const Query& query, const IndexedGraph& graph,
                    const std::vector<SubjectIndex>& a) {
  if (graph.relations.empty()) return query.relations.empty();
  for (const auto& [key, context] : query.relations) {
    const RelationKey wanted{a[key.subject], a[key.source], a[key.target]};
    auto found = std::find_if(graph.relations.begin(), graph.relations.end(),
                              [&](const auto& entry) { return entry.first == wanted; });
    if (found == graph.relations.end()) return false;
    if (!context.implicit && found->second.context != a[context.context]) return false;
  }
  return true;
}

}  // namespace

bool is_match_plain(const Query& query, const IndexedGraph& graph) {
  const auto& qs = query.subjects;
  std::vector<std::uint32_t> all_subjects(graph.size());
  std::iota(all_subjects.begin(), all_subjects.end(), std::uint32_t{0});
  if (!test_expression(query.exprs, qs[0].expression, graph, 0)) return false;
  const std::size_t n = qs.size();
  std::vector<SubjectIndex> a(n, 0);
  if (n == 1) return relations_hold(query, graph, a);

  std::vector<std::span<const std::uint32_t>> lists(n);
  std::vector<std::size_t> next(n, 0);
  auto enter = [&](SubjectIndex d) {
    next[d] = 0;
    lists[d] = qs[d].identities.empty() ? std::span<const std::uint32_t>(all_subjects)
                                        : with_identity(graph, qs[d].identities.front());
  };

  SubjectIndex d = 1;
  enter(d);
  while (true) {
    const QuerySubject& s = qs[d];
    const SubtreeRange& p = graph.range(a[s.parent]);
    const auto list = lists[d];
    bool placed = false;
    while (next[d] < list.size()) {
      SubjectIndex g = list[next[d]++];
      const SubtreeRange& r = graph.range(g);
      if (!s.relation && !(p.start <= r.start && r.end <= p.end)) continue;
      if (!test_expression(query.exprs, s.expression, graph, g)) continue;
      a[d] = g;
      if (d + 1 == n) {
        if (relations_hold(query, graph, a)) return true;
        continue;
      }
      placed = true;
      break;
    }
    if (placed) {
      ++d;
      enter(d);
    } else {
      if (d == 1) return false;
      --d;
    }
  }
}

}  // namespace lumo
