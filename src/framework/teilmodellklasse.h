#pragma once
// Base of every sub-model: its own control-file section with the module switch and time
// step, the sub-step count, the date of the current step with its progress line, the
// floating-point report, the per-tracer statistics and concentration grids, the zone
// ranking of the soil model's zone grid, and the solar geometry of the site.
//
// Protocol with the application: a sub-model constructor throws the ErrorCode of a
// failure, which the application passes on; the sub-model is switched on or off by
// its module switch (the first value of its section, the second being its time step in
// minutes), is marked initialised when its set-up is complete, is stepped by the time
// loop, flushes on request and is released by DeleteModule.

#include <csignal>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/fpe_report.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/solar_geometry.h"
#include "framework/zonal_statistic.h"
#include "framework/zone_ranking.h"

namespace tolvo {

struct TracerSettingsRecord;
class StatisticsRegistry;


// A zone table made by RankZones (owned); its column ranges cover every row.
using RankedZones = ZoneRanking;

class teilmodellklasse : public modelobject {
 public:
  // section_required: false only for the special output, whose missing section switches
  // it off (an INFO entry, not an error). Throws the ErrorCode of a failure.
  teilmodellklasse(DiagnosticsLog& log, const std::string& section, const ModelSettings& settings, int sub_steps,
                   bool section_required = true);

  int IsActive() const { return ModuleSwitch; }
  int GetTimeStep() const { return static_cast<int>(TimeStep); }
  int GetSubSteps() const { return SubSteps; }
  void SetSubSteps(int n) { SubSteps = n; }
  const std::string& section() const { return section_; }
  const ModelSettings& settings() const { return *settings_; }

  // Reports a floating-point error signalled since the last report (state 1), once.
  void ReportFPE(int i1, int i2, int i3, int i4, double a1, double a2, double a3, double a4, double a5);
  // The report calls a loop over rows made from its threads, taken as if made one after
  // another in row order: a signal before the loop (state_at_start 1) is reported with the
  // loop's first call, one within it with the first call its thread made after it.
  void ReportFPE(const FpeLoopRecord& loop, int state_at_start);
  volatile std::sig_atomic_t& fpe_report_state() { return FpeReportState; }

  // Per-tracer statistics and concentration grids; throws the ErrorCode of a failure.
  virtual void InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                           int capacity);
  virtual void ReleaseTracers();

  // Stores the date of the step and writes the progress line at the log interval.
  void RunStep(long long hour, long long day, long long month, long long year);

  // Solar geometry at the model site.
  DayNightSplit DayFraction() const;
  SunDirection SunPositionAt(int day, int month, double hour) const;

  static double Product(double a, double b) { return a * b; }
  static double WeightedMean(double a, double b, double c, double d) { return c + d == 0 ? 0 : (c * a + d * b) / (c + d); }
  static double RatioTerm(double a, double b, double c) { return b == c ? 0 : a * b / (b - c); }

  // Ranks the zones of "zonegrid_soilmodel" over all its rows (collective): process 0
  // ranks, the others receive the table. Fails on every process with 3, 4 or 7 as the
  // zone-grid ranking does, with this object's texts, and with 4 for more than 10000
  // zones.
  RankedZones RankZones();

  void DeleteModule() override;

  // Tracer bookkeeping of this sub-model.
  struct TracerRecord {
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> statistic;
    std::string statistic_file;
    std::string grid_file;
    int storage_index = 0;
    int flux_index = 0;
    Grid storage;
    Grid flux;
  };
  int TracerCount = 0;

 protected:
  // A grid the sub-model registers in the grid table, with its zone statistic.
  struct StatisticGrid {
    Grid values;
    int index = 0;
    std::vector<ZoneRecord> zones;
    std::unique_ptr<zonalstatistic> statistic;
  };
  // Releases the grid's statistic and its grid-table entry and empties it.
  void ReleaseStatisticGrid(StatisticGrid& grid);

  std::span<TracerSettingsRecord> TracerSettings;
  std::vector<TracerRecord> TracerRecords;  // entries 1..TracerCount (0 unused)
  int ModuleSwitch = 0;
  int StorageGridsReadCode = 0;
  int ModuleMethod = 0;
  volatile std::sig_atomic_t FpeReportState = 0;
  double TimeStep = 0;     // minutes
  double StepsPerDay = 0;  // 1440 / TimeStep
  int SubSteps = 1;

 private:
  void CheckTimeStep();
  void CheckSubSteps();
  void WriteFpeEntry(const FpeReportCall& call);

  const ModelSettings* settings_;
  std::string section_;
};

}  // namespace tolvo
