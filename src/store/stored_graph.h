// The stored form of a tag graph: its text and its index in one block of
// bytes, for a database column (or any other byte store) to keep, so that a
// graph is read and checked once, when it is stored, and matched any number
// of times after without parsing.
//
// The block is relocatable (offsets and counts, no pointers) and its
// integers are little-endian, so it means the same on every platform. It
// holds the original text (what a graph gives back as text), the strings
// that some subject holds (as places in that text, or as bytes of their own
// where the text does not hold them as they are), each subject's pre-order
// range, each string's occurrences and identity carriers, the relations,
// and a signature of the strings' keys (store/keys.h), from which a query
// can tell most graphs it cannot match by the header alone. Integers take
// one, two or four bytes, as few as the block's largest needs: a record of
// a few hundred bytes stores its index in about as many bytes as its text.
//
// StoredIndex reads a block into memory it keeps from one block to the
// next: it widens the integers, copies the strings into a table of its own
// (hashed with the process's key, so that no stored choice of slots can make
// a lookup slow) and checks every count, bound and list against the block,
// and that the ranges nest as a pre-order tree, so that a damaged block is
// refused rather than read out of bounds. Blocks come from encode() only:
// text received from elsewhere goes through the parser.
//
// Layout, version 2 ("n": an integer of the header's n width, "c": one of
// its c width; each 1, 2 or 4 bytes):
//   u8 version, u8 widths (n in the low four bits, c in the high four),
//   u8 flags (1: the ranges' starts are left out, being the subjects' own
//   numbers), u8 zero, u64 signature words (2)                (20 bytes)
//   n: subjects, strings, occurrences, identities, relations
//   c: text bytes, string bytes of their own
//   the text, then the strings' own bytes
//   c arrays: per string its start (in the text and own bytes as one) and
//   its length
//   n arrays: per subject its range's end, then (unless flag 1) its start;
//   per string the end of its occurrence list; the occurrences; the
//   identities as (string, subject) pairs, ascending; and per relation its
//   subject, source, target, context and 1 when the context is implicit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "eval/index.h"
#include "eval/tag_table.h"
#include "store/keys.h"

namespace lumo::store {

inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::size_t kHeaderBytes = 20;  // before the counts

// Bytes that encode() writes for this text and its index.
std::size_t encoded_size(std::string_view text, const IndexedGraph& graph);

// Writes the stored form of `graph`, read from `text`, to `out`, which has
// encoded_size() bytes.
void encode(std::string_view text, const IndexedGraph& graph, std::byte* out);

// The text of a stored form; empty when the header is damaged.
std::string_view stored_text(std::span<const std::byte> block);

// The signature of a stored form's strings; false when the header is
// damaged.
bool stored_signature(std::span<const std::byte> block, Signature& out);

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
    std::vector<std::uint32_t> words;  // the arrays, widened
    TagTable tags;
    std::vector<SubtreeRange> ranges;
    std::vector<std::uint32_t> id_begin;
    std::vector<std::uint32_t> id_subjects;
    std::vector<RelationEntry> relations;
    std::vector<std::uint32_t> order;  // subjects by pre-order number, for the checks
    std::vector<std::uint32_t> open;
  };

 private:
  IndexedGraph graph_;
  Memory memory_;
};

}  // namespace lumo::store
