// Meta queries as plain records, in text order.
#pragma once

#include <vector>

#include "model/query.h"

namespace lumo {

inline const std::vector<MetaQuery>& meta_queries(const Query& query) {
  return query.meta_queries;
}

}  // namespace lumo
