// Growth curves of is_match on queries with many relation subjects.
//
//   relation_bench [--only LETTERS] [--runs N] [--budget-ms B] [--cap-ms C]
//
// Each family is a sequence of (query, graph) pairs of growing size, built as
// text, compiled and indexed once; only is_match itself is timed. One line per
// size: the size, the subject counts of query and graph, the best time of N
// runs (default 3; a single run once a run takes over 200 ms) and the answer.
// A family stops growing after the first size whose run took more than B ms
// (default 2000), so the program always ends. A single run is cut off at C ms
// (default 5000) through the interrupt hook, with a deadline checked on every
// poll; such a run prints "interrupted after X ms" and ends its family.
//
// Families:
//   a  the reproducer: k "* > @z" subjects written before their target z,
//      against a graph whose one relation has another target (false);
//   b  the same with the target written first (false);
//   c  k = 4 relation subjects against graphs of n subjects made of blocks
//      in which every candidate almost fits: one relation with the right
//      source and another target, one with the right target and another
//      source (false);
//   d  k targets named only by "@tI", then k relation subjects to them; the
//      graph's relation has another source (false);
//   e  colouring, pigeonhole: the complete graph on k+1 vertices into k
//      colours (false; hard for every search: the worst case);
//   f  colouring, the complete graph on k vertices into k colours (true).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/interrupt.h"
#include "eval/index.h"
#include "eval/match.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Stops the search once the clock passes a deadline.
class Deadline final : public lumo::Interrupt {
 public:
  explicit Deadline(double ms)
      : at_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::milli>(ms))) {}
  bool should_stop() override { return Clock::now() >= at_; }

 private:
  Clock::time_point at_;
};

struct Options {
  std::string only = "abcdef";
  int runs = 3;
  double budget_ms = 2000;
  double cap_ms = 5000;
};

struct Instance {
  std::string size;  // what grows, e.g. "k=12" or "n=256"
  std::string query;
  std::string graph;
};

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// --- the families ------------------------------------------------------------

const char* const kReproducerGraph = "{ s {\n z\n x0\n r > @x0\n} }";

Instance reproducer(int k, bool target_first) {
  std::string q = target_first ? "{ s {\n z\n" + repeat(" * > @z\n", k) + "} }"
                               : "{ s {\n" + repeat(" * > @z\n", k) + " z\n} }";
  return {"k=" + std::to_string(k), q, kReproducerGraph};
}

// n graph subjects (the root included): blocks of five, then plain fillers.
// In block I, "r" has source I and another target, "q" has source I and the
// z of the next block as target; no block relates to its own z.
Instance almost_fitting(int n) {
  const int blocks = std::max(1, (n - 1) / 5);
  std::string g = "{\n";
  for (int i = 0; i < blocks; ++i) {
    g += "s @b" + std::to_string(i) + " {\n z\n x\n r > @x\n";
    if (blocks > 1) g += " q > @b" + std::to_string((i + 1) % blocks) + ".z\n";
    g += "}\n";
  }
  const int used = 1 + blocks * (blocks > 1 ? 5 : 4);
  for (int i = used; i < n; ++i) g += "f\n";
  g += "}";
  return {"n=" + std::to_string(n), "{ s {\n" + repeat(" * > @z\n", 4) + " z\n} }", g};
}

Instance other_source(int k) {
  std::string q = "{ s {\n";
  for (int i = 0; i < k; ++i) q += " * @t" + std::to_string(i) + "\n";
  for (int i = 0; i < k; ++i) q += " * > @t" + std::to_string(i) + "\n";
  q += "} }";
  return {"k=" + std::to_string(k), q, "{ s {\n a\n b\n}\n o {\n r > @s.a\n} }"};
}

// Vertices "colour @vI", an edge I-J (I < J) written inside vI as "* > @vJ";
// colours "colour @cI" with an "e" relation to every other colour.
Instance colouring(int vertices, int colours) {
  std::string q = "{\n";
  for (int i = 0; i < vertices; ++i) {
    q += "colour @v" + std::to_string(i) + " {\n";
    for (int j = i + 1; j < vertices; ++j) q += " * > @v" + std::to_string(j) + "\n";
    q += "}\n";
  }
  q += "}";
  std::string g = "{\n";
  for (int i = 0; i < colours; ++i) {
    g += "colour @c" + std::to_string(i) + " {\n";
    for (int j = 0; j < colours; ++j) {
      if (j != i) g += " e > @c" + std::to_string(j) + "\n";
    }
    g += "}\n";
  }
  g += "}";
  return {"k=" + std::to_string(colours), q, g};
}

struct Family {
  char letter;
  const char* title;
  std::vector<Instance> sizes;
};

std::vector<Family> families() {
  std::vector<int> ks = {4, 6, 8, 10, 11, 12, 13, 14, 16, 20, 24, 32, 48, 64, 96, 128, 192, 256};
  std::vector<Family> out;
  Family a{'a', "reproducer: k relation subjects written before their target", {}};
  Family b{'b', "reproducer: the target written first", {}};
  for (int k : ks) {
    a.sizes.push_back(reproducer(k, false));
    b.sizes.push_back(reproducer(k, true));
  }
  Family c{'c', "k = 4 relation subjects, graph of n subjects that almost fit", {}};
  for (int n : {16, 24, 32, 48, 64, 96, 128, 256, 512, 1024}) c.sizes.push_back(almost_fitting(n));
  Family d{'d', "k named targets, then k relation subjects; graph relation has another source",
           {}};
  for (int k : {2, 4, 6, 8, 10, 11, 12, 13, 14, 15, 16, 18, 20, 24, 32, 64, 128, 256})
    d.sizes.push_back(other_source(k));
  Family e{'e', "colouring, pigeonhole: K(k+1) into k colours (worst case)", {}};
  Family f{'f', "colouring: K(k) into k colours", {}};
  for (int k = 3; k <= 8; ++k) {
    e.sizes.push_back(colouring(k + 1, k));
    f.sizes.push_back(colouring(k, k));
  }
  for (Family* x : {&a, &b, &c, &d, &e, &f}) out.push_back(std::move(*x));
  return out;
}

// --- running -----------------------------------------------------------------

// Returns false when the family should stop growing.
bool run_one(const Instance& in, const Options& opt) {
  auto q = lumo::compile_query(in.query);
  if (!q.ok()) {
    std::printf("  %-7s query does not build: %s\n", in.size.c_str(),
                lumo::render_build_error(q.error()).c_str());
    return false;
  }
  auto g0 = lumo::compile_tag_graph(in.graph, false);
  if (!g0.ok()) {
    std::printf("  %-7s graph does not build: %s\n", in.size.c_str(),
                lumo::render_build_error(g0.error()).c_str());
    return false;
  }
  const lumo::IndexedGraph g = lumo::build_index(std::move(g0).value());
  const lumo::Query& query = q.value();

  double best = 0;
  bool answer = false;
  for (int run = 0; run < opt.runs; ++run) {
    Deadline deadline(opt.cap_ms);
    const auto t0 = Clock::now();
    auto m = lumo::is_match(query, g, &deadline);
    const double ms = ms_since(t0);
    if (!m.ok()) {
      std::printf("  %-7s %6zu %6zu   interrupted after %.0f ms\n", in.size.c_str(),
                  query.subjects.size(), g.size(), ms);
      return false;
    }
    if (run == 0 || ms < best) best = ms;
    answer = m.value();
    if (ms > 200) break;  // slow enough that one run says it
  }
  std::printf("  %-7s %6zu %6zu %12.3f   %s\n", in.size.c_str(), query.subjects.size(),
              g.size(), best, answer ? "true" : "false");
  std::fflush(stdout);
  return best <= opt.budget_ms;
}

void usage() {
  std::fprintf(stderr,
               "usage: relation_bench [--only LETTERS] [--runs N] [--budget-ms B] [--cap-ms C]\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 < argc && (a == "--only" || a == "--runs" || a == "--budget-ms" || a == "--cap-ms")) {
      const char* v = argv[++i];
      if (a == "--only") opt.only = v;
      else if (a == "--runs") opt.runs = std::max(1, std::atoi(v));
      else if (a == "--budget-ms") opt.budget_ms = std::atof(v);
      else opt.cap_ms = std::atof(v);
    } else {
      usage();
      return a == "-h" || a == "--help" ? 0 : 2;
    }
  }
  std::printf("is_match, best of %d runs; a family stops after a run over %.0f ms, "
              "a run is cut off at %.0f ms\n",
              opt.runs, opt.budget_ms, opt.cap_ms);
  for (const Family& f : families()) {
    if (opt.only.find(f.letter) == std::string::npos) continue;
    std::printf("(%c) %s\n  %-7s %6s %6s %12s   %s\n", f.letter, f.title, "size", "query",
                "graph", "ms", "answer");
    for (const Instance& in : f.sizes) {
      if (!run_one(in, opt)) break;
    }
  }
  return 0;
}
