#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace keystone::bench {

// The sample at fraction (0.5 = median) of the sorted samples; 0 without samples. Reorders them.
inline double Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) return 0;
  const size_t index = std::min(
      samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                   samples.end());
  return samples[index];
}

}  // namespace keystone::bench
