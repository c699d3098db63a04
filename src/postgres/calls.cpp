// The extension's calls into the core, as plain C++ that returns a status.
//
// Each function runs one step of the core (compile a query, parse and match a
// graph, collect a graph's tags) with every C++ object local to its own body,
// and catches every exception, so that nothing of C++ is alive when the
// caller raises an SQL error. The outputs that outlive the call (error texts,
// the tag list) are copied into memory from the caller's allocator; the
// compiled query is the one heap object handed out, and its owner frees it
// with release().
#include "postgres/calls.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <type_traits>
#include <new>
#include <string>
#include <utility>

#include "eval/collect.h"
#include "eval/index.h"
#include "eval/match.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "reader/reader.h"
#include "output/gin_plan.h"
#include "store/stored_graph.h"

namespace lumo::pg {

struct CompiledQuery {
  Query query;
};

namespace {

// How much of the input an error message echoes: characters each side of
// the failure (see render_build_error). The module's messages echo the whole
// failing line; a server writes each error to its log, and a bad 10 MB text
// must not make a 20 MB entry.
constexpr std::size_t kErrorWindow = 40;

// A NUL-terminated copy of `text`, or null when the allocator fails. A NUL
// inside (a tag's "\u0000" escape, echoed by a message) is written as that
// escape, since the server's messages are C strings.
char* copy_text(std::string_view text, Allocate allocate) {
  std::size_t nuls = 0;
  for (const char c : text) nuls += c == '\0';
  constexpr std::string_view kNul = "\\u0000";
  auto* out = static_cast<char*>(allocate(text.size() + nuls * (kNul.size() - 1) + 1));
  if (out == nullptr) return nullptr;
  char* at = out;
  for (const char c : text) {
    if (c == '\0') {
      std::memcpy(at, kNul.data(), kNul.size());
      at += kNul.size();
    } else {
      *at++ = c;
    }
  }
  *at = '\0';
  return out;
}

// The status of a failed build, with its text split at the first line break.
Status build_failed(const BuildError& error, Allocate allocate, ErrorText* out) {
  if (error.kind == BuildErrorKind::Interrupted) return Status::kInterrupted;
  const std::string text = render_build_error(error, kErrorWindow);
  const std::string_view all(text);
  const std::size_t end = all.find('\n');
  out->message = copy_text(all.substr(0, end), allocate);
  out->detail = nullptr;
  if (out->message == nullptr) return Status::kOutOfMemory;
  if (end != std::string_view::npos) {
    out->detail = copy_text(all.substr(end + 1), allocate);
    if (out->detail == nullptr) return Status::kOutOfMemory;
  }
  return Status::kInvalid;
}

// Runs `step` and maps the exceptions that may escape the core to a status.
template <class Step>
Status guarded(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return Status::kOutOfMemory;
  } catch (...) {
    return Status::kFailed;
  }
}

}  // namespace

Status compile(std::string_view text, Interrupt* interrupt, Allocate allocate,
               CompiledQuery** query, ErrorText* error) noexcept {
  *query = nullptr;
  return guarded([&] {
    auto built = compile_query(text, interrupt);
    if (!built.ok()) return build_failed(built.error(), allocate, error);
    *query = new CompiledQuery{std::move(built).value()};
    return Status::kOk;
  });
}

void release(CompiledQuery* query) noexcept { delete query; }

Status match(const CompiledQuery& query, std::string_view graph, Interrupt* interrupt,
             Allocate allocate, bool* matched, ErrorText* error) noexcept {
  return guarded([&] {
    auto built = load_tag_graph(graph, true, interrupt);
    if (!built.ok()) return build_failed(built.error(), allocate, error);
    const IndexedGraph* indexed = built.value().ensure_index(interrupt);
    if (indexed == nullptr) return Status::kInterrupted;
    auto answer = is_match(query.query, *indexed, interrupt);
    if (!answer.ok()) return Status::kInterrupted;
    *matched = answer.value();
    return Status::kOk;
  });
}

namespace {

// The tags of an index as a TagList.
Status list_tags(const IndexedGraph& indexed, Allocate allocate, TagList* tags) {
  const std::vector<std::string_view> found = collect_tag_views(indexed);
  // One block: the text pointers, the lengths, then the texts themselves.
  const std::size_t n = found.size();
  std::size_t bytes = n * (sizeof(const char*) + sizeof(std::size_t));
  for (const std::string_view tag : found) bytes += tag.size() + 1;
  auto* block = static_cast<char*>(allocate(bytes == 0 ? 1 : bytes));
  if (block == nullptr) return Status::kOutOfMemory;
  auto* texts = reinterpret_cast<const char**>(block);
  auto* lengths = reinterpret_cast<std::size_t*>(block + n * sizeof(const char*));
  char* cursor = block + n * (sizeof(const char*) + sizeof(std::size_t));
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(cursor, found[i].data(), found[i].size());
    cursor[found[i].size()] = '\0';
    texts[i] = cursor;
    lengths[i] = found[i].size();
    cursor += found[i].size() + 1;
  }
  *tags = TagList{n, texts, lengths};
  return Status::kOk;
}

// The index of the stored form last loaded: its memory serves the next
// load. Kept while it holds at most kKeptBytes of arrays.
store::StoredIndex& stored_index() {
  static store::StoredIndex index;
  return index;
}

constexpr std::size_t kKeptBytes = 1 << 20;

// Loads `block` into stored_index() and runs `step` on its index.
template <class Step>
Status with_stored(std::span<const std::byte> block, Interrupt* interrupt, Step&& step) {
  store::StoredIndex& index = stored_index();
  Status status = Status::kOk;
  switch (index.load(block, interrupt)) {
    case store::StoredIndex::Load::kOk:
      status = step(index.graph());
      break;
    case store::StoredIndex::Load::kDamaged:
      status = Status::kDamaged;
      break;
    case store::StoredIndex::Load::kInterrupted:
      status = Status::kInterrupted;
      break;
  }
  index.trim(kKeptBytes);
  return status;
}

}  // namespace

Status collect(std::string_view graph, Interrupt* interrupt, Allocate allocate, TagList* tags,
               ErrorText* error) noexcept {
  *tags = TagList{0, nullptr, nullptr};
  return guarded([&] {
    auto built = load_tag_graph(graph, true, interrupt);
    if (!built.ok()) return build_failed(built.error(), allocate, error);
    const IndexedGraph* indexed = built.value().ensure_index(interrupt);
    if (indexed == nullptr) return Status::kInterrupted;
    return list_tags(*indexed, allocate, tags);
  });
}

Status store(std::string_view core_text, std::string_view kept_text, Interrupt* interrupt,
             Allocate allocate, std::size_t room, char** out, std::size_t* size,
             ErrorText* error) noexcept {
  *out = nullptr;
  *size = 0;
  return guarded([&] {
    auto built = load_tag_graph(core_text, true, interrupt);
    if (!built.ok()) return build_failed(built.error(), allocate, error);
    const IndexedGraph* indexed = built.value().ensure_index(interrupt);
    if (indexed == nullptr) return Status::kInterrupted;
    const std::size_t bytes = store::encoded_size(kept_text, *indexed);
    auto* memory = static_cast<char*>(allocate(room + bytes));
    if (memory == nullptr) return Status::kOutOfMemory;
    store::encode(kept_text, *indexed, reinterpret_cast<std::byte*>(memory + room));
    *out = memory;
    *size = bytes;
    return Status::kOk;
  });
}

Status stored_text(std::span<const std::byte> block, std::string_view* text) noexcept {
  if (!store::is_stored_form(block)) return Status::kDamaged;
  *text = store::stored_text(block);
  return Status::kOk;
}

Status match_stored(const CompiledQuery& query, std::span<const std::byte> block,
                    Interrupt* interrupt, bool* matched) noexcept {
  return guarded([&] {
    return with_stored(block, interrupt, [&](const IndexedGraph& graph) {
      auto answer = is_match(query.query, graph, interrupt);
      if (!answer.ok()) return Status::kInterrupted;
      *matched = answer.value();
      return Status::kOk;
    });
  });
}

Status gin_graph_keys(std::span<const std::byte> block, Interrupt* interrupt,
                      Allocate allocate, GinKeys* keys) noexcept {
  *keys = GinKeys{0, nullptr};
  return guarded([&] {
    return with_stored(block, interrupt, [&](const IndexedGraph& graph) {
      const std::vector<std::uint32_t> found = lumo::gin_graph_keys(graph);
      auto* out = static_cast<std::uint32_t*>(allocate(sizeof(std::uint32_t) * (found.size() + 1)));
      if (out == nullptr) return Status::kOutOfMemory;
      std::copy(found.begin(), found.end(), out);
      *keys = GinKeys{found.size(), out};
      return Status::kOk;
    });
  });
}

// Followed in its block by the program's steps, then the keys.
struct GinQuery {
  std::size_t steps;
  std::size_t depth;
  std::size_t keys;

  GinStep* program() { return reinterpret_cast<GinStep*>(this + 1); }
  const GinStep* program() const { return reinterpret_cast<const GinStep*>(this + 1); }
};

Status gin_query(const CompiledQuery& query, Interrupt* interrupt, Allocate allocate,
                 GinQuery** plan, GinKeys* keys, bool* always_true) noexcept {
  *plan = nullptr;
  *keys = GinKeys{0, nullptr};
  return guarded([&] {
    auto made = lumo::gin_plan(query.query, interrupt);
    if (!made.ok()) return Status::kInterrupted;
    const GinPlan& p = made.value();
    static_assert(std::is_trivially_copyable_v<GinStep>);
    static_assert(sizeof(GinQuery) % alignof(GinStep) == 0);
    const std::size_t bytes = sizeof(GinQuery) + sizeof(GinStep) * p.program.size() +
                              sizeof(std::uint32_t) * (p.keys.size() + 1);
    auto* block = static_cast<char*>(allocate(bytes));
    if (block == nullptr) return Status::kOutOfMemory;
    auto* out = reinterpret_cast<GinQuery*>(block);
    out->steps = p.program.size();
    out->depth = p.depth;
    out->keys = p.keys.size();
    std::uninitialized_copy(p.program.begin(), p.program.end(), out->program());
    auto* key_out = reinterpret_cast<std::uint32_t*>(block + sizeof(GinQuery) +
                                                     sizeof(GinStep) * p.program.size());
    std::copy(p.keys.begin(), p.keys.end(), key_out);
    *plan = out;
    *keys = GinKeys{p.keys.size(), key_out};
    *always_true = p.always_true;
    return Status::kOk;
  });
}

int gin_evaluate(const GinQuery& plan, const unsigned char* states, std::size_t count) noexcept {
  // Few keys fit on the stack; the rest count as Maybe, which evaluate()
  // gives a missing state.
  std::array<GinValue, 64> local;
  std::vector<GinValue> large;
  GinValue* values = local.data();
  const std::size_t n = std::min(count, plan.keys);
  try {
    if (n > local.size()) {
      large.resize(n);
      values = large.data();
    }
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<GinValue>(states[i] > 2 ? 1 : states[i]);
    return static_cast<int>(
        evaluate({plan.program(), plan.steps}, plan.depth, std::span<const GinValue>(values, n)));
  } catch (...) {
    return static_cast<int>(GinValue::Maybe);  // out of memory: keep the row, the recheck decides
  }
}

Status collect_stored(std::span<const std::byte> block, Interrupt* interrupt, Allocate allocate,
                      TagList* tags) noexcept {
  *tags = TagList{0, nullptr, nullptr};
  return guarded([&] {
    return with_stored(block, interrupt, [&](const IndexedGraph& graph) {
      return list_tags(graph, allocate, tags);
    });
  });
}

}  // namespace lumo::pg
