#include "surface/interzeptionsmodellklasse.h"

#include <algorithm>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "surface/layer_file_name.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

constexpr double kFullyGlacierised = 0.99999;

}  // namespace

interzeptionsmodellklasse::interzeptionsmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry,
                                                     const ModelSettings& settings)
    : teilmodellklasse(log, "interception_model", settings, 1) {
  if (ModuleSwitch == 0) return;
  log << "file "
      << "interzep"
      << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  n_layers_ = settings.multilayer_landuse != nullptr ? settings.multilayer_landuse->layers() : 1;
  ReadSection();
  CloseControlFile();
  zone_grid_ = grids()->zone_grid().values;
  elevation_ = (*grids())[2].values;
  BindInputs();
  RegisterLayerGrids(registry);
  ModuleMethod = settings_.method;
}

interzeptionsmodellklasse::~interzeptionsmodellklasse() = default;

void interzeptionsmodellklasse::ReadSection() {
  InterceptionSettings& s = settings_;
  ReadItem(s.method, " method for ");
  ReadItem(s.throughfall_file, "name outflow grid for ");
  ReadItem(s.throughfall_write, "write code outflow grid for ");
  ReadItemPair(s.throughfall_statistic, s.throughfall_code, "name outflow statistics file for ");
  ReadItem(s.evaporation_file, "name potential interception evaporation grid for ");
  ReadItem(s.evaporation_write, "write code potential interception evaporation grid for ");
  ReadItemPair(s.evaporation_statistic, s.evaporation_code, "name potential interception statistics file for ");
  ReadItem(s.storage_file, "name interception storage grid for ");
  ReadItem(s.storage_write, "write code interception storage grid for ");
  ReadItemPair(s.storage_statistic, s.storage_code, "name interception storage statistics file for ");
  ReadItem(s.h_max, "parameter interception storage maximum water layer thickness for ");
  ReadItem(s.read_grids, "readgrid parameter for ");
}

void interzeptionsmodellklasse::BindInputs() {
  grid_table& table = *grids();
  layers_.resize(static_cast<std::size_t>(n_layers_) + 1);
  for (int k = 0; k <= n_layers_; ++k) {
    Layer& layer = layers_[static_cast<std::size_t>(k)];
    const std::string n = std::to_string(k);
    if (k > 0) {
      layer.landuse = table[RequireGrid("landuse" + n)].values;
      layer.lai = table[RequireGrid("leaf_area_index" + n)].values;
      layer.vcf = table[RequireGrid("vegetation_coverage_degree" + n)].values;
    }
    layer.pot_transpiration = table[RequireGrid("pot_transpiration" + n)].values;
    layer.potential_interception = table[RequireGrid("potential_InterceptionEvap" + n)].values;
  }
  const int input = settings_.method == 1 || settings_.method == 2
                        ? RequireOneOf3Grids("snowcover_outflow", "precipitation", "ungueltiger_Name")
                        : RequireGrid("precipitation");
  water_input_ = table[input].values;
  int glacier = FindGrid("GlacierizedCells", false);
  if (glacier == 0) glacier = FindGrid("ice_firn", false);
  if (glacier > 0) glacier_ = table[glacier].values;
  if (const int regions = FindGrid("MPIRegions", false); regions > 0) regions_ = table[regions].values;
}

void interzeptionsmodellklasse::RegisterOwnGrid(OwnGrid& grid, const std::string& file, int write_code,
                                               const std::string& identifier, bool read) {
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  if (read) {
    ReadGrid(grid_input(), file, grid.values,
             {.fill_mode = kFillFromNeighbours, .allocate = true, .log = true, .strict_fill = true});
  } else {
    grid.values = Grid(rows.first, rows.last, g.ncols, g.nrows);
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) grid.values(r, c) = zone_grid_(r, c) != g.nodata_value ? 0 : g.nodata_value;
    }
  }
  grid.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                        "no free grid left" + std::to_string(kLastGridIndex + 1));
  const RowRange held = grid.values.rows();
  RegisterGrid(grid.index, file, grid.values.view(), {}, 0, identifier, write_code, held.first, held.last);
}

void interzeptionsmodellklasse::MakeStatistic(OwnGrid& grid, const std::string& file, int code,
                                             const std::string& quantity, StatisticsRegistry& registry) {
  const ZoneTableView& zones = settings().zones;
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  grid.zones.assign(zones.zones.begin(), zones.zones.end());
  ClearZoneSums(grid.zones, zones.zone_count);
  std::string name = file;
  grid.statistic = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, grid.zones, zones.zone_count,
                                                    code, 5, name, output_directory(), settings().output_list);
  grid.statistic->WriteHeader(quantity, "interception_model", registry, StatisticsRegistry::kCapacity);
}

void interzeptionsmodellklasse::RegisterLayerGrids(StatisticsRegistry& registry) {
  const InterceptionSettings& s = settings_;
  const auto layer_name = [](const std::string& name, int k) { return k == 0 ? name : LayerFileName(name, k); };
  for (int k = 0; k <= n_layers_; ++k) {
    Layer& layer = layers_[static_cast<std::size_t>(k)];
    const std::string n = std::to_string(k);
    RegisterOwnGrid(layer.storage, layer_name(s.storage_file, k), s.storage_write, "interception_storage" + n,
                    s.read_grids == 1);
    RegisterOwnGrid(layer.evaporation, layer_name(s.evaporation_file, k), s.evaporation_write,
                    "interception_evaporation" + n, false);
    RegisterOwnGrid(layer.throughfall, layer_name(s.throughfall_file, k), s.throughfall_write, "throughfall" + n,
                    false);
  }
  for (int k = 0; k <= n_layers_; ++k) {
    Layer& layer = layers_[static_cast<std::size_t>(k)];
    const std::string n = std::to_string(k) + "_";
    MakeStatistic(layer.evaporation, layer_name(s.evaporation_statistic, k), s.evaporation_code,
                  "interception_evaporation_in_mm_layer_" + n, registry);
    MakeStatistic(layer.storage, layer_name(s.storage_statistic, k), s.storage_code,
                  "interception_storage_in_mm_layer_" + n, registry);
    MakeStatistic(layer.throughfall, layer_name(s.throughfall_statistic, k), s.throughfall_code,
                  "throughfall_in_mm_layer_" + n, registry);
  }
}

bool interzeptionsmodellklasse::OwnCell(int r, int c) const {
  return zone_grid_(r, c) != geometry().nodata_value && (regions_.empty() || regions_(r, c) == rank());
}

double interzeptionsmodellklasse::Capacity(int k, int r, int c) const {
  const Layer& layer = layers_[static_cast<std::size_t>(k)];
  const double lai = layer.lai(r, c);
  const LanduseTable* table = settings().landuse;
  const double code = layer.landuse(r, c);
  if (table != nullptr && code >= 1 && code <= table->size()) {
    const double cap = (*table)[static_cast<int>(code)].GetIntercepCap();
    if (cap >= 0) return cap * lai;
  }
  return lai * settings_.h_max;
}

double interzeptionsmodellklasse::LayerBalance(int k, int r, int c, LayerWater& w) const {
  const Layer& layer = layers_[static_cast<std::size_t>(k)];
  const double vcf = layer.vcf(r, c);
  const double capacity = Capacity(k, r, c);
  w.throughfall = (1 - vcf) * w.input;
  w.storage += vcf * w.input;
  if (w.storage > capacity) {
    w.throughfall += w.storage - capacity;
    w.storage = capacity;
  }
  double lowered = 0;
  switch (settings_.method) {
    case 1:
    case 11: {
      w.evaporation = std::min(w.storage, layer.pot_transpiration(r, c));
      layer.pot_transpiration(r, c) -= w.evaporation;
      lowered = w.evaporation;
      break;
    }
    case 2:
    case 12: {
      w.evaporation = std::min(w.storage, layer.potential_interception(r, c));
      lowered = std::min(layer.pot_transpiration(r, c), w.evaporation);
      layer.pot_transpiration(r, c) -= lowered;
      break;
    }
    default: return 0;  // no interception evaporation
  }
  w.storage -= w.evaporation;
  return lowered;
}

void interzeptionsmodellklasse::Cell(int r, int c, int zone) {
  const double nodata = geometry().nodata_value;
  Layer& total = layers_[0];
  const double f = glacier_.empty() ? 0.0 : std::max(0.0, glacier_(r, c));
  const double w = 1 - std::min(f, 1.0);
  const double P = water_input_(r, c);
  if (f < 1) {
    if (n_layers_ == 1) {
      Layer& layer = layers_[1];
      LayerWater water{.input = P, .storage = layer.storage.values(r, c), .throughfall = 0,
                       .evaporation = layer.evaporation.values(r, c)};
      // Tracers move with the water: mixing before the overflow, overflow, outflow.
      const double vcf = layer.vcf(r, c);
      const double capacity = Capacity(1, r, c);
      const double before = water.storage;
      MixTracers(r, c, before, vcf * P, (1 - vcf) * P);
      const double filled = before + vcf * P;
      if (filled > capacity) TracerOverflow(r, c, filled, filled - capacity, (1 - vcf) * P);
      LayerBalance(1, r, c, water);
      TracerOutflowConcentration(r, c, water.throughfall);
      AddTracerStatistics(r, c, zone, water.storage);
      layer.storage.values(r, c) = water.storage;
      layer.evaporation.values(r, c) = water.evaporation;
      layer.throughfall.values(r, c) = water.throughfall;
      total.evaporation.values(r, c) = water.evaporation;
      total.pot_transpiration(r, c) = layer.pot_transpiration(r, c);
      total.storage.values(r, c) = water.storage;
      total.throughfall.values(r, c) = water.throughfall;
      layer.evaporation.statistic->AddValue(r, c, zone, water.evaporation, w);
      layer.storage.statistic->AddValue(r, c, zone, water.storage, w);
      layer.throughfall.statistic->AddValue(r, c, zone, water.throughfall, w);
    } else {
      double E0 = 0, S0 = 0, TF0 = 0;
      double input = P;
      for (int k = 1; k <= n_layers_; ++k) {
        Layer& layer = layers_[static_cast<std::size_t>(k)];
        LayerWater water{.input = input, .storage = layer.storage.values(r, c), .throughfall = 0,
                         .evaporation = layer.evaporation.values(r, c)};
        if (!(layer.landuse(r, c) > nodata)) {
          // A layer without vegetation passes its input (and any water it still held) on.
          water = {.input = input, .storage = 0, .throughfall = input + std::max(0.0, water.storage),
                   .evaporation = 0};
        } else {
          total.pot_transpiration(r, c) -= LayerBalance(k, r, c, water);
        }
        layer.storage.values(r, c) = water.storage;
        layer.evaporation.values(r, c) = water.evaporation;
        layer.throughfall.values(r, c) = water.throughfall;
        E0 += water.evaporation;
        S0 += water.storage;
        TF0 = water.throughfall;
        input = water.throughfall;
        layer.evaporation.statistic->AddValue(r, c, zone, water.evaporation, w);
        layer.storage.statistic->AddValue(r, c, zone, water.storage, w);
        layer.throughfall.statistic->AddValue(r, c, zone, water.throughfall, w);
      }
      total.evaporation.values(r, c) = E0;
      total.storage.values(r, c) = S0;
      total.throughfall.values(r, c) = TF0;
    }
    total.evaporation.statistic->AddValue(r, c, zone, total.evaporation.values(r, c), w);
    total.storage.statistic->AddValue(r, c, zone, total.storage.values(r, c), w);
    total.throughfall.statistic->AddValue(r, c, zone, total.throughfall.values(r, c), w);
  }
  if (f > 0) {
    if (f >= kFullyGlacierised) {
      for (Layer& layer : layers_) {
        layer.evaporation.values(r, c) = layer.storage.values(r, c) = layer.throughfall.values(r, c) = 0;
      }
      // Before the snow, the glacier's snow model takes the cell's whole input.
      if (settings_.method > 10) total.throughfall.values(r, c) = P;
    }
    for (Layer& layer : layers_) {
      for (OwnGrid* grid : {&layer.evaporation, &layer.storage, &layer.throughfall}) {
        grid->statistic->AddValue(r, c, zone, 0, std::min(f, 1.0));
      }
    }
    AddTracerStatistics(r, c, zone, total.storage.values(r, c));
  }
}

void interzeptionsmodellklasse::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                            StatisticsRegistry& registry, int capacity) {
  if (ModuleSwitch == 0) return;
  teilmodellklasse::InitTracers(n_tracers, tracers, registry, capacity);
  tracer_input_.assign(static_cast<std::size_t>(std::max(n_tracers, 0)) + 1, ConstGridView{});
  for (int t = 1; t <= n_tracers; ++t) {
    const std::string base = "concflux_tracer_" + std::to_string(t) + "_";
    const int index = RequireOneOf3Grids(base + "snow_model", base + "irrigation", base + "input");
    tracer_input_[static_cast<std::size_t>(t)] = (*grids())[index].values;
  }
}

void interzeptionsmodellklasse::MixTracers(int r, int c, double storage_before, double vcf_input,
                                           double throughfall) {
  for (int t = 1; t <= TracerCount && t < static_cast<int>(TracerRecords.size()); ++t) {
    const TracerSettingsRecord& s = TracerSettings[static_cast<std::size_t>(t)];
    TracerRecord& tracer = TracerRecords[static_cast<std::size_t>(t)];
    double& stored = tracer.storage(r, c);
    double& out = tracer.flux(r, c);
    const double input = tracer_input_[static_cast<std::size_t>(t)](r, c);
    if (s.radioactive == 1) stored *= s.decay_factor;
    if (s.evaporating == 1) {
      out = input;
      stored = WeightedMean(stored, input, storage_before, vcf_input);
    } else {
      // A non-evaporating tracer is held as a mass while the water moves.
      out = input * throughfall;
      stored += input * vcf_input;
    }
  }
}

void interzeptionsmodellklasse::TracerOverflow(int r, int c, double storage, double excess, double throughfall) {
  for (int t = 1; t <= TracerCount && t < static_cast<int>(TracerRecords.size()); ++t) {
    const TracerSettingsRecord& s = TracerSettings[static_cast<std::size_t>(t)];
    TracerRecord& tracer = TracerRecords[static_cast<std::size_t>(t)];
    double& stored = tracer.storage(r, c);
    double& out = tracer.flux(r, c);
    if (s.evaporating == 1) {
      out = excess + throughfall > 0 ? (throughfall * out + excess * stored) / (excess + throughfall) : stored;
    } else {
      const double share = storage > 0 ? excess / storage * stored : 0;
      const double moved = std::min(share, excess * s.max_conc);
      stored -= moved;
      out += moved;
    }
  }
}

void interzeptionsmodellklasse::TracerOutflowConcentration(int r, int c, double throughfall) {
  for (int t = 1; t <= TracerCount && t < static_cast<int>(TracerRecords.size()); ++t) {
    if (TracerSettings[static_cast<std::size_t>(t)].evaporating == 1) continue;
    double& out = TracerRecords[static_cast<std::size_t>(t)].flux(r, c);
    out = throughfall > 0 ? out / throughfall : 0;
  }
}

void interzeptionsmodellklasse::AddTracerStatistics(int r, int c, int zone, double storage) {
  for (int t = 1; t <= TracerCount && t < static_cast<int>(TracerRecords.size()); ++t) {
    TracerRecord& tracer = TracerRecords[static_cast<std::size_t>(t)];
    if (!tracer.statistic) continue;
    const double weight = TracerSettings[static_cast<std::size_t>(t)].evaporating == 1 ? storage : 1.0;
    tracer.statistic->AddValue(r, c, zone, tracer.storage(r, c), weight);
  }
}

void interzeptionsmodellklasse::RunStep(long long hour, long long day, long long month, long long year) {
  if (ModuleSwitch == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.evaporation, &layer.storage, &layer.throughfall}) grid->statistic->BeginStep();
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->BeginStep();
  }
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ZoneTableView& zones = settings().zones;
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns =
        zones.column_ranges.empty() ? ColumnRange{1, g.ncols} : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!OwnCell(r, c)) {
        for (Layer& layer : layers_) layer.evaporation.values(r, c) = layer.throughfall.values(r, c) = g.nodata_value;
        continue;
      }
      Cell(r, c, zones.code_index[static_cast<std::size_t>(zone_grid_(r, c))]);
    }
  }
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.evaporation, &layer.storage, &layer.throughfall}) step_ends_.Add(grid->statistic.get(), 1);
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) step_ends_.Add(TracerRecords[t].statistic.get(), 1);
  step_ends_.EndSteps(year, month, day, hour);
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.throughfall, &layer.evaporation, &layer.storage}) {
      WriteGridOutputs(grid->index, true, false);
    }
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    TracerRecord& tracer = TracerRecords[t];
    if (tracer.storage_index > 0) WriteGridOutputs(tracer.storage_index, true, false);
  }
}

void interzeptionsmodellklasse::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  for (Layer& layer : layers_) {
    for (OwnGrid* grid : {&layer.evaporation, &layer.storage, &layer.throughfall}) {
      if (grid->statistic) grid->statistic->FlushRows();
    }
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
}

void interzeptionsmodellklasse::DeleteModule() {
  if (ModuleSwitch != 0) {
    for (Layer& layer : layers_) {
      for (OwnGrid* grid : {&layer.evaporation, &layer.storage, &layer.throughfall}) ReleaseStatisticGrid(*grid);
    }
    layers_.clear();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
