#include "subsurface/soil_cell_dumps.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "framework/error_code.h"
#include "subsurface/soil_column_solver.h"

namespace tolvo {
namespace {

constexpr double kNodataLimit = -9998.9;
constexpr double kMaxBaseflow = 10;
constexpr double kThetaTolerance = 0.001;
constexpr int kSnapshotArrays = 14;
constexpr double kTemperatureLimit = 70;       // [°C]
constexpr double kTemperatureTolerance = 0.001;  // [K]

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

HeatCheck check_temperature(const HeatDumpColumn& h, std::span<const double> T_snapshot, int p, double surface) {
  const auto at = [&](std::span<const double> v, int q) { return v[static_cast<std::size_t>(q + h.ns)]; };
  const double T = at(h.T, p);
  if (T < -kTemperatureLimit || T > kTemperatureLimit) {
    return {true, std::clamp(T, -kTemperatureLimit, kTemperatureLimit)};
  }
  std::array<double, 6> refs{};
  std::size_t n = 0;
  refs[n++] = at(T_snapshot, p);
  if (p == h.a + 1) {
    refs[n++] = surface;
  } else if (p - 1 >= -h.ns) {
    refs[n++] = at(T_snapshot, p - 1);
    refs[n++] = at(h.T, p - 1);
  }
  if (p + 1 <= h.N) {
    refs[n++] = at(T_snapshot, p + 1);
    refs[n++] = at(h.T, p + 1);
  } else if (h.T_lower > kNodataLimit) {
    refs[n++] = h.T_lower;
  }
  const auto [lo, hi] = std::minmax_element(refs.begin(), refs.begin() + static_cast<std::ptrdiff_t>(n));
  if (T > *hi + kTemperatureTolerance) return {true, *hi};
  if (T < *lo - kTemperatureTolerance) return {true, *lo};
  return {false, T};
}

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
  if (f.heat) name += "heat(" + std::to_string(f.heat_position) + ")_";
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
  if (dump.heat == nullptr) {
    for (const std::span<double> s : {a.R, a.X, a.psi0, a.theta0, a.theta_m, a.H, a.z, a.q, a.I, a.theta_s, a.d,
                                      a.theta_n, a.theta_r, a.theta}) {
      PutArray(t.snapshot, s.first(m));
    }
    return;
  }
  // With snow the arrays run over positions −ns..n: the snow layers of the water column,
  // then soil layers 1..n.
  const HeatDumpColumn h = dump.heat->heat_dump();
  const auto ns = static_cast<std::size_t>(h.ns);
  const std::size_t first = ns > 0 ? 1 : 0;
  for (const ColumnArray& v : {a.R, a.X, a.psi0, a.theta0, a.theta_m, a.H, a.z, a.q, a.I, a.theta_s, a.d, a.theta_n,
                               a.theta_r, a.theta}) {
    PutArray(t.snapshot, v.from(-h.ns).first(ns + m));
  }
  const std::size_t w = ns + m;
  t.T_snapshot.assign(h.T.begin(), h.T.begin() + static_cast<std::ptrdiff_t>(w));
  t.heat_snapshot.clear();
  for (const std::span<const double> v : {h.theta, h.fL, std::span<const double>(h.T), h.lambda, h.dfL, h.Cv}) {
    t.heat_snapshot.insert(t.heat_snapshot.end(), v.begin(), v.begin() + static_cast<std::ptrdiff_t>(w));
  }
  // The soil positions' θ of the heat column is that of the last heat step; the column's is current.
  for (std::size_t j = first; j < m; ++j) t.heat_snapshot[ns + j] = a.theta[j];
  t.Ts_snapshot = h.Ts;
  for (const std::span<const double> v : {h.fL, std::span<const double>(h.T), h.lambda, h.dfL, h.Cv, h.F, h.Tn}) {
    PutArray(t.snapshot, v.first(w));
  }
  Put(t.snapshot, h.dtH);
  t.snow_snapshot.clear();
  if (ns > 0) {
    t.snow_snapshot.insert(t.snow_snapshot.end(), h.solid.begin(), h.solid.end());
    t.snow_snapshot.insert(t.snow_snapshot.end(), h.liquid.begin(), h.liquid.end());
    t.snow_snapshot.insert(t.snow_snapshot.end(), h.dz.begin(), h.dz.begin() + static_cast<std::ptrdiff_t>(ns + 1));
    t.snow_snapshot.insert(t.snow_snapshot.end(), h.density.begin(), h.density.end());
    PutArray(t.snapshot, h.solid);
    PutArray(t.snapshot, h.liquid);
    PutArray(t.snapshot, h.density);
    PutArray(t.snapshot, h.dz.first(ns + 1));
    for (const double v : {h.upper_index, h.storage_solid, h.storage_liquid, h.storage_total}) Put(t.snapshot, v);
  }
}

namespace {

// The column's water contents over positions −ns..n for the checks: the pack's, then the
// soil layers'.
DumpColumn water_contents(CellDumpThread& t, const ColumnParameters& p, const ColumnArrays& a, const HeatDumpColumn* h) {
  const std::size_t m = static_cast<std::size_t>(p.n) + 1;
  if (h == nullptr || h->ns == 0) {
    return {.n = p.n, .ns = 0, .theta = a.theta.soil().first(m), .theta_s = a.theta_s.soil().first(m)};
  }
  const auto ns = static_cast<std::size_t>(h->ns);
  const std::span<const double> theta = a.theta.from(-h->ns).first(ns + m);
  const std::span<const double> theta_s = a.theta_s.from(-h->ns).first(ns + m);
  t.theta.assign(theta.begin(), theta.end());
  t.theta_s.assign(theta_s.begin(), theta_s.end());
  return {.n = p.n, .ns = h->ns, .theta = t.theta, .theta_s = t.theta_s};
}

// The readable part of a dump: the pack's layers and the heat column, current and of the
// snapshot, each value followed by a tab.
bool WriteTextDump(const std::string& path, const CellDumpThread& t, const HeatDumpColumn& h,
                   std::span<const double> theta) {
  std::ofstream out(path);
  if (!out) return false;
  out << "this file contains some values in human readabel format for layered snow model and heat transfer model\n";
  const auto line = [&](const char* label, std::span<const double> v, std::size_t from, std::size_t to) {
    out << label;
    for (std::size_t k = from; k < to; ++k) out << v[k] << '\t';
    out << '\n';
  };
  const auto ns = static_cast<std::size_t>(h.ns);
  if (ns > 0) {
    const std::size_t L = ns + 1;
    const std::span<const double> snap(t.snow_snapshot);
    std::vector<double> thickness(h.dz.begin(), h.dz.begin() + static_cast<std::ptrdiff_t>(L));
    const std::array<std::span<const double>, 4> now{h.solid, h.liquid, std::span<const double>(thickness), h.density};
    const char* const names[4][2] = {{"     swes ", "dump.swes "}, {"     swel ", "dump.swel "},
                                     {"     thickSnow ", "dump.thickSnow "}, {"     densSnow ", "dump.densSnow "}};
    for (std::size_t k = 0; k < 4; ++k) {
      line(names[k][0], now[k], 1, L);
      line(names[k][1], snap.subspan(k * L, L), 1, L);
    }
  }
  const std::size_t w = ns + static_cast<std::size_t>(h.N) + 1;
  const std::span<const double> snap(t.heat_snapshot);
  const std::array<std::span<const double>, 6> now{theta, h.fL, std::span<const double>(h.T), h.lambda, h.dfL, h.Cv};
  const char* const names[6][2] = {{"     theta_sl ", "dump.theta_sl "},   {"     SE_sl ", "dump.SE_sl "},
                                   {"     temper_sl ", "dump.temper_sl "}, {"     lambda_sl ", "dump.lambda_sl "},
                                   {"     dEOverdT_sl ", "dump.dEOverdT_sl "},
                                   {"     heatcap_sl ", "dump.heatcap_sl "}};
  for (std::size_t k = 0; k < 6; ++k) {
    line(names[k][0], now[k], 1, w);
    line(names[k][1], snap.subspan(k * w, w), 1, w);
  }
  out << "    Tsurf " << h.Ts << '\t' << '\n' << "dump.Tsurf " << t.Ts_snapshot << '\t' << '\n';
  return static_cast<bool>(out);
}

}  // namespace

void check_and_dump(CellDump& dump, const ColumnParameters& p, const ColumnArrays& a, int iteration, double nW,
                    double dt) {
  CellDumpThread& t = *dump.thread;
  HeatDumpColumn h;
  if (dump.heat != nullptr) h = dump.heat->heat_dump();
  const HeatDumpColumn* heat = dump.heat != nullptr ? &h : nullptr;
  const DumpColumn col = water_contents(t, p, a, heat);
  double baseflow = dump.baseflow != nullptr ? *dump.baseflow : 0.0;
  DumpFlags flags = check_cell(baseflow, col);
  if (heat != nullptr && t.T_snapshot.size() >= h.T.size()) {
    for (int q = 1 - h.ns; q <= h.N; ++q) {
      if (!(h.T[static_cast<std::size_t>(q + h.ns)] > kNodataLimit)) continue;
      if (check_temperature(h, t.T_snapshot, q, h.nf * h.Ts).anomalous) {
        flags.heat = true;
        flags.heat_position = q;
        break;
      }
    }
  }
  if (!flags.any()) return;
  const CellDumpRun& run = *dump.run;
  const DumpOptions& o = run.options;
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
    Put<std::int32_t>(t.tail, heat != nullptr ? h.a : 0);
    if (heat != nullptr) {
      Put(t.tail, h.h * nW);
      Put<std::int32_t>(t.tail, h.h);
      Put(t.tail, h.T_air);
      Put(t.tail, h.Ts);
    }
    const std::string stem =
        dump_file_stem(run.rank, flags, dump.row, dump.col, iteration, run.year, run.month, run.day, run.hour);
    if (!WriteDumpFile(stem + ".dmp", t)) t.unopened.push_back(stem + ".dmp");
    if (heat != nullptr && !WriteTextDump(stem + ".dmp_asc", t, h, col.theta)) t.unopened.push_back(stem + ".dmp_asc");
  }
  if (o.close_after_dump) throw ColumnFailure{kSoilDumpAbort, CloseAfterDumpEntry()};
  if (!o.repair_after_dump) return;
  repair_cell(flags, baseflow, col);
  if (col.theta.data() != a.theta.data()) {
    for (int q = 1; q <= p.n; ++q) a.theta[static_cast<std::size_t>(q)] = col.theta[static_cast<std::size_t>(q + col.ns)];
  }
  if (flags.heat) {
    // The soil layers' temperatures back within their references, layer 1 under bare
    // ground against the air temperature.
    for (int q = 1; q <= h.N; ++q) {
      const HeatCheck c = check_temperature(h, t.T_snapshot, q, h.nf * h.T_air);
      if (c.anomalous) h.T[static_cast<std::size_t>(q + h.ns)] = c.repaired;
    }
  }
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
