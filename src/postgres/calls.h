// The core's work for the PostgreSQL extension, behind a boundary that the
// server's error handling never crosses.
//
// PostgreSQL reports errors with longjmp, which skips C++ destructors, and a
// C++ exception must never unwind through the server's C frames. So every
// call here is plain C++ that catches everything, owns its C++ objects only
// for its own duration, and hands back a status with its outputs in memory
// obtained from the caller's allocator (a server memory context). The caller
// turns the status into an SQL error once this code has returned.
//
// This header includes no server header and only light headers, so that it
// can be included before the server's headers (which redefine printf-family
// names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/interrupt.h"

namespace lumo::pg {

// Allocates `size` bytes of output memory. Returns null when it cannot;
// never jumps or throws.
using Allocate = void* (*)(std::size_t size);

enum class Status {
  kOk,
  kInvalid,      // a syntax or validation error; see ErrorText
  kInterrupted,  // the interrupt hook asked to stop
  kOutOfMemory,  // operator new or the allocator failed
  kFailed,       // any other exception from the core (not expected)
  kDamaged,      // a stored graph whose bytes do not hold a stored form
};

// The library's error text split for an SQL error: the first line, and the
// remaining lines (null when there are none). Both NUL-terminated (a NUL of
// the text is written "\u0000"), both from the Allocate given to the call.
// The echo of the input is cut to a window around the failure.
struct ErrorText {
  char* message;
  char* detail;
};

// A compiled query; created by compile(), destroyed by release().
struct CompiledQuery;

Status compile(std::string_view text, Interrupt* interrupt, Allocate allocate,
               CompiledQuery** query, ErrorText* error) noexcept;

void release(CompiledQuery* query) noexcept;

// Parses and validates `graph` as a tag graph and matches `query` against it.
Status match(const CompiledQuery& query, std::string_view graph, Interrupt* interrupt,
             Allocate allocate, bool* matched, ErrorText* error) noexcept;

// Every distinct tag and identity of a graph: `count` NUL-terminated texts
// with their byte lengths, all in one block from the Allocate.
struct TagList {
  std::size_t count;
  const char** texts;
  std::size_t* lengths;
};

Status collect(std::string_view graph, Interrupt* interrupt, Allocate allocate, TagList* tags,
               ErrorText* error) noexcept;

// Stored graphs: a graph text read, checked and indexed once, kept as one
// block of bytes that matching reads without parsing.

// Parses and validates `core_text` (the text in UTF-8) as a tag graph and
// writes the stored form of it, holding `kept_text` (what the graph gives
// back as text), to memory from the Allocate: `room` bytes left free for
// the caller, then the form. `*out` is that memory, `*size` the form's size
// without the room.
Status store(std::string_view core_text, std::string_view kept_text, Interrupt* interrupt,
             Allocate allocate, std::size_t room, char** out, std::size_t* size,
             ErrorText* error) noexcept;

// The text a stored form keeps; kDamaged when its header is damaged.
Status stored_text(std::span<const std::byte> block, std::string_view* text) noexcept;

// Matches `query` against a stored form.
Status match_stored(const CompiledQuery& query, std::span<const std::byte> block,
                    Interrupt* interrupt, bool* matched) noexcept;

// The GIN operator class: a stored graph's keys, a query's keys and the
// condition over them as a flat program (see output/gin_plan.h).

// `count` keys of a stored form in memory from the Allocate.
struct GinKeys {
  std::size_t count;
  std::uint32_t* keys;
};

Status gin_graph_keys(std::span<const std::byte> block, Interrupt* interrupt,
                      Allocate allocate, GinKeys* keys) noexcept;

// A query's plan, in one block from the Allocate (a scan keeps it).
struct GinQuery;

// The plan of `query`, with its keys. `*always_true` when every row
// satisfies the condition (the scan must then read them all).
Status gin_query(const CompiledQuery& query, Interrupt* interrupt, Allocate allocate,
                 GinQuery** plan, GinKeys* keys, bool* always_true) noexcept;

// The condition's value given each key's state: 0 false, 1 maybe, 2 true
// (one byte per key, in the order gin_query gave the keys).
int gin_evaluate(const GinQuery& plan, const unsigned char* states, std::size_t count) noexcept;

// collect() of a stored form.
Status collect_stored(std::span<const std::byte> block, Interrupt* interrupt, Allocate allocate,
                      TagList* tags) noexcept;

}  // namespace lumo::pg
