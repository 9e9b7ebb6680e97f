#include "runoff/siltingupclass.h"

#include <string>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "framework/tracer_settings_record.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

constexpr std::array<const char*, kSiltingUpGridCount> kGridIdentifiers = {
    "SiltingUpDisposition", "RainPause", "KineticEnergy", "TimeSinceLastSoilTillage", "DirectRunoffSiltingUp"};

// The text that makes a formula the first of those giving the infiltration capacity.
constexpr std::string_view kCapacityMarker = "V=";

}  // namespace

siltingupclass::siltingupclass(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings)
    : teilmodellklasse(log, "SiltingUpModel", settings, 1) {
  if (ModuleSwitch == 0) return;
  log << "file " << "siltingup" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  const int regions = FindGrid("MPIRegions", false);
  if (regions > 0) regions_ = (*grids())[regions].values;
  if (FindGrid("GlacierizedCells", false) > 0 || FindGrid("GlacierCodes", false) > 0) {
    log << "FATAL: error: Silting-Up module cannot be used when glacier model is active. Remove grids for glacier "
           "codes and glaciated cell fractions from the grid list"
        << "[end-entry]";
    RaiseError(kSiltingUpWithGlaciers);
  }
  BindGrids();
  ReadSection();
  CloseControlFile();

  for (const std::string& text : settings_.expressions) formulas_.programs.emplace_back(text);
  formulas_.capacity_first = settings_.expressions.size();
  for (std::size_t i = 0; i < settings_.expressions.size(); ++i) {
    if (settings_.expressions[i].find(kCapacityMarker) != std::string::npos) {
      formulas_.capacity_first = i;
      break;
    }
  }
  BindFormulas();

  MakeStatistics(registry);
  MakeOwnGrids();
  row_status_.resize(static_cast<std::size_t>(std::max(strip().count(), 0)));
}

void siltingupclass::BindGrids() {
  grid_table& table = *grids();
  elevation_ = table[2].values;
  landuse_layers_ = settings().multilayer_landuse != nullptr ? settings().multilayer_landuse->layers() : 1;
  landuse_.assign(static_cast<std::size_t>(landuse_layers_) + 1, ConstGridView{});
  vegetation_cover_.assign(static_cast<std::size_t>(landuse_layers_) + 1, ConstGridView{});
  for (int n = 1; n <= landuse_layers_; ++n) {
    landuse_[static_cast<std::size_t>(n)] = table[RequireGrid("landuse" + std::to_string(n))].values;
    vegetation_cover_[static_cast<std::size_t>(n)] =
        table[RequireGrid("vegetation_coverage_degree" + std::to_string(n))].values;
  }
  soil_types_ = table[RequireGrid("soil_types")].values;
  if (settings().spin_up != 0 && settings().hrus != nullptr) {
    const int masters = FindGrid("MasterHydrologicResponseUnits", false);
    const int units = FindGrid("HydrologicResponseUnits", false);
    if (masters > 0 && units > 0) {
      hru_masters_ = table[masters].values;
      hru_units_ = table[units].values;
    }
  }
  surface_storage_ = table[RequireGrid("SurfStorSiltingUp")].values;
}

void siltingupclass::MakeStatistics(StatisticsRegistry& registry) {
  const ZoneTableView& zones = settings().zones;
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  const auto make = [&](std::vector<ZoneRecord>& records, std::string& file, int code, const char* quantity) {
    records.assign(zones.zones.begin(), zones.zones.end());
    ClearZoneSums(records, zones.zone_count);
    auto statistic = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, records, zones.zone_count,
                                                      code, 4, file, output_directory(), settings().output_list);
    statistic->WriteHeader(quantity, name(), registry, StatisticsRegistry::kCapacity);
    return statistic;
  };
  disposition_statistic_ = make(disposition_zones_, settings_.disposition_statistic,
                                settings_.disposition_statistic_code, "Silting_up_disposition_");
  runoff_statistic_ = make(runoff_zones_, settings_.runoff_statistic, settings_.runoff_statistic_code,
                           "Direct_Discharge_Silting_Up");
}

void siltingupclass::MakeOwnGrids() {
  grid_table& table = *grids();
  const GridGeometry& g = geometry();
  const RowRange rows = strip();
  const ConstGridView zone = table.zone_grid().values;
  const int first = table.TakeFreeEntries(
      kSiltingUpGridCount, {.taken_by = grid_table::TakenBy::kFileName}, log(),
      "no free grid left, allowed number of grids is (contact the author)" + std::to_string(kLastGridIndex + 1) + "!");
  for (int k = 0; k < kSiltingUpGridCount; ++k) {
    const std::size_t i = static_cast<std::size_t>(k);
    Grid& grid = grids_[i];
    // The state grids may continue a former run; the direct runoff always starts afresh.
    if (StorageGridsReadCode == 1 && k != kDirectRunoffGrid) {
      ReadGrid(grid_input(), settings_.grid_files[i], grid, {.allocate = true, .log = true});
    } else {
      grid = matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
      for (int r = rows.first; r <= rows.last; ++r) {
        for (int c = 1; c <= g.ncols; ++c) grid(r, c) = zone(r, c) == g.nodata_value ? g.nodata_value : 0.0;
      }
    }
    grid_indices_[i] = first + k;
    RegisterGrid(first + k, settings_.grid_files[i], grid.view(), {}, 0, kGridIdentifiers[i],
                 settings_.write_codes[i], rows.first, rows.last);
  }
}

void siltingupclass::SelectWaterInput(bool interception_first) {
  if (ModuleSwitch == 0) return;
  interception_first_ = interception_first;
  if (!water_input_.empty()) return;
  const int index = interception_first ? RequireOneOf3Grids("snowcover_outflow", "throughfall0", "precipitation")
                                       : RequireOneOf3Grids("throughfall0", "snowcover_outflow", "precipitation");
  water_input_ = (*grids())[index].values;
}

void siltingupclass::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers, StatisticsRegistry& registry,
                                 int capacity) {
  if (ModuleSwitch == 0) return;
  teilmodellklasse::InitTracers(n_tracers, tracers, registry, capacity);
  tracer_input_.assign(static_cast<std::size_t>(std::max(n_tracers, 0)) + 1, GridView{});
  for (int t = 1; t <= n_tracers; ++t) {
    const std::string base = "concflux_tracer_" + std::to_string(t) + "_";
    const int index =
        RequireOneOf4Grids(base + "interception_model", base + "snow_model", base + "irrigation", base + "input");
    tracer_input_[static_cast<std::size_t>(t)] = (*grids())[index].values;
  }
}

void siltingupclass::ReleaseTracers() {
  if (ModuleSwitch != 0) teilmodellklasse::ReleaseTracers();
}

void siltingupclass::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  disposition_statistic_->FlushRows();
  runoff_statistic_->FlushRows();
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
}

void siltingupclass::DeleteModule() {
  if (ModuleSwitch > 0) {
    for (std::unique_ptr<zonalstatistic>* statistic : {&disposition_statistic_, &runoff_statistic_}) {
      if (*statistic) (*statistic)->Release();
      statistic->reset();
    }
    disposition_zones_.clear();
    runoff_zones_.clear();
    for (std::size_t i = 0; i < grids_.size(); ++i) {
      if (grid_indices_[i] > 0) FreeGridEntry(grid_indices_[i]);
      grid_indices_[i] = 0;
      grids_[i] = Grid();
    }
    formulas_ = {};
    workspaces_.clear();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
