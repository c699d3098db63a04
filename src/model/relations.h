// Relation records shared by the query and tag graph models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/random_hash.h"

namespace lumo {

using SubjectIndex = std::size_t;

// (source, target) of a relation subject.
struct RelationLink {
  SubjectIndex source = 0;
  SubjectIndex target = 0;
  friend bool operator==(const RelationLink&, const RelationLink&) = default;
};

struct RelationKey {
  SubjectIndex subject = 0;
  SubjectIndex source = 0;
  SubjectIndex target = 0;
  friend bool operator==(const RelationKey&, const RelationKey&) = default;
};

struct RelationContext {
  bool implicit = true;
  SubjectIndex context = 0;
  friend bool operator==(const RelationContext&, const RelationContext&) = default;
};

struct RelationKeyHash {
  std::uint64_t seed = draw_hash_key();
  std::size_t operator()(const RelationKey& k) const {
    std::uint64_t h = hash_u64(k.subject, seed);
    h = hash_u64(h ^ k.source, seed + 0x9e3779b97f4a7c15ULL);
    h = hash_u64(h ^ k.target, seed + 0x3c6ef372fe94f82aULL);
    return static_cast<std::size_t>(h);
  }
};

// Relation subjects whose context differs from their source.
using RelationTable = std::unordered_map<RelationKey, RelationContext, RelationKeyHash>;

// The same entries as a flat list, ascending by subject: what an index
// keeps, since matching only walks them. A subject is entered at most once.
using RelationEntry = std::pair<RelationKey, RelationContext>;
using RelationList = std::vector<RelationEntry>;

inline void add_relation(RelationTable& table, const RelationKey& key, const RelationContext& ctx) {
  table.insert_or_assign(key, ctx);
}

// A resolver visits each relation subject once, in pre-order: over subjects
// numbered in pre-order (as the direct reader numbers them), the entries
// come ascending.
inline void add_relation(RelationList& list, const RelationKey& key, const RelationContext& ctx) {
  list.emplace_back(key, ctx);
}

}  // namespace lumo
