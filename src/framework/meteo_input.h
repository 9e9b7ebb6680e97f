#pragma once
// What the time loop needs of a meteorological input: its dates, its interpolation onto
// the grid, its result grid output and its advance through its records. The meteorological
// interpolator implements it; a run may also be driven by another implementation.

#include <array>
#include <span>
#include <string>

#include "framework/date.h"

namespace tolvo {

// One parameter set of an input's elevation regression: the limits of the middle
// elevation band (m), and at 1..3 the intercepts and gradients (value units per m) of the
// lower, middle and upper band (index 0 is not used). Missing items hold -N - 1.
struct RegressionBands {
  double lower_limit = 0;
  double upper_limit = 0;
  std::array<double, 4> intercepts{};
  std::array<double, 4> gradients{};
};

class MeteoInput {
 public:
  virtual ~MeteoInput() = default;
  virtual const std::string& input_name() const = 0;
  // Interpolation method; methods 10 and 11 fit an elevation regression before interpolating.
  virtual int method() const = 0;
  virtual void SetSearchRadiusWarning(int on) = 0;
  virtual void SetHourShift(double hours) = 0;
  // Date of the current record: the date of the model step.
  virtual ModelDate GetDate() const = 0;
  virtual void ComputeElevationRegression(int mode) = 0;
  virtual void Interpolate(const ModelDate& date) = 0;
  virtual void WriteResultGrid() = 0;
  virtual void ReadNextRecord() = 0;
  virtual bool EndOfData() const = 0;
  // The end date becomes the current date: the next ReadNextRecord ends the data.
  virtual void EndAtCurrentDate() = 0;
  virtual void FlushStatistics() = 0;
  virtual void RewindInput() = 0;
  virtual void DeleteModule() = 0;

  // N of the input: a value v is present when v >= -N; -N - 1 marks a missing value.
  virtual double nodata_value() const = 0;
  // The number of doubles the scratch array of InterpolateAtPoint must hold.
  virtual int PointScratchSize() const = 0;
  // The input's value of the current record at map point (x, y) (m) and elevation z (m),
  // scaled, limited and changed by the scenario as the grid values are (but not by the
  // scaling grid); below -N when the input has none there. Uses only what every process
  // holds, so that every process gets the same value. Call it outside parallel regions.
  virtual double InterpolateAtPoint(std::span<double> scratch, double x, double y, double z) = 0;
  // Copies parameter set `set` (1: the regression of the current record) of a regression
  // input (methods 2, 3, 10, 11) into `bands` and returns the upper band's gradient; for
  // other inputs or sets every item and the result are -N - 1.
  virtual double GetRegressionParameters(int set, RegressionBands& bands) const = 0;
};

}  // namespace tolvo
