#include "surface/schneemodellklasse.h"

#include <mpi.h>

#include <algorithm>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/stack_reader.h"
#include "framework/statistics_registry.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {

schneemodellklasse::schneemodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings)
    : teilmodellklasse(log, "snow_model", settings, 1) {
  if (ModuleSwitch == 0) return;
  log << "file "
      << "snowmod"
      << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  grid_table& table = *grids();
  elevation_ = table[2].values;
  zone_grid_ = table.zone_grid().values;
  subbasins_ = RankZones();
  subbasin_grid_ = Find("zonegrid_soilmodel");
  regions_ = Find("MPIRegions");
  landuse_layers_ = settings.multilayer_landuse != nullptr ? settings.multilayer_landuse->layers() : 1;

  settings_ = ReadSnowModelSection(*this);
  CloseControlFile();
  storage_rows_ = strip();
  if (settings_.traits.slides && rank() == 0) {
    storage_rows_ = {1, geometry().nrows};
    whole_grid_read_ = true;
  }
  MakeSnowStatistics(registry);

  albedo_ = (*grids())[RequireGrid("albedo")].values;
  if (const int e = FindGrid("snow_evaporation", false); e > 0) snow_evaporation_ = (*grids())[e].values;
  landuse_.assign(static_cast<std::size_t>(landuse_layers_) + 1, ConstGridView{});
  for (int k = 1; k <= landuse_layers_; ++k)
    landuse_[static_cast<std::size_t>(k)] = Require("landuse" + std::to_string(k));

  if (FindGrid("ice_firn", false) > 0 || FindGrid("GlacierizedCells", false) > 0) SetUpGlaciers(registry);
  BindInputs();
  NextEntry();
  MakeStateGrids();
  if (settings_.traits.energy_balance) {
    energy_balance_ = UseOrCreate("EnergyBalance", {"EnergyBalance", 0}, storage_rows_, {}, 0);
  }
  if (settings_.traits.slides) MakeSlideGrids();
  snow_fraction_ = UseOrCreate("snow_fraction", settings_.snow, strip(), zone_grid_, 0);
  rain_fraction_ = UseOrCreate("rain_fraction", settings_.rain, strip(), zone_grid_, 0);
  outflow_ = UseOrCreate("snowcover_outflow", settings_.outflow, strip(), zone_grid_, 0);
  melt_only_ = UseOrCreate("melt_from_snowcover", settings_.melt_only, strip(), zone_grid_, 0);
  if (has_glaciers()) MakeGlacierGrids();
  if (has_glaciers()) SetUpGlacierList();
  if (FindGrid("ThawCoeffPermaFrost", false) > 0 && FindGrid("PermafrostThawDepth", false) > 0) {
    SetUpPermafrost(registry);
  }
  CheckSnowThresholds(*this, settings_);
  if (settings.spin_up != 0 && settings.hrus != nullptr) {
    hru_units_ = Require("HydrologicResponseUnits");
    hru_masters_ = Require("MasterHydrologicResponseUnits");
  }
  SetInitialised(0);
}

ConstGridView schneemodellklasse::Find(std::string_view identifier) {
  const int index = FindGrid(identifier, false);
  return index > 0 ? ConstGridView((*grids())[index].values) : ConstGridView();
}

ConstGridView schneemodellklasse::Require(std::string_view identifier) {
  return (*grids())[RequireGrid(identifier)].values;
}

GridView schneemodellklasse::RequireWritable(std::string_view identifier) {
  return (*grids())[RequireGrid(identifier)].values;
}

void schneemodellklasse::BindInputs() {
  const SnowMethodTraits& t = settings_.traits;
  if (t.needs_vapour_pressure) vapour_pressure_ = Require("vapor_pressure");
  if (t.needs_wind) wind_ = Require("wind_speed");
  temperature_ = (*grids())[RequireOneOf3Grids("corr_temperature", "temperature", "temperature_14")].values;
  temperature_night_ = TimeStep > 720 ? Require("temperature_night") : temperature_;
  if (t.slides) {
    for (int k = 1; k <= 4; ++k) {
      slide_fraction_[static_cast<std::size_t>(k - 1)] = Require("slidefraction" + std::to_string(k));
    }
    slope_ = Require("slope_angle");
  }
  if (t.deposition) deposition_index_ = Require("deposition_index");
  if (t.energy_balance) {
    cloudiness_ = Require("cloudiness");
    air_humidity_ = Require("air_humidity");
    global_radiation_ = Require("AspectCorrectedGlobalRadiation");
    surface_temperature_ = Find("surfacetemperature");
  }
}

int schneemodellklasse::NextEntry() {
  return grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                  "no free grid left. Please contact the author to set the number of available grids "
                                  "to a larger number " +
                                      std::to_string(kLastGridIndex + 1));
}

Grid schneemodellklasse::NewGrid(RowRange rows) const {
  const GridGeometry& g = geometry();
  return Grid(rows.first, rows.last, g.ncols, g.nrows);
}

GridView schneemodellklasse::RegisterOwned(Grid grid, std::string_view file, std::string_view identifier,
                                           int write_code, RowRange rows) {
  owned_.push_back(std::move(grid));
  const int index = NextEntry();
  RegisterGrid(index, file, owned_.back().view(), {}, 0, identifier, write_code, rows.first, rows.last);
  registered_.push_back(index);
  return owned_.back().view();
}

GridView schneemodellklasse::UseOrCreate(std::string_view identifier, const GridOutputName& name, RowRange rows,
                                         ConstGridView mask, double value) {
  const int existing = FindGrid(identifier, false);
  if (existing > 0) return (*grids())[existing].values;
  const double nodata = geometry().nodata_value;
  Grid grid = NewGrid(rows);
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      grid(r, c) = mask.empty() || mask(r, c) != nodata ? value : nodata;
    }
  }
  return RegisterOwned(std::move(grid), name.file, identifier, name.write_code, rows);
}

GridView schneemodellklasse::ReadAndRegister(std::string_view identifier, const GridOutputName& name,
                                             double default_value, bool holes_allowed, bool whole) {
  Grid grid;
  ReadGrid(grid_input(), name.file, grid,
           {.fill_mode = kFillFromNeighbours,
            .allocate = true,
            .log = true,
            .default_value = default_value,
            .strict_fill = !holes_allowed,
            .whole_on_process0 = whole});
  const RowRange rows = grid.rows();
  return RegisterOwned(std::move(grid), name.file, identifier, name.write_code, rows);
}

void schneemodellklasse::MakeStateGrids() {
  struct StateGrid {
    const char* identifier;
    const GridOutputName* name;
    GridView* target;
    bool whole;   // read whole on process 0 and held in the storage rows
    double fill;  // value of holes when read
    bool holes_allowed;
    double initial;  // value of created zone cells; nodata in every cell when negative
  };
  const double nodata = geometry().nodata_value;
  std::vector<StateGrid> list = {
      {"snowstorage_solid", &settings_.solid, &solid_, true, 0, false, 0},
      {"snowstorage_liquid", &settings_.liquid, &liquid_, true, 0, false, 0},
      {"snow_storage_total", &settings_.total, &total_, true, 0, false, 0},
      {"days_snow", &settings_.snow_days, &days_snow_, false, 0, false, 0},
      {"snow_age", &settings_.snow_age, &snow_age_, false, 0, false, 0},
  };
  if (settings_.traits.energy_balance) {
    list.push_back({"snowtemp", &settings_.snow_temperature, &snow_temperature_, false, kMeltingPointK, true, -1});
    list.push_back(
        {"surftemp", &settings_.surface_temperature, &surface_temperature_state_, false, kMeltingPointK, true, -1});
  }
  for (const StateGrid& s : list) {
    const int existing = FindGrid(s.identifier, false);
    if (existing > 0) {
      *s.target = (*grids())[existing].values;
    } else if (settings_.storage_read_code == 1) {
      *s.target = ReadAndRegister(s.identifier, *s.name, s.fill, s.holes_allowed, s.whole && whole_grid_read_);
    } else if (s.initial < 0) {
      Grid grid = NewGrid(storage_rows_);
      grid.fill(nodata);
      *s.target = RegisterOwned(std::move(grid), s.name->file, s.identifier, s.name->write_code, storage_rows_);
    } else {
      *s.target = UseOrCreate(s.identifier, *s.name, storage_rows_, zone_grid_, s.initial);
    }
  }
}

void schneemodellklasse::MakeSlideGrids() {
  if (rank() == 0) MakeElevationOrder();
  input_mass_ = UseOrCreate("input_mass", settings_.input_mass, storage_rows_, zone_grid_, 0);
  mobile_mass_ = UseOrCreate("mobile_mass", settings_.mobile_mass, storage_rows_, zone_grid_, 0);
  deposition_ = UseOrCreate("deposition", settings_.deposition, storage_rows_, zone_grid_, 0);
}

void schneemodellklasse::MakeElevationOrder() {
  const GridGeometry& g = geometry();
  const RowRange all{1, g.nrows};
  const double nodata = g.nodata_value;
  const int existing = FindGrid("max_deposition", false);
  if (existing > 0) {
    max_deposition_ = (*grids())[existing].values;
  } else {
    // The largest snow depth a cell takes up by deposition falls linearly with the slope
    // to none at maxDepositionSlope.
    Grid grid = NewGrid(all);
    const double limit = settings_.maxDepositionSlope;
    for (int r = 1; r <= g.nrows; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (zone_grid_(r, c) == nodata) {
          grid(r, c) = nodata;
          continue;
        }
        const double s = slope_(r, c);
        grid(r, c) = s >= limit || limit <= 0 ? 0 : std::max(0.0, settings_.maxDepositionFactor * (1 - s / limit));
      }
    }
    max_deposition_ = RegisterOwned(std::move(grid), "", "max_deposition", 0, all);
  }
  struct Cell {
    int r, c;
    double z;
  };
  std::vector<Cell> cells;
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone_grid_(r, c) != nodata) cells.push_back({r, c, elevation_(r, c)});
    }
  }
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return a.z < b.z; });
  // Read in row-major order, the zone cells of the two grids give the cells from the
  // highest to the lowest; of equal elevations the later in row-major order comes first.
  Grid rows = NewGrid(all);
  Grid cols = NewGrid(all);
  std::size_t k = 0;
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      if (zone_grid_(r, c) == nodata) {
        rows(r, c) = cols(r, c) = nodata;
        continue;
      }
      const Cell& cell = cells[cells.size() - 1 - k++];
      rows(r, c) = cell.r;
      cols(r, c) = cell.c;
    }
  }
  elev_order_row_ = RegisterOwned(std::move(rows), "", "elev_order_row", 0, all);
  elev_order_col_ = RegisterOwned(std::move(cols), "", "elev_order_col", 0, all);
}

void schneemodellklasse::MakeStatistic(StatisticsRegistry& registry, SnowTable t, const StatisticName& name,
                                       const char* quantity, int precision, bool by_subbasin) {
  Statistic& s = statistics_[static_cast<std::size_t>(t)];
  const GridGeometry& g = geometry();
  const int relcell = FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView((*grids())[relcell].values) : ConstGridView();
  int n = 0;
  if (by_subbasin) {
    s.zones = subbasins_.zones;
    n = subbasins_.zone_count;
  } else {
    s.zones.assign(settings().zones.zones.begin(), settings().zones.zones.end());
    n = settings().zones.zone_count;
  }
  ClearZoneSums(s.zones, n);
  s.file = name.file;
  s.table = std::make_unique<zonalstatistic>(log(), weights, g.nrows, g.ncols, s.zones, n, name.code, precision, s.file,
                                             output_directory(), settings().output_list);
  s.table->WriteHeader(quantity, this->name(), registry, StatisticsRegistry::kCapacity);
}

void schneemodellklasse::MakeSnowStatistics(StatisticsRegistry& registry) {
  const SnowSettings& s = settings_;
  MakeStatistic(registry, SnowTable::kOutflow, s.outflow_statistic, "snow_melt_(effective_outflow_from_snow_cover)___",
                4, false);
  MakeStatistic(registry, SnowTable::kMeltOnly, s.melt_only_statistic,
                "snow_melt_only(effective_outflow_from_snow_cover)___", 4, false);
  MakeStatistic(registry, SnowTable::kStorage, s.storage_statistic, "snow_storage_in_mm___", 3, false);
  MakeStatistic(registry, SnowTable::kSnowDays, s.snow_days_statistic, "snow_days____", 3, false);
  MakeStatistic(registry, SnowTable::kSnowAge, s.snow_age_statistic, "snow_age____", 3, false);
  MakeStatistic(registry, SnowTable::kSnowfall, s.snow_statistic, "p_snow____", 3, false);
  MakeStatistic(registry, SnowTable::kRain, s.rain_statistic, "p_rain____", 3, false);
  MakeStatistic(registry, SnowTable::kAlbedo, s.albedo_statistic, "albedo____", 3, false);
  if (s.traits.energy_balance) {
    MakeStatistic(registry, SnowTable::kSnowTemperature, s.snow_temperature_statistic, "snowtemp____", 3, false);
    MakeStatistic(registry, SnowTable::kSurfaceTemperature, s.surface_temperature_statistic, "surftemp____", 3, false);
  }
  if (s.traits.slides) {
    MakeStatistic(registry, SnowTable::kInputMass, s.input_mass_statistic, "input_mass____", 3, false);
    MakeStatistic(registry, SnowTable::kMobileMass, s.mobile_mass_statistic, "mobile_mass____", 3, false);
    MakeStatistic(registry, SnowTable::kDeposition, s.deposition_statistic, "deposition____", 3, false);
  }
}

void schneemodellklasse::SetUpGlaciers(StatisticsRegistry& registry) {
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[ice_firn]", true);
  ice_.method = ReadGlacierMethod(*this);
  debris_ = Find("debris_on_glaciers");
  if (ice_.dynamic()) {
    glacier_fraction_ = Require("GlacierizedCells");
    glacier_codes_ = Require("GlacierCodes");
    whole_grid_read_ = true;
    if (rank() == 0) storage_rows_ = {1, geometry().nrows};
    CheckDynamicGlacierGrids();
  } else {
    glacier_fraction_ = Require("ice_firn");
  }
  ReadIceFirnSection(*this, ice_);
  CloseControlFile();

  const auto n = static_cast<std::size_t>(subbasins_.zone_count) + 1;
  for (auto [array, initial] : {std::pair{&Qice_slr_, ice_.Qice_initial},
                                {&Qfirn_slr_, ice_.Qfirn_initial},
                                {&Qsnow_slr_, ice_.Qsnow_initial},
                                {&ice_input_, 0.0},
                                {&firn_input_, 0.0},
                                {&snow_on_ice_input_, 0.0}}) {
    array->assign(n, initial);
    (*array)[0] = 0;
  }
  glacier_melt_sums_.assign(n * kGlacierMeltSums, ExactSum());
  glacier_melt_zones_.assign(4 * n, ZoneRecord());
  if (const int relcell = FindGrid("RelCellArea", false); relcell > 0) cell_areas_ = (*grids())[relcell].values;
  MakeStatistic(registry, SnowTable::kFirnMelt, ice_.firn_statistic, "glacier_melt_from_firn_areas__", 5, true);
  MakeStatistic(registry, SnowTable::kIceMelt, ice_.ice_statistic, "glacier_melt_from_ice_areas__", 5, true);
  MakeStatistic(registry, SnowTable::kSnowOnIceMelt, ice_.snow_on_ice_statistic, "snow_melt_from_ice_areas__", 5, true);
  MakeStatistic(registry, SnowTable::kGlacierMelt, ice_.total_statistic, "glacier_melt_total(firn+ice)__", 5, true);
  MakeStatistic(registry, SnowTable::kStorageWithoutGlaciers, ice_.snow_without_glaciers_statistic,
                "snow_storage_in_mm_WITHOUT_GLACIERS_", 3, false);
  if (ice_.needs_radiation()) {
    glacier_radiation_ = (*grids())[RequireOneOf3Grids("global_radiation", "Ieff_max", "Ieff_max")].values;
  }
  glacier_subbasins_ = CountGlacierSubbasins(context(), rank() == 0 ? subbasin_grid_ : ConstGridView(),
                                             rank() == 0 ? glacier_fraction_ : ConstGridView(), subbasins_);
  if (ice_.dynamic()) {
    MakeStatistic(registry, SnowTable::kFirnWater, ice_.firn_water_statistic, "WE_in_firn_[mm_per_subbasin]", 4, true);
    MakeStatistic(registry, SnowTable::kMassBalance, ice_.mass_balance_statistic,
                  "glacier_mass_balance_[mm_per_subbasin]", 5, true);
    MakeStatistic(registry, SnowTable::kGlacierPartBalance, ice_.glacier_part_balance_statistic,
                  "glacier_mass_balance_[mm_GlacierPartOfSubbasin]", 5, true);
  }
}

void schneemodellklasse::CheckDynamicGlacierGrids() {
  // Process 0 checks; every process learns its verdict, so that all stop together.
  int code = 0;
  if (rank() == 0) {
    const GridGeometry& g = geometry();
    const double nodata = g.nodata_value;
    bool any_glacier = false;
    bool any_code = false;
    for (int r = 1; r <= g.nrows && code == 0; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        const double f = glacier_fraction_(r, c);
        if (f == nodata || !(f > 0)) continue;
        if (glacier_codes_(r, c) == nodata) {
          log() << "FATAL: \n-----------Fatal Error:----------\nThere is a cell in the GlacierizedCells-grid having "
                   "no valid value in \n"
                << "GlacierCodes"
                << " (must be an integer ID for each separate glacier) at row " << r << " and col " << c
                << "[end-entry]";
          code = kSnowSettingsError;
          break;
        }
        any_glacier = true;
      }
    }
    for (int r = 1; r <= g.nrows && code == 0 && !any_code; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        if (!subbasin_grid_.empty() && subbasin_grid_(r, c) != nodata && glacier_codes_(r, c) > 0) any_code = true;
      }
    }
    if (code == 0 && !any_glacier) {
      log() << "FATAL: \n-----------Fatal Error:----------\nThere are no glacierized cells in GlacierizedCells-grid "
               "(all nodata or equal to 0)!"
            << "[end-entry]";
      code = kSnowSettingsError;
    } else if (code == 0 && !any_code) {
      const grid_entry& entry = (*grids())[FindGrid("GlacierCodes", false)];
      log() << "FATAL: \n----------- Fatal Error: ----------\nThe "
            << "GlacierCodes"
            << " grid (" << entry.file_name.value_or("") << ")contains nodata values only. \n"
            << "Dynamic glacier modelling will not be possible without \n"
            << "distinct glacier codes for each glacier"
            << "[end-entry]";
      code = kSnowSettingsError;
    }
  }
  MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (code != 0) RaiseError(code);
}

void schneemodellklasse::MakeGlacierGrids() {
  firn_melt_ = UseOrCreate("melt_from_firn", ice_.firn_melt, strip(), subbasin_grid_, 0);
  ice_melt_ = UseOrCreate("melt_from_ice", ice_.ice_melt, strip(), subbasin_grid_, 0);
  if (!ice_.dynamic()) return;
  const GridGeometry& g = geometry();
  const double nodata = g.nodata_value;
  const bool read = ice_.read_code == 1;

  // Firn water equivalent per level; level 0 and the total grid hold the sum.
  Grid total = NewGrid(storage_rows_);
  if (read) {
    ReadStack(grid_input(), ice_.firn_stack.file, firn_stack_);
    ice_.firn_levels = firn_stack_.levels();
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) total(r, c) = firn_stack_(r, c, 0);
    }
  } else {
    firn_stack_ = Stack(storage_rows_.first, storage_rows_.last, g.ncols, ice_.firn_levels, g.nrows);
    for (int r = storage_rows_.first; r <= storage_rows_.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        const bool glacier = subbasin_grid_(r, c) != nodata && glacier_fraction_(r, c) > 0;
        const double level =
            glacier ? std::max(0.0, (elevation_(r, c) - ice_.firn_base) * ice_.deltafirnper100m) : nodata;
        for (int l = 1; l <= ice_.firn_levels; ++l) firn_stack_(r, c, l) = level;
        total(r, c) = firn_stack_(r, c, 0) = glacier ? level * ice_.firn_levels : nodata;
      }
    }
  }
  owned_.push_back(std::move(total));
  const int firn_index = NextEntry();
  RegisterGrid(firn_index, ice_.firn_stack.file, owned_.back().view(), firn_stack_.view(), ice_.firn_levels,
               "firn_WE_stack", ice_.firn_stack.write_code, storage_rows_.first, storage_rows_.last);
  registered_.push_back(firn_index);
  firn_total_ = owned_.back().view();
  firn_levels_ = firn_stack_.view();

  const auto read_or_create = [&](const char* identifier, const GridOutputName& name) {
    return read ? ReadAndRegister(identifier, name, 0, false, true)
                : UseOrCreate(identifier, name, storage_rows_, subbasin_grid_, 0);
  };
  mass_balance_ = read_or_create("GlacierMassBalance", ice_.mass_balance);
  old_mass_balance_ = read_or_create("OldGlacierMassBalance", ice_.old_mass_balance);
  if (read) {
    const RowRange rows = mass_balance_.rows();
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) {
        double& a = mass_balance_(r, c);
        double& b = old_mass_balance_(r, c);
        if (a == nodata && b != nodata) a = b;
        if (b == nodata && a != nodata) b = a;
      }
    }
  }
  solid_on_glacier_ = read_or_create("SolidSnowStorage_onGlacier", ice_.solid_on_glacier);
  liquid_on_glacier_ = read_or_create("LiquidSnowStorage_onGlacier", ice_.liquid_on_glacier);
  total_on_glacier_ = read_or_create("TotalSnowStorage_onGlacier", ice_.total_on_glacier);
  if (settings_.traits.energy_balance) {
    const auto temperature = [&](const char* identifier, const GridOutputName& name) {
      if (!read) return UseOrCreate(identifier, name, storage_rows_, subbasin_grid_, 0);
      Grid grid;
      ReadGrid(grid_input(), name.file, grid, {.allocate = true, .log = true, .default_value = kMeltingPointK});
      const RowRange rows = grid.rows();
      return RegisterOwned(std::move(grid), name.file, identifier, name.write_code, rows);
    };
    surface_temperature_on_glacier_ = temperature("surftemp_onGlacier", ice_.surface_temperature_on_glacier);
    snow_temperature_on_glacier_ = temperature("snowtemp_onGlacier", ice_.snow_temperature_on_glacier);
    energy_balance_on_glacier_ =
        UseOrCreate("EnergyBalance_onGlacier", {"EnergyBalance_onGlacier", 0}, storage_rows_, subbasin_grid_, 0);
  }
  const auto copy = [&](ConstGridView from, const char* identifier) {
    Grid grid = NewGrid(storage_rows_);
    for (int r = storage_rows_.first; r <= storage_rows_.last; ++r) {
      for (int c = 1; c <= g.ncols; ++c) grid(r, c) = from(r, c);
    }
    return RegisterOwned(std::move(grid), identifier, identifier, 0, storage_rows_);
  };
  glacier_fraction_old_ = copy(glacier_fraction_, "GlacierizedCellsOld");
  glacier_codes_old_ = copy(glacier_codes_, "GlacierCodesOld");
  melt_on_glacier_ = UseOrCreate("SnowMelt_onGlacier", ice_.melt_on_glacier, strip(), subbasin_grid_, 0);
  evaporation_on_glacier_ =
      UseOrCreate("SnowEvaporation_onGlacier", ice_.evaporation_on_glacier, strip(), subbasin_grid_, 0);
}

void schneemodellklasse::SetUpPermafrost(StatisticsRegistry& registry) {
  has_permafrost_ = true;
  snow_free_days_ = UseOrCreate("SnowFreeDaysGrid", {}, strip(), zone_grid_, 0);
  snow_cover_days_ = UseOrCreate("SnowCoverDaysGrid", {}, strip(), zone_grid_, 0);
  thaw_coefficient_ = Require("ThawCoeffPermaFrost");
  thaw_depth_ = RequireWritable("PermafrostThawDepth");
  root_depth_ = RequireWritable("root_depth1");
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[permafrost]", true);
  permafrost_ = ReadPermafrostSection(*this);
  MakeStatistic(registry, SnowTable::kThawDepth, permafrost_.thaw_depth_statistic, "thaw_depth_in_m_", 4, false);
  CloseControlFile();
}

void schneemodellklasse::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  for (const Statistic& s : statistics_) {
    if (s.table) s.table->FlushRows();
  }
  for (std::size_t t = 1; t < TracerRecords.size(); ++t) {
    if (TracerRecords[t].statistic) TracerRecords[t].statistic->FlushRows();
  }
}

void schneemodellklasse::DeleteModule() {
  if (ModuleSwitch != 0) {
    if (initialised() != 0) WriteStorageContent(storage_append_);
    storage_file_.clear();
    glacier_list_.Clear();
    for (Statistic& s : statistics_) {
      if (s.table) s.table->Release();
      s.table.reset();
      s.zones.clear();
    }
    for (const int index : registered_) FreeGridEntry(index);
    registered_.clear();
    owned_.clear();
    firn_stack_ = Stack();
    firn_levels_ = StackView();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
