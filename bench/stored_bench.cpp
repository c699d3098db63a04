// Matching a stored graph against matching its text, per record.
//
//   stored_bench RECORDS.json QUERY [--passes N]
//
// RECORDS.json is a list of objects with a "graph" text, as
// examples/make_records.py writes them (examples/data/records.json). For
// every record it times, best and median of the passes, in ns per record:
//   text      load_tag_graph + ensure_index + is_match (what matching a text costs)
//   load      StoredIndex::load of the record's stored form
//   stored    load + is_match (what graph @@ query costs in the core)
//   match     is_match alone on indexes built beforehand
// and prints the average text and stored sizes. Prints figures, asserts
// nothing; run it on an idle machine or compare within one run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eval/match.h"
#include "model/query.h"
#include "reader/reader.h"
#include "store/stored_graph.h"

namespace {

using Clock = std::chrono::steady_clock;

// The "graph" strings of a JSON list of records (a small reader for this
// file's shape: strings with JSON escapes).
std::vector<std::string> graphs_of(const std::string& json) {
  std::vector<std::string> out;
  const std::string key = "\"graph\"";
  for (std::size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
    at = json.find('"', json.find(':', at + key.size())) + 1;
    std::string s;
    for (; json[at] != '"'; ++at) {
      if (json[at] != '\\') {
        s += json[at];
        continue;
      }
      const char e = json[++at];
      s += e == 'n' ? '\n' : e == 't' ? '\t' : e;  // records use \n, \", \\ only
    }
    out.push_back(std::move(s));
  }
  return out;
}

template <class F>
void run(const char* name, int passes, std::size_t n, F&& f) {
  std::vector<double> ns;
  for (int p = 0; p < passes; ++p) {
    const auto start = Clock::now();
    f();
    ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n);
  }
  std::sort(ns.begin(), ns.end());
  std::printf("%-7s best %8.1f  median %8.1f ns/record\n", name, ns[0], ns[ns.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stored_bench RECORDS.json QUERY [--passes N]\n");
    return 2;
  }
  int passes = 20;
  if (argc >= 5 && std::string(argv[3]) == "--passes") passes = std::atoi(argv[4]);
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::vector<std::string> texts = graphs_of(buffer.str());
  auto query = lumo::compile_query(argv[2]);
  if (!query.ok() || texts.empty()) {
    std::fprintf(stderr, "no records, or the query does not compile\n");
    return 2;
  }
  std::vector<std::vector<std::byte>> blocks;
  std::vector<lumo::GraphState> states;
  std::size_t text_bytes = 0, stored_bytes = 0;
  for (const std::string& t : texts) {
    auto g = lumo::load_tag_graph(t, true);
    if (!g.ok()) return 1;
    const lumo::IndexedGraph* idx = g.value().ensure_index(nullptr);
    blocks.emplace_back(lumo::store::encoded_size(t, *idx));
    lumo::store::encode(t, *idx, blocks.back().data());
    text_bytes += t.size();
    stored_bytes += blocks.back().size();
    states.push_back(std::move(g).value());
  }
  const std::size_t n = texts.size();
  std::printf("%zu records, %.1f bytes of text, %.1f stored\n", n, double(text_bytes) / n,
              double(stored_bytes) / n);
  std::size_t hits = 0;
  run("text", passes, n, [&] {
    for (const std::string& t : texts) {
      auto g = lumo::load_tag_graph(t, true);
      hits += lumo::is_match(query.value(), *g.value().ensure_index(nullptr), nullptr).value();
    }
  });
  lumo::store::StoredIndex index;
  run("load", passes, n, [&] {
    for (const auto& b : blocks) hits += index.load(b) == lumo::store::StoredIndex::Load::kOk;
  });
  run("stored", passes, n, [&] {
    for (const auto& b : blocks) {
      (void)index.load(b);
      hits += lumo::is_match(query.value(), index.graph(), nullptr).value();
    }
  });
  run("match", passes, n, [&] {
    for (auto& s : states) hits += lumo::is_match(query.value(), *s.ensure_index(nullptr), nullptr).value();
  });
  std::printf("(%zu)\n", hits);
  return 0;
}
