#pragma once
// A soil column for the kernel tests: a loam after van Genuchten (1980) parameters
// (alpha 3.6 1/m, n 1.56, θs 0.43, θr 0.078, Ks 1e-5 m/s) of n layers of 0.1 m, surface at
// 100 m, work arrays from a ColumnScratch.

#include <string>

#include "subsurface/soil_column_solver.h"
#include "support/test_support.h"
#include "tables/soil_table.h"

namespace tolvo::test {

inline SoilRecord MakeLoam(DiagnosticsLog& log, int layers, double thickness = 0.1) {
  SoilRecord soil(1);
  soil.ParseBlock(log, "20 loam { method = MultipleHorizons; layers = " + std::to_string(layers) +
                           "; ksat = 1e-5; theta_sat = 0.43; theta_res = 0.078; alpha = 3.6; Par_n = 1.56; "
                           "thickness = " +
                           std::to_string(thickness) + "; }\n");
  return soil;
}

class ColumnTest : public LogFixture {
 protected:
  explicit ColumnTest(int n = 8) : soil_(MakeLoam(log_, n)), scratch_(n) {
    c_ = scratch_.arrays();
    p_.soil = &soil_;
    p_.n = n;
    p_.G = n;
    p_.W = 0;
    p_.dt = 600;
    c_.z[0] = 100;
    for (int j = 0; j <= n; ++j) {
      c_.d[j] = soil_.thickness[static_cast<std::size_t>(j)];
      c_.theta_s[j] = soil_.theta_sat[static_cast<std::size_t>(j)];
      c_.theta_r[j] = soil_.theta_res[static_cast<std::size_t>(j)];
      c_.Ks[j] = soil_.ksat[static_cast<std::size_t>(j)];
      if (j > 0) c_.z[j] = c_.z[j - 1] - c_.d[j];
    }
    p_.W = c_.z[n];
  }
  // Every layer at content theta (start, mean and current).
  void Fill(double theta) {
    for (int j = 0; j <= p_.n; ++j) c_.theta0[j] = c_.theta_m[j] = c_.theta_n[j] = c_.theta[j] = theta;
  }
  // Water in layers 1..n [m].
  double Water() const {
    double w = 0;
    for (int j = 1; j <= p_.n; ++j) w += c_.theta[j] * c_.d[j];
    return w;
  }

  SoilRecord soil_;
  ColumnScratch scratch_;
  ColumnArrays c_;
  ColumnParameters p_;
};

}  // namespace tolvo::test
