#include "subsurface/soil_column_solver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include "framework/error_code.h"
#include "framework/parallel.h"

namespace tolvo {

double dynamic_step_limit(const SoilRecord& soil, int first_layer, int G, std::span<const double> d,
                          std::span<const double> theta, bool has_input, double dt_sub) {
  double dt_min = dt_sub;
  const std::span<const double> ksat = soil.GetKsat();
  for (int i = first_layer; i < G && i <= soil.layerCount; ++i) {
    double k = ksat[static_cast<std::size_t>(i)];
    if (!has_input) {
      const double kr = soil.RelativeConductivity(i, theta[i], 1.0);
      if (!(kr > 0)) continue;
      k *= kr;
    }
    if (k > 0) dt_min = std::min(dt_min, d[i] / k);
  }
  return dt_min;
}

TimeSteps choose_time_steps(SoilMethod method, double dt_sub, double dt_min, double min_dynamic_s,
                            double heat_steps) {
  TimeSteps t;
  switch (method) {
    case SoilMethod::FixedStep:
      t.nW = 1;
      break;
    case SoilMethod::DynamicStep:
      t.nW = std::ceil(dt_sub / std::max(dt_min, min_dynamic_s));
      break;
  }
  t.nW = std::max(t.nW, 1.0);
  if (heat_steps <= 0) {
    t.nH = t.nW;
    t.h = 1;
  } else if (heat_steps <= 2 * t.nW) {
    if (heat_steps <= t.nW) {
      t.nH = t.nW;
    } else {
      t.nH = heat_steps;
      t.nW = heat_steps;
    }
    t.h = 1;
  } else {
    const long long whole_h = static_cast<long long>(std::floor(heat_steps));
    const long long whole_w = static_cast<long long>(std::floor(t.nW));
    t.nH = static_cast<double>((whole_h / whole_w + 1) * whole_w);
    t.h = static_cast<int>(t.nH / t.nW);
  }
  t.dt = dt_sub / t.nW;
  t.dtH = dt_sub / t.nH;
  t.F = t.dt * 1000;
  return t;
}

RichardsOutcome richards_iteration(const SoilColumnKernels& k, const RichardsTuning& tuning,
                                   const ColumnParameters& p, const ColumnArrays& c, double input_rate,
                                   RiverTotals& river) {
  constexpr int kUpdatePasses = 10;
  double limit = tuning.max_error;
  int i = 0;
  int count = 0;
  double err = 0;
  k.layerHydraulicProperties(p, c, 0);
  for (;;) {
    ++i;
    k.columnFluxes(p, c, input_rate);
    k.updateTheta(p, c, kUpdatePasses, river);
    if (i == 21) limit = 5 * tuning.max_error;
    err = k.iterationError(p, c, i, count);
    if (err <= limit || std::isnan(err) || i >= tuning.max_iterations) break;
    k.layerHydraulicProperties(p, c, i);
  }
  return {i, err};
}

std::string solver_log_line(int day, int month, int hour, int row, int col, int iterations, double error) {
  char line[200];
  std::snprintf(line, sizeof line, "%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n", day, month, hour,
                row, col, iterations, error);
  return line;
}

CellAction select_cell(const CellSelection& s) {
  if (s.zone_nodata) return CellAction::kSkip;
  const bool here = s.in_spare_row ? s.river_cell_moved : s.own_rank && !s.river_cell_moved;
  if (!here) return CellAction::kSkip;
  if (s.hru_run && s.hru_master_nodata) return CellAction::kSkip;
  if (std::clamp(s.glacier_fraction, 0.0, 1.0) >= 1) return CellAction::kGlacier;
  return CellAction::kCompute;
}

namespace {

constexpr int kColumnArrayCount = 16;

}  // namespace

ColumnScratch::ColumnScratch(int n) : storage_(static_cast<std::size_t>(n + 1) * kColumnArrayCount, 0.0) {
  const std::size_t m = static_cast<std::size_t>(n) + 1;
  std::span<double> all(storage_);
  int k = 0;
  const auto next = [&] { return all.subspan(m * static_cast<std::size_t>(k++), m); };
  arrays_.d = next();
  arrays_.theta_s = next();
  arrays_.theta_r = next();
  arrays_.theta0 = next();
  arrays_.theta_m = next();
  arrays_.theta_n = next();
  arrays_.theta = next();
  arrays_.z = next();
  arrays_.H = next();
  arrays_.psi0 = next();
  arrays_.q = next();
  arrays_.I = next();
  arrays_.R = next();
  arrays_.X = next();
  arrays_.Ks = next();
  theta_start_ = next();
}

void ColumnScratch::clear() { std::fill(storage_.begin(), storage_.end(), 0.0); }

namespace {

double value_or(ConstGridView g, int r, int c, double otherwise) { return g.empty() ? otherwise : g(r, c); }


// Copies the column of cell (r, c) into the work arrays and sets its parameters.
void load_column(const SoilColumnLoopSettings& s, const SoilColumnGrids& g, const SoilRecord& soil, int r, int c,
                 const ColumnArrays& a, ColumnParameters& p) {
  const int n = soil.layerCount;
  for (int j = 0; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    a.d[j] = soil.thickness[k];
    a.theta_s[j] = soil.theta_sat[k];
    a.theta_r[j] = soil.theta_res[k];
  }
  const std::span<const double> theta = g.theta.levels(r, c);
  const std::span<const double> heads = g.hydraulic_heads.levels(r, c);
  const std::span<const double> z = g.geodetic_heads.levels(r, c);
  const std::span<const double> q = g.q_down.levels(r, c);
  for (int j = 0; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    a.theta[j] = theta[k];
    a.H[j] = heads[k];
    a.z[j] = z[k];
    a.q[j] = q[k];
  }
  p.soil = &soil;
  p.n = n;
  p.G = static_cast<int>(g.groundwater_level(r, c));
  p.W = g.groundwater_distance(r, c) + a.z[0];
  p.L = 1;
  p.clay_ksat = s.clay_ksat;
  p.cellsize = s.cellsize;
  p.drainage_density = value_or(g.drainage_density, r, c, 0);
  p.slope_factor = std::min(1.0, value_or(g.tangens_beta, r, c, 0));
}

void store_column(const SoilColumnGrids& g, int r, int c, const ColumnArrays& a, int n) {
  const std::span<double> theta = g.theta.levels(r, c);
  const std::span<double> heads = g.hydraulic_heads.levels(r, c);
  const std::span<double> q = g.q_down.levels(r, c);
  for (int j = 1; j <= n; ++j) {
    const auto k = static_cast<std::size_t>(j);
    theta[k] = a.theta[j];
    heads[k] = a.H[j];
    q[k] = a.q[j];
  }
}

// One sub-step of a computed cell; returns the number of water iterations.
double advance_column(const SoilColumnKernels& kernels, const SoilColumnLoopSettings& s, const SoilColumnGrids& g,
                      int r, int c, ColumnScratch& scratch, std::vector<SoilColumnWorkspace::SlowIteration>& slow) {
  const int type = static_cast<int>(g.soil_types(r, c));
  if (type < 1 || type >= static_cast<int>(s.soils.size())) {
    throw ColumnFailure{kSoilCodeError, "FATAL: soil type " + std::to_string(type) + " of cell (" +
                                            std::to_string(r) + ", " + std::to_string(c) +
                                            ") is not in the soil table"};
  }
  const SoilRecord& soil = s.soils[static_cast<std::size_t>(type)];
  scratch.clear();
  const ColumnArrays a = scratch.arrays();
  ColumnParameters p;
  load_column(s, g, soil, r, c, a, p);
  const double input_mm = value_or(g.input, r, c, 0);
  const double input_rate = input_mm / 1000 / s.dt_sub;
  double dt_min = s.dt_sub;
  if (s.method == SoilMethod::DynamicStep) {
    dt_min = dynamic_step_limit(soil, 1, p.G, a.d, a.theta, input_mm != 0, s.dt_sub);
  }
  const TimeSteps steps = choose_time_steps(s.method, s.dt_sub, dt_min, s.min_dynamic_s, 0);
  p.dt = steps.dt;
  RiverTotals river;
  for (int k = 1; k <= static_cast<int>(steps.nW); ++k) {
    for (int j = 0; j <= p.n; ++j) {
      a.theta0[j] = a.theta[j];
      a.theta_m[j] = a.theta[j];
      a.theta_n[j] = a.theta[j];
    }
    const RichardsOutcome out = richards_iteration(kernels, s.tuning, p, a, input_rate, river);
    if (out.iterations > 100 && s.rank == 0) slow.push_back({r, c, out.iterations, out.error});
  }
  store_column(g, r, c, a, p.n);
  if (!g.q_downext.empty()) g.q_downext(r, c) = a.q[0];
  return steps.nW;
}

}  // namespace

SoilColumnWorkspace::SoilColumnWorkspace(int max_layers) : max_layers_(max_layers) {
  ensure_threads(row_thread_count());
}

void SoilColumnWorkspace::ensure_threads(int n) {
  threads_.reserve(static_cast<std::size_t>(n));
  while (static_cast<int>(threads_.size()) < n) threads_.emplace_back(max_layers_);
}

SoilColumnLoopReport soil_column_loop(const SoilColumnKernels& kernels, const SoilColumnLoopSettings& s,
                                      const SoilColumnGrids& g, SoilColumnWorkspace& work) {
  std::atomic<bool> failed{false};
  work.ensure_threads(row_thread_count());
  for (SoilColumnWorkspace::PerThread& t : work.threads_) {
    t.cells = 0;
    t.sub_steps = 0;
    t.failure.code = 0;
    t.slow.clear();
  }
  const RowRange rows{std::max(1, s.rows.first - 1), s.rows.last};
  for_each_row_by_thread(rows, [&](int r, int t) {
    SoilColumnWorkspace::PerThread& own = work.threads_[static_cast<std::size_t>(t)];
    // The spare row holds cells only where the cell exchange gave the grids that row.
    if (!g.zone.rows().contains(r) || !g.theta.rows().contains(r)) return;
    if (!g.river_links.empty() && !g.river_links.rows().contains(r)) return;
    for (int c = 1; c <= s.ncols; ++c) {
      if (failed.load(std::memory_order_relaxed)) return;
      CellSelection sel;
      sel.zone_nodata = g.zone(r, c) == s.nodata;
      sel.own_rank = g.regions.empty() || (g.regions.rows().contains(r) && static_cast<int>(g.regions(r, c)) == s.rank);
      sel.in_spare_row = r == s.rows.first - 1;
      sel.river_cell_moved = s.links_built && !g.river_links.empty() && g.river_links(r, c) != s.nodata &&
                             g.river_links(r, c) > 0;
      sel.hru_run = s.hru_run;
      sel.hru_master_nodata = !g.hru_master.empty() && g.hru_master(r, c) == s.nodata;
      sel.glacier_fraction = value_or(g.glacier, r, c, 0);
      try {
        const CellAction action = select_cell(sel);
        if (action == CellAction::kGlacier) {
          for (const GridView& z : g.zeroed_on_glacier) z(r, c) = 0;
        }
        if (action == CellAction::kCompute) {
          own.sub_steps += advance_column(kernels, s, g, r, c, own.scratch, own.slow);
          ++own.cells;
        } else if (!g.q_downext.empty() && r >= s.rows.first) {
          g.q_downext(r, c) = g.q_down(r, c, 0);
        }
      } catch (ColumnFailure& f) {
        own.failure = {f.code, std::move(f.entry)};
        failed.store(true);
        return;
      } catch (const ErrorCode& e) {
        own.failure = {e.code, {}};
        failed.store(true);
        return;
      } catch (const std::exception& e) {
        own.failure = {kOtherExceptionCode,
                       std::string("FATAL: unexpected exception caught in the soil column solver: ") + e.what()};
        failed.store(true);
        return;
      } catch (...) {
        own.failure = {kOtherExceptionCode, "FATAL: unexpected exception caught in the soil column solver: unknown exception"};
        failed.store(true);
        return;
      }
    }
  });

  SoilColumnLoopReport report;
  for (const SoilColumnWorkspace::PerThread& t : work.threads_) {
    report.computed_cells += t.cells;
    report.column_sub_steps += static_cast<long long>(t.sub_steps);
    if (report.code == 0 && t.failure.code != 0) {
      report.code = t.failure.code;
      report.entry = t.failure.entry;
    }
  }
  std::vector<SoilColumnWorkspace::SlowIteration> lines;
  for (const SoilColumnWorkspace::PerThread& t : work.threads_) lines.insert(lines.end(), t.slow.begin(), t.slow.end());
  if (report.code == 0 && !lines.empty() && !s.solver_log_file.empty()) {
    std::sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) {
      return a.row != b.row ? a.row < b.row : a.col < b.col;
    });
    std::FILE* f = std::fopen(s.solver_log_file.c_str(), "a");
    if (f == nullptr) {
      report.code = kModelLogOpenError;
      report.entry = "FATAL: error opening log-file " + s.solver_log_file;
      return report;
    }
    for (const auto& l : lines) {
      std::fputs(solver_log_line(s.day, s.month, s.hour, l.row, l.col, l.iterations, l.error).c_str(), f);
    }
    std::fclose(f);
  }
  return report;
}

void raise_column_failure(DiagnosticsLog& log, const SoilColumnLoopReport& report) {
  if (report.code == 0) return;
  if (!report.entry.empty()) log << report.entry << "[end-entry]";
  RaiseError(report.code);
}

}  // namespace tolvo
