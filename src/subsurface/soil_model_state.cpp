// The soil model's registered grids and stacks and their start values: the state of the
// soil columns (computed from the soil table or read from the state files of an earlier
// run), the grids derived from it, the irrigation thresholds, the drain-tube layer, the
// heat preparation of the soil table, the glacier records and the model-log start lines.

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "framework/error_code.h"
#include "framework/exact_sum.h"
#include "framework/file_handle.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "framework/stack_reader.h"
#include "subsurface/soil_start_state.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "tables/irrigation_table.h"
#include "tables/landuse_table.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

constexpr std::string_view kNoFreeEntry = "no more free grids in memeory, (max. 1000)!";
constexpr double kPi = 3.141592653;

// Sum over the processes of an exact per-process sum, on process 0 (collective), so that
// the value does not depend on how the cells are shared among the processes.
double ReduceExactSum(const ExactSum& local) {
  constexpr int n = ExactSum::kDigits + ExactSum::kCounters;
  std::vector<std::int64_t> packed(n), total(n);
  local.Pack(0, ExactSum::kDigits - 1, packed);
  MPI_Reduce(packed.data(), total.data(), n, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
  ExactSum sum;
  sum.Unpack(0, ExactSum::kDigits - 1, total);
  return sum.Value();
}

// Appends a line to this process's model log; a log that cannot be opened loses the
// line and leaves a warning in the diagnostics.
void AppendModelLog(DiagnosticsLog& log, int rank, const char* text) {
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", rank);
  FilePtr file(std::fopen(name, "a+"));
  if (!file || std::fputs(text, file.get()) < 0) {
    log << "WARNING: the model log " << std::string(name) << " cannot be written; its start line is skipped"
        << "[end-entry]";
  }
}

}  // namespace

bool unsatzonmodellklasse::IsOwnCell(int r, int c) const {
  if (zone_(r, c) == geometry().nodata_value) return false;
  const ColumnRange range = subbasins_.column_ranges[static_cast<std::size_t>(r)];
  if (c < range.first || c > range.last) return false;
  return regions_.empty() || static_cast<int>(regions_(r, c)) == rank();
}

const SoilRecord& unsatzonmodellklasse::SoilOf(int r, int c) const {
  return (*settings().soils)[static_cast<std::size_t>(soil_types_(r, c))];
}

unsatzonmodellklasse::OwnedGrid& unsatzonmodellklasse::RegisterNew(OwnedGrid& g, RowRange rows,
                                                                   const std::string& identifier,
                                                                   const OutputGridSetting& out) {
  if (g.grid.empty()) {
    g.grid = Grid(rows.first, rows.last, geometry().ncols, geometry().nrows);
    g.grid.fill(geometry().nodata_value);
  }
  g.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(), kNoFreeEntry);
  RegisterGrid(g.index, out.name, g.grid.view(), {}, 0, identifier, out.write_code, g.grid.rows().first,
               g.grid.rows().last);
  return g;
}

unsatzonmodellklasse::OwnedGrid& unsatzonmodellklasse::RegisterStack(OwnedGrid& g, const std::string& identifier,
                                                                     const OutputGridSetting& out) {
  if (g.stack.empty()) {
    g.stack = Stack(strip().first, strip().last, geometry().ncols, n_layers_, geometry().nrows);
    g.stack.fill(geometry().nodata_value);
  }
  g.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(), kNoFreeEntry);
  RegisterGrid(g.index, out.name, {}, g.stack.view(), n_layers_, identifier, out.write_code, g.stack.rows().first,
               g.stack.rows().last);
  return g;
}

void unsatzonmodellklasse::ReadStartState() {
  const int code = settings_.storage_read_code;
  const bool all_state = code == 1 || code == 3;
  if (!all_state && code != 2) return;
  const GridReadOptions whole{
      .fill_mode = kFillFromNeighbours, .allocate = true, .whole_on_process0 = true, .halo_rows = true};
  const GridReadOptions own{.fill_mode = kFillFromNeighbours, .allocate = true};
  const auto read_grid = [&](OwnedGrid& g, SoilOutput o, const GridReadOptions& options) {
    ReadGrid(grid_input(), settings_.output(o).name, g.grid, options);
  };
  if (all_state) {
    const auto read_stack = [&](OwnedGrid& g, const std::string& name) {
      const int levels = ReadStack(grid_input(), name, g.stack);
      if (levels != n_layers_) {
        log() << "FATAL: wrong number of levels in stack " << name << " (there are " << levels << " level, it must be "
              << n_layers_ << "[end-entry]";
        RaiseError(kStackLevelError);
      }
    };
    read_stack(theta_, settings_.output(SoilOutput::Theta).name);
    read_stack(geodetic_heads_, settings_.output(SoilOutput::GeodeticHeads).name);
    read_stack(hydraulic_heads_, settings_.output(SoilOutput::HydraulicHeads).name);
    if (isHeatTransferActive()) read_stack(soil_temperature_, settings_.heat.temperature_stack.name);
  }
  read_grid(groundwater_distance_, SoilOutput::GwStand, whole);
  if (all_state) {
    read_grid(groundwater_level_, SoilOutput::GwLevel, own);
    read_grid(theta_in_level_, SoilOutput::GwTheta, own);
    GridReadOptions baseflow = whole;
    baseflow.halo_rows = false;
    read_grid(baseflow_, SoilOutput::DeltaGw, baseflow);
  }
  if (settings_.pond == 1) read_grid(ponding_storage_, SoilOutput::Pond, whole);
}

void unsatzonmodellklasse::RegisterGrids() {
  const RowRange own = strip();
  const RowRange halo = strip_with_halo();
  const RowRange all_on_0 = held_rows();
  const RowRange all_on_0_own = rank() == 0 ? RowRange{1, geometry().nrows} : own;
  const OutputGridSetting none{};
  const auto named = [](const std::string& id) { return OutputGridSetting{id, 0}; };
  const auto out = [&](SoilOutput o) -> const OutputGridSetting& { return settings_.output(o); };
  const bool irrigation = settings().irrigation != nullptr;

  ReadStartState();
  RegisterNew(groundwater_distance_, all_on_0, "groundwater_distance", out(SoilOutput::GwStand));
  if (settings_.pond == 1) RegisterNew(ponding_storage_, all_on_0, "ponding_storage", out(SoilOutput::Pond));
  RegisterStack(geodetic_heads_, "geodetic_heads", out(SoilOutput::GeodeticHeads));
  RegisterStack(theta_, "theta", out(SoilOutput::Theta));
  RegisterStack(hydraulic_heads_, "hydraulic_heads", out(SoilOutput::HydraulicHeads));
  if (isHeatTransferActive()) {
    if (FindGrid("T_Lower_Boundary_Condition", true) == 0) {
      RegisterNew(lower_boundary_, own, "T_Lower_Boundary_Condition", named("T_Lower_Boundary_Condition"));
    }
    RegisterStack(soil_temperature_, "Soil_Temperature_Stack", settings_.heat.temperature_stack);
  }
  RegisterNew(baseflow_, all_on_0_own, "baseflow", out(SoilOutput::DeltaGw));
  RegisterNew(groundwater_level_, own, "groundwater_level", out(SoilOutput::GwLevel));
  RegisterNew(theta_in_level_, own, "Theta_in_GWLEVEL", out(SoilOutput::GwTheta));
  RegisterStack(q_down_, "q_down", out(SoilOutput::QDown));
  RegisterNew(q_downext_, all_on_0_own, "q_downext", named("q_downext"));
  RegisterNew(sb1_, own, "SB_1_grid", out(SoilOutput::Sb1));
  RegisterNew(mean_theta_root_, own, "MeanThetaInRootZone", named("MeanThetaInRootZone"));
  if (irrigation) {
    RegisterNew(irrigation_amounts_, own, "irrigation_amounts", out(SoilOutput::Irrigation));
    RegisterNew(max_pumping_, own, "Max_Pumping", named("Max_Pumping"));
    RegisterNew(sblow_, own, "SBLOW_grid", named("SBLOW_grid"));
    RegisterNew(sbhigh_, own, "SBHIGH_grid", named("SBHIGH_grid"));
    if (const int found = FindGrid("ETR2ETP", true); found > 0) {
      etr2etp_index_ = -found;
    } else {
      etr2etp_index_ = RegisterNew(etr2etp_, own, "ETR2ETP", none).index;
    }
  }
  RegisterNew(gw_table_extern_, own, "GWTableExtern", named("GWTableExtern"));
  RegisterNew(balance_, own, "Balance", named("Balance"));
  RegisterNew(tangens_beta_, own, "tangens_beta", named("tangens_beta"));
  RegisterNew(sb2_, own, "SB_2_grid", out(SoilOutput::Sb2));
  RegisterNew(macropore_, own, "macropore_infiltration", out(SoilOutput::Macropore));
  if (settings_.method == SoilMethod::DynamicStep) {
    RegisterNew(substeps_, own, "number_of_substeps", settings_.substeps_grid);
  }
  RegisterNew(root_grid_, own, "ROOTgrid", out(SoilOutput::Root));
  RegisterNew(recharge_, own, "groundwater_recharge", out(SoilOutput::Gwn));
  RegisterNew(uprise_, own, "Capillar_Uprise", out(SoilOutput::Uprise));
  RegisterNew(percolation_, own, "Percolation", out(SoilOutput::Percolation));
  RegisterNew(directflow_, own, "directflow", out(SoilOutput::Qd));
  RegisterNew(interflow_, own, "interflow", out(SoilOutput::Qi));
  RegisterNew(infex_, own, "infiltration_excess", out(SoilOutput::InfEx));
  RegisterNew(total_infiltration_, own, "total_infiltration", named("total_infiltration"));
  RegisterNew(saturation_, own, "infiltration_saturation", out(SoilOutput::Saturation));
  if (isHeatTransferActive()) {
    if (!gw_k_x_.empty() && !gw_k_y_.empty()) {
      RegisterNew(frozen_in_groundwater_, halo, "frozenSoilInGroundwater", named("frozenSoilInGroundwater"));
    }
    RegisterNew(thaw_depth_, halo, "ThawDepthTMod", settings_.heat.thaw_depth);
  }
  if (!drainage_depth_.empty() && !drainage_distance_.empty()) {
    RegisterNew(drainage_flow_, own, "drainage_flow", out(SoilOutput::QDrain));
    RegisterNew(drainage_level_, own, "drainage_level", named("drainage_level"));
  }
}

void unsatzonmodellklasse::MakeStartState() {
  // Every cell of a sub-basin must name a soil type of the table before its column is built.
  const int n_soils = static_cast<int>(settings().soils->size()) - 1;
  const double nodata = geometry().nodata_value;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (zone_(r, c) == nodata) continue;
      const double type = soil_types_(r, c);
      if (!(type >= 1 && type <= n_soils)) {
        log() << "FATAL: the soil type " << type << " of cell row " << r << " column " << c
              << " in soil_types is not an entry of the soil table (1.." << n_soils << ")"
              << "[end-entry]";
        RaiseError(kSoilCodeError);
      }
    }
  }
  const int code = settings_.storage_read_code;
  if (code == 1 || code == 3) {
    // The layer bottoms follow the elevation model and the soil table, not the files.
    const StackView g = geodetic_heads_.stack_view();
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (zone_(r, c) != nodata) ComputeGeodeticHeads(elevation_(r, c), SoilOf(r, c).thickness, g.levels(r, c));
      }
    }
    return;
  }
  ComputeStartState();
}

void unsatzonmodellklasse::ComputeStartState() {
  const bool from_distance = settings_.storage_read_code == 2;
  const StackView g = geodetic_heads_.stack_view();
  const StackView theta = theta_.stack_view();
  const StackView h = hydraulic_heads_.stack_view();
  const GridView distance = groundwater_distance_.view();
  const GridView level = groundwater_level_.view();
  const GridView theta_level = theta_in_level_.view();
  const int n_layers = n_layers_;
  const double divisor = settings_.ini_gw_level;
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const SoilRecord& soil = SoilOf(r, c);
      const std::span<double> gc = g.levels(r, c);
      ComputeGeodeticHeads(elevation_(r, c), soil.thickness, gc);
      const int n = from_distance ? UnsaturatedLayersAboveDepth(gc, -distance(r, c))
                                  : UnsaturatedLayersFromDivisor(n_layers, divisor);
      ComputeStartWaterContent(soil, gc, n, theta.levels(r, c));
      ComputeHydraulicHeads(soil, gc, theta.levels(r, c), h.levels(r, c));
      const GroundwaterSurface s = FindGroundwaterSurface(theta.levels(r, c), soil.theta_sat, gc);
      level(r, c) = s.level;
      theta_level(r, c) = s.theta_above;
      if (!from_distance) distance(r, c) = s.distance_m;
    }
  });
  if (isHeatTransferActive()) soil_temperatures_initialised_ = true;
}

void unsatzonmodellklasse::FillRemainingGrids() {
  const bool computed = settings_.storage_read_code != 1 && settings_.storage_read_code != 3;
  std::vector<OwnedGrid*> zeroed = {&q_downext_,          &sb1_,         &mean_theta_root_, &sb2_,
                                    &macropore_,          &root_grid_,   &recharge_,        &uprise_,
                                    &percolation_,        &directflow_,  &interflow_,       &infex_,
                                    &total_infiltration_, &saturation_,  &thaw_depth_,      &drainage_flow_,
                                    &irrigation_amounts_, &max_pumping_, &substeps_};
  if (computed) zeroed.push_back(&baseflow_);
  if (computed && settings_.storage_read_code != 2) zeroed.push_back(&ponding_storage_);
  const double nodata = geometry().nodata_value;
  const StackView g = geodetic_heads_.stack_view();
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      const bool own = IsOwnCell(r, c);
      for (OwnedGrid* z : zeroed) {
        if (!z->grid.empty()) z->grid(r, c) = own ? 0.0 : nodata;
      }
      gw_table_extern_.grid(r, c) = 0;
      balance_.grid(r, c) = 0;
      if (!q_down_.stack.empty()) {
        for (double& v : q_down_.stack.view().levels(r, c)) v = own ? 0.0 : nodata;
      }
      if (!own) continue;
      const std::span<const double> gc = g.levels(r, c);
      tangens_beta_.grid(r, c) = slope_angle_(r, c) * kPi / 180;
      if (!frozen_in_groundwater_.grid.empty()) frozen_in_groundwater_.grid(r, c) = gc[0] - gc[n_layers_];
      if (!drainage_level_.grid.empty()) drainage_level_.grid(r, c) = DrainageLayer(gc, drainage_depth_(r, c));
      if (!etr2etp_.grid.empty()) etr2etp_.grid(r, c) = 1;
      if (!lower_boundary_.grid.empty()) {
        lower_boundary_.grid(r, c) = gc[0] * settings_.heat.lapse_rate + settings_.heat.low_bound_base;
      }
      if (!soil_temperature_.stack.empty() && computed) {
        for (double& v : soil_temperature_.stack.view().levels(r, c)) v = 0;
      }
    }
  }
  if (!lower_boundary_.grid.empty()) {
    char name[1300];
    std::snprintf(name, sizeof name, "%s_%.03d", "T_Lower_Boundary_Condition", rank());
    const OutputFormats& f = output_formats();
    WriteGridFile(name, lower_boundary_.grid.view(), f.ascii, f.doubles, f.netcdf);
  }
  if (settings().irrigation != nullptr) FillIrrigationGrids();
}

void unsatzonmodellklasse::FillIrrigationGrids() {
  const IrrigationTable& table = *settings().irrigation;
  const LanduseTable* landuse = settings().landuse;
  const StackView g = geodetic_heads_.stack_view();
  const StackView theta = theta_.stack_view();
  const double nodata = geometry().nodata_value;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const SoilRecord& soil = SoilOf(r, c);
      const int horizon = std::min(2, soil.layerCount);
      const double code = irrigation_codes_(r, c);
      const int index = static_cast<int>(code);
      if (code != nodata && index >= 1 && index < static_cast<int>(table.size())) {
        const IrrigationRecord& irr = table[static_cast<std::size_t>(index)];
        sblow_.grid(r, c) = soil.ThetaForSuction(horizon, irr.psi_dry);
        double wet = irr.psi_wet;
        if (irr.method == IrrigationMethod::DemandByEtRatio && landuse != nullptr) {
          const int lu = static_cast<int>(landuse1_(r, c));
          if (lu >= 1 && lu <= landuse->size()) wet = (*landuse)[lu].GetHReduDry();
        }
        sbhigh_.grid(r, c) = soil.ThetaForSuction(horizon, wet);
      }
      const std::span<const double> gc = g.levels(r, c);
      const std::span<const double> th = theta.levels(r, c);
      const double root = root_depth_[1](r, c);
      sb1_.grid(r, c) = root > 0 ? WaterInDepthRange(gc, th, root) / root : th[1];
      mean_theta_root_.grid(r, c) = soil.SuctionForTheta(1, sb1_.grid(r, c));
    }
  }
}

void unsatzonmodellklasse::PrepareSoilTableForHeat() {
  std::vector<SoilRecord>& soils = *settings().soils;
  for (std::size_t j = 1; j < soils.size(); ++j) PrepareSoilForHeat(soils[j], settings_.heat);
}

void unsatzonmodellklasse::MakeGlacierRecords(StatisticsRegistry& registry) {
  const bool ice_firn = FindGrid("ice_firn", true) > 0;
  const bool mass_balance = FindGrid("GlacierMassBalance", true) > 0;
  if (!ice_firn && !mass_balance) return;
  const bool resized = FindGrid("GlacierizedCells", true) > 0 && mass_balance;
  if (resized) {
    glacier_ = Bind("GlacierizedCells");
    Bind("GlacierizedCellsOld");
    StatisticsTableSetting immo = settings_.statistic(SoilStatistic::Sb2);
    // The table's name is the SB_2 table's with "_immo" before its extension, or
    // appended when it has none.
    const std::size_t dot = immo.file.rfind('.');
    immo.file.insert(dot == std::string::npos ? immo.file.size() : dot, "_immo");
    CreateStatisticsTable(Table::Immo, immo,
                          "immobilised or mobilised soil water by glacier resizing 0..profile depth per zone ", 5,
                          registry);
  } else {
    glacier_ = Bind("ice_firn");
  }
  glacier_records_ = CountGlacierSubbasins(context(), rank() == 0 ? zone_ : ConstGridView(),
                                           rank() == 0 ? glacier_ : ConstGridView(), subbasins_);
  has_glacier_records_ = true;
}

void unsatzonmodellklasse::WriteModelLogStartLines() { WriteWaterContentLines(false); }

void unsatzonmodellklasse::WriteEndWaterContent() { WriteWaterContentLines(true); }

void unsatzonmodellklasse::WriteWaterContentLines(bool at_end) {
  const char* when = at_end ? "model-end" : "model-start";
  const StackView theta = theta_.stack_view();
  const int cr = settings_.control_row;
  const int cc = settings_.control_col;
  // A control cell outside every sub-basin has no soil column to sum.
  if (cr > 0 && strip().contains(cr) && (regions_.empty() || static_cast<int>(regions_(cr, cc)) == rank()) &&
      zone_(cr, cc) != geometry().nodata_value) {
    const SoilRecord& soil = SoilOf(cr, cc);
    double w = 0;
    for (int k = 1; k <= n_layers_; ++k) w += theta(cr, cc, k) * soil.thickness[static_cast<std::size_t>(k)] * 1000;
    char line[256];
    if (at_end) {
      std::snprintf(line, sizeof line, "(mpi_rank %d) soil water content (control point r=%d c=%d) at model-end: %lf mm\n",
                    rank(), cr, cc, w);
    } else {
      std::snprintf(line, sizeof line, "soil water content (for control point r=%d c=%d) at model-start: %lf mm\n", cr,
                    cc, w);
    }
    AppendModelLog(log(), rank(), line);
  }
  ExactSum wu, wg, au, ag;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c) || !(zone_(r, c) > 0)) continue;
      const SoilRecord& soil = SoilOf(r, c);
      const double f = glacier_.empty() ? 0.0 : std::clamp(glacier_(r, c), 0.0, 1.0);
      const double a = rel_cell_area_.empty() ? 1.0 : rel_cell_area_(r, c);
      for (int k = 1; k <= n_layers_; ++k) {
        const auto i = static_cast<std::size_t>(k);
        wu.Add(theta(r, c, k) * soil.thickness[i] * (1 - f));
        wg.Add(soil.theta_sat[i] * soil.thickness[i] * f);
      }
      au.Add(a * (1 - f) + f);
      ag.Add(a * f + (1 - f));
    }
  }
  const double total_au = ReduceExactSum(au);
  const double total_wu = ReduceExactSum(wu);
  const double total_ag = ReduceExactSum(ag);
  const double total_wg = ReduceExactSum(wg);
  if (rank() != 0) return;
  char lines[1024];
  std::snprintf(lines, sizeof lines,
                "mean soil water content for all cells at %s: %lf m^3/m^2\n"
                "mean soil water content for unglacierized or only partly unglacierized cells at %s: %lf "
                "m^3/m^2\n"
                "mean soil water content for partly or completely glacierized cells at %s: %lf m^3/m^2\n",
                when, total_wu / total_au + total_wg / total_ag, when, total_wu / total_au, when, total_wg / total_ag);
  AppendModelLog(log(), 0, lines);
}

}  // namespace tolvo
