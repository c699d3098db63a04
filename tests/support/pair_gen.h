// Random query/graph text pairs for tests that compare answers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace lumo {

// A query and a graph drawn from one tree of subjects, so that the graph
// often nearly holds the query: the graph keeps most of the query's subjects,
// identities, tags and relations, loses or changes some, and gains extras.
class PairGen {
 public:
  explicit PairGen(std::uint32_t seed) : rng_(seed) {}

  std::pair<std::string, std::string> texts() {
    nodes_.clear();
    levels_.clear();
    grow(-1, 0);
    std::string q, g;
    if (chance(0.2)) q += pick({"a", "x", "-z", "x / y"}) + "\n";
    q += render(-1, false);
    g += render(-1, true);
    return {q, g};
  }

 private:
  struct Node {
    std::string subject;   // a tag or "*"
    std::string identity;  // "*" only: the identity in parentheses, or empty
    int target = -1;       // relation target, or -1
    int context = -1;      // written context, or -1
    std::vector<int> scope;  // non-relation subjects its paths may name
    std::string expr;
    std::vector<std::string> tags;  // the tags the expression mentions
    std::vector<int> kids;
  };

  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string pick(std::initializer_list<const char*> xs) {
    return *(xs.begin() + below(static_cast<int>(xs.size())));
  }
  int pick_of(const std::vector<int>& xs) {
    return xs[static_cast<std::size_t>(below(static_cast<int>(xs.size())))];
  }

  std::string term(Node& n, int depth) {
    int kind = depth > 0 ? below(5) : 0;
    if (kind == 3) return "-" + term(n, depth - 1);
    if (kind == 4) return "(" + expression(n, depth - 1) + ")";
    std::string t = pick({"a", "b", "x", "y", "z"});
    n.tags.push_back(t);
    return t;
  }

  std::string expression(Node& n, int depth) {
    std::string out = term(n, depth);
    if (chance(0.3)) out += " / " + term(n, depth);
    if (chance(0.3)) out += ", " + term(n, depth);
    return out;
  }

  // Adds the children of `parent` (-1: the top-level body), depth first.
  void grow(int parent, int depth) {
    levels_.emplace_back();
    int count = 1 + below(3);
    for (int i = 0; i < count && nodes_.size() < 6; ++i) {
      int id = static_cast<int>(nodes_.size());
      nodes_.emplace_back();
      Node& n = nodes_.back();
      n.subject = chance(0.5) ? "*" : pick({"a", "b", "c"});
      if (n.subject == "*" && chance(0.4)) n.identity = pick({"a", "b", "c"});
      for (const auto& level : levels_) n.scope.insert(n.scope.end(), level.begin(), level.end());
      bool parent_relation = parent >= 0 && nodes_[static_cast<std::size_t>(parent)].target >= 0;
      if (depth > 0 && !parent_relation && chance(0.6)) {
        n.target = chance(0.1) || n.scope.empty() ? id : pick_of(n.scope);
        if (!n.scope.empty() && chance(0.5)) n.context = pick_of(n.scope);
      } else {
        levels_.back().push_back(id);
      }
      if (chance(0.6)) n.expr = expression(n, 2);
      if (parent >= 0) nodes_[static_cast<std::size_t>(parent)].kids.push_back(id);
      if (depth < 3 && chance(0.5)) grow(id, depth + 1);
    }
    levels_.pop_back();
  }

  std::string render(int parent, bool graph) {
    const std::vector<int>* kids = &top_;
    if (parent < 0) {
      top_.clear();
      for (std::size_t i = 0; i < nodes_.size(); ++i) {
        bool has_parent = false;
        for (const Node& m : nodes_) {
          for (int k : m.kids) has_parent = has_parent || k == static_cast<int>(i);
        }
        if (!has_parent) top_.push_back(static_cast<int>(i));
      }
    } else {
      kids = &nodes_[static_cast<std::size_t>(parent)].kids;
    }
    std::string out = "{\n";
    for (int id : *kids) out += graph ? graph_entry(id) : query_entry(id);
    if (graph && chance(0.4)) {
      out += pick({"a", "b", "c"}) + " @e" + std::to_string(extra_++);
      if (chance(0.5)) out += " : " + pick({"x", "y", "z"});
      out += "\n";
    }
    return out + "}";
  }

  static std::string name(int id) { return "@s" + std::to_string(id); }

  std::string query_entry(int id) {
    const Node& n = nodes_[static_cast<std::size_t>(id)];
    std::string out = n.subject;
    if (!n.identity.empty()) out += "(" + n.identity + ")";
    out += " " + name(id);
    if (n.target >= 0) {
      out += " > " + name(n.target);
      if (n.context >= 0) out += "(" + name(n.context) + ")";
    }
    if (!n.expr.empty()) out += " : " + n.expr;
    if (!n.kids.empty()) out += " " + render(id, false);
    return out + "\n";
  }

  std::string graph_entry(int id) {
    const Node& n = nodes_[static_cast<std::size_t>(id)];
    std::string out = n.subject == "*" || chance(0.1) ? pick({"a", "b", "c"}) : n.subject;
    if (!n.identity.empty() && chance(0.8)) {
      out += "(" + n.identity + ")";
    } else if (chance(0.1)) {
      out += "(" + out + ")";  // its own tag twice among its identities
    }
    out += " " + name(id);
    if (n.target >= 0 && chance(0.85)) {
      int target = chance(0.9) || n.scope.empty() ? n.target : pick_of(n.scope);
      out += " > " + name(target);
      if (n.context >= 0 && chance(0.8)) {
        out += "(" + name(n.context) + ")";
      } else if (!n.scope.empty() && chance(0.2)) {
        out += "(" + name(pick_of(n.scope)) + ")";
      }
    }
    std::string tags;
    for (const std::string& t : n.tags) {
      if (chance(0.6) && tags.find(t) == std::string::npos) tags += (tags.empty() ? "" : ", ") + t;
    }
    if (!tags.empty()) out += " : " + tags;
    if (!n.kids.empty()) {
      out += " " + render(id, true);
    } else if (chance(0.2)) {
      out += " {\n" + pick({"a", "b", "c"}) + " : " + pick({"x", "y", "z"}) + "\n}";
    }
    return out + "\n";
  }

  std::mt19937 rng_;
  std::vector<Node> nodes_;
  std::vector<std::vector<int>> levels_;
  std::vector<int> top_;
  int extra_ = 0;
};

}  // namespace lumo
