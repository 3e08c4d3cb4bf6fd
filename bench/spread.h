// SPDX-License-Identifier: Apache-2.0
// Min, median and max of a benchmark's samples, as every benchmark here reports them.
#pragma once
#include <algorithm>
#include <vector>

struct Spread {
  double min = 0, median = 0, max = 0;
};

inline Spread SpreadOf(std::vector<double> v) {
  Spread s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.median = v[v.size() / 2];
  s.max = v.back();
  return s;
}
