// The glacier part of the end of the snow step: glacier statistics of the cells, the
// linear storages of ice, firn and snow on glaciers that give the sub-basins' glacier
// outflow, and the end of the glacier year with its area change; and the glacier list of
// the set-up.

#include <mpi.h>

#include <algorithm>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "surface/glacier_balance.h"
#include "surface/glacier_update.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

GlacierBalanceGrids schneemodellklasse::GlacierBalanceGridsOfProcess0() {
  const GridGeometry& g = geometry();
  grid_table& table = *grids();
  return {.fraction = table[RequireGrid("GlacierizedCells")].values,
          .codes = table[RequireGrid("GlacierCodes")].values,
          .fraction_old = glacier_fraction_old_,
          .codes_old = glacier_codes_old_,
          .mass_balance = mass_balance_,
          .old_mass_balance = old_mass_balance_,
          .firn_total = firn_total_,
          .firn_stack = firn_stack_.view(),
          .elevation = elevation_,
          .subbasin = subbasin_grid_,
          .nrows = g.nrows,
          .ncols = g.ncols,
          .nodata = g.nodata_value,
          .cell_size = g.cellsize};
}

void schneemodellklasse::SetUpGlacierList() {
  if (!ice_.dynamic() || glacier_fraction_.empty()) return;
  // Process 0 builds the list; every process learns its verdict, so that all stop together.
  int code = 0;
  if (rank() == 0) {
    try {
      GlacierBalanceModel model(glacier_list_, GlacierBalanceGridsOfProcess0(), GlacierBalanceSettings::From(ice_),
                                log());
      model.BuildGlacierList();
    } catch (const ErrorCode& error) {
      code = error.code;
    }
  }
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) RaiseError(code);
}

int schneemodellklasse::SubbasinIndex(int r, int c) const {
  const double v = subbasin_grid_(r, c);
  if (v == geometry().nodata_value) return 0;
  const int code = static_cast<int>(v);
  if (code < 0 || code > subbasins_.largest_code) return 0;
  return subbasins_.code_index[static_cast<std::size_t>(code)];
}

void schneemodellklasse::AddGlacierCellStatistics(int r, int c, int thread) {
  if (ModuleSwitch == 0 || glacier_fraction_.empty()) return;
  const int k = SubbasinIndex(r, c);
  if (k <= 0) return;
  zonalstatistic* firn = statistic(SnowTable::kFirnMelt);
  zonalstatistic* ice = statistic(SnowTable::kIceMelt);
  zonalstatistic* snow = statistic(SnowTable::kSnowOnIceMelt);
  const bool dynamic = ice_.dynamic();
  const double g = std::clamp(glacier_fraction_(r, c), 0.0, 1.0);
  const auto add = [&](zonalstatistic* table, double value, double weight) {
    if (table != nullptr) table->AddValue(r, c, k, value, weight, thread);
  };
  const auto add_year = [&](double firn_total, double balance, double weight) {
    add(statistic(SnowTable::kFirnWater), firn_total, weight);
    add(statistic(SnowTable::kMassBalance), balance, weight);
  };
  if (!(g > 0)) {
    for (zonalstatistic* table : {firn, ice, snow}) add(table, 0, 1);
    AddGlacierMelt(r, c, k, 1, 0, 0, 0);
    if (dynamic) add_year(0, 0, 1);
    return;
  }
  // Static glaciers have neither firn levels nor a snow store of their own: their snow
  // melt is the ordinary store's and leaves with it.
  const double firn_total = dynamic ? firn_total_(r, c) : 0;
  const double snow_melt = dynamic ? melt_on_glacier_(r, c) : 0;
  const bool under_firn = firn_total > 0;
  const double from_firn = (under_firn ? snow_melt : 0) + firn_melt_(r, c);
  const double on_ice = under_firn ? 0 : snow_melt;
  add(firn, from_firn, g);
  add(ice, ice_melt_(r, c), g);
  add(snow, on_ice, g);
  for (zonalstatistic* table : {firn, ice, snow}) add(table, 0, 1 - g);
  AddGlacierMelt(r, c, k, g, ice_melt_(r, c), from_firn, on_ice);
  AddGlacierMelt(r, c, k, 1 - g, 0, 0, 0);
  if (!dynamic) return;
  double& balance = mass_balance_(r, c);
  balance += snow_fraction_(r, c) + rain_fraction_(r, c) - snow_melt - firn_melt_(r, c) - ice_melt_(r, c);
  if (!deposition_.empty()) balance += mobile_mass_(r, c) + deposition_(r, c) - input_mass_(r, c);
  if (!evaporation_on_glacier_.empty()) balance -= evaporation_on_glacier_(r, c);
  add_year(firn_total, balance, g);
  add(statistic(SnowTable::kGlacierPartBalance), balance, g);
  add_year(0, 0, 1 - g);
}

void schneemodellklasse::GlacierLateralStep(const ModelDate& d) {
  if (!has_glaciers()) return;
  ComputeGlacierOutflow(subbasin_runoff_);
  if (zonalstatistic* table = statistic(SnowTable::kGlacierMelt)) table->EndStep(d.year, d.month, d.day, d.hour, 1);
  EndGlacierYear(d);
}

void schneemodellklasse::AddGlacierMelt(int r, int c, int k, double weight, double ice, double firn, double snow) {
  // A nodata relative area counts the cell with area 1, as in the statistics tables.
  constexpr double kNodataArea = -9999.0;
  double area = 1;
  if (!cell_areas_.empty() && cell_areas_.rows().contains(r) && cell_areas_(r, c) > kNodataArea) {
    area = cell_areas_(r, c);
  }
  ExactSum* sums = &glacier_melt_sums_[static_cast<std::size_t>(k) * kGlacierMeltSums];
  sums[0].Add(weight);
  sums[1].Add(area * weight);
  sums[2].Add(ice * area * weight);
  sums[3].Add(firn * area * weight);
  sums[4].Add(snow * area * weight);
}

void schneemodellklasse::ComputeGlacierOutflow(std::span<std::vector<double>> runoff) {
  if (ModuleSwitch == 0 || glacier_fraction_.empty()) return;
  ReduceExactSums(glacier_melt_sums_, glacier_reduce_scratch_);
  if (rank() == 0) {
    const std::size_t n = glacier_melt_sums_.size() / kGlacierMeltSums;
    const std::span<ZoneRecord> records(glacier_melt_zones_);
    const std::span<ZoneRecord> ice = records.subspan(0, n), firn = records.subspan(n, n),
                                snow = records.subspan(2 * n, n), total = records.subspan(3 * n, n);
    for (std::size_t j = 0; j < n; ++j) {
      const ExactSum* sums = &glacier_melt_sums_[j * kGlacierMeltSums];
      const double weights = sums[0].Value();
      const double areas = sums[1].Value();
      ice[j] = {.n = weights, .sx = sums[2].Value(), .zonenwert = 0, .rel = 0, .RelCellSum = areas};
      firn[j] = {.n = weights, .sx = sums[3].Value(), .zonenwert = 0, .rel = 0, .RelCellSum = areas};
      snow[j] = {.n = weights, .sx = sums[4].Value(), .zonenwert = 0, .rel = 0, .RelCellSum = areas};
    }
    std::vector<double>* water = runoff.empty() ? nullptr : &runoff[0];
    GlacierOutflowStep(ice, firn, snow, glacier_subbasins_,
                       {.ice = Qice_slr_, .firn = Qfirn_slr_, .snow = Qsnow_slr_, .kice = ice_.kice_els,
                        .kfirn = ice_.kfirn_els, .ksnow = ice_.ksnow_els},
                       total, water != nullptr ? std::span<double>(*water) : std::span<double>());
    const auto mean = [](const ZoneRecord& z) { return z.RelCellSum != 0 ? z.sx / z.RelCellSum : 0; };
    zonalstatistic* table = statistic(SnowTable::kGlacierMelt);
    for (std::size_t j = 1; j < n; ++j) {
      ice_input_[j] = mean(ice[j]);
      firn_input_[j] = mean(firn[j]);
      snow_on_ice_input_[j] = mean(snow[j]);
      if (table != nullptr) table->SetZoneSums(static_cast<int>(j), total[j].n, total[j].sx, total[j].RelCellSum);
    }
  }
  for (ExactSum& sum : glacier_melt_sums_) sum.Clear();
}

void schneemodellklasse::EndGlacierYear(const ModelDate& d) {
  if (ModuleSwitch == 0 || !ice_.dynamic() || glacier_fraction_.empty()) return;
  if (!EndsGlacierEvaluationDay(d, ice_.evaluation_month, ice_.evaluation_day, TimeStep, min_to_int_end())) return;
  const GridGeometry& geo = geometry();
  const double nodata = geo.nodata_value;
  grid_table& table = *grids();
  const GridView fraction = table[RequireGrid("GlacierizedCells")].values;
  const GridView codes = table[RequireGrid("GlacierCodes")].values;
  const GlacierYearEndGrids cells{.fraction = fraction,
                                  .codes = codes,
                                  .fraction_old = glacier_fraction_old_,
                                  .codes_old = glacier_codes_old_,
                                  .mass_balance = mass_balance_,
                                  .old_mass_balance = old_mass_balance_,
                                  .firn_total = firn_total_,
                                  .firn = firn_stack_.view(),
                                  .total = total_,
                                  .solid = solid_,
                                  .liquid = liquid_,
                                  .total_g = total_on_glacier_,
                                  .solid_g = solid_on_glacier_,
                                  .liquid_g = liquid_on_glacier_};
  const GlacierYearEndSettings settings{.maxSnowPackToCreateGlacier = ice_.maxSnowPackToCreateGlacier,
                                        .relSizeNewGlacier = ice_.relSizeNewGlacier,
                                        .nodata = nodata};
  const RowRange own = strip();
  // 1. Snow above the limit becomes glacier, the year's glacier snow the newest firn.
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= geo.ncols; ++c) {
      if (zone_grid_(r, c) == nodata || (!regions_.empty() && regions_(r, c) != rank())) continue;
      const GlacierYearEnd end = EndGlacierYearInCell(cells, settings, r, c);
      if (layered_linked_ && end.moved > 0) {
        const double t = end.new_glacier && heat_transfer_ && !layered_.temperature.empty() && layered_.n > 0
                             ? layered_.temperature(r, c, std::max(1, layered_.n / 2))
                             : 0;
        ChangeLayeredSnow(layered_, r, c, 1, -end.moved, t);
      }
    }
  }
  // 2. Process 0 gathers the glacier grids, 3. changes the glaciers, 4. hands them back.
  const RunContext& run = context();
  for (const GridView& grid : {glacier_fraction_old_, glacier_codes_old_, mass_balance_, old_mass_balance_, firn_total_}) {
    GatherGrid(run, grid);
  }
  GatherStack(run, firn_stack_.view(), "firn_WE_stack");
  GatherGrid(run, fraction);
  GatherGrid(run, codes);
  if (rank() == 0) {
    GlacierBalanceModel model(glacier_list_, GlacierBalanceGridsOfProcess0(), GlacierBalanceSettings::From(ice_),
                              log());
    model.GlacierBalance();
    model.RedistributeMassBalance(-1);
  }
  for (const GridView& grid : {fraction, codes, mass_balance_, old_mass_balance_}) ScatterGrid(run, grid);
  MPIScatterStack(run, firn_stack_.view(), "firn_WE_stack");
  log() << "DEBUG: glaciers changed, updating glaicerlist now..." << "[end-entry]";
  // 5.-6. The glacierised areas of the sub-basins; which sub-basins hold glaciers stays as
  // it was at the set-up.
  std::vector<GlacierSubbasinRecord> records =
      CountGlacierSubbasins(run, rank() == 0 ? subbasin_grid_ : ConstGridView(),
                            rank() == 0 ? ConstGridView(fraction) : ConstGridView(), subbasins_);
  for (std::size_t i = 0; i < records.size() && i < glacier_subbasins_.size(); ++i) {
    records[i].hasGlacier = glacier_subbasins_[i].hasGlacier;
  }
  glacier_subbasins_ = std::move(records);
  // 7. The mass balance of the new year starts from the old one on glacier cells.
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= geo.ncols; ++c) {
      if (subbasin_grid_(r, c) != nodata && fraction(r, c) > 0) {
        old_mass_balance_(r, c) = mass_balance_(r, c);
      } else {
        old_mass_balance_(r, c) = mass_balance_(r, c) = 0;
      }
    }
  }
}

}  // namespace tolvo
