// Parser and tag graph builder throughput.
//
//   parse_bench [FILE] [--runs N] [--mb M] [--seed S]
//
// Reads a tag graph text from FILE (for instance one written by
// `python bench/textgen.py graph --mb 10 -o FILE`), or generates a graph text
// of about M megabytes (default 10) itself. Then runs parse_document, the
// full compile_tag_graph (parse + build) and build_index on that text N times
// each (default 7) and prints the best and median throughput in MB/s
// (1 MB = 10^6 bytes of input text).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "eval/index.h"
#include "model/build_error.h"
#include "model/tag_graph.h"
#include "syntax/parser.h"
#include "syntax/report.h"

namespace {

using Clock = std::chrono::steady_clock;

// A mixed-shape graph text: nesting up to seven levels, one to four tags per
// subject, now and then an extra identity, a name or a relation to a sibling
// written before or after it. Subject tags are unique, so every name
// resolves to one subject and the text is valid with validation on.
std::string generate_subjects(std::size_t count, std::uint64_t seed) {
  static const char* const kinds[] = {"person", "team",  "device", "room",
                                      "project", "laptop", "site", "meeting room"};
  static const char* const words[] = {
      "red",    "green",  "blue",     "amber",   "alpha",   "beta",   "gamma",
      "senior", "junior", "intern",   "employee", "linux",  "mac",    "cloud",
      "edge",   "core",   "archived", "draft",   "public",  "private", "urgent",
      "don't",  "_internal", "2024",  "review",  "approved", "legacy", "shared"};
  constexpr std::size_t nkinds = sizeof(kinds) / sizeof(kinds[0]);
  constexpr std::size_t nwords = sizeof(words) / sizeof(words[0]);

  std::vector<std::string> vocab;
  for (std::size_t i = 0; i < nwords; ++i) {
    vocab.emplace_back(words[i]);
    for (std::size_t j = i + 1; j < nwords; j += 4)
      vocab.push_back(std::string(words[i]) + "-" + words[j]);
  }
  for (int n = 1; n < 60; ++n) vocab.push_back("level " + std::to_string(n));
  vocab.emplace_back("\"quoted \\\"tag\\\"\"");
  vocab.emplace_back("\"caf\\u00e9\"");

  std::mt19937_64 rng(seed);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto chance = [&](double p) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
  };

  // Shape first (parents, relation flags), text second: a relation may point
  // at a sibling written after it.
  std::vector<std::size_t> parent{0};
  std::vector<std::vector<std::size_t>> children(1);
  std::vector<char> is_rel{0};
  std::vector<std::size_t> stack{0};
  for (std::size_t i = 1; i <= count; ++i) {
    bool rel = chance(0.08);
    parent.push_back(stack.back());
    children.emplace_back();
    children[stack.back()].push_back(i);
    is_rel.push_back(rel);
    if (!rel && stack.size() < 7 && chance(0.35)) {
      stack.push_back(i);
    } else {
      while (stack.size() > 1 && chance(0.30)) stack.pop_back();
    }
  }
  const std::size_t n = parent.size();
  std::vector<std::string> name(n);
  for (std::size_t i = 1; i < n; ++i)
    name[i] = is_rel[i] ? "r" + std::to_string(i)
                        : std::string(kinds[below(nkinds)]) + "-" + std::to_string(i);

  std::string out;
  out.reserve(count * 48);
  out += "// generated tag graph\n{\n";
  std::vector<std::size_t> open;  // subjects whose body is open
  auto indent = [&](std::size_t depth) { out.append(2 * std::min<std::size_t>(depth, 8), ' '); };
  for (std::size_t i = 1; i < n; ++i) {
    while (!open.empty() && open.back() != parent[i]) {
      open.pop_back();
      indent(open.size() + 1);
      out += "}\n";
    }
    indent(open.size() + 1);
    if (is_rel[i]) {
      // a non-relation sibling, earlier or later
      const auto& sib = children[parent[i]];
      std::size_t t = 0;
      for (int tries = 0; tries < 8 && t == 0; ++tries) {
        std::size_t c = sib[below(sib.size())];
        if (!is_rel[c]) t = c;
      }
      if (t == 0) {
        out += "*(x" + std::to_string(i) + ") @" + name[i] + "\n";
        is_rel[i] = 0;
        continue;
      }
      out += "* @" + name[i] + " > @" + name[t];
    } else {
      out += name[i];
      if (chance(0.15)) out += "(p" + std::to_string(i) + ")";
    }
    std::size_t ntags = below(5);
    if (ntags) {
      std::size_t first = below(vocab.size());
      std::size_t step = 1 + below(vocab.size() / 5);
      out += " : ";
      for (std::size_t k = 0; k < ntags; ++k) {
        if (k) out += ", ";
        out += vocab[(first + k * step) % vocab.size()];
      }
    }
    if (!children[i].empty()) {
      out += " {\n";
      open.push_back(i);
    } else {
      out += '\n';
    }
  }
  while (!open.empty()) {
    open.pop_back();
    indent(open.size() + 1);
    out += "}\n";
  }
  out += "}\n";
  return out;
}

// About `megabytes` of text: the subject count comes from a sample's size.
std::string generate_graph(double megabytes, std::uint64_t seed) {
  constexpr std::size_t sample = 20000;
  double per_subject = static_cast<double>(generate_subjects(sample, seed).size()) / sample;
  auto count = static_cast<std::size_t>(megabytes * 1e6 / per_subject);
  return generate_subjects(std::max<std::size_t>(count, 1), seed);
}

struct Figures {
  double best = 0;    // MB/s
  double median = 0;  // MB/s
  double best_seconds = 0;
};

Figures summarise(std::vector<double> seconds, double megabytes) {
  std::sort(seconds.begin(), seconds.end());
  Figures f;
  f.best_seconds = seconds.front();
  f.best = megabytes / seconds.front();
  f.median = megabytes / seconds[seconds.size() / 2];
  return f;
}

double elapsed(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void usage() {
  std::fprintf(stderr, "usage: parse_bench [FILE] [--runs N] [--mb M] [--seed S]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int runs = 7;
  double mb = 10.0;
  std::uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if ((a == "--runs" || a == "--mb" || a == "--seed") && i + 1 < argc) {
      const char* v = argv[++i];
      if (a == "--runs") runs = std::max(1, std::atoi(v));
      else if (a == "--mb") mb = std::atof(v);
      else seed = std::strtoull(v, nullptr, 10);
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] != '-' && path.empty()) {
      path = a;
    } else {
      usage();
      return 2;
    }
  }

  std::string text;
  if (!path.empty()) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 2;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    text = std::move(ss).str();
    std::printf("input: %s\n", path.c_str());
  } else {
    auto t0 = Clock::now();
    text = generate_graph(mb, seed);
    std::printf("input: generated graph text (seed %llu) in %.2f s\n",
                static_cast<unsigned long long>(seed), elapsed(t0));
  }
  const double megabytes = static_cast<double>(text.size()) / 1e6;
  std::printf("size: %.2f MB, %d runs each\n", megabytes, runs);

  // parse_document
  std::vector<double> times;
  std::size_t subjects = 0;
  for (int r = 0; r < runs; ++r) {
    auto t0 = Clock::now();
    auto doc = lumo::parse_document(text);
    double s = elapsed(t0);
    if (!doc) {
      std::printf("parse_document failed:\n%s\n", lumo::render_report(doc.error()).c_str());
      return 1;
    }
    subjects = doc.value().entries.size() - 1;
    times.push_back(s);
  }
  Figures p = summarise(times, megabytes);
  std::printf("subjects: %zu (root not counted)\n", subjects);
  std::printf("parse_document:     best %8.1f MB/s   median %8.1f MB/s\n", p.best, p.median);

  // compile_tag_graph: parse + build
  times.clear();
  for (int r = 0; r < runs; ++r) {
    auto t0 = Clock::now();
    auto graph = lumo::compile_tag_graph(text, true);
    double s = elapsed(t0);
    if (!graph) {
      std::printf("compile_tag_graph failed: %s\n",
                  lumo::render_build_error(graph.error()).c_str());
      return 1;
    }
    times.push_back(s);
  }
  Figures c = summarise(times, megabytes);
  std::printf("compile_tag_graph:  best %8.1f MB/s   median %8.1f MB/s\n", c.best, c.median);

  // build_index on a freshly compiled graph each run (timed alone)
  times.clear();
  for (int r = 0; r < runs; ++r) {
    auto graph = lumo::compile_tag_graph(text, true);
    if (!graph) return 1;
    auto t0 = Clock::now();
    lumo::IndexedGraph idx = lumo::build_index(std::move(graph).value());
    double s = elapsed(t0);
    if (idx.size() != subjects + 1) {
      std::printf("build_index: %zu subjects, expected %zu\n", idx.size(), subjects + 1);
      return 1;
    }
    times.push_back(s);
  }
  Figures x = summarise(times, megabytes);
  std::printf("build_index:        best %8.1f MB/s   median %8.1f MB/s  (%.0f ns/subject best)\n",
              x.best, x.median, x.best_seconds * 1e9 / static_cast<double>(subjects + 1));
  return 0;
}
