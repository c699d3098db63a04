#include "shortcuts.h"

#include <utility>

#include "eval/collect.h"
#include "eval/match.h"

namespace lumo {

bool subtree_holds(const IndexedGraph& graph, SubjectIndex g, std::string_view tag) {
  const TagId t = graph.tags.find(tag);
  return t != kNoTag && graph.occurs(t, graph.range(g));
}

std::span<const std::uint32_t> with_identity(const IndexedGraph& graph, std::string_view id) {
  return graph.carriers(graph.tags.find(id));
}

IndexedGraph build_index(TagGraph graph) { return std::move(build_index(graph, nullptr)).value(); }

const IndexedGraph& ensure_index(GraphState& state) { return *state.ensure_index(nullptr); }

bool is_match(const Query& query, const IndexedGraph& graph) {
  return is_match(query, graph, nullptr).value();
}

std::vector<std::string> collect_tags(const IndexedGraph& graph) {
  std::vector<std::string> out;
  out.reserve(count_collected(graph));
  for_each_collected(graph, [&](std::string_view s) {
    out.emplace_back(s);
    return true;
  });
  return out;
}

namespace {

class CollectingSink final : public SqlParamSink {
 public:
  CollectingSink(std::size_t args_len, std::vector<SqlParam>& params)
      : args_len_(args_len), params_(params) {}
  bool append(SqlParam param, std::size_t& length_after) override {
    params_.push_back(std::move(param));
    length_after = args_len_ + params_.size();
    return true;
  }

 private:
  std::size_t args_len_;
  std::vector<SqlParam>& params_;
};

}  // namespace

SqlOutput to_sql(const Query& query, std::size_t args_len) {
  SqlOutput out;
  CollectingSink sink(args_len, out.params);
  (void)to_sql(query, sink, out.text);
  return out;
}

}  // namespace lumo
