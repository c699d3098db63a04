#include "index_dump.h"

#include <algorithm>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace lumo {

std::string dump_index(const IndexedGraph& g) {
  std::string out = "ranges";
  for (SubjectIndex i = 0; i < g.size(); ++i) {
    out += ' ' + std::to_string(g.range(i).start) + '-' + std::to_string(g.range(i).end);
  }
  std::vector<std::tuple<SubjectIndex, SubjectIndex, SubjectIndex, SubjectIndex, bool>> rels;
  for (const auto& [key, ctx] : g.relations)
    rels.emplace_back(key.subject, key.source, key.target, ctx.context, ctx.implicit);
  std::sort(rels.begin(), rels.end());
  out += "\nrelations";
  for (const auto& [s, src, dst, ctx, implicit] : rels) {
    out += ' ' + std::to_string(s) + ':' + std::to_string(src) + '>' + std::to_string(dst) +
           '(' + std::to_string(ctx) + (implicit ? "i)" : ")");
  }
  std::map<std::string, std::string> strings;
  for (TagId t = 0; t < g.tags.size(); ++t) {
    if (g.occ_begin[t] == g.occ_begin[t + 1] && g.id_begin[t] == g.id_begin[t + 1]) continue;
    std::string line = " at";
    for (std::uint32_t k = g.occ_begin[t]; k < g.occ_begin[t + 1]; ++k)
      line += ' ' + std::to_string(g.occ_pos[k]);
    line += " carried by";
    for (std::uint32_t k = g.id_begin[t]; k < g.id_begin[t + 1]; ++k)
      line += ' ' + std::to_string(g.id_subjects[k]);
    strings[std::string(g.tags.text(t))] = line;
  }
  for (const auto& [text, line] : strings) out += "\n\"" + text + '"' + line;
  return out + '\n';
}

std::string ranges_fault(const IndexedGraph& g) {
  const std::size_t n = g.size();
  if (n == 0) return "";
  if (g.range(0).start != 0 || g.range(0).end != n) return "the root's range is not [0, n)";
  std::vector<SubjectIndex> by_start(n, n);
  for (SubjectIndex i = 0; i < n; ++i) {
    const SubtreeRange& r = g.range(i);
    const std::string at = "subject " + std::to_string(i) + ": ";
    if (r.start >= r.end || r.end > n) return at + "range not proper";
    if (by_start[r.start] != n) return at + "start taken by another subject";
    by_start[r.start] = i;
  }
  // In start order, each range lies inside the innermost open one.
  std::vector<std::uint32_t> open_ends;
  for (std::uint32_t p = 0; p < n; ++p) {
    const SubtreeRange& r = g.range(by_start[p]);
    while (!open_ends.empty() && open_ends.back() <= p) open_ends.pop_back();
    if (!open_ends.empty() && r.end > open_ends.back())
      return "subject " + std::to_string(by_start[p]) + ": range crosses its parent's end";
    open_ends.push_back(r.end);
  }
  return "";
}

}  // namespace lumo
