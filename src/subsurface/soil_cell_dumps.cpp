#include "subsurface/soil_cell_dumps.h"

#include <mpi.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "framework/error_code.h"
#include "subsurface/soil_column_solver.h"

namespace tolvo {
namespace {

constexpr double kNodataLimit = -9998.9;
constexpr double kMaxBaseflow = 10;
constexpr double kThetaTolerance = 0.001;
constexpr int kSnapshotArrays = 14;

template <class T>
void Put(std::vector<std::byte>& buffer, T value) {
  const std::size_t at = buffer.size();
  buffer.resize(at + sizeof(T));
  std::memcpy(buffer.data() + at, &value, sizeof(T));
}

void PutArray(std::vector<std::byte>& buffer, std::span<const double> values) {
  const std::size_t at = buffer.size();
  buffer.resize(at + values.size_bytes());
  std::memcpy(buffer.data() + at, values.data(), values.size_bytes());
}

std::string CloseAfterDumpEntry() {
  return "FATAL: \n\n -------- command line option -closeAfterDump active! "
         "---------------------------------------------\n\n"
         " a dumpfile has been written and Tolvo aborts now.\n" +
         std::string(61, '-') + "\n\n";
}

constexpr const char* kRepairMessage =
    "DEBUG: \n ---- command line option -repairAfterDump active! --------\n"
    "setting the misbehaving parameter back to what is expected of it :-)";

// Writes the dump of the cell; false when the file cannot be opened.
bool WriteDumpFile(const std::string& path, const CellDumpThread& t) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fwrite(t.snapshot.data(), 1, t.snapshot.size(), f);
  std::fwrite(t.tail.data(), 1, t.tail.size(), f);
  return std::fclose(f) == 0;
}

}  // namespace

DumpFlags check_cell(double baseflow, const DumpColumn& col) {
  assert(col.theta.size() > static_cast<std::size_t>(col.n + col.ns) && col.theta_s.size() >= col.theta.size());
  DumpFlags f;
  f.dgw = baseflow < -kMaxBaseflow || baseflow > kMaxBaseflow;
  const auto at = [&](int p) { return static_cast<std::size_t>(p + col.ns); };
  for (int p = 1 - col.ns; p <= col.n; ++p) {
    const double t = col.theta[at(p)];
    if ((t < 0 && t > kNodataLimit) || t > col.theta_s[at(p)] + kThetaTolerance) {
      f.theta = true;
      f.theta_position = p;
      break;
    }
  }
  if (col.ns >= 2) {
    for (int p = 2 - col.ns; p <= 0; ++p) {
      if (col.theta[at(p - 1)] > 0 && col.theta[at(p)] <= kNodataLimit) {
        f.thetasnow = true;
        f.snow_position = p;
        break;
      }
    }
  }
  return f;
}

std::string dump_file_stem(int rank, const DumpFlags& f, int row, int col, int iteration, long long year,
                           long long month, long long day, long long hour) {
  std::string name = "MPI_" + std::to_string(rank) + "_";
  if (f.theta) name += "theta(" + std::to_string(f.theta_position) + ")_";
  if (f.dgw) name += "dgw_";
  if (f.thetasnow) name += "thetasnow(" + std::to_string(f.snow_position) + ")_";
  char date[64];
  std::snprintf(date, sizeof date, "%lld%02lld%02lld%02lld", year, month, day, hour);
  return name + "dump_row_" + std::to_string(row) + "_col_" + std::to_string(col) + "_substep_" +
         std::to_string(iteration) + "_" + date;
}

void repair_cell(const DumpFlags& f, double& baseflow, const DumpColumn& col) {
  assert(col.theta.size() > static_cast<std::size_t>(col.n + col.ns) && col.theta_s.size() >= col.theta.size());
  if (f.dgw) baseflow = std::clamp(baseflow, -kMaxBaseflow, kMaxBaseflow);
  if (!f.theta) return;
  for (int p = 1; p <= col.n; ++p) {
    const auto k = static_cast<std::size_t>(p + col.ns);
    if (col.theta[k] < 0) {
      col.theta[k] = 0;
    } else if (col.theta[k] > col.theta_s[k] + kThetaTolerance) {
      col.theta[k] = col.theta_s[k];
    }
  }
}

CellDumpThread::CellDumpThread(int max_layers, int landuse_layers)
    : real_transpiration(static_cast<std::size_t>(landuse_layers) + 1, 0.0),
      landuse(static_cast<std::size_t>(landuse_layers) + 1, 0.0) {
  const std::size_t positions = static_cast<std::size_t>(max_layers) + 1;
  const std::size_t l = static_cast<std::size_t>(landuse_layers) + 1;
  snapshot.reserve(sizeof(std::int32_t) + 3 * sizeof(double) + l * sizeof(double) +
                   kSnapshotArrays * positions * sizeof(double));
  tail.reserve(6 * sizeof(std::int32_t) + l * sizeof(double) + 2 * sizeof(double));
}

void CellDumpThread::clear_reports() {
  repair_messages = 0;
  last_repair_message = false;
  unopened.clear();
}

void take_dump_snapshot(CellDump& dump, const ColumnParameters& p, const ColumnArrays& a, double last_properties,
                        double input_rate) {
  CellDumpThread& t = *dump.thread;
  t.snapshot.clear();
  Put<std::int32_t>(t.snapshot, p.L);
  Put(t.snapshot, last_properties);
  Put(t.snapshot, input_rate);
  Put(t.snapshot, dump.baseflow != nullptr ? *dump.baseflow : 0.0);
  PutArray(t.snapshot, std::span<const double>(t.real_transpiration).first(
                           static_cast<std::size_t>(dump.landuse_layers) + 1));
  const std::size_t m = static_cast<std::size_t>(p.n) + 1;
  for (const std::span<double> s : {a.R, a.X, a.psi0, a.theta0, a.theta_m, a.H, a.z, a.q, a.I, a.theta_s, a.d,
                                    a.theta_n, a.theta_r, a.theta}) {
    PutArray(t.snapshot, s.first(m));
  }
}

void check_and_dump(CellDump& dump, const ColumnParameters& p, const ColumnArrays& a, int iteration, double nW,
                    double dt) {
  const std::size_t m = static_cast<std::size_t>(p.n) + 1;
  const DumpColumn col{.n = p.n, .ns = 0, .theta = a.theta.first(m), .theta_s = a.theta_s.first(m)};
  double baseflow = dump.baseflow != nullptr ? *dump.baseflow : 0.0;
  const DumpFlags flags = check_cell(baseflow, col);
  if (!flags.any()) return;
  const CellDumpRun& run = *dump.run;
  const DumpOptions& o = run.options;
  CellDumpThread& t = *dump.thread;
  // The limit is read and the anomaly counted in one step, so that the limit holds under threads.
  const long long before = run.counter->fetch_add(1);
  const long long count = before + 1;
  if (o.max_dump_files == 0 || before < o.max_dump_files) {
    t.tail.clear();
    Put<std::int32_t>(t.tail, dump.soil_type);
    PutArray(t.tail, std::span<const double>(t.landuse).subspan(1, static_cast<std::size_t>(dump.landuse_layers)));
    for (const long long v : {run.hour, run.day, run.month, run.year}) Put<std::int32_t>(t.tail, static_cast<std::int32_t>(v));
    Put(t.tail, nW);
    Put(t.tail, dt);
    Put<std::int32_t>(t.tail, 0);  // the position above the first active layer (no snow layers)
    const std::string path =
        dump_file_stem(run.rank, flags, dump.row, dump.col, iteration, run.year, run.month, run.day, run.hour) +
        ".dmp";
    if (!WriteDumpFile(path, t)) t.unopened.push_back(path);
  }
  if (o.close_after_dump) throw ColumnFailure{kSoilDumpAbort, CloseAfterDumpEntry()};
  if (!o.repair_after_dump) return;
  repair_cell(flags, baseflow, col);
  if (dump.baseflow != nullptr) *dump.baseflow = baseflow;
  if (o.max_dump_files > 0 && count < o.max_dump_files) ++t.repair_messages;
  if (o.max_dump_files > 0 && count == o.max_dump_files) t.last_repair_message = true;
}

void finish_cell_dumps(DiagnosticsLog& log, SoilColumnLoopReport& report, bool dump_mode) {
  if (!dump_mode) return;
  for (const std::string& file : report.unopened_dumps) {
    log << "WARNING: the dump file " << file << " cannot be opened for writing; it is skipped" << "[end-entry]";
  }
  for (long long k = 0; k < report.dump_repair_messages; ++k) log << kRepairMessage << "[end-entry]";
  if (report.dump_last_repair_message) {
    log << kRepairMessage << "\n continuing from now on without that message..." << "[end-entry]";
  }
  int mine = report.code == kSoilDumpAbort ? 1 : 0;
  int any = 0;
  MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any != 0 && report.code == 0) {
    report.code = kSoilDumpAbort;
    report.entry = "FATAL: a soil column dump on another process ends the run (-closeAfterDump)";
  }
}

}  // namespace tolvo
