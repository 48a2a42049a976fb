// The two figures every benchmark prints of its repeated times: the least and the median.
#pragma once

#include <algorithm>
#include <vector>

inline double Minimum(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
