#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace tessary {

// The merge of two Misra-Gries summaries (the mergeable-summaries rule):
// add the counts of equal keys; if more than `capacity` keys remain,
// subtract the (capacity + 1)-th largest count from all and drop those not
// above 0. The counts stay lower bounds with the error bound of one summary
// of the whole stream (total weight / (capacity + 1)).
namespace detail {

// The Misra-Gries summary merge over (key, counter) pairs sorted by key,
// equal keys adjacent, the first of them kept (its label, for strings).
// count_of(pair) is a reference to a pair's count; add(x, y) sums two
// counts. Returns the surviving pairs in ascending key order.
template <class Pair, class CountOf, class Add>
std::vector<Pair> misra_gries_merge(std::vector<Pair> pairs, std::size_t capacity, CountOf count_of,
                                    Add add) {
  std::vector<Pair> combined;
  combined.reserve(pairs.size());
  for (Pair& pair : pairs) {
    if (!combined.empty() && combined.back().first == pair.first) {
      count_of(combined.back()) = add(count_of(combined.back()), count_of(pair));
    } else {
      combined.push_back(std::move(pair));
    }
  }
  if (combined.size() <= capacity) return combined;
  std::vector<std::uint64_t> counts;
  counts.reserve(combined.size());
  for (Pair& pair : combined) counts.push_back(count_of(pair));
  std::nth_element(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(capacity), counts.end(),
                   std::greater<>());
  const std::uint64_t cut = counts[capacity];  // the (capacity + 1)-th largest
  std::vector<Pair> kept;
  for (Pair& pair : combined) {
    if (count_of(pair) > cut) {
      count_of(pair) -= cut;
      kept.push_back(std::move(pair));
    }
  }
  return kept;
}

}  // namespace detail

}  // namespace tessary
