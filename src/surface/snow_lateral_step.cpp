// The second half of the snow model's step, after the soil sub-steps: the copy to the
// cells of response units, gravitational snow slides with deposition (process 0 holds the
// whole snow pack between a gather and a scatter), the hand-over of the changed solid
// store to the soil model's layered snow, the per-cell statistics, the end of every
// table's step and the grid outputs.
//
// A slide pass moves snow water equivalent between zone cells of one zone and creates
// none: the domain sum of the storages is the same before and after it. The snow's
// tracers slide with it: sliding snow carries the tracer mass of the pack it left, so a
// pass creates no tracer either. Glacier snow carries no tracer, as in the snow step.

#include <algorithm>
#include <cassert>
#include <cmath>
#include <vector>

#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {
namespace {

constexpr double kLayeredHandOverThreshold = 5e-4;  // mm

// Scales a store (total, liquid, solid) to the new total, keeping its liquid share; an
// empty store takes the new total as solid snow.
void ScaleStore(double& total, double& liquid, double& solid, double new_total) {
  if (total > 0) {
    const double liquid_share = liquid / total;
    total = new_total;
    liquid = new_total * liquid_share;
    solid = new_total - liquid;
  } else {
    liquid = 0;
    total = new_total;
    solid = new_total;
  }
}

// One tracer of the sliding snow on process 0, as masses per area (mm times the
// concentration): the ordinary pack of every cell and the snow the pass releases from a
// cell, carries on and deposits. `whole` is the tracer's grid holding every row.
struct SlideTracer {
  GridView whole;
  bool evaporating = false;
  Grid pack, input, mobile, deposition;
};

}  // namespace

void schneemodellklasse::SnowLateralStep(const ModelDate& d) {
  RunStep(d.hour, d.day, d.month, d.year);
  if (ModuleSwitch == 0) return;
  CopySnowHruMasterValues();
  const bool units = !hru_units_.empty() && settings().hrus != nullptr;
  const bool slides = !units && settings_.traits.slides;
  if (slides) SnowSlides();
  if (slides && layered_linked_) HandOverToLayeredSnow();
  AddStepStatistics();
  EndStatisticsStep(d);
  GlacierLateralStep(d);
  WriteStepOutputs();
}

void schneemodellklasse::SnowSlides() {
  const bool glacier_store = !total_on_glacier_.empty() && ice_.dynamic();
  for (GridView grid : {total_, liquid_, solid_}) GatherGrid(context(), grid);
  if (glacier_store) {
    for (GridView grid : {total_on_glacier_, liquid_on_glacier_, solid_on_glacier_}) GatherGrid(context(), grid);
  }
  // The tracer grids hold the process's band only: process 0 works on whole copies (a
  // single process on the grids themselves).
  std::vector<Grid> tracer_copies;
  for (const SnowTracer& t : snow_tracers_) tracer_copies.push_back(GatherGridCopy(context(), t.storage));
  if (rank() == 0) {
    const GridGeometry& geo = geometry();
    const double nodata = geo.nodata_value;
    const int nrows = geo.nrows;
    const int ncols = geo.ncols;
    std::vector<SlideTracer> tracers;
    // Cells whose ordinary pack released snow; only cells whose pack changed take new
    // tracer values, so that the others keep theirs to the last bit.
    std::vector<char> released_here;
    if (!snow_tracers_.empty()) released_here.assign(static_cast<std::size_t>(nrows + 1) * (ncols + 1), 0);
    const auto released_at = [&](int r, int c) -> char& {
      return released_here[static_cast<std::size_t>(r) * static_cast<std::size_t>(ncols + 1) +
                           static_cast<std::size_t>(c)];
    };
    for (std::size_t k = 0; k < snow_tracers_.size(); ++k) {
      Grid& copy = tracer_copies[k];
      SlideTracer& t = tracers.emplace_back();
      t.whole = copy.empty() ? snow_tracers_[k].storage : copy.view();
      assert(t.whole.rows().first <= 1 && t.whole.rows().last >= nrows);
      t.evaporating = snow_tracers_[k].evaporating;
      for (Grid* g : {&t.pack, &t.input, &t.mobile, &t.deposition}) {
        *g = Grid(1, nrows, ncols, nrows);
        g->fill(0);
      }
      for (int r = 1; r <= nrows; ++r) {
        for (int c = 1; c <= ncols; ++c) {
          // An evaporating tracer is held as the concentration of the pack's water.
          if (zone_grid_(r, c) != nodata) t.pack(r, c) = t.whole(r, c) * (t.evaporating ? total_(r, c) : 1.0);
        }
      }
    }
    const auto zone_cell = [&](int r, int c) { return zone_grid_(r, c) != nodata; };
    const auto same_zone = [&](int r, int c, int rn, int cn) {
      return zone_cell(rn, cn) && zone_grid_(rn, cn) == zone_grid_(r, c);
    };
    const auto glacier_share = [&](int r, int c) {
      return glacier_store ? std::clamp(glacier_fraction_(r, c), 0.0, 1.0) : 0.0;
    };
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        const double v = zone_cell(r, c) ? 0 : nodata;
        deposition_(r, c) = input_mass_(r, c) = mobile_mass_(r, c) = v;
      }
    }
    // Release and transport, from the highest cell to the lowest.
    const SnowSettings& s = settings_;
    for (int rr = 1; rr <= nrows; ++rr) {
      for (int cc = 1; cc <= ncols; ++cc) {
        if (!zone_cell(rr, cc)) continue;
        const int r = static_cast<int>(elev_order_row_(rr, cc));
        const int c = static_cast<int>(elev_order_col_(rr, cc));
        const double m = glacier_share(r, c);
        struct Direction {
          int rn, cn;
          double share;
        };
        std::array<Direction, 4> to{{{r - 1, c, 0}, {r, c - 1, 0}, {r, c + 1, 0}, {r + 1, c, 0}}};
        double sum = 0;
        for (std::size_t k = 0; k < 4; ++k) {
          Direction& t = to[k];
          const bool inside = t.rn >= 1 && t.rn <= nrows && t.cn >= 1 && t.cn <= ncols;
          t.share = inside && same_zone(r, c, t.rn, t.cn) ? slide_fraction_[k](r, c) : 0;
          sum += t.share;
        }
        if (sum > 0) {
          for (Direction& t : to) t.share /= sum;
        }
        const double T = total_(r, c);
        const bool glacier_snow = glacier_store && total_on_glacier_(r, c) > 0;
        input_mass_(r, c) = 0;
        if ((T > 0 || glacier_snow) && slope_(r, c) >= s.minSlideSlope) {
          if (m < 1 && T > 0) {
            input_mass_(r, c) = T * s.slideMassFrac * (1 - m);
            ScaleStore(total_(r, c), liquid_(r, c), solid_(r, c), T - s.slideMassFrac * T);
            if (!released_here.empty()) released_at(r, c) = 1;
            for (SlideTracer& t : tracers) {
              const double released = t.pack(r, c) * s.slideMassFrac;
              t.pack(r, c) -= released;
              t.input(r, c) = released * (1 - m);
            }
          }
          if (glacier_snow && m > 0) {
            const double Tg = total_on_glacier_(r, c);
            input_mass_(r, c) += m * (Tg * s.slideMassFrac);
            ScaleStore(total_on_glacier_(r, c), liquid_on_glacier_(r, c), solid_on_glacier_(r, c),
                       Tg - s.slideMassFrac * Tg);
          }
        }
        const double F = input_mass_(r, c) + mobile_mass_(r, c);
        for (SlideTracer& t : tracers) t.mobile(r, c) += t.input(r, c);
        if (!(sum > 0)) {
          mobile_mass_(r, c) = F;
          continue;
        }
        mobile_mass_(r, c) = 0;
        for (const Direction& t : to) {
          if (!(t.share > 0)) continue;
          const double D = deposition_(t.rn, t.cn) + t.share * F;
          const double limit = max_deposition_(t.rn, t.cn);
          // The deposit over the limit moves on, carrying its share of the deposit's tracer.
          const double kept = limit >= D || !(D > 0) ? 1.0 : limit / D;
          for (SlideTracer& tracer : tracers) {
            const double arriving = tracer.deposition(t.rn, t.cn) + t.share * tracer.mobile(r, c);
            tracer.deposition(t.rn, t.cn) = arriving * kept;
            tracer.mobile(t.rn, t.cn) += arriving - arriving * kept;
          }
          if (limit >= D) {
            deposition_(t.rn, t.cn) = D;
          } else {
            mobile_mass_(t.rn, t.cn) += D - limit;
            deposition_(t.rn, t.cn) = limit;
          }
        }
        for (SlideTracer& t : tracers) t.mobile(r, c) = 0;
      }
    }
    // Accumulation: deposited and stranded mobile snow enters the stores of its cell.
    for (int r = 1; r <= nrows; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (!zone_cell(r, c)) continue;
        const double G = glacier_share(r, c);
        const double A = deposition_(r, c) + mobile_mass_(r, c);
        if (G < 1) ScaleStore(total_(r, c), liquid_(r, c), solid_(r, c), total_(r, c) + A);
        if (G > 0) {
          ScaleStore(total_on_glacier_(r, c), liquid_on_glacier_(r, c), solid_on_glacier_(r, c),
                     total_on_glacier_(r, c) + A);
        }
        const bool changed = !released_here.empty() && (released_at(r, c) != 0 || (G < 1 && A > 0));
        for (SlideTracer& t : tracers) {
          if (!changed) continue;
          if (G < 1) t.pack(r, c) += t.deposition(r, c) + t.mobile(r, c);
          // A pack left without water keeps the concentration it had.
          if (!t.evaporating) {
            t.whole(r, c) = t.pack(r, c);
          } else if (total_(r, c) > 0) {
            t.whole(r, c) = t.pack(r, c) / total_(r, c);
          }
        }
      }
    }
  }
  for (std::size_t k = 0; k < snow_tracers_.size(); ++k) {
    const GridView storage = snow_tracers_[k].storage;
    Grid& copy = tracer_copies[k];
    ScatterGrid(context(), copy.empty() ? storage : copy.view());
    if (copy.empty()) continue;
    const RowRange rows = strip();
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (OwnCell(r, c)) storage(r, c) = copy(r, c);
      }
    }
  }
  for (GridView grid : {total_, liquid_, solid_}) ScatterGrid(context(), grid);
  if (glacier_store) {
    for (GridView grid : {total_on_glacier_, liquid_on_glacier_, solid_on_glacier_}) ScatterGrid(context(), grid);
  }
  for (GridView grid : {input_mass_, mobile_mass_, deposition_}) ScatterGrid(context(), grid);
}

void schneemodellklasse::HandOverToLayeredSnow() {
  const RowRange rows = strip();
  const int ncols = geometry().ncols;
  const int n = layered_.n;
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!OwnCell(r, c)) continue;
      const double d = solid_(r, c) - layered_.solid(r, c, 0);
      if (!(std::fabs(d) > kLayeredHandOverThreshold)) continue;
      const double T_air = temperature_(r, c);
      double T = T_air < 0 ? T_air : 0;
      const int upper = static_cast<int>(layered_.upper_index(r, c));
      if (heat_transfer_ && !layered_.temperature.empty() && upper <= n) {
        T = layered_.temperature(r, c, (upper + n) / 2);
      }
      ChangeLayeredSnow(layered_, r, c, 1, d, T);
    }
  }
}

void schneemodellklasse::AddStepStatistics() {
  const GridGeometry& geo = geometry();
  const double nodata = geo.nodata_value;
  const RowRange rows = strip();
  const ZoneTableView& zones = settings().zones;
  const bool energy = settings_.traits.energy_balance;
  const bool slides = settings_.traits.slides;
  zonalstatistic* without_glaciers = statistic(SnowTable::kStorageWithoutGlaciers);
  zonalstatistic* thaw = statistic(SnowTable::kThawDepth);
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns =
        zones.column_ranges.empty() ? ColumnRange{1, geo.ncols} : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!OwnCell(r, c)) continue;
      const int z = zones.code_index[static_cast<std::size_t>(zone_grid_(r, c))];
      const auto add = [&](SnowTable t, double value) {
        if (zonalstatistic* table = statistic(t)) table->AddValue(r, c, z, value, 1);
      };
      const double snow = solid_(r, c) + liquid_(r, c);
      add(SnowTable::kStorage, snow);
      add(SnowTable::kOutflow, outflow_(r, c));
      add(SnowTable::kMeltOnly, melt_only_(r, c));
      add(SnowTable::kSnowDays, days_snow_(r, c));
      add(SnowTable::kSnowAge, snow_age_(r, c));
      add(SnowTable::kSnowfall, snow_fraction_(r, c));
      add(SnowTable::kRain, rain_fraction_(r, c));
      add(SnowTable::kAlbedo, albedo_(r, c));
      if (energy) {
        if (snow_temperature_(r, c) > nodata + 1) add(SnowTable::kSnowTemperature, snow_temperature_(r, c));
        if (surface_temperature_state_(r, c) > nodata + 1) {
          add(SnowTable::kSurfaceTemperature, surface_temperature_state_(r, c));
        }
      }
      if (slides) {
        add(SnowTable::kInputMass, input_mass_(r, c));
        add(SnowTable::kMobileMass, mobile_mass_(r, c));
        add(SnowTable::kDeposition, deposition_(r, c));
      }
      if (without_glaciers != nullptr) {
        const double g = std::clamp(glacier_fraction_(r, c), 0.0, 1.0);
        without_glaciers->AddValue(r, c, z, snow, 1 - g);
        without_glaciers->AddValue(r, c, z, 0, g);
      }
      if (thaw != nullptr) thaw->AddValue(r, c, z, thaw_depth_(r, c), 1);
      AddGlacierCellStatistics(r, c, 0);
      if (!has_glaciers() || !(glacier_fraction_(r, c) > 0)) AddTracerStatistics(r, c, z);
    }
  }
}

void schneemodellklasse::EndStatisticsStep(const ModelDate& d) {
  // The tables' order of closing is the order of their rows in the output.
  static constexpr SnowTable kOrder[] = {SnowTable::kStorage,
                                         SnowTable::kOutflow,
                                         SnowTable::kMeltOnly,
                                         SnowTable::kSnowDays,
                                         SnowTable::kSnowAge,
                                         SnowTable::kSnowfall,
                                         SnowTable::kRain,
                                         SnowTable::kAlbedo,
                                         SnowTable::kSnowTemperature,
                                         SnowTable::kSurfaceTemperature,
                                         SnowTable::kInputMass,
                                         SnowTable::kMobileMass,
                                         SnowTable::kDeposition,
                                         SnowTable::kStorageWithoutGlaciers,
                                         SnowTable::kFirnMelt,
                                         SnowTable::kIceMelt,
                                         SnowTable::kSnowOnIceMelt,
                                         SnowTable::kFirnWater,
                                         SnowTable::kMassBalance,
                                         SnowTable::kGlacierPartBalance,
                                         SnowTable::kThawDepth};
  for (const SnowTable t : kOrder) step_ends_.Add(statistic(t), 1);
  step_ends_.EndSteps(d.year, d.month, d.day, d.hour);
}

void schneemodellklasse::WriteStepOutputs() {
  if (output_indices_.empty()) {
    std::vector<const char*> names = {"snow_storage_total", "snowstorage_solid", "snowstorage_liquid",
                                      "days_snow",          "snow_age",          "snow_fraction",
                                      "rain_fraction",      "snowcover_outflow", "melt_from_snowcover"};
    if (settings_.traits.slides) names.insert(names.end(), {"input_mass", "mobile_mass", "deposition"});
    if (settings_.traits.energy_balance) names.insert(names.end(), {"snowtemp", "surftemp"});
    if (has_glaciers()) names.insert(names.end(), {"melt_from_firn", "melt_from_ice"});
    for (const char* identifier : names) output_indices_.push_back(FindGrid(identifier, false));
  }
  for (const int index : output_indices_) {
    if (index > 0) WriteGridOutputs(index, true, false);
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    TracerRecord& tracer = TracerRecords[t];
    if (tracer.statistic) tracer.statistic->EndStep(current_date().year, current_date().month, current_date().day,
                                                    current_date().hour, 1);
    if (tracer.storage_index > 0) WriteGridOutputs(tracer.storage_index, true, false);
  }
}

}  // namespace tolvo
