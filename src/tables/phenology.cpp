// Dynamic phenology: rates, the four daily models of one cell and the daily pass over the
// process's cells.

#include "tables/phenology.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "framework/modelobject.h"
#include "framework/parallel.h"

namespace tolvo {

namespace {

// Levels of a cell's fixpoint days that belong to fixpoints of the entry: 1..this.
int LastFixpoint(const LanduseRecord& e, std::span<const double> q) {
  return std::min(e.GetCount(), static_cast<int>(q.size()) - 1);
}

// A cell's fixpoint days at their calendar days again (the uncorrected "JulDays"); for
// DynamicPhenology_3 the fixpoints defined by forcing are open (-1) unless their day is
// already past.
void ResetFixpointDays(const LanduseRecord& e, int d, std::span<double> q) {
  const bool forcing_defined = e.GetMethod() == LanduseMethod::DynamicPhenology_3;
  for (int m = 1; m <= LastFixpoint(e, q); ++m) {
    const int day = e.GetJulDay(m);
    q[m] = !forcing_defined || e.GetForcingThreshold(m) < 0 || day <= d ? day : -1;
  }
}

// Places a phenology start on day d into the cell's fixpoint days: into the first level
// that lies on or after d, is unreached, or follows the last reached one; the next
// fixpoint then lies its duration after the start. A start after every fixpoint of the
// stack has no place and leaves the days as they are.
void PlaceStart(const LanduseRecord& e, int d, std::span<double> q) {
  const int levels = static_cast<int>(q.size()) - 1;
  if (levels < 1) return;
  int slot = 0;
  if (d <= q[1] || q[1] <= 0) {
    slot = 1;
  } else {
    for (int l = 2; l <= levels && slot == 0; ++l) {
      if (q[l] <= kNodata + 1) {
        slot = l - 1;
      } else if (q[l] >= d || q[l] <= 0) {
        slot = l;
      }
    }
  }
  if (slot == 0) return;
  q[slot] = d;
  if (slot + 1 <= LastFixpoint(e, q)) q[slot + 1] = e.GetJulDay(slot + 1) + d;
}

}  // namespace

double SigmoidForcingRate(double t, double t_base) {
  if (!(t > t_base)) return 0.0;
  return 28.4 / (1.0 + std::exp(-0.185 * ((t - t_base) - 18.4)));
}

double TriangularChillingRate(double t, double lower, double optimum, double upper) {
  if (t <= lower || t >= upper) return 0.0;
  if (t <= optimum) return (t - lower) / (optimum - lower);
  return (t - upper) / (optimum - upper);
}

double ForcingStressFactor(bool has_theta, double theta, double h_redu_dry, double stress_factor) {
  if (!(stress_factor > 0)) return 1.0;
  double s = 0.0;
  if (has_theta && theta >= h_redu_dry && h_redu_dry != 150.0) s = (theta - h_redu_dry) / (150.0 - h_redu_dry);
  return 1.0 + s * stress_factor;
}

int CurrentFixpoint(std::span<const double> q, int d) {
  const int levels = static_cast<int>(q.size()) - 1;
  if (levels < 1) return 0;
  if (d <= q[1] || q[1] <= 0) return 1;
  for (int l = 1;;) {
    if (l == levels) return levels + 1;  // every fixpoint of the stack lies before d
    if (!(q[l + 1] > kNodata + 1)) return l;
    ++l;
    if (d <= q[l] || q[l] <= 0) return l;
  }
}

int LanduseTableIndex(double code, int n_entries) {
  if (!(code >= 1.0 && code < n_entries + 1.0)) return 0;
  return static_cast<int>(code);
}

void DynamicPhenology1Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell) {
  const PhenologyParameters& p = e.GetPhenology();
  if (cell.start_day < 0 && d >= p.DP1_t1_dorm) {
    cell.forcing_sum += SigmoidForcingRate(w.temperature, p.DP1_T_Bf) * w.forcing_factor;
    if (cell.forcing_sum > p.FStar) {
      cell.start_day = d;
      if (e.GetMethod() == LanduseMethod::DynamicPhenology_3 || e.GetMethod() == LanduseMethod::DynamicPhenology_4) {
        PlaceStart(e, d, cell.q);
      }
    }
  }
  if (d == p.JDReset_TStart) {
    cell.forcing_sum = 0;
    cell.start_day = -1;
    cell.leaf_fall_start = 0;
    ResetFixpointDays(e, d, cell.q);
  }
}

void DynamicPhenology2Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell) {
  const PhenologyParameters& p = e.GetPhenology();
  const double t = w.temperature;
  if (cell.start_day < 0 && d >= p.DP2_t1_dorm) {
    cell.forcing_sum += SigmoidForcingRate(t, p.DP2_T_Bf) * w.forcing_factor;
    if (cell.forcing_sum > cell.forcing_threshold) cell.start_day = d;
  }
  // Dormancy runs from t0 over the turn of the year to t1.
  if (d >= p.DP2_t0_dorm || d < p.DP2_t1_dorm) {
    cell.chilling_sum += TriangularChillingRate(t, p.DP2_Offset_1, p.DP2_T_Bc, p.DP2_Offset_2);
  }
  if (d == p.JDReset_TStart) {
    cell.forcing_sum = 0;
    cell.start_day = -1;
  }
  if (d == p.DP2_t0_dorm - 1) cell.chilling_sum = 0;
  if (d == p.DP2_t1_dorm - 1) cell.forcing_threshold = p.DP2_Par_a * std::exp(p.DP2_Par_b * cell.chilling_sum);
}

void DynamicPhenology3Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell) {
  const PhenologyParameters& p = e.GetPhenology();
  const std::span<double> q = cell.q;
  const int count = e.GetCount();
  int l = CurrentFixpoint(q, d);
  if (l >= static_cast<int>(q.size())) l = 0;  // past the stack: no fixpoint to reach
  // A fixpoint defined by forcing is reached at the latest on its calendar day.
  if (l >= 1 && l <= count && d >= e.GetJulDay(l) && e.GetForcingThreshold(l) > 0) {
    q[l] = e.GetJulDay(l);
    q[0] = e.GetForcingThreshold(l);
  }
  if (w.temperature > p.DP1_T_Bf) cell.forcing_sum += (w.temperature - p.DP1_T_Bf) * w.forcing_factor;
  if (l >= 1 && q[l] < 0) {
    if (l > count) {
      if (cell.forcing_sum >= -1) {
        q[l] = d;
        q[0] = -1;
      }
    } else if (cell.forcing_sum >= e.GetForcingThreshold(l)) {
      q[l] = d;
      q[0] = e.GetForcingThreshold(l);
    }
  }
  if (d == 1) {
    cell.forcing_sum = 0;
    if (!q.empty()) q[0] = 0;
    ResetFixpointDays(e, 1, q);
  }
}

void DynamicPhenology4Day(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell) {
  const PhenologyParameters& p = e.GetPhenology();
  const std::span<double> q = cell.q;
  const double t = w.temperature;
  if (cell.start_day < 0 && d >= p.DP4_t1_dorm) {
    const int l = CurrentFixpoint(q, d);
    if (t >= p.DP4_T1) cell.forcing_sum += (t - p.DP4_T1) * w.forcing_factor;
    if (cell.forcing_sum > cell.forcing_threshold) {
      cell.start_day = d;
      if (l >= 1 && l < static_cast<int>(q.size())) {
        q[l] = d;
        if (l + 1 <= LastFixpoint(e, q)) q[l + 1] = e.GetJulDay(l + 1) + d;
      }
    }
  }
  // Chilling counts the cold days of the dormancy.
  if ((d >= p.DP4_t0_dorm || cell.start_day < 0) && t <= p.DP4_T0) cell.chilling_sum += 1;
  if (d == p.JDReset_TStart) {
    cell.forcing_sum = 0;
    cell.start_day = -1;
    cell.leaf_fall_start = 0;
    for (int m = 1; m <= LastFixpoint(e, q); ++m) q[m] = e.GetJulDay(m);
  }
  if (d == p.DP4_t0_dorm - 1) cell.chilling_sum = 0;
  if (d >= p.DP4_t1_dorm - 1 && cell.start_day < 0) {
    cell.forcing_threshold =
        cell.chilling_sum > 0 ? p.DP4_Par_a + p.DP4_Par_b * std::log(cell.chilling_sum) : p.DP4_Par_a;
  }
  // Leaf fall begins after five days in a row whose 7-day mean lies below the
  // temperature of the end of xylem growth, or at the latest on the calendar day of its
  // fixpoint DP4_SPSLF.
  if (d >= p.DP4_t_xs1 && cell.leaf_fall_start <= 0 && cell.start_day > 0) {
    const int s = p.DP4_SPSLF;
    const int count = e.GetCount();
    cell.cold_days = w.mean_temperature_7d >= p.DP4_T_xylstop ? 0 : cell.cold_days + 1;
    const bool fixpoint = s >= 1 && s <= count;
    if (cell.cold_days >= 5 || (fixpoint && d >= e.GetJulDay(s)) || s > count) {
      // A fixpoint outside the cell's days (DP4_SPSLF below 1) moves nothing.
      if (fixpoint && s <= LastFixpoint(e, q)) {
        if (s + 1 <= LastFixpoint(e, q)) q[s + 1] += d - q[s];
        q[s] = d;
        for (int m = 1; m <= s - 1; ++m) {
          if (q[m] > d || q[m] < 0 || q[m] < q[m - 1]) q[m] = d - 1;
        }
      }
      cell.leaf_fall_start = d;
    }
  }
}

void AdvancePhenologyCell(const LanduseRecord& e, int d, const PhenologyWeather& w, const PhenologyCell& cell) {
  const LanduseMethod method = e.GetMethod();
  if (method == LanduseMethod::DynamicPhenology_1 || e.GetPhenologyFlag()) {
    DynamicPhenology1Day(e, d, w, cell);
    return;
  }
  switch (method) {
    case LanduseMethod::None:
    case LanduseMethod::MonthlyValues:
    case LanduseMethod::VariableDayCount:
    case LanduseMethod::DynamicPhenology_1:
      return;
    case LanduseMethod::DynamicPhenology_2:
      DynamicPhenology2Day(e, d, w, cell);
      return;
    case LanduseMethod::DynamicPhenology_3:
      DynamicPhenology3Day(e, d, w, cell);
      return;
    case LanduseMethod::DynamicPhenology_4:
      DynamicPhenology4Day(e, d, w, cell);
      return;
  }
}

void ClearPhenologyFlags(LanduseTable& table, int d) {
  for (LanduseRecord& e : table.entries()) {
    const PhenologyParameters& p = e.GetPhenology();
    if ((e.GetMethod() == LanduseMethod::DynamicPhenology_2 && d == p.DP2_t0_dorm) ||
        (e.GetMethod() == LanduseMethod::DynamicPhenology_4 && d == p.DP4_t0_dorm)) {
      e.SetPhenologyFlag(false);
    }
  }
}

void UpdateDynamicPhenology(LanduseTable& table, const PhenologyGrids& grids, int d) {
  ClearPhenologyFlags(table, d);
  const LanduseTable& entries = table;
  const int n_entries = entries.size();
  const bool has_theta = !grids.mean_theta.empty();
  for_each_row(grids.rows, [&](int r) {
    ColumnRange columns{1, grids.ncols};
    if (static_cast<std::size_t>(r) < grids.column_ranges.size()) columns = grids.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!(grids.zone(r, c) > kNodata)) continue;
      const double theta = has_theta ? grids.mean_theta(r, c) : 0.0;
      PhenologyWeather weather{grids.temperature_avg(r, c), grids.temperature_movavg7(r, c), 1.0};
      for (std::size_t k = 0; k < grids.layers.size(); ++k) {
        const int index = LanduseTableIndex(grids.layer_codes[k](r, c), n_entries);
        if (index == 0) continue;
        const LanduseRecord& e = entries[index];
        weather.forcing_factor = ForcingStressFactor(has_theta, theta, e.GetHReduDry(), e.GetStressFactorDynPhen());
        const PhenologyLayerGrids& g = grids.layers[k];
        const PhenologyCell cell{g.forcing_sum(r, c),
                                 g.start_day(r, c),
                                 g.chilling_sum(r, c),
                                 g.forcing_threshold(r, c),
                                 grids.leaf_fall_start(r, c),
                                 grids.movavg7_stack(r, c, 0),
                                 g.fixpoint_days.empty() ? std::span<double>{} : g.fixpoint_days.levels(r, c)};
        AdvancePhenologyCell(e, d, weather, cell);
      }
    }
  });
}

}  // namespace tolvo
