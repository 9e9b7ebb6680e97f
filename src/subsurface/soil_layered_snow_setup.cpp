// The soil model's layered snow pack: its settings, snow types and stacks.
#include <algorithm>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/stack_reader.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {

namespace {
constexpr const char* kLayeredSnowNeedsHeat =
    "ERROR:\n-----------------\n Error in model configuration: when using [LayeredSnowModel], [heat_transfer] must be "
    "used as well.\n";
constexpr const char* kLayeredSnowNeedsHeat2 =
    "It is currently not implemented to rout water through the snow without accounting\n";
constexpr const char* kLayeredSnowNeedsHeat3 =
    "for the temperature of the snow pack. So you need to either switch heat_transfer on or LayeredSnowModel "
    "off\n-----------------\n";
}  // namespace

void unsatzonmodellklasse::OpenOwnControlFile() {
  CloseControlFile();
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
}

bool unsatzonmodellklasse::readLayeredSnowModel() {
  layered_snow_ = LayeredSnowSettings{};
  OpenOwnControlFile();
  if (FindSection("[LayeredSnowModel]", false) != 1) {
    CloseControlFile();
    return false;
  }
  ReadItem(layered_snow_.on, "");
  if (layered_snow_.on > 0 && !isHeatTransferActive()) {
    log() << kLayeredSnowNeedsHeat << kLayeredSnowNeedsHeat2 << kLayeredSnowNeedsHeat3 << "[end-entry]";
    CloseControlFile();
    RaiseError(kLayeredSnowWithoutHeat);
  }
  if (layered_snow_.on > 0) ReadLayeredSnowItems(*this, layered_snow_);
  CloseControlFile();
  return layered_snow_.on > 0;
}

void unsatzonmodellklasse::readLayeredSnowProperties() {
  OpenOwnControlFile();
  snow_table_ = ReadLayeredSnowProperties(*this, settings_.heat);
  CloseControlFile();
}

void unsatzonmodellklasse::initLayeredSnowGrids() {
  n_snow_ = 0;
  for (std::size_t j = 1; j < snow_table_.size(); ++j) n_snow_ = std::max(n_snow_, snow_table_[j].layerCount);
  if (snow_table_.empty() || n_snow_ < 1) return;
  const SoilRecord& type = snow_table_[1];
  const RowRange own = strip();
  const int ncols = geometry().ncols;
  const double nodata = geometry().nodata_value;
  const auto allocate = [&](OwnedGrid& g, bool stack) {
    g.grid = Grid(own.first, own.last, ncols, geometry().nrows);
    g.grid.fill(nodata);
    if (stack) {
      g.stack = Stack(own.first, own.last, ncols, n_snow_, geometry().nrows);
      g.stack.fill(nodata);
    }
  };
  const auto publish = [&](OwnedGrid& g, const std::string& identifier, SnowOutput o, bool stack) {
    const OutputGridSetting& out = layered_snow_.output(o);
    g.index = grids()->TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                       "no more free grids in memeory, (max. 1000)!");
    RegisterGrid(g.index, out.name, g.grid.view(), stack ? g.stack.view() : StackView(), stack ? n_snow_ : 0,
                 identifier, out.write_code, own.first, own.last);
  };
  const auto make = [&](OwnedGrid& g, const std::string& identifier, SnowOutput o, bool stack) {
    allocate(g, stack);
    publish(g, identifier, o, stack);
  };
  const bool heat = isHeatTransferActive();
  const int code = settings_.storage_read_code;
  if (code == 1 || code == 3) {
    const auto read = [&](OwnedGrid& g, const std::string& identifier, SnowOutput o) {
      allocate(g, true);
      const std::string& name = layered_snow_.output(o).name;
      const int levels = ReadStack(grid_input(), name, g.stack);
      if (levels != n_snow_) {
        log() << (o == SnowOutput::Theta ? "FATAL: wrong number of snow levels in stack "
                                         : "FATAL: wrong number of levels in stack ")
              << name << " (there are " << levels << " level, it must be " << n_snow_ << "[end-entry]";
        RaiseError(kStackLevelError);
      }
      publish(g, identifier, o, true);
    };
    read(theta_snow_, "theta_Snow", SnowOutput::Theta);
    read(geodetic_snow_, "geodetic_height_Snow", SnowOutput::GeodeticHeights);
    read(hydraulic_snow_, "hydraulic_heads_Snow", SnowOutput::HydraulicHeads);
    read(solid_snow_, "SnowWaterEquivalentSolid", SnowOutput::Solid);
    read(liquid_snow_, "SnowWaterEquivalentLiquid", SnowOutput::Liquid);
    read(thickness_snow_, "SnowLayerThickness", SnowOutput::Thickness);
    read(density_snow_, "SnowDensity", SnowOutput::Density);
    allocate(upper_index_snow_, false);
    GridReadOptions options;
    options.fill_mode = kFillFromNeighbours;
    options.default_value = n_snow_;
    options.strict_fill = true;
    ReadGrid(grid_input(), layered_snow_.output(SnowOutput::UpperIndex).name, upper_index_snow_.grid, options);
    publish(upper_index_snow_, "upperIndexSnow", SnowOutput::UpperIndex, false);
    if (heat) read(temperature_snow_, "Temperature_Stack_Snow", SnowOutput::Temperature);
    snow_temperatures_pending_ = false;
  } else {
    make(geodetic_snow_, "geodetic_height_Snow", SnowOutput::GeodeticHeights, true);
    make(theta_snow_, "theta_Snow", SnowOutput::Theta, true);
    make(hydraulic_snow_, "hydraulic_heads_Snow", SnowOutput::HydraulicHeads, true);
    make(solid_snow_, "SnowWaterEquivalentSolid", SnowOutput::Solid, true);
    make(liquid_snow_, "SnowWaterEquivalentLiquid", SnowOutput::Liquid, true);
    make(thickness_snow_, "SnowLayerThickness", SnowOutput::Thickness, true);
    make(density_snow_, "SnowDensity", SnowOutput::Density, true);
    make(upper_index_snow_, "upperIndexSnow", SnowOutput::UpperIndex, false);
    if (heat) make(temperature_snow_, "Temperature_Stack_Snow", SnowOutput::Temperature, true);
    snow_temperatures_pending_ = heat;
    const ConstStackView soil_heights = geodetic_heads_.stack.view();
    for (int r = own.first; r <= own.last; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (!IsOwnCell(r, c)) continue;
        const auto level = [&](OwnedGrid& g, int l) -> double& {
          return g.stack.view().levels(r, c)[static_cast<std::size_t>(l)];
        };
        level(geodetic_snow_, n_snow_) = soil_heights.levels(r, c)[0];
        for (int l = n_snow_ - 1; l >= 0; --l) {
          level(geodetic_snow_, l) = level(geodetic_snow_, l + 1) + type.thickness[static_cast<std::size_t>(l)];
        }
        for (int l = 1; l <= n_snow_; ++l) level(theta_snow_, l) = type.theta_res[static_cast<std::size_t>(l)];
        for (int l = n_snow_; l >= 1; --l) {
          level(hydraulic_snow_, l) = (level(geodetic_snow_, l - 1) + level(geodetic_snow_, l)) / 2 -
                                      type.SuctionForTheta(l, level(theta_snow_, l));
        }
        level(hydraulic_snow_, 0) = type.thickness[1] / 2 + level(hydraulic_snow_, 1);
        for (int l = 0; l <= n_snow_; ++l) level(solid_snow_, l) = level(liquid_snow_, l) = 0;
        upper_index_snow_.grid(r, c) = n_snow_;
      }
    }
  }
  make(q_down_snow_, "q_down_Snow", SnowOutput::QDown, true);
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      q_down_snow_.grid(r, c) = 0;
      const std::span<double> q = q_down_snow_.stack.view().levels(r, c);
      std::fill(q.begin() + 1, q.end(), 0.0);
    }
  }
}

}  // namespace tolvo
