#pragma once
// Cell dumps of the soil column solver ("-dumpmode"): at the start of every water
// iteration the thread takes a snapshot of the column; after the Richards iteration the
// column is checked for values outside their range (baseflow beyond ±10, a water content
// below 0 or above saturation, a snow position that lost its water under a wet one). An
// anomaly writes the snapshot to a binary ".dmp" file named after the process, the
// anomalies, the cell, the iteration and the date, then stops the run ("-closeAfterDump",
// 199) or repairs the values ("-repairAfterDump") or goes on.
//
// Column positions run from 1 − ns (the top snow layer) to n (the lowest soil layer);
// arrays over positions hold ns + n + 1 values, position p at index p + ns.
// The dump counter counts anomalies over the whole run and all threads of the process; it
// is read against the file limit and raised in one atomic step, so the limit holds exactly.
// Nothing here allocates per cell: the snapshot buffers are made once per thread.

#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "framework/dump_options.h"
#include "subsurface/soil_column_hydraulics.h"

namespace tolvo {

struct SoilColumnLoopReport;

// What the checks found; a position per anomaly of a layer.
struct DumpFlags {
  bool dgw = false;
  bool theta = false;
  int theta_position = 0;
  bool thetasnow = false;
  int snow_position = 0;
  bool heat = false;
  int heat_position = 0;
  bool any() const { return dgw || theta || thetasnow || heat; }
};

// The heat part of a column (and its snow pack) as a dump reads it: arrays over positions
// −ns..N at index p + ns.
struct HeatDumpColumn {
  int ns = 0, N = 0;
  int a = 0;  // the position above the first active layer
  std::span<double> T;
  std::span<const double> fL, lambda, dfL, Cv, F, Tn, theta, theta_s, dz;
  double dtH = 0;
  int h = 1;  // heat sub-steps per water iteration
  double T_air = 0, Ts = 0, nf = 1;
  double T_lower = -9999;  // the lower-boundary temperature (−9999: none)
  // The pack (levels 0..ns; none without layered snow) and the cell's snow grids.
  std::span<const double> solid, liquid, density;
  double upper_index = 0, storage_solid = 0, storage_liquid = 0, storage_total = 0;
};

// Where a dump finds the heat part of the cell's column.
class HeatDumpSource {
 public:
  virtual ~HeatDumpSource() = default;
  virtual HeatDumpColumn heat_dump() = 0;
};

// The temperature check of position p: a temperature outside −70..70 °C, or more than
// 0.001 K above or below all of its references (the first active layer: its snapshot
// temperature, nf·Ts, the snapshot and the current temperature below it; other positions:
// their snapshot temperature and the snapshot and current temperatures above and below;
// the lowest position also the lower-boundary temperature, towards which it may move).
// `surface` is nf·Ts for the check and nf·Tair for the repair. Returns whether p is
// anomalous and, for a repair, the value it takes.
struct HeatCheck {
  bool anomalous = false;
  double repaired = 0;
};
HeatCheck check_temperature(const HeatDumpColumn& h, std::span<const double> T_snapshot, int p, double surface);

// The water contents a check reads and a repair writes, positions 1 − ns..n.
struct DumpColumn {
  int n = 0;
  int ns = 0;
  std::span<double> theta;
  std::span<const double> theta_s;
};

// The checks in their order: baseflow, θ of every position, then (ns ≥ 2) a snow position
// without water under one that holds water.
DumpFlags check_cell(double baseflow, const DumpColumn& col);

// "MPI_<rank>_" + the anomalies + "dump_row_<r>_col_<c>_substep_<k>_<yyyymmddhh>"; the
// caller adds ".dmp" or ".dmp_asc".
std::string dump_file_stem(int rank, const DumpFlags& f, int row, int col, int iteration, long long year,
                           long long month, long long day, long long hour);

// Baseflow back into −10..10 and the soil layers' θ into 0..θs; snow positions stay.
void repair_cell(const DumpFlags& f, double& baseflow, const DumpColumn& col);

// The run's dump settings and its counter, shared by the threads of a process.
struct CellDumpRun {
  DumpOptions options;
  std::atomic<long long>* counter = nullptr;
  int rank = 0;
  long long year = 0, month = 0, day = 0, hour = 0;
};

// One thread's buffers and what it has to report after the loop.
struct CellDumpThread {
  CellDumpThread(int max_layers, int landuse_layers);
  std::vector<std::byte> snapshot;  // items of the snapshot in file order
  std::vector<std::byte> tail;      // soil type, land uses and date of the file
  std::vector<double> real_transpiration;  // the cell's grid values 0..L
  std::vector<double> landuse;             // the cell's land uses 1..L (entry 0 unused)
  long long repair_messages = 0;
  bool last_repair_message = false;
  std::vector<std::string> unopened;  // dump files that could not be written
  // The column's water contents and temperatures over positions −ns..n at the iteration's
  // start and for the checks.
  std::vector<double> T_snapshot, theta, theta_s;
  // The snapshot's θ, fL, T, λ, dfL and Cv over positions −ns..n, one after the other, its
  // surface temperature, and the pack's solid, liquid, thickness and density levels 0..ns.
  std::vector<double> heat_snapshot;
  double Ts_snapshot = 0;
  std::vector<double> snow_snapshot;
  void clear_reports();
};

// The dump of the cell a thread computes.
struct CellDump {
  const CellDumpRun* run = nullptr;
  CellDumpThread* thread = nullptr;
  int row = 0, col = 0, soil_type = 0;
  int landuse_layers = 1;
  double* baseflow = nullptr;  // the cell's "baseflow" value (or none)
  HeatDumpSource* heat = nullptr;  // with heat transfer (or none)
};

// The snapshot at the start of a water iteration: the deepest layer of the last
// evapotranspiration, the last head pass's scalar, the previous iteration's input rate
// [m/s], the baseflow value, the real transpiration grids and fourteen column arrays.
void take_dump_snapshot(CellDump& dump, const ColumnParameters& p, const ColumnArrays& a, double last_properties,
                        double input_rate);

// Checks after the Richards iteration: writes the dump file within the limit, counts the
// anomaly, and stops (ColumnFailure 199), repairs or goes on as the options say.
void check_and_dump(CellDump& dump, const ColumnParameters& p, const ColumnArrays& a, int iteration, double nW,
                    double dt);

// After the column loop: logs the threads' repair messages and unwritable files; in dump
// mode the processes agree whether a dump stopped the run, so that every process stops
// (collective in dump mode).
void finish_cell_dumps(DiagnosticsLog& log, SoilColumnLoopReport& report, bool dump_mode);

}  // namespace tolvo
