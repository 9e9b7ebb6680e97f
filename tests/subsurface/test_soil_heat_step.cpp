#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "framework/diagnostics_log.h"
#include "subsurface/soil_heat_step.h"
#include "support/test_support.h"
#include "tables/soil_table.h"

namespace tolvo::test {
namespace {

// A loam column of 10 layers of 0.1 m with its freezing tables, under 2 snow layers.
constexpr int kS = 2;
constexpr int kN = 10;

struct HeatColumnFixture {
  HeatColumnFixture() : n_(kS + kN + 1) {
    soil_.ParseBlock(log_, "1 loam { method = MultipleHorizons; layers = 10; ksat = 1e-5; theta_sat = 0.43; "
                           "theta_res = 0.078; alpha = 3.6; Par_n = 1.56; thickness = 0.1; }\n");
    snow_.ParseBlock(log_, "1 snow { method = MultipleHorizons; layers = 2; ksat = 1e-4; theta_sat = 0.9; "
                           "theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; }\n");
    for (SoilRecord* r : {&soil_, &snow_}) {
      const double rho = r == &soil_ ? 1500 : 300;
      const double lam = r == &soil_ ? 2.0 : 0.2;
      r->DryDensity.assign(static_cast<std::size_t>(r->layerCount) + 1, rho);
      r->DryHeatCapacity.assign(static_cast<std::size_t>(r->layerCount) + 1, 800);
      r->DryThermalConduct.assign(static_cast<std::size_t>(r->layerCount) + 1, lam);
      for (int l = 0; l <= r->layerCount; ++l) r->BuildFreezingTables(l, 1.22);
    }
    const std::size_t n = static_cast<std::size_t>(n_);
    for (std::vector<double>* v : {&T_, &Tn_, &dT_, &F_, &fL_, &dfL_, &lambda_, &Cv_, &s_, &b_, &u_, &r_, &x_, &theta_,
                                   &theta_r_, &dz_, &q_, &mI_}) {
      v->assign(n, 0.0);
    }
    horizons_.resize(n);
    for (int p = -kS; p <= kN; ++p) {
      const std::size_t k = static_cast<std::size_t>(p + kS);
      const SoilRecord& rec = p <= 0 ? snow_ : soil_;
      const auto l = static_cast<std::size_t>(p <= 0 ? p + kS : p);
      dz_[k] = rec.thickness[l];
      theta_[k] = p <= 0 ? 0.3 : 0.3;
      theta_r_[k] = rec.theta_res[l];
      horizons_[k] = make_conductivity_horizon(rec.theta_sat[l], rec.DryThermalConduct[l], 0.5562);
      T_[k] = p <= 0 ? -6 : 2;
    }
  }
  PositionArray at(std::vector<double>& v) { return {v, -kS}; }
  HeatColumnArrays arrays() {
    return {at(T_), at(Tn_), at(dT_), at(F_), at(fL_), at(dfL_), at(lambda_), at(Cv_), at(s_), at(b_), at(u_), at(r_),
            at(x_), {theta_, -kS}, {theta_r_, -kS}, {dz_, -kS}, {q_, -kS}, {mI_, -kS}, horizons_};
  }
  double stored_change(const std::vector<double>& before, int a) {
    double h = 0;
    for (int p = a + 1; p <= kN; ++p) {
      const std::size_t k = static_cast<std::size_t>(p + kS);
      h += Cv_[k] * dz_[k] * (T_[k] - before[k]);
    }
    return h;
  }

  TempDir dir_;
  std::ostringstream console_;
  DiagnosticsLog log_{dir_.file("d.xml"), 4, console_};
  SoilRecord soil_, snow_;
  int n_;
  std::vector<double> T_, Tn_, dT_, F_, fL_, dfL_, lambda_, Cv_, s_, b_, u_, r_, x_, theta_, theta_r_, dz_, q_, mI_;
  std::vector<ConductivityHorizon> horizons_;
};

// A column freezing from the surface: in every sub-step the heat stored (heat capacity
// with the latent heat of the water that freezes) changes by the heat through the surface
// and the lower boundary, for the implicit scheme with snow on the column and the explicit
// scheme on bare soil.
TEST(SoilHeatStep, FreezingColumnClosesItsHeatBalance) {
  struct Case {
    HeatMethod method;
    int a;
    double dt;
  };
  for (const Case k : {Case{HeatMethod::kConduction, -kS, 900.0}, Case{HeatMethod::kExplicit, 0, 60.0}}) {
    SCOPED_TRACE(k.a);
    HeatColumnFixture fresh;
    HeatStepParameters p;
    p.method = k.method;
    HeatColumnCell cell{.soil = &fresh.soil_, .snow = &fresh.snow_, .n_snow = kS, .a = k.a, .N = kN, .T_air = -15,
                        .nf = 1, .Ts = -15, .T_lower = 2, .Tm = 0};
    double latent = 0;
    for (int step = 0; step < 200; ++step) {
      const std::vector<double> before = fresh.T_;
      column_heat_sub_step(SoilHeatKernels{}, p, cell, fresh.arrays(), k.dt);
      const auto Tv = fresh.at(fresh.T_);
      const auto lam = fresh.at(fresh.lambda_);
      const auto dz = fresh.at(fresh.dz_);
      const double Tk = k.method == HeatMethod::kExplicit ? before[static_cast<std::size_t>(k.a + 1 + kS)] : Tv[k.a + 1];
      const double TN = k.method == HeatMethod::kExplicit ? before.back() : Tv[kN];
      const double through = static_cast<int>(k.dt) * (2 * lam[k.a + 1] / dz[k.a + 1] * (cell.Ts - Tk) +
                                                      2 * lam[kN] / dz[kN] * (cell.T_lower - TN));
      const double change = fresh.stored_change(before, k.a);
      ASSERT_NEAR(change, through, 1e-9 * (std::fabs(through) + 1)) << "step " << step;
      for (int j = k.a + 1; j <= kN; ++j) latent += fresh.at(fresh.dfL_)[j] * dz[j] * (Tv[j] - before[static_cast<std::size_t>(j + kS)]);
    }
    EXPECT_LT(fresh.at(fresh.T_)[1], 0) << "the top soil layer froze";
    EXPECT_LT(latent, 0) << "the freezing water gave off latent heat";
  }
}

}  // namespace
}  // namespace tolvo::test
