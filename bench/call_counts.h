// The front's call counts ({"Operation": count}) as the benchmarks print them, so that their
// figures read alike.
#pragma once
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace bench {

inline int sumOf(const nlohmann::ordered_json& counts) {
  int total = 0;
  for (const auto& [op, n] : counts.items()) total += n.get<int>();
  return total;
}

// " Op 1.50 Other 0.25": each operation's calls per entry, the most called first.
inline void printPerEntry(const nlohmann::ordered_json& counts, int entries) {
  std::vector<std::pair<std::string, int>> calls;
  for (const auto& [op, n] : counts.items()) calls.emplace_back(op, n.get<int>());
  std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [op, n] : calls) fmt::print(" {} {:.2f}", op, static_cast<double>(n) / entries);
}

}  // namespace bench
