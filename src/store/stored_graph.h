// The stored form of a tag graph: its text and its index in one block of
// bytes, for a database column (or any other byte store) to keep, so that a
// graph is read and checked once, when it is stored, and matched any number
// of times after without parsing.
//
// The block is relocatable (offsets and counts, no pointers) and its
// integers are little-endian, so it means the same on every platform. It
// holds the original text (what a graph gives back as text) and the index's
// arrays: the string table (the strings' bytes, their bounds, and the hash
// slots with the key they were placed with), each subject's pre-order
// range, each string's occurrence and identity lists, and the relations.
//
// StoredIndex reads a block in place: on a little-endian machine, with the
// block 4-aligned, the index's arrays are views into the block itself, and
// only the string bounds and the relations (whose in-memory integers are
// wider) are copied; elsewhere (and in a build without fast paths) every
// array is copied out, byte by byte. No parsing, no hashing. It still
// checks every count, bound, list and slot against the block, and that the
// ranges nest as a pre-order tree, so that a damaged block is refused
// rather than read out of bounds. Blocks come
// from encode() only: text received from elsewhere goes through the parser.
// The slots depend on hash_bytes(): a change to it needs a new version.
//
// Layout, version 1 (u32: four bytes, u64: eight, little-endian):
//   u8 version, u8 zero, u16 zero, u32 text bytes, subjects, strings,
//   string bytes, occurrences, identities, relations, slots, hash mask,
//   u64 hash key                                           (48 bytes in all)
//   the text; the strings' bytes; zeros to a multiple of 4
//   u32 arrays: string bounds (strings + 1), slots, ranges (start and end
//   per subject), occurrence list starts (strings + 1), identity list
//   starts (strings + 1), occurrences, identity carriers, and per relation
//   its subject, source, target, context and 1 when the context is implicit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "eval/index.h"
#include "eval/tag_table.h"

namespace lumo::store {

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderBytes = 48;

// Bytes that encode() writes for this text and its index.
std::size_t encoded_size(std::string_view text, const IndexedGraph& graph);

// Writes the stored form of `graph`, read from `text`, to `out`, which has
// encoded_size() bytes.
void encode(std::string_view text, const IndexedGraph& graph, std::byte* out);

// The text of a stored form; empty when the header is damaged.
std::string_view stored_text(std::span<const std::byte> block);

// Whether `block` holds a stored form of this version whose parts fit its
// size (what load() checks first).
bool is_stored_form(std::span<const std::byte> block);

// An index loaded from stored forms, one at a time, in memory kept from one
// load to the next.
class StoredIndex {
 public:
  enum class Load { kOk, kDamaged, kInterrupted };

  // Loads `block`; on kOk, graph() is its index until the next load().
  Load load(std::span<const std::byte> block, Interrupt* interrupt = nullptr);
  const IndexedGraph& graph() const { return graph_; }

  // Gives back the memory a large graph left behind, when the arrays hold
  // more than `bytes`.
  void trim(std::size_t bytes);

  // What load() fills and keeps.
  struct Memory {
    std::vector<std::uint32_t> copied;  // the arrays, where they cannot be read in place
    std::vector<std::size_t> bounds;
    std::vector<RelationEntry> relations;
    std::vector<std::uint32_t> order;  // subjects by pre-order number, for the checks
    std::vector<std::uint32_t> open;
  };

 private:
  IndexedGraph graph_;
  Memory memory_;
};

}  // namespace lumo::store
