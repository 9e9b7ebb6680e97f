#pragma once
// What the time loop needs of a meteorological input: its dates, its interpolation onto
// the grid, its result grid output and its advance through its records. The meteorological
// interpolator implements it; a run may also be driven by another implementation.

#include <string>

#include "framework/date.h"

namespace tolvo {

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
};

}  // namespace tolvo
