// The stored form of a tag graph: its text and its index in one block of
// bytes, for a database column (or any other byte store) to keep, so that a
// graph is read and checked once, when it is stored, and matched any number
// of times after without parsing.
//
// The block is relocatable (offsets and counts, no pointers) and written
// byte by byte in little-endian order, so it means the same on every
// platform. It holds the original text (what a graph gives back as text)
// and the index's arrays: each string's bytes, each subject's pre-order
// range, each string's occurrence and identity lists, and the relations.
// Integers take two bytes each when every count fits, else four.
//
// StoredIndex turns a block back into an IndexedGraph by widening those
// arrays into memory it keeps from block to block and re-interning the
// strings (the string table's hash key is the process's own, so it is not
// stored). That costs about as much as copying the block: no parsing, no
// validation of the language's rules, which held when the block was made.
// It still checks every count, offset and list bound against the block's
// size, so that a damaged block is refused rather than read out of bounds.
// Blocks come from encode() only: text received from elsewhere goes through
// the parser first.
//
// Layout, version 1 (u32: four bytes little-endian; W: the integer width):
//   u8 version, u8 W, u16 zero,
//   u32 text bytes, subjects, strings, string bytes, occurrences,
//       identities, relations                              (32 bytes in all)
//   the text; the strings' bytes, one after the other
//   W-integers: string ends (one per string, into the strings' bytes);
//     range starts, range ends (one each per subject); occurrence list ends,
//     identity list ends (one each per string); occurrences; identity
//     carriers; per relation its subject, source, target and context
//   one byte per relation: 1 when its context is implicit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "eval/index.h"
#include "eval/tag_table.h"

namespace lumo::store {

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderBytes = 32;

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
    std::unique_ptr<TagTable> table;  // made on first use
    TagTable& table_ref() {
      if (!table) table = std::make_unique<TagTable>();
      return *table;
    }
    std::vector<SubtreeRange> ranges;
    std::vector<std::uint32_t> lists;  // occurrence and identity list starts, the lists
    std::vector<RelationEntry> relations;
    std::vector<std::uint32_t> order;  // subjects by pre-order number, for the checks
    std::vector<std::uint32_t> open;
  };

 private:
  IndexedGraph graph_;
  Memory memory_;
};

}  // namespace lumo::store
