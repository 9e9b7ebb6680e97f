// Set-up of the land-use parameter grids: find or create every grid in the grid table,
// link the land-use entries with dynamic phenology to the per-cell state, fill the grids
// for the model start date and exchange the halo rows of the parameters that the
// sub-models read at their neighbours.

#include "tables/landuse_parameter_grids.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/modelobject.h"
#include "tables/landuse_update.h"

namespace tolvo {

namespace {

// Levels of the 7-day mean stack: level 0 the cold-day count, 1..7 the last daily means.
constexpr int kMovingMeanLevels = 7;
// Phenology states that mean "not yet": a season not started, a threshold not set.
constexpr double kNotStarted = -1.0;

RowRange Intersect(RowRange a, RowRange b) { return {std::max(a.first, b.first), std::min(a.last, b.last)}; }

bool IsDynamicPhenology(LanduseMethod method) {
  return method == LanduseMethod::DynamicPhenology_1 || method == LanduseMethod::DynamicPhenology_2 ||
         method == LanduseMethod::DynamicPhenology_3 || method == LanduseMethod::DynamicPhenology_4;
}

bool HasPhenologyStart(LanduseMethod method) {
  return method == LanduseMethod::DynamicPhenology_1 || method == LanduseMethod::DynamicPhenology_2 ||
         method == LanduseMethod::DynamicPhenology_4;
}

bool UsesCellDays(LanduseMethod method) {
  return method == LanduseMethod::DynamicPhenology_3 || method == LanduseMethod::DynamicPhenology_4;
}

std::string LayerIdentifier(const char* base, int k) { return std::string(base) + std::to_string(k); }

// The grid of "TemperatureMOVAVG7" is the mean of its stack's levels, not a copy of
// level 1 (today's mean): its outputs must not refill it from the stack, or the
// phenology would read today's mean as the 7-day mean.
void KeepMeanOutOfStackCopy(grid_entry& entry) { entry.no_stack_copy = 1; }

}  // namespace

[[noreturn]] void BadLanduseIndex(modelobject& reader, double code, int k, int r, int c, int n_entries) {
  reader.log() << "FATAL: the land-use index " << code << " of land-use layer " << k << " in row " << r
               << ", column " << c << " is no entry of the land-use table (1 to " << n_entries << ")"
               << "[end-entry]";
  RaiseError(kLanduseCodeError);
}

template <typename View>
void RequireRows(modelobject& reader, const View& grid, const std::string& identifier, RowRange rows) {
  const RowRange held = grid.rows();
  if (grid.empty() || (rows.count() > 0 && (held.first > rows.first || held.last < rows.last))) {
    reader.log() << "FATAL: the grid \"" << identifier << "\" does not hold the rows " << rows.first << " to "
                 << rows.last << " that this process computes" << "[end-entry]";
    RaiseError(kGridEntryError);
  }
}
template void RequireRows(modelobject&, const GridView&, const std::string&, RowRange);
template void RequireRows(modelobject&, const ConstGridView&, const std::string&, RowRange);

void LanduseParameterGrids::generateMultiLayerParameterGrids(modelobject& reader, LanduseTable& table,
                                                             std::span<const ConstGridView> layer_codes,
                                                             const LanduseGridSources& sources) {
  reader.log() << "generateMultiLayerParameterGrids..." << "[end-entry]";
  if (layer_codes.empty()) return;
  const int n_layers = static_cast<int>(layer_codes.size());
  zone_ = sources.zone;
  elevation_ = sources.elevation;
  regions_ = sources.regions;
  start_ = sources.start;
  layers_.assign(static_cast<std::size_t>(n_layers), {});
  ScanTable(table);

  const int albedo_index = reader.FindGrid("albedo", true);
  if (albedo_index == 0) {
    reader.log() << "FATAL: Albedo Grid not found for use within Landuse-Table.\n This grid must be read in as "
                    "standard or variable grid (there, it can be created automatically)"
                 << "[end-entry]";
    RaiseError(kGridEntryError);
  }
  // The set-up fails here, before any grid is made, when the table is full.
  FindFreeEntry(reader);
  albedo_ = (*reader.grids())[albedo_index].values;
  RequireRows(reader, albedo_, "albedo", reader.strip());
  RequireRows(reader, zone_, "zone grid", reader.strip());
  RequireRows(reader, elevation_, "elevation model", reader.strip());
  if (!regions_.empty()) RequireRows(reader, regions_, "MPIRegions", reader.strip());

  MakeSingleGrids(reader);
  for (int k = 1; k <= n_layers; ++k) {
    const ConstGridView codes = layer_codes[static_cast<std::size_t>(k) - 1];
    MakeLayerGrids(reader, k);
    if (cell_fixpoint_days_) layers_[static_cast<std::size_t>(k) - 1].phenology.fixpoint_days =
        MakeFixpointDays(reader, table, codes, k);
    LinkRecords(table, k);
    StartValues(reader, table, codes, k);
    ExchangeLayer(reader, k);
  }
  for (const LanduseLayerGrids& g : layers_) phenology_layers_.push_back(g.phenology);
  row_failures_.assign(static_cast<std::size_t>(std::max(reader.strip().count(), 0)), CellFailure{});
  generated_ = true;
}

// Largest fixpoint count, the kinds of dynamic phenology in use and the start-up rule of
// the phenology start for the model start date.
void LanduseParameterGrids::ScanTable(LanduseTable& table) {
  max_count_ = 0;
  dynamic_phenology_ = false;
  cell_fixpoint_days_ = false;
  for (const LanduseRecord& e : table.entries()) {
    max_count_ = std::max(max_count_, e.GetCount());
    dynamic_phenology_ = dynamic_phenology_ || IsDynamicPhenology(e.GetMethod());
    cell_fixpoint_days_ = cell_fixpoint_days_ || UsesCellDays(e.GetMethod());
  }
  for (LanduseRecord& e : table.entries()) {
    if (HasPhenologyStart(e.GetMethod())) {
      e.InitPhenologyStart(static_cast<int>(start_.day), static_cast<int>(start_.month), static_cast<int>(start_.year));
    }
  }
  if (dynamic_phenology_) {
    const std::size_t links = layers_.size() + 1;
    start_day_links_.assign(links, {});
    forcing_sum_links_.assign(links, {});
    forcing_threshold_links_.assign(links, {});
    if (cell_fixpoint_days_) fixpoint_day_links_.assign(links, {});
  }
}

int LanduseParameterGrids::FindFreeEntry(modelobject& reader) {
  return reader.grids()->TakeFreeEntries(1, {}, reader.log(),
                                         "no free grid found in memory (at position " +
                                             std::to_string(kLastGridIndex + 1) + ")\n");
}

LanduseParameterGrids::TableGrid LanduseParameterGrids::FindOrCreate(modelobject& reader,
                                                                     const std::string& identifier, double fill) {
  if (const int index = reader.FindGrid(identifier, true); index > 0) {
    const grid_entry& entry = (*reader.grids())[index];
    RequireRows(reader, entry.values, identifier, reader.strip());
    return {entry.values, entry.stack, index, false};
  }
  const RowRange rows = reader.strip_with_halo();
  const GridGeometry& geometry = reader.geometry();
  Grid& grid = owned_grids_.emplace_back(reader.matrix(rows.first, rows.last, 1, geometry.ncols, geometry.nrows));
  if (fill != 0.0) grid.fill(fill);
  const int index = FindFreeEntry(reader);
  reader.RegisterGrid(index, identifier, grid.view(), {}, 0, identifier, 0, rows.first, rows.last);
  ++created_grids_;
  return {grid.view(), {}, index, true};
}

void LanduseParameterGrids::MakeSingleGrids(modelobject& reader) {
  const TableGrid evaporation = FindOrCreate(reader, "SurfaceEvaporationResistance", 0.0);
  evaporation_resistance_ = evaporation.values;
  evaporation_resistance_index_ = evaporation.index;
  if (!dynamic_phenology_) return;
  const TableGrid temperature = FindOrCreate(reader, "TemperatureAVG", 0.0);
  temperature_avg_ = temperature.values;
  temperature_avg_index_ = temperature.index;
  leaf_fall_start_ = FindOrCreate(reader, "StartDayOfLeaveFall", 0.0).values;
  MakeMovingMean(reader);
}

// "TemperatureMOVAVG7" with its stack over the process's rows: 0 in basin cells, nodata
// elsewhere. A grid read from the control file without such a stack gets one.
void LanduseParameterGrids::MakeMovingMean(modelobject& reader) {
  const std::string identifier = "TemperatureMOVAVG7";
  const GridGeometry& geometry = reader.geometry();
  const RowRange strip = reader.strip();
  grid_table& grids = *reader.grids();
  const auto make_stack = [&]() -> StackView {
    Stack& stack = owned_stacks_.emplace_back(
        reader.three_d_matrix(strip.first, strip.last, 1, geometry.ncols, kMovingMeanLevels, geometry.nrows));
    return stack.view();
  };
  const auto initialise = [&](GridView values, StackView stack) {
    const RowRange rows = Intersect(strip, Intersect(stack.rows(), zone_.rows()));
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= geometry.ncols; ++c) {
        const double start = zone_(r, c) != kNodata ? 0.0 : kNodata;
        if (!values.empty()) values(r, c) = start;
        for (double& level : stack.levels(r, c)) level = start;
      }
    }
  };

  if (const int index = reader.FindGrid(identifier, true); index > 0) {
    grid_entry& entry = grids[index];
    RequireRows(reader, entry.values, identifier, strip);
    movavg7_ = entry.values;
    movavg7_index_ = index;
    const bool usable = !entry.stack.empty() && entry.stack.level_count() >= kMovingMeanLevels &&
                        (strip.count() <= 0 || (entry.stack.rows().first <= strip.first &&
                                                entry.stack.rows().last >= strip.last));
    if (usable) {
      movavg7_stack_ = entry.stack;
    } else {
      movavg7_stack_ = make_stack();
      initialise({}, movavg7_stack_);
      entry.stack = movavg7_stack_;
      entry.levels = kMovingMeanLevels;
    }
    KeepMeanOutOfStackCopy(entry);
    return;
  }
  const RowRange rows = reader.strip_with_halo();
  Grid& grid = owned_grids_.emplace_back(reader.matrix(rows.first, rows.last, 1, geometry.ncols, geometry.nrows));
  movavg7_ = grid.view();
  movavg7_stack_ = make_stack();
  movavg7_index_ = FindFreeEntry(reader);
  reader.RegisterGrid(movavg7_index_, identifier, movavg7_, movavg7_stack_, kMovingMeanLevels, identifier,
                      grids[temperature_avg_index_].ones, rows.first, rows.last);
  ++created_grids_;
  initialise(movavg7_, movavg7_stack_);
  KeepMeanOutOfStackCopy(grids[movavg7_index_]);
}

void LanduseParameterGrids::MakeLayerGrids(modelobject& reader, int k) {
  LanduseLayerGrids& g = layers_[static_cast<std::size_t>(k) - 1];
  const std::pair<const char*, GridView*> parameters[] = {
      {"root_depth", &g.root_depth},
      {"vegetation_coverage_degree", &g.vegetation_cover},
      {"leaf_area_index", &g.leaf_area_index},
      {"SurfaceCanopyResistance", &g.canopy_resistance},
      {"SurfaceIntercepResistance", &g.interception_resistance},
      {"RoughnessLength", &g.roughness_length},
      {"VegetationStart", &g.vegetation_start},
      {"VegetationStop", &g.vegetation_stop},
      {"VegetationDuration", &g.vegetation_duration},
  };
  g.indices.clear();
  for (const auto& [base, view] : parameters) {
    const TableGrid grid = FindOrCreate(reader, LayerIdentifier(base, k), 0.0);
    *view = grid.values;
    g.indices.push_back(grid.index);
  }
  if (!dynamic_phenology_) return;
  // A new state grid starts in the state "not yet": forcing and chilling sums at 0, the
  // season not started and the cell's threshold not set, so that the start values below
  // replace the last two by the entry's fallback start and threshold.
  PhenologyLayerGrids& p = g.phenology;
  p.forcing_sum = FindOrCreate(reader, LayerIdentifier("SumOfForcingUnits", k), 0.0).values;
  p.start_day = FindOrCreate(reader, LayerIdentifier("Pheno_start", k), kNotStarted).values;
  p.chilling_sum = FindOrCreate(reader, LayerIdentifier("SumOfChillingUnits", k), 0.0).values;
  p.forcing_threshold = FindOrCreate(reader, LayerIdentifier("FStar_ForcingThreshold", k), kNotStarted).values;
}

// "MultipleStartTimes<k>": a stack of M + 1 levels over every row, the cell's fixpoint
// days at the model start. A stack read from the control file is taken over as it is.
StackView LanduseParameterGrids::MakeFixpointDays(modelobject& reader, const LanduseTable& table, ConstGridView codes,
                                                  int k) {
  const std::string identifier = LayerIdentifier("MultipleStartTimes", k);
  const GridGeometry& geometry = reader.geometry();
  const RowRange strip = reader.strip();
  grid_table& grids = *reader.grids();
  const int found = reader.FindGrid(identifier, true);
  if (found > 0) {
    const StackView stack = grids[found].stack;
    const bool usable = !stack.empty() && stack.level_count() >= 1 &&
                        (strip.count() <= 0 || (stack.rows().first <= strip.first && stack.rows().last >= strip.last));
    if (usable) return stack;
  }
  Stack& stack = owned_stacks_.emplace_back(
      reader.three_d_matrix(1, geometry.nrows, 1, geometry.ncols, max_count_, geometry.nrows));
  if (found > 0) {
    // A grid without a usable stack (for example one read as a plain grid) gets a new one.
    grids[found].stack = stack.view();
    grids[found].levels = max_count_;
  } else {
    const int index = FindFreeEntry(reader);
    reader.RegisterGrid(index, identifier, {}, stack.view(), max_count_, identifier, 3, 1, geometry.nrows);
    ++created_grids_;
    if (k == 1) multiple_start_times_index_ = index;
  }

  const int d0 = LanduseRecord::JulianDay(static_cast<int>(start_.day), static_cast<int>(start_.month),
                                          static_cast<int>(start_.year));
  const int n_entries = table.size();
  const RowRange rows = Intersect(reader.strip_with_halo(), Intersect(Intersect(zone_.rows(), codes.rows()),
                                                              Intersect(elevation_.rows(), regions_.empty()
                                                                                               ? zone_.rows()
                                                                                               : regions_.rows())));
  const StackView days = stack.view();
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= geometry.ncols; ++c) {
      const std::span<double> q = days.levels(r, c);
      const double code = codes(r, c);
      if (zone_(r, c) == kNodata || code == kNodata || (!regions_.empty() && regions_(r, c) != reader.rank())) {
        std::fill(q.begin() + 1, q.end(), kNodata);
        continue;
      }
      const int index = LanduseTableIndex(code, n_entries);
      if (index == 0) BadLanduseIndex(reader, code, k, r, c, n_entries);
      const LanduseRecord& e = table[index];
      const int count = std::min(e.GetCount(), max_count_);
      const double altitude_shift = elevation_(r, c) - kFixpointReferenceAltitude;
      q[0] = 0;
      for (int m = 1; m <= count; ++m) {
        const double corrected = e.GetJulDay(m) + std::trunc(e.GetAltDep(m) * altitude_shift);
        const double threshold = e.GetForcingThreshold(m);
        if (e.GetMethod() != LanduseMethod::DynamicPhenology_3 || threshold < 0) {
          q[m] = corrected;
        } else if (e.GetJulDay(m) <= d0) {
          // A fixpoint defined by forcing whose day lies before the start counts as reached.
          q[m] = corrected;
          if (threshold > 0) q[0] = threshold;
        } else {
          q[m] = -1;
        }
      }
      for (int m = count + 1; m <= max_count_; ++m) q[m] = kNodata;
    }
  }
  return days;
}

void LanduseParameterGrids::LinkRecords(LanduseTable& table, int k) {
  if (!dynamic_phenology_) return;
  const std::size_t l = static_cast<std::size_t>(k);
  const PhenologyLayerGrids& p = layers_[l - 1].phenology;
  start_day_links_[l] = p.start_day;
  forcing_sum_links_[l] = p.forcing_sum;
  forcing_threshold_links_[l] = p.forcing_threshold;
  if (cell_fixpoint_days_) fixpoint_day_links_[l] = p.fixpoint_days;
  for (LanduseRecord& e : table.entries()) {
    if (!IsDynamicPhenology(e.GetMethod())) continue;
    e.SetCellPhenoStart(start_day_links_);
    e.SetCellForcingThreshold(forcing_threshold_links_);
    e.SetCellForcingSum(forcing_sum_links_);
    e.SetCellFixpointDays(cell_fixpoint_days_ ? fixpoint_day_links_ : std::vector<ConstStackView>{}, max_count_);
  }
}

// The rows of layer k that the start values cover: the process's rows with one halo row
// on each side, as far as every grid involved holds them.
RowRange LanduseParameterGrids::StartValueRows(modelobject& reader, ConstGridView codes, int k) {
  RequireRows(reader, codes, LayerIdentifier("landuse", k), reader.strip());
  const LanduseLayerGrids& g = layers_[static_cast<std::size_t>(k) - 1];
  RowRange rows = Intersect(reader.strip_with_halo(), Intersect(zone_.rows(), Intersect(elevation_.rows(), codes.rows())));
  if (!regions_.empty()) rows = Intersect(rows, regions_.rows());
  for (const GridView& grid : {g.root_depth, g.vegetation_cover, g.leaf_area_index, g.canopy_resistance,
                               g.interception_resistance, g.roughness_length, g.vegetation_start, g.vegetation_stop,
                               g.vegetation_duration}) {
    rows = Intersect(rows, grid.rows());
  }
  if (dynamic_phenology_) {
    const PhenologyLayerGrids& p = g.phenology;
    for (const GridView& grid : {p.forcing_sum, p.start_day, p.chilling_sum, p.forcing_threshold}) {
      rows = Intersect(rows, grid.rows());
    }
  }
  if (k == 1) rows = Intersect(rows, Intersect(albedo_.rows(), evaporation_resistance_.rows()));
  return rows;
}

void LanduseParameterGrids::StartValues(modelobject& reader, LanduseTable& table, ConstGridView codes, int k) {
  const LanduseLayerGrids& g = layers_[static_cast<std::size_t>(k) - 1];
  const PhenologyLayerGrids& p = g.phenology;
  const ParameterDate date = MakeParameterDate(static_cast<int>(start_.day), static_cast<int>(start_.month),
                                               static_cast<int>(start_.year));
  const int n_entries = table.size();
  const RowRange rows = StartValueRows(reader, codes, k);
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= reader.geometry().ncols; ++c) {
      const bool own = zone_(r, c) > kNodata && (regions_.empty() || regions_(r, c) == reader.rank());
      const double code = codes(r, c);
      if (!own || !(code > kNodata)) {
        for (const GridView& grid : {g.root_depth, g.vegetation_cover, g.leaf_area_index, g.canopy_resistance,
                                     g.interception_resistance, g.roughness_length, g.vegetation_start,
                                     g.vegetation_stop, g.vegetation_duration}) {
          grid(r, c) = kNodata;
        }
        if (k == 1) {
          evaporation_resistance_(r, c) = kNodata;
          if (!(code > kNodata)) albedo_(r, c) = kNodata;
        }
        if (dynamic_phenology_) {
          for (const GridView& grid : {p.forcing_sum, p.start_day, p.chilling_sum, p.forcing_threshold}) {
            grid(r, c) = kNodata;
          }
        }
        continue;
      }
      const int index = LanduseTableIndex(code, n_entries);
      if (index == 0) BadLanduseIndex(reader, code, k, r, c, n_entries);
      LanduseRecord& e = table[index];
      const double z = elevation_(r, c);
      if (dynamic_phenology_ && HasPhenologyStart(e.GetMethod())) {
        // Phenology states only where no valid state exists (a run may start from
        // stored states read from the control file).
        if (p.forcing_sum(r, c) < 0) p.forcing_sum(r, c) = 0;
        if (p.start_day(r, c) < 0) p.start_day(r, c) = e.GetFallbackStartDay();
        if (p.chilling_sum(r, c) < 0) {
          p.chilling_sum(r, c) = 0;
        } else {
          e.SetPhenologyFlag(false);
        }
        if (p.forcing_threshold(r, c) < 0) p.forcing_threshold(r, c) = e.GetFStar();
      }
      if (CellFailure f = SeasonalLayerParameters(e, date, k, r, c, z, g)) RaiseCellFailure(reader, f, n_entries);
      if (g.vegetation_start(r, c) <= 0) {
        const LanduseValue start = e.VegetationStartAtJulianDay(date.day_of_year, k, r, c, z);
        if (!start.ok()) RaiseCellFailure(reader, OperationFailure(e, start, date, k, r, c, z), n_entries);
        g.vegetation_start(r, c) = start.value;
      }
      g.vegetation_duration(r, c) = 0;
      g.vegetation_stop(r, c) = -1;
      if (k == 1) {
        if (CellFailure f = SurfaceParameters(e, date, r, c, z, albedo_, evaporation_resistance_)) {
          RaiseCellFailure(reader, f, n_entries);
        }
      }
      LimitLayerParameters(g, r, c, RoughnessLimit::BelowMinimum, k == 1 ? evaporation_resistance_ : GridView{});
    }
  }
}

void LanduseParameterGrids::ExchangeLayer(modelobject& reader, int k) {
  const LanduseLayerGrids& g = layers_[static_cast<std::size_t>(k) - 1];
  for (const GridView& grid : {g.root_depth, g.vegetation_cover, g.leaf_area_index, g.canopy_resistance,
                               g.interception_resistance, g.roughness_length}) {
    ExchangeHalo(reader.context(), grid);
  }
  if (k == 1) ExchangeHalo(reader.context(), evaporation_resistance_);
}

}  // namespace tolvo
