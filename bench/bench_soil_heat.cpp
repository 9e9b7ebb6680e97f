// The heat sub-step of one soil column of 20 loam layers of 0.1 m under 3 snow layers:
// liquid fractions and heat capacities from the freezing tables, conductivities, then the
// explicit scheme (method 10) or the implicit one (11: conduction, 12: with the heat of a
// downward water flux and macropore inflow). The column freezes from a −10 °C surface, so
// the freezing tables are used over their whole range. Counter: column heat sub-steps per
// second on one core.
#include <benchmark/benchmark.h>

#include <sstream>
#include <vector>

#include "framework/diagnostics_log.h"
#include "subsurface/soil_heat_step.h"
#include "tables/soil_table.h"

namespace {

using namespace tolvo;

constexpr int kS = 3;
constexpr int kN = 20;

struct Column {
  Column() : log("/dev/null", 0, console) {
    soil.ParseBlock(log, "1 loam { method = MultipleHorizons; layers = 20; ksat = 1e-5; theta_sat = 0.43; "
                         "theta_res = 0.078; alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    snow.ParseBlock(log, "1 snow { method = MultipleHorizons; layers = 3; ksat = 1e-4; theta_sat = 0.9; "
                         "theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; }\n");
    for (SoilRecord* r : {&soil, &snow}) {
      const auto n = static_cast<std::size_t>(r->layerCount) + 1;
      r->DryDensity.assign(n, r == &soil ? 1500 : 300);
      r->DryHeatCapacity.assign(n, 800);
      r->DryThermalConduct.assign(n, r == &soil ? 2.0 : 0.2);
      for (int l = 0; l <= r->layerCount; ++l) r->BuildFreezingTables(l, 1.22);
    }
    const auto n = static_cast<std::size_t>(kS + kN + 1);
    for (std::vector<double>* v : {&T, &Tn, &dT, &F, &fL, &dfL, &lambda, &Cv, &s, &b, &u, &r, &x, &theta, &theta_r,
                                   &dz, &q, &mI}) {
      v->assign(n, 0.0);
    }
    horizons.resize(n);
    for (int p = -kS; p <= kN; ++p) {
      const auto k = static_cast<std::size_t>(p + kS);
      const SoilRecord& rec = p <= 0 ? snow : soil;
      const auto l = static_cast<std::size_t>(p <= 0 ? p + kS : p);
      dz[k] = rec.thickness[l];
      theta[k] = 0.3;
      theta_r[k] = rec.theta_res[l];
      horizons[k] = make_conductivity_horizon(rec.theta_sat[l], rec.DryThermalConduct[l], 0.5562);
      q[k] = -2e-7;
      mI[k] = p >= 2 && p <= 4 ? 1e-7 : 0;
    }
    Reset();
  }
  void Reset() {
    for (int p = -kS; p <= kN; ++p) T[static_cast<std::size_t>(p + kS)] = p <= 0 ? -3 : 2;
  }
  PositionArray at(std::vector<double>& v) { return {v, -kS}; }
  HeatColumnArrays arrays() {
    return {at(T), at(Tn), at(dT), at(F), at(fL), at(dfL), at(lambda), at(Cv), at(s), at(b), at(u), at(r), at(x),
            {theta, -kS}, {theta_r, -kS}, {dz, -kS}, {q, -kS}, {mI, -kS}, horizons};
  }
  std::ostringstream console;
  DiagnosticsLog log;
  SoilRecord soil, snow;
  std::vector<double> T, Tn, dT, F, fL, dfL, lambda, Cv, s, b, u, r, x, theta, theta_r, dz, q, mI;
  std::vector<ConductivityHorizon> horizons;
};

void BM_SoilHeatSubStep(benchmark::State& state) {
  Column column;
  HeatStepParameters p;
  const int method = static_cast<int>(state.range(0));
  p.method = heat_method_of(method);
  const HeatColumnCell cell{.soil = &column.soil, .snow = &column.snow, .n_snow = kS, .a = -kS, .N = kN,
                            .T_air = -10, .nf = 1, .Ts = -10, .T_lower = 2, .Tm = 0};
  const HeatColumnArrays arrays = column.arrays();
  // Explicit sub-steps are short (the scheme's stability), implicit ones long.
  const double dt = method <= 10 ? 60 : 900;
  const SoilHeatKernels kernels;
  long long steps = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      column_heat_sub_step(kernels, p, cell, arrays, dt);
    }
    steps += 1000;
    state.PauseTiming();
    column.Reset();
    state.ResumeTiming();
    benchmark::DoNotOptimize(column.T.data());
  }
  state.counters["column_heat_sub_steps_per_s_per_core"] =
      benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_SoilHeatSubStep)->Arg(10)->Arg(11)->Arg(12)->Unit(benchmark::kMicrosecond);

}  // namespace
