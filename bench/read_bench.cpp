// Reading graph texts straight into the index, as the binding and the
// PostgreSQL functions read a row's graph.
//
//   read_bench FILE [--passes N] [--only records|whole]
//
// FILE holds records side by side, as `textgen.py records` writes them. Each
// top-level subject (a team) is cut out into a record text of its own,
// "{\n" + its lines + "\n}\n", which is how record_text() writes one, and
// every record is read with read_graph_index() (validation on); then the
// whole file is read as one graph. Prints the record count, average bytes and
// subjects, and the best and median of the passes, in µs per record and in
// ms for the whole file. A text the reader declines is reported as a failure:
// these texts are all within its reach.
//
// Timings depend on the machine's load. For a figure that does not, count
// instructions of the reads alone (cutting the records out is not counted):
//
//   valgrind --tool=callgrind --toggle-collect='lumo::read_graph_index*' \
//       build/bench/read_bench /tmp/rec.txt --passes 1 --only records

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double elapsed(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The top-level subjects of a records text, each as a record text.
std::vector<std::string> cut_records(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  int depth = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    const bool comment = line.find_first_not_of(' ') != std::string_view::npos &&
                         line.substr(line.find_first_not_of(' ')).starts_with("//");
    if (comment) continue;
    const int before = depth;
    for (char c : line) {
      if (c == '{') ++depth;
      if (c == '}') --depth;
    }
    if (before == 0) continue;  // the root's own braces
    if (before == 1 && depth == 0) continue;
    current += current.empty() ? "{\n" : "\n";
    current += line;
    if (depth == 1) {  // the top-level subject ends on this line
      current += "\n}\n";
      out.push_back(std::move(current));
      current.clear();
    }
  }
  return out;
}

void usage() {
  std::fprintf(stderr, "usage: read_bench FILE [--passes N] [--only records|whole]\n");
}

struct Figures {
  double best = 0;
  double median = 0;
};

Figures summarise(std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  return {seconds.front(), seconds[seconds.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int passes = 5;
  std::string_view only;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--passes" && i + 1 < argc) {
      passes = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
      if (only != "records" && only != "whole") {
        usage();
        return 2;
      }
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
  if (path.empty()) {
    usage();
    return 2;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 2;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  const std::string text = std::move(ss).str();

  if (only != "whole") {
    const std::vector<std::string> records = cut_records(text);
    if (records.empty()) {
      std::fprintf(stderr, "no records in %s\n", path.c_str());
      return 1;
    }
    std::size_t bytes = 0;
    for (const std::string& r : records) bytes += r.size();
    std::size_t subjects = 0;
    std::vector<double> times;
    for (int p = 0; p < passes; ++p) {
      subjects = 0;
      const auto t0 = Clock::now();
      for (const std::string& r : records) {
        auto read = lumo::read_graph_index(r, true);
        if (!read) {
          std::fprintf(stderr, "the reader declined a record:\n%s", r.c_str());
          return 1;
        }
        subjects += read.value().size() - 1;
      }
      times.push_back(elapsed(t0));
    }
    const auto n = static_cast<double>(records.size());
    const Figures f = summarise(times);
    std::printf("records: %zu, %.0f bytes and %.1f subjects each\n", records.size(),
                static_cast<double>(bytes) / n, static_cast<double>(subjects) / n);
    std::printf("read_graph_index per record: best %.3f us   median %.3f us\n",
                f.best * 1e6 / n, f.median * 1e6 / n);
  }
  if (only != "records") {
    std::vector<double> times;
    std::size_t subjects = 0;
    for (int p = 0; p < passes; ++p) {
      const auto t0 = Clock::now();
      auto read = lumo::read_graph_index(text, true);
      times.push_back(elapsed(t0));
      if (!read) {
        std::fprintf(stderr, "the reader declined the whole text\n");
        return 1;
      }
      subjects = read.value().size() - 1;
    }
    const Figures f = summarise(times);
    std::printf("whole text: %.2f MB, %zu subjects; read_graph_index best %.3f ms   median %.3f ms\n",
                static_cast<double>(text.size()) / 1e6, subjects, f.best * 1e3, f.median * 1e3);
  }
  return 0;
}
