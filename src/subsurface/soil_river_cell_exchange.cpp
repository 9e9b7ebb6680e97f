// The soil model's exchange of linked river cells between processes: the exchange list,
// the spare rows, packing and unpacking of cells, the two exchanges around a sub-step and
// the swap of the spare rows into the row tables.

#include <mpi.h>

#include <algorithm>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

constexpr int kTracersWithLinksError = 1150;
constexpr double kSendSentinel = -987654321;
constexpr double kReceiveSentinel = 123456789;

std::string Layer(std::string_view prefix, int k) { return std::string(prefix) + std::to_string(k); }

// The grids whose values travel with a cell, in message order; the soil model's water
// input, the elevation model and the grid part of "q_down" are put in at their places.
constexpr const char* kGridsBeforeInput[] = {
    "albedo", "clay_depth", "baseflow", "drainage_distance", "drainage_level", "EnergyBalance", "ETR2ETP",
    "potential_evaporation", "real_evaporation", "FreezingDegreeDays", "frozenSoilInGroundwater", "flow_times",
    "gw_kolmation_1", "gw_1_colmation_frozen", "gw_1_colmation_unfrozen", "river_exfiltration",
    "river_infiltration", "groundwater_level", "groundwater_recharge", "groundwater_distance", "Theta_in_GWLEVEL",
    "HydrologicResponseUnits", "MasterHydrologicResponseUnits", "GlacierizedCells", "GlacierizedCellsOld",
    "infiltration_excess", "total_infiltration", "irrigation_amounts", "irrigation_codes", "kolmation",
    "lake_codes", "macropore_infiltration", "max_ponding_storage", "Max_Pumping", "MPIRegions"};
constexpr const char* kGridsBeforeElevation[] = {
    "Percolation", "ponding_storage", "rain_fraction", "drainage_flow", "DirectRunoffSiltingUp",
    "SurfStorSiltingUp", "directflow", "interflow", "HeatFlux_Lower_Boundary_Condition", "melt_from_snowcover",
    "river_depth", "river_links", "river_width", "ROOTgrid", "SurfaceEvaporationResistance", "RelCellArea",
    "gw_storage_coeff_1", "infiltration_saturation", "SBHIGH_grid", "SB_1_grid", "SB_2_grid",
    "snowstorage_liquid", "slope_angle", "snowstorage_solid", "soil_types", "snow_storage_total",
    "number_of_substeps", "surftemp", "temperature", "tangens_beta", "DailyTemperature", "thawingDegreeDays",
    "ThawDepthTMod", "MeanThetaInRootZone", "T_Lower_Boundary_Condition", "AnnualTemperature",
    "Capillar_Uprise"};
constexpr const char* kGridsAfterQDown[] = {"q_downext", "upperIndexSnow", "zonegrid_soilmodel",
                                            "pot_transpiration0", "real_transpiration0"};
constexpr const char* kLanduseLayerGrids[] = {
    "landuse", "pot_transpiration", "real_transpiration", "vegetation_coverage_degree", "root_depth",
    "leaf_area_index", "SurfaceCanopyResistance", "SurfaceIntercepResistance", "RoughnessLength"};
constexpr const char* kExchangedStacks[] = {
    "theta", "hydraulic_heads", "geodetic_heads", "q_down", "Soil_Temperature_Stack", "theta_Snow",
    "hydraulic_heads_Snow", "geodetic_height_Snow", "q_down_Snow", "Temperature_Stack_Snow",
    "SnowWaterEquivalentSolid", "SnowDensity", "SnowLayerThickness", "SnowWaterEquivalentLiquid"};

// The row table behind a view: the spare row stands in it during a sub-step. The table is
// the owning matrix's, which is never const.
template <typename View>
auto MutableRows(const View& v) {
  using Row = std::remove_const_t<std::remove_pointer_t<std::remove_pointer_t<decltype(v.row_table())>>>*;
  return const_cast<Row*>(v.row_table());
}

// The view over the same rows widened by the spare row r (and by the spare columns).
template <typename T>
BasicGridView<T> WithSpareRow(BasicGridView<T> v, int r, int columns) {
  if (v.empty()) return v;
  return {v.row_table(), {std::min(r, v.rows().first), v.rows().last}, std::max(v.ncols(), columns)};
}
template <typename T>
BasicStackView<T> WithSpareRow(BasicStackView<T> v, int r, int columns) {
  if (v.empty()) return v;
  return {v.row_table(), {std::min(r, v.rows().first), v.rows().last}, std::max(v.last_col(), columns),
          v.level_count()};
}

}  // namespace

int unsatzonmodellklasse::allocateGridElementsInRow0(GridView grid, int count) {
  if (grid.empty()) return 0;
  RiverCellExchange& x = cell_exchange_;
  const auto same = [&](const SpareGridRow& s) { return s.grid.row_table() == grid.row_table(); };
  if (std::ranges::any_of(x.grids, same)) return 0;  // one grid under two names travels once
  // A holder packs the grid without a spare row of its own. Columns past the spare cells
  // hold nodata, so that the solver finds no zone there.
  const int columns = count > 0 ? std::max(count, grid.ncols()) + 1 : 0;
  x.grids.push_back({grid, std::vector<double>(static_cast<std::size_t>(columns), geometry().nodata_value), nullptr});
  return 1;
}

int unsatzonmodellklasse::allocateStackElementsInRow0(StackView stack, int count, int levels) {
  if (stack.empty()) return 0;
  RiverCellExchange& x = cell_exchange_;
  const auto same = [&](const SpareStackRow& s) { return s.stack.row_table() == stack.row_table(); };
  if (std::ranges::any_of(x.stacks, same)) return 0;
  const int columns = count > 0 ? std::max(count, stack.last_col()) + 1 : 0;
  const int stride = levels + 1;
  x.stacks.push_back(
      {stack, std::vector<double>(static_cast<std::size_t>(columns) * static_cast<std::size_t>(stride), 0.0), nullptr,
       stride});
  return stride;
}

void unsatzonmodellklasse::CollectExchangeList() {
  RiverCellExchange& x = cell_exchange_;
  grid_table& table = *grids();
  const int count = x.cell_count;
  int values = 0;
  const auto grid = [&](std::string_view id) {
    const int index = FindGrid(id, true);
    if (index > 0) values += allocateGridElementsInRow0(table[index].values, count);
  };
  for (const char* id : kGridsBeforeInput) grid(id);
  if (input_index_ > 0) values += allocateGridElementsInRow0(table[input_index_].values, count);
  for (const char* id : kGridsBeforeElevation) grid(id);
  values += allocateGridElementsInRow0(table[2].values, count);
  grid("aquifer_thickness_1");
  grid("q_down");
  for (const char* id : kGridsAfterQDown) grid(id);
  for (int l = 1; l <= n_landuse_layers_; ++l) {
    for (const char* base : kLanduseLayerGrids) grid(Layer(base, l));
  }
  for (const char* id : kExchangedStacks) {
    const int index = FindGrid(id, true);
    if (index <= 0) continue;
    const StackView s = table[index].stack;
    values += allocateStackElementsInRow0(s, count, s.level_count());
  }
  x.cell_value_count = values;
}

template <typename Visit>
void unsatzonmodellklasse::ForEachSpareCell(Visit&& visit) const {
  const RiverCellExchange& x = cell_exchange_;
  int j = 0;
  for (const RiverLink& link : *x.river_links) {
    if (link.ownerRank != rank()) continue;
    for (const RiverLinkCell& cell : link.cells) visit(cell, j++);
  }
}

int unsatzonmodellklasse::prepareMPIReinfiltration() {
  RiverCellExchange& x = cell_exchange_;
  if (ModuleSwitch == 0 || settings_.surface_water_interaction < 2) return 0;
  x.active = true;
  x.river_links = settings().river_links;
  x.lists = settings().link_cells;
  static const std::vector<RiverLink> kNoLinks;
  static const LinkCellLists kNoLists;
  if (x.river_links == nullptr) x.river_links = &kNoLinks;
  if (x.lists == nullptr) x.lists = &kNoLists;
  x.links = !x.river_links->empty();
  x.spare_row = strip().first - 1;
  x.cell_count = 0;
  for (const std::vector<RiverLinkCell>& list : x.lists->ownedLinkCells) {
    x.cell_count += static_cast<int>(list.size());
  }
  MPI_Barrier(MPI_COMM_WORLD);
  x.cell_value_count = 0;
  // Every process packs the cells it holds; only a computing process gets spare rows.
  CollectExchangeList();
  // The tracer count and the links are the same on every process, so every process stops
  // here together rather than leave the others waiting in the broadcast below.
  if (x.links && soil_tracers_.size() > 1) {
    log() << "FATAL: prepareMPIReinfiltration() doesn't allow tracers yet" << "[end-entry]";
    RaiseError(kTracersWithLinksError);
  }
  if (x.cell_count > 0) {
    x.spare_columns = std::max(x.cell_count, geometry().ncols);
    x.receive_buffers.assign(x.lists->ownedLinkCells.size(), {});
    x.positions.assign(static_cast<std::size_t>(process_count()), 0);
  }
  MPI_Bcast(&x.cell_value_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  const auto values = [&](std::size_t cells) { return cells * static_cast<std::size_t>(x.cell_value_count); };
  for (std::size_t h = 0; h < x.receive_buffers.size(); ++h) {
    x.receive_buffers[h].assign(values(x.lists->ownedLinkCells[h].size()), 0.0);
  }
  x.send_buffers.assign(x.lists->heldLinkCells.size(), {});
  for (std::size_t s = 0; s < x.send_buffers.size(); ++s) {
    x.send_buffers[s].assign(values(x.lists->heldLinkCells[s].size()), 0.0);
  }
  x.requests.reserve(x.send_buffers.size() + x.receive_buffers.size());
  loop_settings_.links_built = x.links;
  MPI_Barrier(MPI_COMM_WORLD);
  exchangeCellsBeforeStep();
  for (std::vector<double>& b : x.send_buffers) std::ranges::fill(b, kSendSentinel);
  for (std::vector<double>& b : x.receive_buffers) std::ranges::fill(b, kReceiveSentinel);
  exchangeCellsAfterStep();
  return x.cell_value_count;
}

long unsatzonmodellklasse::packCellValues(int row, int col, std::span<double> buffer, long position) const {
  const RiverCellExchange& x = cell_exchange_;
  const bool spare = row == 0;
  for (const SpareGridRow& g : x.grids) {
    buffer[static_cast<std::size_t>(position++)] =
        spare ? g.values[static_cast<std::size_t>(col) + 1] : g.grid.row_table()[row][col];
  }
  for (const SpareStackRow& s : x.stacks) {
    const auto stride = static_cast<std::size_t>(s.stride);
    const double* cell = spare ? s.values.data() + (static_cast<std::size_t>(col) + 1) * stride
                               : s.stack.row_table()[row] + static_cast<std::size_t>(col) * stride;
    std::copy_n(cell, stride, buffer.begin() + position);
    position += s.stride;
  }
  return position;
}

long unsatzonmodellklasse::unpackCellValues(int row, int col, std::span<const double> buffer, long position) {
  RiverCellExchange& x = cell_exchange_;
  const bool spare = row == 0;
  for (SpareGridRow& g : x.grids) {
    (spare ? g.values[static_cast<std::size_t>(col) + 1] : MutableRows(g.grid)[row][col]) =
        buffer[static_cast<std::size_t>(position++)];
  }
  for (SpareStackRow& s : x.stacks) {
    const auto stride = static_cast<std::size_t>(s.stride);
    double* cell = spare ? s.values.data() + (static_cast<std::size_t>(col) + 1) * stride
                         : MutableRows(s.stack)[row] + static_cast<std::size_t>(col) * stride;
    std::copy_n(buffer.begin() + position, stride, cell);
    position += s.stride;
  }
  return position;
}

long unsatzonmodellklasse::packCellList(std::span<const RiverLinkCell> cells, std::span<double> buffer,
                                        long position) const {
  for (const RiverLinkCell& cell : cells) position = packCellValues(cell.row, cell.col, buffer, position);
  return position;
}

void unsatzonmodellklasse::exchangeCellsBeforeStep() {
  RiverCellExchange& x = cell_exchange_;
  if (x.lists == nullptr) {  // no exchange set up: the river flow table alone
    BroadcastRiverflowTable();
    return;
  }
  const LinkCellLists& lists = *x.lists;
  for (std::size_t s = 0; s < x.send_buffers.size(); ++s) packCellList(lists.heldLinkCells[s], x.send_buffers[s], 0);
  x.requests.clear();
  for (std::size_t s = 0; s < x.send_buffers.size(); ++s) {
    std::vector<double>& b = x.send_buffers[s];
    if (b.empty()) continue;
    x.requests.emplace_back();
    MPI_Isend(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, lists.heldLinkCells[s].front().ownerRank, 0,
              MPI_COMM_WORLD, &x.requests.back());
  }
  for (std::size_t h = 0; h < x.receive_buffers.size(); ++h) {
    std::vector<double>& b = x.receive_buffers[h];
    if (b.empty()) continue;
    x.requests.emplace_back();
    MPI_Irecv(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, lists.ownedLinkCells[h].front().regionRank, 0,
              MPI_COMM_WORLD, &x.requests.back());
  }
  if (!x.requests.empty()) {
    MPI_Waitall(static_cast<int>(x.requests.size()), x.requests.data(), MPI_STATUSES_IGNORE);
  }
  if (x.cell_count > 0) {
    std::ranges::fill(x.positions, 0);
    ForEachSpareCell([&](const RiverLinkCell& cell, int j) {
      const auto h = static_cast<std::size_t>(cell.regionRank);
      x.positions[h] = unpackCellValues(0, j, x.receive_buffers[h], x.positions[h]);
    });
  }
  swapRow0In();
  BroadcastRiverflowTable();
}

void unsatzonmodellklasse::exchangeCellsAfterStep() {
  RiverCellExchange& x = cell_exchange_;
  if (x.lists == nullptr) {
    ReduceRiverflowTable();
    return;
  }
  const LinkCellLists& lists = *x.lists;
  if (x.cell_count > 0) {
    std::ranges::fill(x.positions, 0);
    ForEachSpareCell([&](const RiverLinkCell& cell, int j) {
      const auto h = static_cast<std::size_t>(cell.regionRank);
      x.positions[h] = packCellValues(0, j, x.receive_buffers[h], x.positions[h]);
    });
  }
  x.requests.clear();
  for (std::size_t h = 0; h < x.receive_buffers.size(); ++h) {
    std::vector<double>& b = x.receive_buffers[h];
    if (b.empty()) continue;
    x.requests.emplace_back();
    MPI_Isend(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, lists.ownedLinkCells[h].front().regionRank, 0,
              MPI_COMM_WORLD, &x.requests.back());
  }
  for (std::size_t s = 0; s < x.send_buffers.size(); ++s) {
    std::vector<double>& b = x.send_buffers[s];
    if (b.empty()) continue;
    x.requests.emplace_back();
    MPI_Irecv(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, lists.heldLinkCells[s].front().ownerRank, 0,
              MPI_COMM_WORLD, &x.requests.back());
  }
  if (!x.requests.empty()) {
    MPI_Waitall(static_cast<int>(x.requests.size()), x.requests.data(), MPI_STATUSES_IGNORE);
  }
  for (std::size_t s = 0; s < x.send_buffers.size(); ++s) {
    long position = 0;
    for (const RiverLinkCell& cell : lists.heldLinkCells[s]) {
      position = unpackCellValues(cell.row, cell.col, x.send_buffers[s], position);
    }
  }
  swapRow0Out();
  ReduceRiverflowTable();
}

void unsatzonmodellklasse::swapRow0In() {
  RiverCellExchange& x = cell_exchange_;
  if (x.cell_count == 0 || x.swapped) return;
  const int r = x.spare_row;
  for (SpareGridRow& g : x.grids) {
    double** rows = MutableRows(g.grid);
    g.saved = rows[r];
    rows[r] = g.values.data();
  }
  for (SpareStackRow& s : x.stacks) {
    double** rows = MutableRows(s.stack);
    s.saved = rows[r];
    rows[r] = s.values.data();
  }
  x.swapped = true;
}

void unsatzonmodellklasse::swapRow0Out() {
  RiverCellExchange& x = cell_exchange_;
  if (!x.swapped) return;
  const int r = x.spare_row;
  for (SpareGridRow& g : x.grids) MutableRows(g.grid)[r] = g.saved;
  for (SpareStackRow& s : x.stacks) MutableRows(s.stack)[r] = s.saved;
  x.swapped = false;
}

template <typename View>
bool unsatzonmodellklasse::WidenToSpareRow(View& v) const {
  const RiverCellExchange& x = cell_exchange_;
  if (v.empty()) return true;
  const auto* rows = static_cast<const void*>(v.row_table());
  const bool carried =
      std::ranges::any_of(x.grids, [&](const SpareGridRow& s) { return s.grid.row_table() == rows; }) ||
      std::ranges::any_of(x.stacks, [&](const SpareStackRow& s) { return s.stack.row_table() == rows; });
  if (carried) v = WithSpareRow(v, x.spare_row, x.spare_columns);
  return carried;
}

const SoilColumnGrids& unsatzonmodellklasse::StepColumnGrids() {
  if (cell_exchange_.cell_count == 0) return column_grids_;
  if (spare_column_grids_bound_) return spare_column_grids_;
  // The solver reaches the spare row through the column grids; every one of them must be
  // a grid of the exchange list, or the spare row would read another process's halo.
  int missing = 0;
  const auto widen = [&](auto& v) { missing += WidenToSpareRow(v) ? 0 : 1; };
  SoilColumnGrids g = column_grids_;
  for (auto* v : {&g.zone, &g.regions, &g.soil_types, &g.river_links, &g.river_depth, &g.river_width, &g.kolmation,
                  &g.glacier, &g.hru_master, &g.input, &g.silting, &g.snow_solid, &g.drainage_density,
                  &g.tangens_beta, &g.clay_depth, &g.drainage_level, &g.drainage_distance, &g.max_ponding, &g.lake_codes,
                  &g.irrigation_codes, &g.pot_evaporation}) {
    widen(*v);
  }
  for (auto* layers : {&g.landuse, &g.vegetation_cover, &g.root_depth, &g.pot_transpiration}) {
    for (ConstGridView& v : *layers) widen(v);
  }
  for (GridView& v : g.real_transpiration) widen(v);
  for (GridView& v : g.zeroed_on_glacier) widen(v);
  for (auto* v : {&g.real_evaporation, &g.groundwater_level, &g.groundwater_distance, &g.theta_in_level, &g.ponding,
                  &g.baseflow, &g.directflow, &g.interflow, &g.macropore, &g.recharge, &g.percolation, &g.uprise,
                  &g.infiltration_excess, &g.total_infiltration, &g.drainage_flow, &g.irrigation_amounts,
                  &g.river_infiltration, &g.river_exfiltration, &g.sb1, &g.sb2, &g.root, &g.mean_theta_root,
                  &g.substeps, &g.storage_coefficient}) {
    widen(*v);
  }
  for (auto* v : {&g.theta, &g.hydraulic_heads, &g.geodetic_heads, &g.q_down}) widen(*v);
  if (missing > 0) {
    log() << "FATAL: the exchange of linked river cells does not carry " << missing
          << " grid(s) of the soil column solver" << "[end-entry]";
    RaiseError(kGeneralError);
  }
  spare_column_grids_ = std::move(g);
  spare_column_grids_bound_ = true;
  return spare_column_grids_;
}

void unsatzonmodellklasse::WidenHeatGridsToSpareRow(SoilHeatGrids& g) const {
  if (cell_exchange_.cell_count == 0) return;
  int missing = 0;
  const auto widen = [&](auto& v) { missing += WidenToSpareRow(v) ? 0 : 1; };
  for (auto* v : {&g.air, &g.lower_boundary, &g.heat_flux, &g.snow_solid, &g.landuse1}) widen(*v);
  widen(g.temperature);
  widen(g.thaw_depth);
  for (auto* v : {&g.frozen_in_groundwater, &g.colmation}) widen(*v);
  for (auto* v : {&g.groundwater_level, &g.colmation_frozen, &g.colmation_unfrozen}) widen(*v);
  LayeredSnowGrids& snow = g.snow;
  for (auto* v : {&snow.solid, &snow.liquid, &snow.density, &snow.thickness, &snow.theta, &snow.heads, &snow.heights,
                  &snow.q_down, &snow.temperature}) {
    widen(*v);
  }
  for (auto* v : {&snow.upper_index, &snow.storage_solid, &snow.storage_liquid, &snow.storage_total, &snow.melt,
                  &snow.energy_balance}) {
    widen(*v);
  }
  for (auto* v : {&snow.rain, &snow.surftemp}) widen(*v);
  if (missing > 0) {
    log() << "FATAL: the exchange of linked river cells does not carry " << missing
          << " grid(s) of the soil heat transfer" << "[end-entry]";
    RaiseError(kGeneralError);
  }
}

}  // namespace tolvo
