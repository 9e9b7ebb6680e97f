// Lakes in the soil model (section "[lake_model]"): a lake cell holds open water above a
// saturated column, so at the start of a run it is filled to saturation in layers
// 1..L−1 with the water table at the surface (level 1, distance 0). A warm start from a
// computed column (read code 2) resets a lake cell only while it still holds ponding water
// above the method's threshold; a warm start from the stored columns (codes 1 and 3) keeps
// them. Method 2 also sinks the terrain of every lake cell by its largest ponding
// depth and flattens the cells it resets (slope 0, no drains, no irrigation).

#include <mpi.h>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "subsurface/lake_section_texts.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "tables/soil_table.h"

namespace tolvo {
namespace {

// Ponding [mm] above which a warm-started lake cell is reset, per method.
constexpr double kResetPondingMethod1 = 1.0;
constexpr double kResetPondingMethod2 = 0.3;

// Whether a lake cell is reset: always on a cold start (read code 0), on a warm start
// (code above 0) only while it holds more ponding water than the threshold [mm]; a
// negative read code resets none.
bool ResetsLakeCell(int read_code, double ponding_mm, double threshold_mm) {
  if (read_code == 0) return true;
  return read_code > 0 && ponding_mm > threshold_mm;
}

// Whether a reset saturates the cell's column: not when the run read the stored water
// contents, water table and heads (read codes 1 and 3), which are the lake cell's own
// state; overwriting them would change the water of a continued run.
bool ResetsLakeColumn(int read_code) { return read_code != 1 && read_code != 3; }

}  // namespace

void unsatzonmodellklasse::initLakes(const std::string& section) {
  if (FindGrid("lake_codes", true) == 0) {
    log() << "INFO: no LAKE-grid was found in " << name() << "\n"
          << "Lake modelling is switched off for " << name() << "." << "[end-entry]";
    return;
  }
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  FindSection(section, true);
  ReadItem(lake_switch_, "flow control parameter for " + section);
  if (settings().spin_up > 0) lake_switch_ = 0;
  if (lake_switch_ == 0) {
    CloseControlFile();
    return;
  }
  if (settings_.pond == 0) {
    log() << "ERROR:\n\n=======================================\n" << PondUseRequiredText(section, name())
          << "[end-entry]";
    CloseControlFile();
    RaiseError(kSoilLakeSettingsError);
  }
  ReadItem(lake_method_, "initialization method for " + section);
  CloseControlFile();
  lake_codes_ = (*grids())[FindGrid("lake_codes", true)].values;
  switch (lake_method_) {
    case 1:
      ResetLakeCells(kResetPondingMethod1, false);
      return;
    case 2:
      ResetLakeCells(kResetPondingMethod2, true);
      GatherGrid(context(), (*grids())[2].values);
      return;
    default:
      break;
  }
  log() << "FATAL: \n\n=======================================\n" << LakeMethodInvalidText(section, std::nullopt)
        << "[end-entry]";
  RaiseError(kSoilLakeSettingsError);
}

// Resets the lake cells the read code and their ponding select; `flatten` (method 2) also
// sinks the terrain of every own lake cell and flattens the reset ones.
void unsatzonmodellklasse::ResetLakeCells(double threshold_mm, bool flatten) {
  grid_table& table = *grids();
  const GridView elevation = table[2].values;
  const GridView slope = flatten ? table[FindGrid("slope_angle", true)].values : GridView();
  const int irrigation_index = FindGrid("irrigation_amounts", true);
  const GridView irrigation = irrigation_index > 0 ? table[irrigation_index].values : GridView();
  const GridView drains = drainage_depth_.empty() ? GridView() : drainage_level_.view();
  const GridView ponding = ponding_storage_.view();
  const GridView distance = groundwater_distance_.view();
  const GridView level = groundwater_level_.view();
  const StackView theta = theta_.stack_view();
  const int read_code = settings_.storage_read_code;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c) || !(lake_codes_(r, c) >= 0)) continue;
      const double pond_mm = ponding.empty() ? 0 : ponding(r, c);
      if (ResetsLakeCell(read_code, pond_mm, threshold_mm)) {
        if (ResetsLakeColumn(read_code)) {
          distance(r, c) = 0;
          level(r, c) = 1;
          const SoilRecord& soil = SoilOf(r, c);
          const std::span<double> column = theta.levels(r, c);
          for (int k = 1; k < n_layers_ && k <= soil.layerCount; ++k) {
            column[static_cast<std::size_t>(k)] = soil.theta_sat[static_cast<std::size_t>(k)];
          }
        }
        if (flatten) {
          slope(r, c) = 0;
          if (!drains.empty()) drains(r, c) = -1;
          if (!irrigation.empty()) irrigation(r, c) = 0;
        }
      }
      if (flatten && !max_ponding_.empty()) elevation(r, c) -= max_ponding_(r, c) / 1000;
    }
  }
}

}  // namespace tolvo
