#pragma once
// Items that arrive in runs, each run mostly sorted already (a table's
// records are in key order, a log's are not), handed out in one sorted order:
// every run that is not sorted is sorted in place, then the runs are merged a
// run head at a time through a min-heap of runs. Sorting runs apart and
// merging costs n log(runs) where the runs are sorted, against n log(n) for
// one sort of everything, and needs no second copy of the items.
//
// Equal items keep no particular order: callers' items have unique keys.

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace vostrel {

// Sorts each run of `items` that is not sorted: runs [0, ends[0]),
// [ends[0], ends[1]), ...; ends ascending, the last at most items.size().
template <class T, class Less>
void sort_runs(std::span<T> items, std::span<const std::size_t> ends, Less less) {
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(end);
    if (!std::is_sorted(first, last, less)) std::sort(first, last, less);
    begin = end;
  }
}

// Hands emit(item) every item of the sorted runs, in order.
template <class T, class Less, class Emit>
void merge_sorted_runs(std::span<T> items, std::span<const std::size_t> ends, Less less, Emit emit) {
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // [next, end) of each run not empty
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    if (begin != end) runs.emplace_back(begin, end);
    begin = end;
  }
  // A min-heap of runs by their next item.
  const auto later = [&](const auto& a, const auto& b) { return less(items[b.first], items[a.first]); };
  std::make_heap(runs.begin(), runs.end(), later);
  while (!runs.empty()) {
    std::pop_heap(runs.begin(), runs.end(), later);
    auto& run = runs.back();
    emit(items[run.first++]);
    if (run.first == run.second) {
      runs.pop_back();
    } else {
      std::push_heap(runs.begin(), runs.end(), later);
    }
  }
}

}  // namespace vostrel
