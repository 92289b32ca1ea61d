// How a speed-target benchmark reports its row for scripts/bench: the counters value, reference,
// ratio and target. The ratio compares times, so that "at most `target`" reads the same for every
// row, also for rows whose value is a rate.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace kavori::bench {

inline void SetRow(benchmark::State& state, double value, double reference, double ratio,
                   double target) {
  state.counters["value"] = value;
  state.counters["reference"] = reference;
  state.counters["ratio"] = ratio;
  state.counters["target"] = target;
}

// Value and reference are times: the ratio is their quotient.
inline void SetRow(benchmark::State& state, double value, double reference, double target) {
  SetRow(state, value, reference, reference > 0 ? value / reference : 0, target);
}

// Times of the product and its reference measured side by side, one pair per iteration. The row
// takes medians, so that a burst of other work on a shared machine moves neither.
class PairedTimes {
 public:
  void Add(double value, double reference) {
    values_.push_back(value);
    references_.push_back(reference);
    ratios_.push_back(reference > 0 ? value / reference : 0);
  }
  double Value() const { return Median(values_); }
  double Reference() const { return Median(references_); }
  double Ratio() const { return Median(ratios_); }

 private:
  static double Median(std::vector<double> samples) {
    if (samples.empty()) return 0;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    if (samples.size() % 2 != 0) return *middle;
    return (*middle + *std::max_element(samples.begin(), middle)) / 2;
  }

  std::vector<double> values_;
  std::vector<double> references_;
  std::vector<double> ratios_;
};

}  // namespace kavori::bench
