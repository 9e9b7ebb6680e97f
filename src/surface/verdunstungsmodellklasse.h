#pragma once
// Potential and real evapotranspiration (section "[evapotranspiration]"). Its computations
// are not part of this build yet: it reads its switch and time step, keeps the date of
// each step and the links it is given, and otherwise does nothing.

#include <string_view>

#include "framework/teilmodellklasse.h"

namespace tolvo {

class verdunstungsmodellklasse : public teilmodellklasse {
 public:
  verdunstungsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);
  void SetCorrectedRadiation(ConstGridView grid) { corrected_radiation_ = grid; }
  void SetSnowStorageGrid(ConstGridView grid) { snow_storage_ = grid; }
  void SetSnowMethod(int method) { snow_method_ = method; }
  void ReadLakeModel(std::string_view /*section*/) {}
  void PotentialEvapotranspiration(const ModelDate& d) { RunStep(d.hour, d.day, d.month, d.year); }
  void SnowEvaporation(const ModelDate&) {}
  void BeginRealEvapotranspiration(const ModelDate&) {}
  void SubStep() {}
  void EndOfStepTotals(const ModelDate&) {}
  void FlushStatistics() {}

 private:
  ConstGridView corrected_radiation_;
  ConstGridView snow_storage_;
  int snow_method_ = 0;
};

}  // namespace tolvo
