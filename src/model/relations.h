// Relation records shared by the query and tag graph models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

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

}  // namespace lumo
