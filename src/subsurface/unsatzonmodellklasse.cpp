#include "subsurface/unsatzonmodellklasse.h"

#include <algorithm>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "tables/multilayer_landuse.h"
#include "tables/soil_table.h"

namespace tolvo {

unsatzonmodellklasse::unsatzonmodellklasse(DiagnosticsLog& log, StatisticsRegistry& registry,
                                           const ModelSettings& settings, int sub_steps)
    : teilmodellklasse(log, "unsatzon_model", settings, sub_steps) {
  if (ModuleSwitch == 0) return;
  try {
    Build(registry);
  } catch (const ErrorCode&) {
    throw;
  } catch (...) {
    RaiseOtherException(log, "while building the soil model");
  }
}

unsatzonmodellklasse::~unsatzonmodellklasse() = default;

void unsatzonmodellklasse::Build(StatisticsRegistry& registry) {
  log() << "file "
        << "unsatzon"
        << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  regions_ = BindIfPresent("MPIRegions");
  const MultilayerLanduseTable* multilayer = settings().multilayer_landuse;
  n_landuse_layers_ = multilayer != nullptr && multilayer->size() >= 1 ? multilayer->layers() : 1;
  subbasins_ = RankZones();
  ReadSections();
  ReadPermafrost();
  BindInputGrids();
  PreparePondingCapacity();
  CreateStatisticsTables(registry);
  const std::vector<SoilRecord>& soils = *settings().soils;
  for (std::size_t j = 1; j < soils.size(); ++j) n_layers_ = std::max(n_layers_, soils[j].layerCount);
  grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                           "no more free grids in memeory, (max. 1000)!");
  RegisterGrids();
  MakeStartState();
  FillRemainingGrids();
  CreateLateStatisticsTables(registry);
  initLakes("[lake_model]");
  WriteControlPointHeaders();
  BuildOptionTag();
  if (isHeatTransferActive()) PrepareSoilTableForHeat();
  MakeGlacierRecords(registry);
  WriteModelLogStartLines();
  if (settings().spin_up > 0) {
    Bind("HydrologicResponseUnits");
    Bind("MasterHydrologicResponseUnits");
  }
  if (readLayeredSnowModel()) {
    readLayeredSnowProperties();
    initLayeredSnowGrids();
  }
}

void unsatzonmodellklasse::ReadSections() {
  ReadSoilSection(*this, subbasins_, rank(), settings_);
  StorageGridsReadCode = settings_.storage_read_code;
  const auto reopen = [&] {
    CloseControlFile();
    if (!OpenControlFile(control_file_name())) {
      log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
      RaiseError(kControlFileOpenError);
    }
  };
  reopen();
  if (FindSection("[heat_transfer]", false) == 1) ReadHeatTransferSection(*this, settings_.heat);
  reopen();
  if (FindSection("[unsatzon_tuning]", false) == 1) ReadTuningSection(*this, settings_);
  CloseControlFile();
}

void unsatzonmodellklasse::ReadPermafrost() {
  if (settings_.heat.on != 0) return;
  if (FindGrid("PermafrostThawDepth", true) == 0 || FindGrid("SnowFreeDaysGrid", true) == 0 ||
      FindGrid("ThawCoeffPermaFrost", true) == 0) {
    return;
  }
  Bind("PermafrostThawDepth");
  permafrost_bound_ = true;
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection("[permafrost]", true);
  int skipped_int = 0;
  double skipped = 0;
  std::string skipped_word;
  ReadItem(skipped_int, "");
  ReadItem(skipped, "");
  ReadItem(skipped, "");
  ReadItem(skipped_word, "");
  ReadItem(settings_.permafrost_ksat, "reduced k_sat (in m/s)");
  CloseControlFile();
}

std::span<const double> unsatzonmodellklasse::getKelsqd() const {
  if (ModuleSwitch == 0) return {};
  return settings_.subbasins.kelsqd;
}

std::span<const double> unsatzonmodellklasse::getKelsqi() const {
  if (ModuleSwitch == 0) return {};
  return settings_.subbasins.kelsqi;
}

bool unsatzonmodellklasse::finishModel(bool append) {
  bool wrote = false;
  if (ModuleSwitch != 0 && initialised() != 0) {
    WriteStorageContent(append);
    wrote = true;
    WriteEndWaterContent();
  }
  if (ModuleSwitch != 0) {
    ReleaseTracers();
    if (initialised() != 0) WriteOutPointSeries();
    point_series_.clear();
  }
  DeleteModule();
  return wrote;
}

void unsatzonmodellklasse::DeleteModule() {
  for (StatisticsTable& t : tables_) {
    if (t.table) t.table->Release();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
