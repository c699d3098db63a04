// Per-record cost of the core: parse small records and match them.
//
//   record_bench FILE [--passes N]
//
// FILE holds graph texts separated by NUL bytes, for instance
//
//   python -c "import sys; sys.path.insert(0, 'bench'); import textgen; \
//     sys.stdout.write('\0'.join(textgen.record_text(s) for s in range(2000)))" > /tmp/records
//
// Each pass reads every record into its index (load_tag_graph, as
// parse_tag_graph does) and matches it with a query without relation entries
// and one with an entry (is_match with an interrupt hook, as the binding
// calls it), then collects its tags and prints µs per record, best of the
// passes (default 5). The work is in run_pass(), so that
//
//   valgrind --tool=callgrind --toggle-collect='*run_pass*' record_bench FILE --passes 1
//
// counts the instructions of exactly that work, without reading the file and
// compiling the queries.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "eval/collect.h"
#include "reader/reader.h"
#include "eval/match.h"
#include "model/query.h"

namespace {

// A hook that never stops, as the binding's does while no signal is due.
class Never final : public lumo::Interrupt {
 public:
  bool should_stop() override { return false; }
};

// Returns how many records matched each query and how many tags there
// were, so that nothing is optimised away.
[[gnu::noinline]] std::size_t run_pass(const std::vector<std::string>& records,
                                       const lumo::Query& q, const lumo::Query& qr) {
  Never never;
  std::size_t seen = 0;
  for (const std::string& text : records) {
    auto g = lumo::load_tag_graph(text, true, &never);
    if (!g.ok()) std::abort();
    const lumo::IndexedGraph* x = g.value().ensure_index(&never);
    auto m = lumo::is_match(q, *x, &never);
    auto mr = lumo::is_match(qr, *x, &never);
    seen += (m.ok() && m.value()) + 2 * (mr.ok() && mr.value());
    seen += lumo::count_collected(*x);
  }
  return seen;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: record_bench FILE [--passes N]\n");
    return 2;
  }
  int passes = 5;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::string_view(argv[i]) == "--passes") passes = std::max(1, std::atoi(argv[i + 1]));
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::vector<std::string> records;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) records.emplace_back(text, at, end - at);
    at = end + 1;
  }
  if (records.empty()) {
    std::fprintf(stderr, "no records in %s\n", argv[1]);
    return 2;
  }
  auto q = lumo::compile_query("{ * : person { laptop : encrypted } }");
  auto qr = lumo::compile_query(
      "{ * : person { * > @b : manages }\n  * @b : person { laptop : encrypted } }");
  if (!q.ok() || !qr.ok()) return 1;

  double best = 0;
  std::size_t seen = 0;
  for (int p = 0; p < passes; ++p) {
    const auto t0 = std::chrono::steady_clock::now();
    seen = run_pass(records, q.value(), qr.value());
    const double us = std::chrono::duration<double, std::micro>(
                          std::chrono::steady_clock::now() - t0).count() / records.size();
    if (p == 0 || us < best) best = us;
  }
  std::printf("%zu records, best of %d passes: %.3f us per record (check %zu)\n",
              records.size(), passes, best, seen);
  return 0;
}
