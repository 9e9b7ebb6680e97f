#pragma once
// A meteorological input for the tests of the time loop: it serves records of given dates
// and computes nothing.

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "framework/date.h"
#include "framework/meteo_input.h"

namespace tolvo::test {

class ScriptedInput : public MeteoInput {
 public:
  // Records of the given dates.
  ScriptedInput(std::string name, std::vector<ModelDate> dates) : name_(std::move(name)), dates_(std::move(dates)) {}
  // Hourly records from 1 January 2020, 1 h.
  ScriptedInput(std::string name, int records) : name_(std::move(name)) {
    for (int h = 1; h <= records; ++h) dates_.push_back({2020, 1, 1, h});
  }
  const std::string& input_name() const override { return name_; }
  int method() const override { return 0; }
  void SetSearchRadiusWarning(int) override {}
  void SetHourShift(double) override {}
  ModelDate GetDate() const override { return dates_[static_cast<std::size_t>(std::min(index_, last()))]; }
  void ComputeElevationRegression(int) override {}
  void Interpolate(const ModelDate&) override {}
  void WriteResultGrid() override {}
  void ReadNextRecord() override { ++index_; }
  bool EndOfData() const override { return index_ > last(); }
  void EndAtCurrentDate() override { dates_.resize(static_cast<std::size_t>(index_) + 1); }
  void FlushStatistics() override {}
  void RewindInput() override { index_ = -1; }
  void DeleteModule() override {}
  double nodata_value() const override { return 9999; }
  int PointScratchSize() const override { return 1; }
  double InterpolateAtPoint(std::span<double>, double, double, double) override { return -10000; }
  double GetRegressionParameters(int, RegressionBands&) const override { return -10000; }

 private:
  int last() const { return static_cast<int>(dates_.size()) - 1; }
  std::string name_;
  std::vector<ModelDate> dates_;
  int index_ = 0;
};

}  // namespace tolvo::test
