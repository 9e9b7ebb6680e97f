#include "runoff/surfaceroutingclass.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string_view>
#include <tuple>
#include <utility>

#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "runoff/runoff_concentration.h"
#include "runoff/sub_time_step.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

constexpr int kRegistryCapacity = 200;
constexpr int kStackLevels = 9;  // levels 0..9
constexpr double kStartRoughness = 10.0;
constexpr double kStartCriticalShear = 0.9;
constexpr int kGridTableLength = 1000;

// Statistics in their table order, with the quantity names of their headers.
struct StatisticSpec {
  const char* quantity;
  int precision;
};
constexpr StatisticSpec kStatisticSpecs[] = {{"Direct_Discharge_Surface_Routing", 5},
                                             {"Interflow_Surface_Routing", 5},
                                             {"Baseflow_Surface_Routing", 5},
                                             {"Total_Runoff_Surface_Routing", 6},
                                             {"Surface_Storage_in_SurfaceRouting_Module", 6}};
enum StatisticSlot { kDirect = 0, kInterflow = 1, kBaseflow = 2, kTotal = 3, kStorage = 4 };

// Sets every cell of the rows to `own` on valid cells and `other` elsewhere.
template <typename IsValid>
void FillGrid(GridView grid, int ncols, IsValid&& valid, double own, double other) {
  for (int r = grid.rows().first; r <= grid.rows().last; ++r) {
    for (int c = 1; c <= ncols; ++c) grid(r, c) = valid(r, c) ? own : other;
  }
}

template <typename IsValid>
void FillStack(StackView stack, IsValid&& valid, double own, double other) {
  for (int r = stack.rows().first; r <= stack.rows().last; ++r) {
    for (int c = 1; c <= stack.last_col(); ++c) {
      for (double& v : stack.levels(r, c)) v = valid(r, c) ? own : other;
    }
  }
}

}  // namespace

surfaceroutingclass::surfaceroutingclass(DiagnosticsLog& log, StatisticsRegistry& registry,
                                         const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "SurfaceRoutingModel", settings, sub_steps) {
  if (settings.layout != nullptr) regions_ = settings.layout->regions;
  if (ModuleSwitch == 0) return;
  log << "file " << "surfrout" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  if (settings.spin_up != 0) {
    // Hydrologic response units leave no raster to route over.
    ModuleSwitch = 0;
    CloseControlFile();
    return;
  }
  if (FindGrid("GlacierizedCells", true) > 0 || FindGrid("GlacierCodes", true) > 0) {
    log << "FATAL: error: Surface routing module cannot be used when glacier model is active. Remove grids for "
           "glacier codes and glaciated cell fractions from the grid list"
        << "[end-entry]";
    RaiseError(kGlacierWithSurfaceRouting);
  }
  grid_table& table = *grids();
  zone_ = table.zone_grid().values;
  dem_ = table[2].values;
  if (settings.multilayer_landuse != nullptr) n_layers_ = std::max(settings.multilayer_landuse->layers(), 1);
  landuse_.table = settings.landuse;
  for (int k = 1; k <= n_layers_; ++k) {
    landuse_.layers.push_back(table[RequireGrid("landuse" + std::to_string(k))].values);
    RequireGrid("vegetation_coverage_degree" + std::to_string(k));
  }
  RequireGrid("soil_types");
  storage_ = table[RequireGrid("SurfStorSiltingUp")].values;
  storage_taken_between_steps_only_ = FindGrid("DirectRunoffSiltingUp", true) > 0;

  ReadSection();
  AdjustSubStepBounds();
  CloseControlFile();

  RegisterOwnGrids();
  subbasins_ = RankSoilModelSubbasins();
  MakeStatistics(registry);
  TakeInputGrids();
  const std::size_t n = static_cast<std::size_t>(subbasins_.zone_count) + 1;
  for (std::vector<ZoneRecord>* records : {&StorageStart, &StorageEnd, &RiverInflow}) {
    records->assign(subbasins_.zones.begin(), subbasins_.zones.end());
    ClearZoneSums(*records, subbasins_.zone_count);
  }
  StorageLoss.assign(n, 0.0);
  storage_sums_.assign(3 * n, ExactSum());
  storage_counts_.assign(6 * n, ExactSum());
  row_minimum_.assign(static_cast<std::size_t>(geometry().nrows) + 1, kNoFlowTimeStep);
  row_status_.assign(static_cast<std::size_t>(geometry().nrows) + 1, VegetationFailure{});
  BindPassViews();
  SubTimeStep = settings_.dt_min;
}

surfaceroutingclass::~surfaceroutingclass() = default;

void surfaceroutingclass::ReadSection() {
  SurfaceRoutingSettings& s = settings_;
  int method = 0;
  ReadItem(method, "method for flowpath-calculation ");
  if (method < 1 || method > 6) {
    log() << "FATAL: \n-----------------error------------\ninvalid method (" << method << ") read for " << name()
          << "\n" << "[end-entry]";
    RaiseError(kInvalidSurfaceRoutingMethod);
  }
  s.method = static_cast<SurfaceRoutingMethod>(method);
  const auto read_statistic = [&](SurfaceRoutingSettings::Statistic& target, const std::string& description) {
    const std::optional<std::string> file = control_file().ReadToken();
    const std::optional<std::string> code = file ? control_file().ReadToken() : std::nullopt;
    const std::optional<int> value = code ? ParseIntPrefix(*code) : std::nullopt;
    if (!value || file->size() > kMaxLineLength) ControlFileItemError(description, name());
    target = {*file, *value};
    control_file().SkipLine();
  };
  read_statistic(s.direct_runoff, "name of the statistics for direct runoff from surface routing (QDSR) ");
  read_statistic(s.interflow, "name of the statistics for interflow from surface routing (QISR) ");
  read_statistic(s.baseflow, "name of the statistics for baseflow from surface routing (QBSR) ");
  read_statistic(s.total_runoff, "name of the statistics for total runoff from surface routing (QGSR) ");
  ReadItem(s.velocity_stack, "name of the surface-routing-velocity-stack, ");
  ReadItem(s.velocity_write_code, "Writegrid for surface-routing-velocity-stack, ");
  ReadItem(s.flux_stack, "name of the surface-routing-fluxes-stack, ");
  ReadItem(s.flux_write_code, "Writegrid for surface-routing-fluxes-stack, ");
  ReadItem(s.wake_tolerance, "maximum iteration error for A_NL [m] in ");
  ReadItem(s.wake_steps, "maximum iteration steps for A_NL in ");
  ReadItem(s.velocity_tolerance, "maximum iteration error [m/s] for velocity in ");
  ReadItem(s.velocity_steps, "maximum iteration steps for velocity in ");
  ReadItem(s.dt_min, "minimum sub time step [s] in ");
  ReadItem(s.dt_max, "maximum sub time step [s] in ");
  ReadItem(s.crop_depth, "minimum flow depth to take into account the roughness of the crops [m] in ");
  ReadItem(s.concentration_factor, "Concentration factor [1/1] in ");
  ReadItem(s.storage_read_code, "read control parameter for storage grids for ");
  StorageGridsReadCode = s.storage_read_code;
  // The surface-storage statistic is optional: a line that does not hold a name and a
  // code leaves it off.
  const std::optional<std::string> file = control_file().ReadToken();
  const std::optional<std::string> code = file ? control_file().ReadToken() : std::nullopt;
  const std::optional<int> value = code ? ParseIntPrefix(*code) : std::nullopt;
  if (value && file->size() <= kMaxLineLength) s.surface_storage = {*file, *value};
}

void surfaceroutingclass::AdjustSubStepBounds() {
  const double t = SoilSubStepSeconds();
  const double longest = IntegerFractionOf(t, settings_.dt_max);
  if (longest != settings_.dt_max) {
    log() << "INFO: longest allowed subtimestep changed from " << settings_.dt_max << " to " << longest
          << ". Must be integer fraction of time step in seconds." << "[end-entry]";
    settings_.dt_max = longest;
  }
  const double shortest = IntegerFractionOf(t, settings_.dt_min);
  if (shortest != settings_.dt_min) {
    log() << "WARNING: shortest allowed subtimestep changed from " << settings_.dt_min << " to " << shortest
          << ". Must be integer fraction of time step in seconds." << "[end-entry]";
    settings_.dt_min = shortest;
  }
}

// The sub-basin table is the soil model's; until the soil model hands it over, the
// sub-basins are ranked here from the same zone grid it uses.
ZoneRanking surfaceroutingclass::RankSoilModelSubbasins() {
  ZoneRanking ranked = RankZones();
  subbasin_codes_ = (*grids())[RequireGrid("zonegrid_soilmodel")].values;
  return ranked;
}

void surfaceroutingclass::RegisterOwnGrids() {
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const RowRange own = strip();
  const RowRange halo = strip_with_halo();
  const int ncols = g.ncols;
  const int nrows = g.nrows;
  const double nodata = g.nodata_value;
  const auto valid = [&](int r, int c) {
    return zone_.rows().contains(r) && zone_(r, c) != nodata &&
           (regions_.empty() || (regions_.rows().contains(r) && regions_(r, c) == rank()));
  };
  const bool own_curvature = FindGrid("Plancurvature", true) == 0;
  const bool own_q_in = FindGrid("SurfaceRoutingQIn", true) == 0;
  const bool own_q_out = FindGrid("SurfaceRoutingQOut", true) == 0;
  const bool own_shear = FindGrid("CriticalShearStress", true) == 0;
  const int n_own = 8 + own_curvature + own_q_in + own_q_out + own_shear;
  int next = table.TakeFreeEntries(n_own, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                   "no free grid anymore, allowed number of grids is " +
                                       std::to_string(kGridTableLength) + "!");
  const auto register_grid = [&](Grid& grid, StackView stack, int levels, const std::string& file,
                                 const std::string& id, int code, RowRange rows) {
    const int index = next++;
    RegisterGrid(index, file, grid.view(), stack, levels, id, code, rows.first, rows.last);
    grid_indices_.push_back(index);
    return index;
  };

  velocity_ = Stack(halo.first, halo.last, ncols, kStackLevels, nrows);
  velocity_grid_ = Grid(halo.first, halo.last, ncols, nrows);
  FillStack(velocity_.view(), valid, 0, nodata);
  FillGrid(velocity_grid_.view(), ncols, valid, 0, nodata);
  velocity_index_ = register_grid(velocity_grid_, velocity_.view(), kStackLevels, settings_.velocity_stack,
                                  "SurfaceRoutingVelocity", settings_.velocity_write_code, halo);

  fluxes_ = Stack(halo.first, halo.last, ncols, kStackLevels, nrows);
  flux_grid_ = Grid(halo.first, halo.last, ncols, nrows);
  FillStack(fluxes_.view(), valid, 0, nodata);
  FillGrid(flux_grid_.view(), ncols, valid, 0, nodata);
  flux_index_ = register_grid(flux_grid_, fluxes_.view(), kStackLevels, settings_.flux_stack, "SurfaceRoutingFluxes",
                              settings_.flux_write_code, halo);
  ExchangeStackHalo(context(), fluxes_.view());

  weights_ = Stack(own.first, own.last, ncols, kStackLevels, nrows);
  weights_grid_ = Grid(own.first, own.last, ncols, nrows);
  FillStack(weights_.view(), valid, 0, nodata);
  register_grid(weights_grid_, weights_.view(), kStackLevels, "", "SurfaceRoutingWeights", 0, own);

  const auto halo_grid = [&](Grid& grid, const char* id, double own_value, double other) {
    grid = Grid(halo.first, halo.last, ncols, nrows);
    FillGrid(grid.view(), ncols, valid, own_value, other);
    const int index = register_grid(grid, {}, 0, "", id, 0, halo);
    ExchangeHalo(context(), grid.view());
    return index;
  };
  head_index_ = halo_grid(head_, "SurfaceRoutingHead", 0, nodata);
  head_old_index_ = halo_grid(head_old_, "SurfaceRoutingHeadOld", 0, nodata);
  halo_grid(roughness_x_, "SurfaceRoutingRoughnessX", kStartRoughness, 0);
  halo_grid(roughness_y_, "SurfaceRoutingRoughnessY", kStartRoughness, 0);

  manning_ = Grid(halo.first, halo.last, ncols, nrows);
  for (int r = halo.first; r <= halo.last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      int layer = 0;
      const LanduseRecord* record = valid(r, c) ? CellLanduseRecord(landuse_, r, c, layer) : nullptr;
      manning_(r, c) = !valid(r, c) ? 0 : record != nullptr ? record->GetSRKST() : CellVegetation{}.k_st;
    }
  }
  register_grid(manning_, {}, 0, "", "SurfaceRoutingManningCoeff", 0, halo);
  ExchangeHalo(context(), manning_.view());

  SurfaceGrids cells_view;
  cells_view.zone = zone_;
  cells_view.regions = regions_;
  SurfaceParameters p;
  p.nrows = nrows;
  p.ncols = ncols;
  p.cellsize = g.cellsize;
  p.nodata = nodata;
  if (own_curvature) {
    curvature_ = Grid(halo.first, halo.last, ncols, nrows);
    curvature_index_ = register_grid(curvature_, {}, 0, "", "Plancurvature", 0, halo);
    PlanCurvature(curvature_.view(), dem_, p, {own, rank()});
    ExchangeHalo(context(), curvature_.view());
    std::vector<std::pair<int, double>> fills;
    FillCurvatureGaps(curvature_.view(), dem_, cells_view, p, {own, rank()}, fills);
    ExchangeHalo(context(), curvature_.view());
  } else {
    curvature_index_ = -FindGrid("Plancurvature", true);
  }
  const auto own_grid = [&](bool make, Grid& grid, const char* id, double start, int& index) {
    if (!make) {
      index = -FindGrid(id, true);
      return;
    }
    grid = Grid(own.first, own.last, ncols, nrows);
    FillGrid(grid.view(), ncols, valid, start, nodata);
    index = register_grid(grid, {}, 0, "", id, 0, own);
  };
  own_grid(own_q_in, q_in_, "SurfaceRoutingQIn", 0, q_in_index_);
  own_grid(own_q_out, q_out_, "SurfaceRoutingQOut", 0, q_out_index_);
  own_grid(own_shear, critical_shear_, "CriticalShearStress", kStartCriticalShear, critical_shear_index_);
}

void surfaceroutingclass::MakeStatistics(StatisticsRegistry& registry) {
  const SurfaceRoutingSettings::Statistic* specs[kStatistics] = {&settings_.direct_runoff, &settings_.interflow,
                                                                 &settings_.baseflow, &settings_.total_runoff,
                                                                 &settings_.surface_storage};
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  const GridGeometry& g = geometry();
  for (int i = 0; i < kStatistics; ++i) {
    std::vector<ZoneRecord>& records = statistic_records_[i];
    records.assign(subbasins_.zones.begin(), subbasins_.zones.end());
    for (ZoneRecord& record : records) {
      record.n = 0;
      record.sx = 0;
    }
    std::string file = specs[i]->file;
    statistics_[i] = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, records,
                                                      subbasins_.zone_count, specs[i]->code,
                                                      kStatisticSpecs[i].precision, file, output_directory(),
                                                      settings().output_list);
    statistics_[i]->WriteHeader(kStatisticSpecs[i].quantity, section(), registry, kRegistryCapacity);
  }
}

void surfaceroutingclass::TakeInputGrids() {
  grid_table& table = *grids();
  directflow_ = table[RequireGrid("directflow")].values;
  interflow_ = table[RequireGrid("interflow")].values;
  river_depth_ = table[RequireGrid("river_depth")].values;
  river_width_ = table[RequireGrid("river_width")].values;
  RequireGrid("river_links");
  if (const int index = FindGrid("flow_times", true); index > 0) flow_times_ = table[index].values;
  if (const int index = FindGrid("RelCellArea", true); index > 0) {
    rel_cell_area_ = table[index].values;
    cell_size_x_ = table[RequireGrid("CellSizeX")].values;
    cell_size_y_ = table[RequireGrid("CellSizeY")].values;
  }
}

void surfaceroutingclass::BindPassViews() {
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const auto values_of = [&](int index, Grid& own) {
    return index > 0 ? own.view() : table[-index].values;
  };
  SurfaceGrids& v = pass_grids_;
  v.zone = zone_;
  v.regions = regions_;
  v.dem = dem_;
  v.river_depth = river_depth_;
  v.river_width = river_width_;
  v.curvature = values_of(curvature_index_, curvature_);
  v.critical_shear = values_of(critical_shear_index_, critical_shear_);
  v.head = head_.view();
  v.head_old = head_old_.view();
  v.storage = storage_;
  v.directflow = directflow_;
  v.q_in = values_of(q_in_index_, q_in_);
  v.q_out = values_of(q_out_index_, q_out_);
  v.weights = weights_.view();
  v.velocity = velocity_.view();
  v.main_direction = velocity_grid_.view();
  v.fluxes = fluxes_.view();
  v.main_flux = flux_grid_.view();

  SurfaceParameters& p = pass_parameters_;
  p.method = settings_.method;
  p.nrows = g.nrows;
  p.ncols = g.ncols;
  p.cellsize = g.cellsize;
  p.nodata = g.nodata_value;
  p.dt_min = settings_.dt_min;
  p.dt_max = settings_.dt_max;
  p.wake_tolerance = settings_.wake_tolerance;
  p.wake_steps = settings_.wake_steps;
  p.velocity_tolerance = settings_.velocity_tolerance;
  p.velocity_steps = settings_.velocity_steps;
  p.crop_depth = settings_.crop_depth;
  p.concentration_factor = settings_.concentration_factor;

  residue_cover_ = Grid(strip().first, strip().last, g.ncols, g.nrows);
  stem_diameter_ = Grid(strip().first, strip().last, g.ncols, g.nrows);
  landuse_.residue_cover = residue_cover_.view();
  landuse_.stem_diameter = stem_diameter_.view();

  HeadGrids& h = head_grids_;
  h.zone = zone_;
  h.regions = regions_;
  h.dem = dem_;
  h.river_depth = river_depth_;
  h.river_width = river_width_;
  h.manning = manning_.view();
  h.cell_size_x = cell_size_x_;
  h.cell_size_y = cell_size_y_;
  h.head = head_.view();
  h.head_old = head_old_.view();
  h.roughness_x = roughness_x_.view();
  h.roughness_y = roughness_y_.view();
  h.fluxes = fluxes_.view();
  h.main_flux = flux_grid_.view();
  h.velocity = velocity_.view();
  h.main_velocity = velocity_grid_.view();
  head_parameters_ = {.nrows = g.nrows, .ncols = g.ncols, .cellsize = g.cellsize, .nodata = g.nodata_value,
                      .rank = rank(), .closed_subbasins = ModuleSwitch == 3};
  subbasin_index_ = Grid(strip().first, strip().last, g.ncols, g.nrows);
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) subbasin_index_(r, c) = SubbasinOf(r, c);
  }
  river_per_flux_.assign(static_cast<std::size_t>(subbasins_.zone_count) + 1, 0.0);
  river_per_cell_.assign(river_per_flux_.size(), 0.0);
  row_change_.assign(static_cast<std::size_t>(g.nrows) + 1, 0.0);
}

int surfaceroutingclass::FlowTimeZoneOfCell(int r, int c, int s) const {
  const int last = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
  if (flow_times_.empty()) return 1;
  // A cell without a usable flow time was counted in zone 1 by the set-up.
  const int zone = FlowTimeZoneOf(flow_times_(r, c), geometry().nodata_value);
  return std::clamp(zone, 1, std::max(last, 1));
}

void surfaceroutingclass::InitFlowTimeZones() {
  log() << "looking for longest flow travel time" << "[end-entry]";
  const int n_sub = subbasins_.zone_count;
  const auto n_s = static_cast<std::size_t>(n_sub) + 1;
  const std::size_t n_t = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  const GridGeometry& g = geometry();
  FlowTimeZoneLayout layout;
  if (flow_times_.empty()) {
    layout.zones.assign(n_s, 1);
  } else {
    std::vector<FlowTimeZoneCell> cells;
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (!IsOwnCell(pass_grids_, g.nodata_value, rank(), r, c)) continue;
        cells.push_back({SubbasinOf(r, c), flow_times_(r, c), rel_cell_area_.empty() ? 1.0 : rel_cell_area_(r, c)});
      }
    }
    layout = RankFlowTimeZones(n_sub, cells, g.nodata_value);
  }
  log() << "done and reduced to rank 0" << "[end-entry]";
  maxzeit.assign(n_s, 0.0);
  for (std::size_t s = 1; s < n_s; ++s) maxzeit[s] = layout.zones[s];
  for (auto* zones : {&zoneFZT_QD, &zoneFZT_QI}) {
    zones->assign(n_t, std::vector<std::vector<ZoneRecord>>(n_s));
    for (auto& per_tracer : *zones) {
      for (std::size_t s = 1; s < n_s; ++s) per_tracer[s].assign(static_cast<std::size_t>(layout.zones[s]) + 1, {});
    }
  }
  if (flow_times_.empty()) {
    for (auto* zones : {&zoneFZT_QD, &zoneFZT_QI}) {
      for (auto& per_tracer : *zones) {
        for (std::size_t s = 1; s < n_s; ++s) {
          per_tracer[s][1].zonenwert = 1;
          per_tracer[s][1].rel = 1;
        }
      }
    }
    if (rank() == 0) {
      const std::string name = "modell_0.log";
      std::ofstream model_log(name, std::ios::app);
      if (model_log) {
        model_log << "flow time distribution will not be calculated (no flow time grid provided)\n";
      } else {
        log() << "WARNING: log-file " << name << " could not be opened" << "[end-entry]";
      }
    }
    PrepareZoneSlots();
    return;
  }
  if (layout.unusable_cells && rank() == 0) {
    log() << "WARNING: cells of the basin have a negative or no flow time in " << (*grids())[FindGrid("flow_times", true)].file_name.value_or("flow_times")
          << "; their runoff is counted in the first flow-time zone of their subbasin" << "[end-entry]";
  }
  WriteFlowTimeDistribution(layout);
  PrepareZoneSlots();
}

// The shares of the zones, their block in the model log of process 0, and the queue
// filled with the weight of the cells still to come, so that the first steps divide the
// runoff that has arrived by the weight of the whole sub-basin.
void surfaceroutingclass::WriteFlowTimeDistribution(const FlowTimeZoneLayout& layout) {
  const int n_sub = subbasins_.zone_count;
  const std::string flow_time_file = (*grids())[FindGrid("flow_times", true)].file_name.value_or("flow_times");
  std::ofstream model_log;
  const std::string name = "modell_0.log";
  if (rank() == 0) {
    model_log.open(name, std::ios::app);
    if (model_log) {
      model_log << "Flow time distribution:\n";
    } else {
      log() << "WARNING:warning: error opening log-file " << name << "[end-entry]";
    }
  }
  const auto write = [&](const char* format, auto value) {
    if (!model_log.is_open()) return;
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    model_log << text;
  };
  for (int s = 1; s <= n_sub; ++s) {
    const auto k = static_cast<std::size_t>(s);
    const int n_z = layout.zones[k];
    const double code = subbasins_.zones[k].zonenwert;
    if (model_log.is_open()) {
      char text[64];
      std::snprintf(text, sizeof text, "TG\t%4d\t(%3d\tZonen):", static_cast<int>(code), n_z);
      model_log << text;
    }
    double total = 0;
    for (int z = 1; z <= n_z; ++z) total += layout.weight[k][static_cast<std::size_t>(z)];
    if (n_z < 1 || !(total > 0)) {
      model_log.close();
      log() << "FATAL: all cells in " << flow_time_file << ", subbasin " << code << " are NODATA!" << "[end-entry]";
      RaiseError(kNoFlowTimes);
    }
    for (int z = 1; z <= n_z; ++z) {
      const auto zk = static_cast<std::size_t>(z);
      const double weight = layout.weight[k][zk];
      const double share = weight / total;
      write("\t%5.3f", share);
      if (z == 1 && !(share > 0)) {
        model_log.close();
        log() << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << s << " has no cells!"
              << "[end-entry]";
        RaiseError(kFirstFlowTimeZoneEmpty);
      }
      for (auto* zones : {&zoneFZT_QD, &zoneFZT_QI}) {
        for (std::size_t t = 0; t < zones->size(); ++t) {
          ZoneRecord& record = (*zones)[t][k][zk];
          record.zonenwert = z;
          record.rel = t == 0 ? share : 0;
          // The queue of cells to come is held once, on process 0, so that the sums of
          // all processes count it once.
          if (t == 0 && rank() == 0) {
            record.RelCellSum = weight;
            if (zones == &zoneFZT_QI) record.n = weight;
          }
        }
      }
    }
    write("%s", "\n");
    for (auto* zones : {&zoneFZT_QD, &zoneFZT_QI}) {
      std::vector<ZoneRecord>& records = (*zones)[0][k];
      for (int z = n_z - 1; z >= 1; --z) {
        records[static_cast<std::size_t>(z)].n += records[static_cast<std::size_t>(z) + 1].n;
        records[static_cast<std::size_t>(z)].RelCellSum += records[static_cast<std::size_t>(z) + 1].RelCellSum;
      }
    }
  }
}

// The zone sums of a step are kept per row and zone of the row's cells (a slot) and
// added into the queue by process 0 in the order of the rows, so that they do not depend
// on how the rows are divided among processes and threads.
void surfaceroutingclass::PrepareZoneSlots() {
  const GridGeometry& g = geometry();
  const RowRange own = strip();
  cell_slot_.assign(static_cast<std::size_t>(std::max(own.count(), 0)) * static_cast<std::size_t>(g.ncols), -1);
  std::vector<int> keys;  // per own row with slots: row, count, then (sub-basin, zone) pairs
  int n_slots = 0;
  for (int r = own.first; r <= own.last; ++r) {
    const int first = n_slots;
    std::vector<std::pair<int, int>> row_slots;
    for (int c = 1; c <= g.ncols; ++c) {
      if (!IsOwnCell(pass_grids_, g.nodata_value, rank(), r, c)) continue;
      const int s = SubbasinOf(r, c);
      if (s < 1 || zoneFZT_QD[0][static_cast<std::size_t>(s)].size() < 2) continue;
      const std::pair<int, int> key{s, FlowTimeZoneOfCell(r, c, s)};
      auto found = std::find(row_slots.begin(), row_slots.end(), key);
      if (found == row_slots.end()) found = row_slots.insert(row_slots.end(), key);
      cell_slot_[CellIndex(r, c)] = first + static_cast<int>(found - row_slots.begin());
    }
    if (row_slots.empty()) continue;
    n_slots += static_cast<int>(row_slots.size());
    keys.push_back(r);
    keys.push_back(static_cast<int>(row_slots.size()));
    for (const auto& [s, z] : row_slots) {
      keys.push_back(s);
      keys.push_back(z);
    }
  }
  slot_values_.assign(static_cast<std::size_t>(n_slots) * ValuesPerSlot(), 0.0);

  int n_keys = static_cast<int>(keys.size());
  int n_values = static_cast<int>(slot_values_.size());
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::vector<int> key_counts(static_cast<std::size_t>(size)), key_displs(static_cast<std::size_t>(size));
  value_counts_.assign(static_cast<std::size_t>(size), 0);
  value_displs_.assign(static_cast<std::size_t>(size), 0);
  MPI_Gather(&n_keys, 1, MPI_INT, key_counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Gather(&n_values, 1, MPI_INT, value_counts_.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> all_keys;
  if (rank() == 0) {
    for (int p = 1; p < size; ++p) {
      const auto k = static_cast<std::size_t>(p);
      key_displs[k] = key_displs[k - 1] + key_counts[k - 1];
      value_displs_[k] = value_displs_[k - 1] + value_counts_[k - 1];
    }
    all_keys.resize(static_cast<std::size_t>(key_displs.back() + key_counts.back()));
    gathered_values_.assign(static_cast<std::size_t>(value_displs_.back() + value_counts_.back()), 0.0);
  }
  MPI_Gatherv(keys.data(), n_keys, MPI_INT, all_keys.data(), key_counts.data(), key_displs.data(), MPI_INT, 0,
              MPI_COMM_WORLD);
  gathered_rows_.clear();
  gathered_slots_.clear();
  if (rank() != 0) return;
  for (int p = 0; p < size; ++p) {
    std::size_t k = static_cast<std::size_t>(key_displs[static_cast<std::size_t>(p)]);
    const std::size_t end = k + static_cast<std::size_t>(key_counts[static_cast<std::size_t>(p)]);
    std::size_t value_offset = static_cast<std::size_t>(value_displs_[static_cast<std::size_t>(p)]);
    while (k < end) {
      const int row = all_keys[k];
      const int count = all_keys[k + 1];
      gathered_rows_.push_back({row, p, static_cast<int>(gathered_slots_.size()), count, value_offset});
      for (int i = 0; i < count; ++i) {
        gathered_slots_.emplace_back(all_keys[k + 2 + 2 * static_cast<std::size_t>(i)],
                                     all_keys[k + 3 + 2 * static_cast<std::size_t>(i)]);
      }
      value_offset += static_cast<std::size_t>(count) * ValuesPerSlot();
      k += 2 + 2 * static_cast<std::size_t>(count);
    }
  }
  std::sort(gathered_rows_.begin(), gathered_rows_.end(),
            [](const GatheredRow& a, const GatheredRow& b) { return std::tie(a.row, a.rank) < std::tie(b.row, b.rank); });
}

void surfaceroutingclass::GatherZoneInflows() {
  MPI_Gatherv(slot_values_.data(), static_cast<int>(slot_values_.size()), MPI_DOUBLE, gathered_values_.data(),
              value_counts_.data(), value_displs_.data(), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  std::fill(slot_values_.begin(), slot_values_.end(), 0.0);
  if (rank() != 0) return;
  const int n_t = static_cast<int>(zoneFZT_QD.size());
  for (const GatheredRow& row : gathered_rows_) {
    for (int i = 0; i < row.count; ++i) {
      const auto [s, z] = gathered_slots_[static_cast<std::size_t>(row.first_slot + i)];
      const double* v = &gathered_values_[row.value_offset + static_cast<std::size_t>(i) * ValuesPerSlot()];
      for (int t = 0; t < n_t; ++t) {
        for (const int kind : {0, 1}) {
          ZoneRecord& record = (kind == 0 ? zoneFZT_QD : zoneFZT_QI)[static_cast<std::size_t>(t)]
                                                                   [static_cast<std::size_t>(s)]
                                                                   [static_cast<std::size_t>(z)];
          record.n += v[ZoneValue(t, kind, 0)];
          record.sx += v[ZoneValue(t, kind, 1)];
          record.RelCellSum += v[ZoneValue(t, kind, 2)];
        }
      }
    }
  }
}

void surfaceroutingclass::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                      StatisticsRegistry& registry, int capacity) {
  if (ModuleSwitch == 0) return;
  teilmodellklasse::InitTracers(n_tracers, tracers, registry, capacity);
  const int n_sub = subbasins_.zone_count;
  const std::size_t n_t = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  InitFlowTimeZones();
  grid_table& table = *grids();
  tracer_grids_ = {};
  conc_qd_.clear();
  conc_qi_.clear();
  own_handover_.clear();
  handover_from_silting_up_ = true;
  if (TracerCount > 0) {
    int free_entry = 0;
    for (int t = 1; t <= TracerCount; ++t) {
      const std::string id = "_CONC_QD_" + std::to_string(t) + "_";
      conc_qd_.push_back(table[RequireGrid(id)].values);
      conc_qi_.push_back(table[RequireGrid("_CONC_QI_" + std::to_string(t) + "_")].values);
      const std::string handover = "concstor_tracer_" + std::to_string(t) + "_SiltingUpModel";
      GridView handover_view;
      if (const int index = FindGrid(handover, true); index > 0) {
        handover_view = table[index].values;
      } else {
        if (free_entry == 0) {
          free_entry = table.TakeFreeEntries(TracerCount - t + 1, {.taken_by = grid_table::TakenBy::kIdentifier},
                                             log(), "no free grid anymore, allowed number of grids is " +
                                                        std::to_string(kGridTableLength) + "!");
        }
        handover_from_silting_up_ = false;
        const RowRange halo = strip_with_halo();
        Grid& grid = own_handover_.emplace_back(halo.first, halo.last, geometry().ncols, geometry().nrows);
        const GridGeometry& g = geometry();
        FillGrid(grid.view(), g.ncols,
                 [&](int r, int c) { return IsOwnCell(pass_grids_, g.nodata_value, rank(), r, c); }, 0,
                 g.nodata_value);
        const TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
        RegisterGrid(free_entry, TracerRecords[static_cast<std::size_t>(t)].grid_file, grid.view(), {}, 0, handover,
                     s.gridcode, halo.first, halo.last);
        grid_indices_.push_back(free_entry++);
        ExchangeHalo(context(), grid.view());
        handover_view = grid.view();
      }
      tracer_grids_.handover.push_back(handover_view);
    }
    for (int t = 1; t <= TracerCount; ++t) {
      TracerRecord& record = TracerRecords[static_cast<std::size_t>(t)];
      const TracerSettingsRecord& s = tracers[static_cast<std::size_t>(t)];
      tracer_grids_.storage_conc.push_back(record.storage.view());
      tracer_grids_.storage_conc_read.push_back(std::as_const(record.storage).view());
      tracer_grids_.inflow_mass.push_back(record.flux.view());
      tracer_grids_.runoff_conc.push_back(conc_qd_[static_cast<std::size_t>(t) - 1]);
      tracer_grids_.load_factor.push_back(s.radioactive == 1 && !handover_from_silting_up_ ? s.decay_factor : 1.0);
    }
  }
  for (auto* runoff : {&Qg, &QD, &QDd, &QI, &QIi}) {
    runoff->assign(n_t, std::vector<double>(static_cast<std::size_t>(n_sub) + 1, 0.0));
  }
  runoff_allocated_ = true;
}

void surfaceroutingclass::ReleaseTracers() {
  if (ModuleSwitch == 0) return;
  tracer_grids_ = {};
  conc_qd_.clear();
  conc_qi_.clear();
  for (auto* runoff : {&Qg, &QD, &QDd, &QI, &QIi}) runoff->clear();
  runoff_allocated_ = false;
  teilmodellklasse::ReleaseTracers();
}

void surfaceroutingclass::SetBaseflowInput(std::span<const std::vector<double>> baseflow) {
  if (ModuleSwitch != 0) QBb = baseflow;
}
void surfaceroutingclass::SetDirectRunoffRecession(std::span<const double> recession) {
  if (ModuleSwitch != 0) kelsqd = recession;
}
void surfaceroutingclass::SetInterflowRecession(std::span<const double> recession) {
  if (ModuleSwitch != 0) kelsqi = recession;
}

std::vector<std::vector<double>>* surfaceroutingclass::GetQg() {
  if (ModuleSwitch == 0) return nullptr;
  if (!runoff_allocated_) {
    log() << "FATAL: Qg (surface routing) not initialized (may be, tracer module not linked? -> programmers error!)"
          << "[end-entry]";
    RaiseError(kMissingSubbasinRunoff);
  }
  if (Qg.empty() || Qg[0].empty()) {
    log() << "FATAL: Qg[0] (surface routing) not initialized (may be, tracer module not linked? -> programmers "
             "error!)"
          << "[end-entry]";
    RaiseError(kMissingSubbasinRunoff);
  }
  return &Qg;
}

int surfaceroutingclass::SubbasinOf(int r, int c) const {
  if (subbasin_codes_.empty() || !subbasin_codes_.rows().contains(r)) return 0;
  const double code = subbasin_codes_(r, c);
  if (!(code >= 0) || code > subbasins_.largest_code) return 0;
  return subbasins_.code_index[static_cast<std::size_t>(code)];
}

void surfaceroutingclass::BeginStep(const ModelDate& d) {
  teilmodellklasse::RunStep(d.hour, d.day, d.month, d.year);
  if (ModuleSwitch == 0) return;
  soil_sub_step_ = 0;
  for (auto& statistic : statistics_) statistic->BeginStep();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->BeginStep();
  }
  // The queue moves one step towards the outlet; with one zone it is emptied.
  for (auto* zones : {&zoneFZT_QD, &zoneFZT_QI}) {
    for (auto& per_tracer : *zones) {
      for (auto& records : per_tracer) ShiftFlowTimeQueue(records);
    }
  }
}

double surfaceroutingclass::Baseflow(std::size_t tracer, std::size_t subbasin) const {
  return tracer < QBb.size() && subbasin < QBb[tracer].size() ? QBb[tracer][subbasin] : 0.0;
}

void surfaceroutingclass::EndStep(const ModelDate& /*d*/) {
  if (ModuleSwitch == 0) return;
  const ModelDate& d = current_date();
  ConcentrateRunoff();
  for (const int i : {kDirect, kInterflow, kTotal, kBaseflow, kStorage}) step_ends_.Add(statistics_[i].get(), 1);
  const int n_sub = subbasins_.zone_count;
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    // The concentration of the total runoff: process 0 alone holds the storages, the
    // others add nothing to the sums of the table.
    for (int s = 1; s <= n_sub; ++s) {
      const auto k = static_cast<std::size_t>(s);
      const double b = Baseflow(0, k);
      const double i = QIi[0][k];
      const double dd = QDd[0][k];
      const double bt = Baseflow(t, k);
      Qg[t][k] = b + i + dd > 0 ? (b * bt + i * QIi[t][k] + dd * QDd[t][k]) / (b + i + dd) : 0;
      if (rank() == 0 && TracerRecords[t].statistic) TracerRecords[t].statistic->AddValue(0, 0, s, Qg[t][k], 1);
    }
    step_ends_.Add(TracerRecords[t].statistic.get(), 1);
  }
  step_ends_.EndSteps(d.year, d.month, d.day, d.hour);
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) WriteGridOutputs(TracerRecords[t].storage_index, true, false);
  WriteGridOutputs(velocity_index_, true, false);
  WriteStackOutputs(velocity_index_);
  WriteGridOutputs(flux_index_, true, false);
  WriteStackOutputs(flux_index_);
}

// The runoff the cells of all processes handed to the zones in the step reaches the
// queue of process 0, and zone 1 flows through the two linear storages there; the other
// processes keep their previous storages and runoff.
void surfaceroutingclass::ConcentrateRunoff() {
  const int n_sub = subbasins_.zone_count;
  const std::size_t n_t = zoneFZT_QD.size();
  GatherZoneInflows();
  if (rank() != 0) return;
  if ((kelsqd.empty() || kelsqi.empty()) && !recession_warned_) {
    recession_warned_ = true;
    log() << "WARNING: surface routing has no recession constants of direct runoff and interflow; "
             "their storages release their inflow in the same step" << "[end-entry]";
  }
  const double dt = TimeStep;
  for (int s = 1; s <= n_sub; ++s) {
    const auto k = static_cast<std::size_t>(s);
    if (zoneFZT_QD[0][k].size() < 2) continue;
    const double rel = subbasins_.zones[k].rel;
    const auto storage = [&](std::vector<std::vector<std::vector<ZoneRecord>>>& zones,
                             std::vector<std::vector<double>>& inflow, std::vector<std::vector<double>>& outflow,
                             std::span<const double> recession) {
      inflow[0][k] = ZoneRunoff(zones[0][k][1]);
      for (std::size_t t = 1; t < n_t; ++t) inflow[t][k] = ZoneRunoff(zones[t][k][1]);
      const double a = k < recession.size() ? RecessionFactor(dt, recession[k]) : 0.0;
      for (std::size_t t = 1; t < n_t; ++t) {
        outflow[t][k] = LinearStorageConcentration(inflow[0][k], inflow[t][k], outflow[0][k], outflow[t][k], a);
      }
      outflow[0][k] = LinearStorageOutflow(inflow[0][k], outflow[0][k], a);
    };
    storage(zoneFZT_QD, QD, QDd, kelsqd);
    storage(zoneFZT_QI, QI, QIi, kelsqi);
    const double baseflow = Baseflow(0, k);
    Qg[0][k] = QDd[0][k] + QIi[0][k] + baseflow;
    statistics_[kDirect]->AddValue(0, 0, s, QDd[0][k], rel);
    statistics_[kInterflow]->AddValue(0, 0, s, QIi[0][k], rel);
    statistics_[kBaseflow]->AddValue(0, 0, s, baseflow, rel);
    statistics_[kTotal]->AddValue(0, 0, s, Qg[0][k], rel);
  }
}

void surfaceroutingclass::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  for (auto& statistic : statistics_) {
    if (statistic) statistic->FlushRows();
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
}

void surfaceroutingclass::FinishModel(bool append) {
  if (ModuleSwitch > 0) {
    if (runoff_allocated_) WriteStorageContent(append);
    ReleaseTracers();
    for (auto& statistic : statistics_) {
      if (statistic) statistic->Release();
      statistic.reset();
    }
    for (const int index : grid_indices_) FreeGridEntry(index);
    grid_indices_.clear();
  }
  DeleteModule();
}

double surfaceroutingclass::CourantTimeStep() {
  return tolvo::CourantTimeStep(pass_grids_, pass_parameters_, {strip(), rank()}, row_minimum_);
}

void surfaceroutingclass::ExchangeRoutingHalos() {
  ExchangeHalos(context(), {head_.view(), head_old_.view()}, {fluxes_.view()});
}

void surfaceroutingclass::AddStorageSums(std::vector<ZoneRecord>& records, std::span<ExactSum> sums,
                                         bool clamp_at_zero, bool river_inflow, double dt) {
  const GridGeometry& g = geometry();
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!IsOwnCell(pass_grids_, g.nodata_value, rank(), r, c)) continue;
      const int s = SubbasinOf(r, c);
      if (river_inflow) {
        if (!IsRiverCell(pass_grids_, r, c)) continue;
        const double area =
            rel_cell_area_.empty() ? g.cellsize * g.cellsize : cell_size_x_(r, c) * cell_size_y_(r, c);
        records[static_cast<std::size_t>(s)].n += 1;
        sums[static_cast<std::size_t>(s)].Add(fluxes_(r, c, 0) * 1000 * dt / area);
      } else {
        // Methods 1 to 5 hold the water depth in the head, method 6 the water surface.
        const double depth = settings_.method == SurfaceRoutingMethod::kHeadDriven ? head_(r, c) - dem_(r, c)
                                                                                   : head_(r, c);
        records[static_cast<std::size_t>(s)].n += 1;
        sums[static_cast<std::size_t>(s)].Add(clamp_at_zero ? std::max(depth, 0.0) : depth);
      }
    }
  }
}

// The sub-step's storage and inflow sums of every sub-basin, the same on every process,
// in one exchange: the sums exactly, and with them the counts, whose exact sum is the sum
// in any order.
void surfaceroutingclass::ReduceStorageSums() {
  const std::array<std::vector<ZoneRecord>*, 3> all = {&StorageStart, &StorageEnd, &RiverInflow};
  const std::size_t n = storage_sums_.size() / 3;
  for (std::size_t k = 0; k < all.size(); ++k) {
    for (std::size_t s = 0; s < n; ++s) {
      ExactSum* counts = &storage_counts_[(k * n + s) * 2];
      counts[0].Clear();
      counts[0].Add((*all[k])[s].n);
      counts[1].Clear();
      counts[1].Add((*all[k])[s].RelCellSum);
    }
  }
  const std::span<ExactSum> groups[] = {storage_sums_, storage_counts_};
  AllReduceExactSums(groups, exact_scratch_);
  for (std::size_t k = 0; k < all.size(); ++k) {
    const std::span<ExactSum> sums = StorageSums(static_cast<int>(k));
    for (std::size_t s = 0; s < n; ++s) {
      ZoneRecord& record = (*all[k])[s];
      const ExactSum* counts = &storage_counts_[(k * n + s) * 2];
      record.n = counts[0].Value();
      record.RelCellSum = counts[1].Value();
      record.sx = sums[s].Value();
      sums[s].Clear();
    }
  }
}

void surfaceroutingclass::AgreeOnVegetation(const VegetationFailure& failure) {
  // Every process learns of a failure on any of them before the collective sub-steps.
  struct {
    int code;
    int rank;
  } mine{0, rank()}, worst{0, 0};
  try {
    if (failure.failed) RaiseLanduseFailure(log(), failure.value);
  } catch (const ErrorCode& error) {
    mine.code = error.code;
  }
  MPI_Allreduce(&mine, &worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD);
  if (worst.code == 0) return;
  if (mine.code == 0) {
    log() << "FATAL: the land use of surface routing failed on process " << worst.rank << " with code "
          << worst.code << "[end-entry]";
  }
  RaiseError(worst.code);
}

void surfaceroutingclass::RunStep(long long /*hour*/, long long /*day*/, long long /*month*/, long long /*year*/) {
  if (ModuleSwitch == 0) return;
  const int n_sub = subbasins_.zone_count;
  const SurfaceCells cells{strip(), rank()};
  for (auto* records : {&StorageStart, &StorageEnd, &RiverInflow}) {
    for (int s = 0; s <= n_sub; ++s) {
      (*records)[static_cast<std::size_t>(s)].n = 0;
      (*records)[static_cast<std::size_t>(s)].sx = 0;
    }
  }
  const ModelDate& date = current_date();
  const VegetationFailure failure =
      PrepareVegetation(pass_grids_, landuse_, cells, geometry().nodata_value, static_cast<int>(date.day),
                        static_cast<int>(date.month), static_cast<int>(date.year), row_status_);
  AgreeOnVegetation(failure);
  LoadDirectRunoff(pass_grids_, pass_parameters_, cells, tracer_grids_,
                   storage_taken_between_steps_only_ && soil_sub_step_ > 0);
  ++soil_sub_step_;

  const double t = SoilSubStepSeconds();
  const double dt_min = settings_.dt_min;
  const bool head_driven = settings_.method == SurfaceRoutingMethod::kHeadDriven;
  SubTimeStep = dt_min;
  double elapsed = 0;
  int i = 0;
  int refresh = 0;
  int n = 0;
  double dt = dt_min;
  sub_steps_run_ = 0;
  head_sweeps_run_ = 0;
  while (t - dt_min / 2 > elapsed) {
    AddStorageSums(StorageStart, StorageSums(0), false, false, dt);
    if (head_driven) {
      RouteHeads(dt);
    } else {
      // After the first sub-step the exchange that ended the previous one is still current.
      if (i == 0) ExchangeRoutingHalos();
      RouteFlowPaths(pass_grids_, pass_parameters_, landuse_, cells, i, refresh);
      ExchangeRoutingHalos();
    }
    if (i == 0) {
      double local = CourantTimeStep();
      double agreed = 0;
      MPI_Allreduce(&local, &agreed, 1, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD);
      SubTimeStep = CourantSubTimeStep(t, agreed, dt_min, settings_.dt_max);
      n = SubStepCount(t, SubTimeStep);
      // The first sub-step was routed with the shortest sub time step and counts as
      // that; the rest of the step is cut into the fewest equal sub-steps no longer than
      // the Courant-limited one, so that the call routes exactly T.
      if (head_driven) SubTimeStep = RemainingSubTimeStep(t, dt_min, SubTimeStep);
    }
    if (refresh == i) refresh = NextRefreshIndex(refresh, n, t, settings_.dt_max);
    if (!head_driven) {
      // No cell may send more than it holds: the outflows are cut to the storage before
      // the neighbours take them in.
      LimitOutflows(pass_grids_, pass_parameters_, cells, SubTimeStep);
    }
    AddStorageSums(StorageEnd, StorageSums(1), true, false, dt);
    AddStorageSums(RiverInflow, StorageSums(2), false, true, dt);
    ReduceStorageSums();
    for (int s = 1; s <= n_sub; ++s) {
      const auto k = static_cast<std::size_t>(s);
      StorageLoss[k] = std::max((StorageStart[k].sx - StorageEnd[k].sx) * 1000, 0.0);
    }
    if (head_driven) {
      ShareStorageLossWithRivers();
      SettleHeadBalances(head_grids_, head_parameters_, strip(), dt, directflow_, storage_,
                         {river_per_flux_, river_per_cell_, subbasin_index_.view()});
    } else {
      // The neighbours' limited outflows and their surface concentrations travel together;
      // the storage sums in between read only the process's own cells.
      const StackView fluxes = fluxes_.view();
      ExchangeHalos(context(), tracer_grids_.storage_conc, std::span<const StackView>(&fluxes, 1));
      SettleCellBalances(pass_grids_, pass_parameters_, cells, SubTimeStep, tracer_grids_);
    }
    ExchangeRoutingHalos();
    elapsed += head_driven ? dt : SubTimeStep;
    dt = SubTimeStep;
    for (auto* records : {&StorageStart, &StorageEnd, &RiverInflow}) {
      for (int s = 1; s <= n_sub; ++s) {
        (*records)[static_cast<std::size_t>(s)].n = 0;
        (*records)[static_cast<std::size_t>(s)].sx = 0;
      }
    }
    ++i;
  }
  sub_steps_run_ = i;
  HandOverStep();
}

void surfaceroutingclass::ComputeFaceConductances() {
  tolvo::ComputeFaceConductances(head_grids_, head_parameters_, strip());
}

// One sweep in red-black order: the cells of one colour, the heads exchanged, the cells of
// the other colour. Every cell reads its neighbours as they stand after the same number of
// updates however the rows are shared, so heads are identical under any number of
// processes and threads. A dump stop skips the second half, but not the exchange.
double surfaceroutingclass::IterateHeads(int j, double dt) {
  NonFiniteHeadHandler* handler = dump_options_.dump_mode ? this : nullptr;
  bool stopped = false;
  double change = tolvo::IterateHeads(head_grids_, head_parameters_, strip(), 0, j, dt, row_change_, handler, stopped);
  ExchangeHalo(context(), head_.view());
  if (!stopped) {
    change = std::max(change, tolvo::IterateHeads(head_grids_, head_parameters_, strip(), 1, j, dt, row_change_,
                                                  handler, stopped));
  }
  dump_stop_ = dump_stop_ || stopped;
  return change;
}

void surfaceroutingclass::ComputeFluxesAndVelocities() {
  FaceFluxes(head_grids_, head_parameters_, strip());
  ExchangeHalos(context(), {}, {fluxes_.view(), velocity_.view()});
  RiverFaceFluxes(head_grids_, head_parameters_, strip());
}

// One sub-step of method 6: the heads of the sub-step by sweeps until the largest change
// of the whole grid is small enough or the sweeps run out. Every process makes the same
// exchanges and reductions; a dump stop on any process ends the run on all of them.
void surfaceroutingclass::RouteHeads(double dt) {
  // The conductances read the neighbours' heads, which the runoff loaded at the start of
  // the call has changed on every process.
  ExchangeHalo(context(), head_.view());
  ComputeFaceConductances();
  ExchangeHalos(context(), {roughness_x_.view(), roughness_y_.view()});
  int j = 0;
  while (true) {
    ExchangeHalos(context(), {head_.view(), head_old_.view()});
    ++j;
    double mine[2] = {IterateHeads(j, dt), dump_stop_ ? 1.0 : 0.0};
    double agreed[2] = {0, 0};
    MPI_Reduce(mine, agreed, 2, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
    MPI_Bcast(agreed, 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (agreed[1] != 0) {
      if (!dump_stop_) {
        log() << "FATAL: a surface routing dump on another process ends the run (-closeAfterDump)" << "[end-entry]";
      }
      RaiseError(kSurfaceRoutingDumpAbort);
    }
    if (j >= settings_.velocity_steps || !(agreed[0] > settings_.velocity_tolerance)) break;
  }
  head_sweeps_run_ += j;
  ExchangeRoutingHalos();
  ComputeFluxesAndVelocities();
  ConserveHeads(head_grids_, head_parameters_, strip(), dt);
}

// What the river cells receive of the surface water lost in the sub-step. With closed
// sub-basins each sub-basin hands its loss to its own river cells; when water may cross
// sub-basin borders, the loss of the whole basin goes to all river cells, since water a
// sub-basin lost may have reached the river of another. The cells share it by their
// inflow, or evenly when no river cell received inflow (rain on the river itself).
void surfaceroutingclass::ShareStorageLossWithRivers() {
  const int n_sub = subbasins_.zone_count;
  const bool pooled = ModuleSwitch != 3;
  double basin_loss = 0, basin_inflow = 0, basin_cells = 0;
  for (int s = 1; s <= n_sub; ++s) {
    const auto k = static_cast<std::size_t>(s);
    basin_loss += (StorageStart[k].sx - StorageEnd[k].sx) * 1000;
    basin_inflow += RiverInflow[k].sx;
    basin_cells += RiverInflow[k].n;
  }
  basin_loss = std::max(basin_loss, 0.0);
  for (int s = 1; s <= n_sub; ++s) {
    const auto k = static_cast<std::size_t>(s);
    const double loss = pooled ? basin_loss : StorageLoss[k];
    const double inflow = pooled ? basin_inflow : RiverInflow[k].sx;
    const double cells = pooled ? basin_cells : RiverInflow[k].n;
    river_per_flux_[k] = inflow > 0 ? loss / inflow : 0;
    river_per_cell_[k] = !(inflow > 0) && cells > 0 ? loss / cells : 0;
  }
}

bool surfaceroutingclass::OnNonFiniteHead(const HeadUpdate& u) {
  const DumpOptions& o = dump_options_;
  if (o.max_dump_files == 0 || DumpCount < o.max_dump_files) {
    std::cout << "NaN or Inf found for HEAD[" << u.r << "][" << u.c << "] (value: " << u.new_head << ") in rank "
              << rank() << std::endl;
    std::cout << "writing dump file..." << std::endl;
    const ModelDate& d = current_date();
    char name[160];
    std::snprintf(name, sizeof name, "surfrout_dump_row_%d_col_%d_iteration_%d_%lld%02lld%02lld%02lld.dmp", u.r,
                  u.c, u.iteration, d.year, d.month, d.day, d.hour);
    const std::array<double, 59> record = HeadDumpRecord(u);
    if (std::FILE* file = std::fopen(name, "wb"); file != nullptr) {
      std::fwrite(record.data(), sizeof(double), record.size(), file);
      std::fclose(file);
    }
  }
  ++DumpCount;
  if (!o.close_after_dump) return false;
  log() << "FATAL: \n\n -------- command line option -closeAfterDump active! "
           "---------------------------------------------\n\n"
        << " a dumpfile has been written and Tolvo aborts now.\n"
        << "-------------------------------------------------------------\n\n"
        << "[end-entry]";
  return true;
}

void surfaceroutingclass::HandOverStep() {
  const GridGeometry& g = geometry();
  const int n_t = TracerCount;
  zonalstatistic& storage_statistic = *statistics_[kStorage];
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (!IsOwnCell(pass_grids_, g.nodata_value, rank(), r, c)) continue;
      const auto s = static_cast<std::size_t>(SubbasinOf(r, c));
      const bool river = IsRiverCell(pass_grids_, r, c);
      const double w = rel_cell_area_.empty() ? 1.0 : rel_cell_area_(r, c);
      const double stored = storage_(r, c);
      const double direct = directflow_(r, c);
      const double inter = interflow_(r, c);
      for (int tr = 1; tr <= n_t; ++tr) {
        const auto k = static_cast<std::size_t>(tr) - 1;
        GridView conc = tracer_grids_.storage_conc[k];
        tracer_grids_.handover[k](r, c) = conc(r, c);
        conc(r, c) = 0;
        if (river) conc_qd_[k](r, c) = direct > 0 ? conc_qd_[k](r, c) / direct : 0;
      }
      storage_statistic.AddValue(r, c, static_cast<int>(s), stored, 1);
      const int slot = cell_slot_.empty() ? -1 : cell_slot_[CellIndex(r, c)];
      if (slot < 0) continue;
      // Per tracer and storage: n, sx and RelCellSum of the cell's zone (ZoneValue).
      double* v = &slot_values_[static_cast<std::size_t>(slot) * ValuesPerSlot()];
      if (river) v[ZoneValue(0, 0, 1)] += SubSteps * direct * w;
      v[ZoneValue(0, 0, 0)] += 1;
      v[ZoneValue(0, 0, 2)] += w;
      // The queue's mean over the sub-steps times their number is the step's amount.
      v[ZoneValue(0, 1, 1)] += SubSteps * inter * w;
      v[ZoneValue(0, 1, 0)] += 1;
      v[ZoneValue(0, 1, 2)] += w;
      // A tracer's record mixes the concentrations by the water they came with, summed over
      // the sub-steps in numerator and weight alike: no sub-step factor.
      for (int tr = 1; tr <= n_t; ++tr) {
        const auto k = static_cast<std::size_t>(tr);
        const bool evaporating = TracerSettings[k].evaporating == 1;
        if (river) v[ZoneValue(tr, 0, 1)] += w * (evaporating ? direct : 1.0) * conc_qd_[k - 1](r, c);
        v[ZoneValue(tr, 0, 0)] += direct;
        v[ZoneValue(tr, 0, 2)] += w * direct;
        v[ZoneValue(tr, 1, 1)] += w * (evaporating ? inter : 1.0) * conc_qi_[k - 1](r, c);
        v[ZoneValue(tr, 1, 0)] += inter;
        v[ZoneValue(tr, 1, 2)] += w * inter;
      }
    }
  }
}

// --- state section -------------------------------------------------------------------------

namespace {

constexpr const char* kColdStartNote =
    ". This means that the actual model run will not initialize the flow travel time zones for direct runoff and "
    "interflow, as it was before version 9.08.06.";
constexpr std::size_t kStateLineLength = 1200;

// The leading numbers of a line (at most `count`); the commentary behind them is skipped.
std::vector<double> LeadingNumbers(const std::string& line, std::size_t count) {
  std::vector<double> values;
  const char* p = line.c_str();
  while (values.size() < count) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p) break;
    values.push_back(v);
    p = end;
  }
  return values;
}

}  // namespace

void surfaceroutingclass::StorageMismatch(const std::string& label, double current, double stored) {
  log() << "FATAL: error in storage file content reading " << label << ":\nvalue in actual control is:   " << current
        << "\nbut value in storage file is: " << stored << "\nTolvo throws..." << "[end-entry]";
  RaiseError(kSurfaceStateMismatch);
}

void surfaceroutingclass::WriteStorageContent(bool append) {
  if (ModuleSwitch == 0 || storage_file_.empty() || zoneFZT_QD.empty()) return;
  const std::string path = settings().output_directory + storage_file_;
  std::FILE* file = std::fopen(path.c_str(), append ? "a" : "w");
  if (file == nullptr) {
    log() << "WARNING: the storage content file " << path
          << " cannot be written; the flow-time zones of surface routing are not kept" << "[end-entry]";
    return;
  }
  const int n_sub = subbasins_.zone_count;
  std::fprintf(file, "[SurfaceRoutingModel]\n%d (number of subasins)\n%d (number of tracers)\n", n_sub, TracerCount);
  const auto zone_line = [&](const ZoneRecord& z, const char* name) {
    std::fprintf(file, "%.17g %.17g %.17g %.17g %.17g (%s.n/.sx/.zonenwert/.rel/.RelCellSum)\n", z.n, z.sx,
                 z.zonenwert, z.rel, z.RelCellSum, name);
  };
  for (int i = 0; i <= TracerCount; ++i) {
    const auto t = static_cast<std::size_t>(i);
    std::fprintf(file, "%d (0=runoff, 1...9 = tracers)\n", i);
    for (int j = 1; j <= n_sub; ++j) {
      const auto k = static_cast<std::size_t>(j);
      const int n_z = static_cast<int>(maxzeit[k]);
      std::fprintf(file, "%d %d (zone %d and maxzeit)\n", j, n_z, j);
      for (int z = 1; z <= n_z; ++z) {
        zone_line(zoneFZT_QD[t][k][static_cast<std::size_t>(z)], "zoneFZT_QD");
        zone_line(zoneFZT_QI[t][k][static_cast<std::size_t>(z)], "zoneFZT_QI");
      }
      std::fprintf(file, "%.17g (QDd[%d][%d])\n", QDd[t][k], i, j);
      std::fprintf(file, "%.17g (QIi[%d][%d])\n", QIi[t][k], i, j);
    }
  }
  std::fprintf(file, "\n");
  if (std::fclose(file) != 0) {
    log() << "WARNING: the storage content file " << path << " could not be closed" << "[end-entry]";
  }
}

void surfaceroutingclass::ReadStorageContent(const std::string& name, int read_code) {
  if (ModuleSwitch == 0 || name.empty()) return;
  storage_file_ = name.substr(0, kStateLineLength);
  if (read_code == 0 || read_code == 2 || read_code == 4) return;
  const std::string path = settings().input_directory + storage_file_;
  std::ifstream file(path);
  if (!file) {
    log() << "WARNING: error opening storage content file " << path << kColdStartNote << "[end-entry]";
    return;
  }
  std::string line;
  bool found = false;
  while (std::getline(file, line)) {
    if (line.find("SurfaceRoutingModel") != std::string::npos) {
      found = true;
      break;
    }
  }
  if (!found) {
    log() << "WARNING: error locking for the section [SurfaceRoutingModel] in " << path << kColdStartNote
          << "[end-entry]";
    return;
  }
  // Every line holds its numbers first; a line that is missing or holds fewer numbers
  // than its item needs fails as a mismatch with the count that could be read.
  const auto next = [&](std::size_t count, const std::string& label, double expected) {
    std::vector<double> values;
    if (std::getline(file, line)) values = LeadingNumbers(line, count);
    if (values.size() < count) StorageMismatch(label, expected, static_cast<double>(values.size()));
    return values;
  };
  const auto check = [&](double stored, double current, const std::string& label) {
    if (stored != current) StorageMismatch(label, current, stored);
  };
  const int n_sub = subbasins_.zone_count;
  check(next(1, "number of subbasins", n_sub)[0], n_sub, "number of subbasins");
  check(next(1, "number of tracers", TracerCount)[0], TracerCount, "number of tracers");
  for (int i = 0; i <= TracerCount; ++i) {
    const auto t = static_cast<std::size_t>(i);
    check(next(1, "actual tracers(0=runoff)", i)[0], i, "actual tracers(0=runoff)");
    for (int j = 1; j <= n_sub; ++j) {
      const auto k = static_cast<std::size_t>(j);
      const int n_z = static_cast<int>(maxzeit[k]);
      const std::vector<double> head = next(2, "actual zone", j);
      check(head[0], j, "actual zone");
      check(head[1], n_z, "maxzeit of actual subbasin");
      for (int z = 1; z <= n_z; ++z) {
        for (auto [zones, label] : {std::pair{&zoneFZT_QD, "number of fields for zonal statistics QD"},
                                    std::pair{&zoneFZT_QI, "number of fields for zonal statistics QI"}}) {
          const std::vector<double> v = next(5, label, 5);
          ZoneRecord& record = (*zones)[t][k][static_cast<std::size_t>(z)];
          record = {v[0], v[1], v[2], v[3], v[4]};
        }
      }
      QDd[t][k] = next(1, "QDd[" + std::to_string(i) + "][" + std::to_string(j) + "]", 1)[0];
      QIi[t][k] = next(1, "QIi[" + std::to_string(i) + "][" + std::to_string(j) + "]", 1)[0];
    }
  }
}

}  // namespace tolvo
