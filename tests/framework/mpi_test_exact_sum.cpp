// Exact sums combined over 1, 2 and 3 processes in groups: each sum must end as the exact
// sum of every process's addends, whether the groups travel together or one by one, and
// on process 0 alone or on every process.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "framework/exact_sum.h"
#include "support/row_bands.h"

namespace tolvo {
namespace {

using test::WorldRank;
using test::WorldSize;

// Addend k of sum i on process p: magnitudes from 1e-300 to 1e300 and both signs, so that
// the digits in use differ from sum to sum and from process to process.
double Addend(int p, std::size_t i, int k) {
  const double sign = (p + static_cast<int>(i) + k) % 3 == 0 ? -1.0 : 1.0;
  return sign * (0.1 + 0.37 * k + p) * std::pow(10.0, static_cast<double>((static_cast<int>(i) * 97 + 13 * p) % 601 - 300));
}

std::vector<ExactSum> SumsOfProcess(int p, std::size_t n) {
  std::vector<ExactSum> sums(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 5; ++k) sums[i].Add(Addend(p, i, k));
  }
  return sums;
}

TEST(ExactSumMpi, GroupsCombinedTogetherEqualTheSumsOfAllProcesses) {
  // The expected values: every process's addends, all added on this process.
  const std::size_t sizes[] = {3, 0, 7};
  std::vector<double> expected;
  for (const std::size_t n : sizes) {
    std::vector<ExactSum> all(n);
    for (int p = 0; p < WorldSize(); ++p) {
      const std::vector<ExactSum> of_p = SumsOfProcess(p, n);
      for (std::size_t i = 0; i < n; ++i) all[i].Merge(of_p[i]);
    }
    for (const ExactSum& sum : all) expected.push_back(sum.Value());
  }

  enum class Way { kOneByOne, kTogetherOnProcess0, kTogetherEverywhere };
  for (const Way way : {Way::kOneByOne, Way::kTogetherOnProcess0, Way::kTogetherEverywhere}) {
    SCOPED_TRACE(static_cast<int>(way));
    std::vector<std::vector<ExactSum>> groups;
    for (const std::size_t n : sizes) groups.push_back(SumsOfProcess(WorldRank(), n));
    std::vector<std::span<ExactSum>> spans(groups.begin(), groups.end());
    std::vector<std::int64_t> scratch;
    switch (way) {
      case Way::kOneByOne:
        for (std::vector<ExactSum>& group : groups) ReduceExactSums(group, scratch);
        break;
      case Way::kTogetherOnProcess0: ReduceExactSums(spans, scratch); break;
      case Way::kTogetherEverywhere: AllReduceExactSums(spans, scratch); break;
    }
    const bool combined_here = WorldRank() == 0 || way == Way::kTogetherEverywhere;
    const std::vector<ExactSum> own = [&] {
      std::vector<ExactSum> flat;
      for (const std::size_t n : sizes) {
        const std::vector<ExactSum> sums = SumsOfProcess(WorldRank(), n);
        flat.insert(flat.end(), sums.begin(), sums.end());
      }
      return flat;
    }();
    std::size_t k = 0;
    for (const std::vector<ExactSum>& group : groups) {
      for (const ExactSum& sum : group) {
        // Elsewhere a process keeps its own sums.
        EXPECT_EQ(sum.Value(), combined_here ? expected[k] : own[k].Value()) << "sum " << k;
        ++k;
      }
    }
  }
}

}  // namespace
}  // namespace tolvo
