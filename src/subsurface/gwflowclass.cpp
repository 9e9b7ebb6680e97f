#include "subsurface/gwflowclass.h"

#include <algorithm>
#include <cstdio>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/parallel.h"
#include "tables/soil_table.h"

namespace tolvo {

gwflowclass::gwflowclass(DiagnosticsLog& log, StatisticsRegistry& /*registry*/, const ModelSettings& settings,
                         int sub_steps)
    : teilmodellklasse(log, "groundwater_flow", settings, sub_steps) {
  if (ModuleSwitch == 0) return;
  try {
    Build();
  } catch (const ErrorCode&) {
    throw;
  } catch (...) {
    RaiseOtherException(log, "while building the groundwater flow model");
  }
}

gwflowclass::~gwflowclass() = default;

void gwflowclass::Build() {
  if (settings().hrus != nullptr && FindGrid("HydrologicResponseUnits", true) == 0) {
    ModuleSwitch = 0;
    CloseControlFile();
    return;
  }
  halo_rows_ = strip_with_halo();
  log() << "file "
        << "gwflow"
        << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  ReadSettings();
  BindInputGrids();
  SetTopLayerThickness();
  RegisterLayerGrids();
  CreateControlPointFile();
  ReadLakeModel("[lake_model]");
}

void gwflowclass::ReadSettings() {
  ReadGroundwaterSection(*this, section(), settings_);
  if (settings_.pond_flag_given) {
    const int pond = FindGrid("ponding_storage", true);
    pond_grid_used_ = settings_.use_pond_flag == 1 && pond > 0;
    if (pond_grid_used_) {
      pond_index_ = pond;
      ponding_ = (*grids())[pond].values;
    }
    if (settings_.use_pond_flag == 1) {
      log() << "INFO: in modul " << section() << ": Use-Pond-Flag is " << 1
            << (pond_grid_used_ ? "\n POND-Grid was found --> PONDs will be used in GW-Model"
                                : "\n POND-Grid was not found --> no PONDs will be used in GW-Model")
            << "[end-entry]";
    } else {
      log() << "INFO: in modul " << section() << ": Use-Pond-Flag is " << 0 << "; --> no PONDs will be used in GW-Model"
            << "[end-entry]";
    }
  } else {
    log() << "INFO: in modul " << section() << ": no POND-Grid will be used because Use-Pond-Flag is not present"
          << "[end-entry]";
  }
  CloseControlFile();
  if (!OpenControlFile(control_file_name())) {
    log() << "FATAL: error opening " << control_file_name() << "[end-entry]";
    RaiseError(kControlFileOpenError);
  }
  if (FindSection("[groundwater_tuning]", false) == 1) ReadGroundwaterTuning(*this, settings_);
  CloseControlFile();
  frozen_.frozen_scaling = settings_.frozen_depth_scaling;
}

void gwflowclass::BindInputGrids() {
  grid_table& table = *grids();
  const auto bind = [&](const std::string& identifier) { return table[RequireGrid(identifier)].values; };
  const auto bind_if_present = [&](const std::string& identifier) {
    const int index = FindGrid(identifier, true);
    return index > 0 ? table[index].values : GridView();
  };
  const int n_layers = settings_.n_layers;
  elevation_ = bind("[elevation_model]");
  bind("groundwater_recharge");
  distance_index_ = RequireGrid("groundwater_distance");
  distance_ = table[distance_index_].values;
  soil_types_ = bind("soil_types");
  baseflow_index_ = RequireGrid("baseflow");
  baseflow_ = table[baseflow_index_].values;

  domain_.zone = table.zone_grid().values;
  domain_.regions = bind_if_present("MPIRegions");
  domain_.cellsize = geometry().cellsize;
  domain_.nrows = geometry().nrows;
  domain_.ncols = geometry().ncols;
  domain_.rank = rank();
  domain_.close_zone_borders = ModuleSwitch == 3;
  if (!rel_cell_area().empty()) {
    domain_.dx = bind("CellSizeX");
    domain_.dy = bind("CellSizeY");
  }
  domain_.glacier = bind_if_present("GlacierizedCells");
  if (domain_.glacier.empty()) domain_.glacier = bind_if_present("ice_firn");

  inputs_.assign(static_cast<std::size_t>(n_layers) + 1, LayerInputs());
  for (int n = 1; n <= n_layers; ++n) {
    LayerInputs& in = inputs_[static_cast<std::size_t>(n)];
    const std::string k = std::to_string(n);
    in.thickness = bind("aquifer_thickness_" + k);
    in.kx = bind("gw_k_x_" + k);
    in.ky = bind("gw_k_y_" + k);
    in.storage = bind("gw_storage_coeff_" + k);
    in.fixed_head = bind("gw_boundary_fix_h_" + k);
    in.fixed_flux = bind("gw_boundary_fix_q_" + k);
  }
  for (int n = 1; n < n_layers; ++n) {
    inputs_[static_cast<std::size_t>(n)].kolmation = bind("gw_kolmation_" + std::to_string(n));
  }

  if (FindGrid("SnowFreeDaysGrid", true) > 0 && FindGrid("ThawCoeffPermaFrost", true) > 0 &&
      FindGrid("PermafrostThawDepth", true) > 0) {
    thaw_index_ = RequireGrid("PermafrostThawDepth");
  } else if (FindGrid("ThawDepthTMod", true) > 0) {
    thaw_index_ = RequireGrid("ThawDepthTMod");
    frozen_index_ = RequireGrid("frozenSoilInGroundwater");
    frozen_.frozen_depth = table[frozen_index_].values;
  }
  if (thaw_index_ > 0) frozen_.thaw_depth = table[thaw_index_].values;
  if (FindGrid("DirectRunoffSiltingUp", true) == 0) silting_storage_ = bind_if_present("SurfStorSiltingUp");
}

bool gwflowclass::IsOwnZoneCell(int r, int c) const { return domain_.has_zone(r, c) && domain_.own(r, c); }

void gwflowclass::SetTopLayerThickness() {
  if (settings_.n_layers < 1) return;
  const GridView thickness = inputs_[1].thickness;
  const std::vector<SoilRecord>& soils = *settings().soils;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnZoneCell(r, c)) continue;
      const double type = soil_types_(r, c);
      const bool known =
          thickness(r, c) > kNodata && type > kNodata && type >= 0 && static_cast<std::size_t>(type) < soils.size();
      if (!known) {
        thickness(r, c) = kNodata;
        continue;
      }
      const SoilRecord& soil = soils[static_cast<std::size_t>(type)];
      double total = 0;
      for (int l = 1; l <= soil.layerCount; ++l) total += soil.thickness[static_cast<std::size_t>(l)];
      thickness(r, c) = total;
    }
  }
  Exchange(thickness);
}

double gwflowclass::TopLayerHead(int r, int c) const {
  const double distance = distance_(r, c);
  double h = elevation_(r, c) + distance;
  if (std::abs(distance) < 0.001) {
    if (pond_grid_used_) {
      h += ponding_(r, c) / 1000;
    } else if (!silting_storage_.empty() && silting_storage_(r, c) > 0) {
      h += silting_storage_(r, c) / 1000;
    }
  }
  return h;
}

void gwflowclass::RegisterLayerGrids() {
  const int n_layers = settings_.n_layers;
  layers_.resize(static_cast<std::size_t>(n_layers) + 1);
  iterations_.assign(static_cast<std::size_t>(n_layers) + 1, 0);
  row_parts_.assign(static_cast<std::size_t>(n_layers) + 1, 1);
  if (n_layers == 0) return;
  const int first = grids()->TakeFreeEntries(11 * n_layers, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                             "no free grid (gridmaxanzahl must be larger than 1000)!\n");
  for (int n = 1; n <= n_layers; ++n) StartHeads(n, first + 2 * (n - 1));
  for (int n = 1; n <= n_layers; ++n) {
    LayerGrids& g = layers_[static_cast<std::size_t>(n)];
    const int base = first + 2 * n_layers + 9 * (n - 1);
    g.h_prev_index = base;
    g.iterate_index = base + 1;
    g.tx_index = base + 2;
    g.ty_index = base + 3;
    g.qx_index = base + 4;
    g.qy_index = base + 5;
    g.balance_index = base + 6;
    g.leakage_index = base + 7;
    g.top_index = base + 8;
    FillLayerGrids(n);
  }
  layer_views_.assign(1, AquiferLayer());
  for (int n = 1; n <= n_layers; ++n) layer_views_.push_back(Layer(n));
  const int nrows = geometry().nrows;
  const int ncols = geometry().ncols;
  start_heads_ = Grid(halo_rows_.first, halo_rows_.last, ncols, nrows);
  row_sweeps_.assign(static_cast<std::size_t>(nrows) + 1, SweepResult());
  row_max_.assign(static_cast<std::size_t>(nrows) + 1, 0.0);
  row_oscillations_.assign(static_cast<std::size_t>(nrows) + 1, Oscillations());
  workspace_ = std::make_unique<RowSolverWorkspace>(row_thread_count(), ncols);
}

void gwflowclass::StartHeads(int n, int index) {
  LayerGrids& g = layers_[static_cast<std::size_t>(n)];
  const AquiferLayerOutputs& out = settings_.layers[static_cast<std::size_t>(n)];
  const std::string k = std::to_string(n);
  const int nrows = geometry().nrows;
  const int ncols = geometry().ncols;
  g.h_index = index;
  g.h_old_index = index + 1;
  if (settings_.grid_read_code == 1) {
    const GridReadOptions options{
        .fill_mode = kFillFromNeighbours, .allocate = true, .log = true, .strict_fill = true, .halo_rows = true};
    ReadGrid(grid_input(), out.heads.name, g.h, options);
    ReadGrid(grid_input(), out.old_heads_name, g.h_old, options);
  } else {
    g.h = Grid(halo_rows_.first, halo_rows_.last, ncols, nrows);
    g.h.fill(kNodata);
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (IsOwnZoneCell(r, c)) g.h(r, c) = TopLayerHead(r, c);
      }
    }
    Exchange(g.h.view());
    g.h_old = Grid(halo_rows_.first, halo_rows_.last, ncols, nrows);
    g.h_old.fill(kNodata);
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (IsOwnZoneCell(r, c)) g.h_old(r, c) = g.h(r, c);
      }
    }
    Exchange(g.h_old.view());
  }
  RegisterGrid(g.h_index, out.heads.name, g.h.view(), {}, 0, "gw_head_" + k, out.heads.write_code, g.h.rows().first,
               g.h.rows().last);
  RegisterGrid(g.h_old_index, out.old_heads_name, g.h_old.view(), {}, 0, "gw_head_old_" + k, out.heads.write_code,
               g.h_old.rows().first, g.h_old.rows().last);
}

void gwflowclass::FillLayerGrids(int n) {
  LayerGrids& g = layers_[static_cast<std::size_t>(n)];
  const LayerInputs& in = inputs_[static_cast<std::size_t>(n)];
  const AquiferLayerOutputs& out = settings_.layers[static_cast<std::size_t>(n)];
  const std::string k = std::to_string(n);
  const int nrows = geometry().nrows;
  const int ncols = geometry().ncols;
  const RowRange own = strip();
  // Allocates a grid over `rows` (nodata), fills its own zone cells and registers it.
  const auto make = [&](Grid& grid, int index, RowRange rows, const std::string& identifier, const std::string& file,
                        int write_code, bool halo, auto value) {
    grid = Grid(rows.first, rows.last, ncols, nrows);
    grid.fill(kNodata);
    RegisterGrid(index, file, grid.view(), {}, 0, identifier, write_code, rows.first, rows.last);
    for (int r = own.first; r <= own.last; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        if (IsOwnZoneCell(r, c)) grid(r, c) = value(r, c);
      }
    }
    if (halo) Exchange(grid.view());
  };
  const auto head = [&](int r, int c) { return g.h(r, c); };
  const auto zero = [](int, int) { return 0.0; };
  const std::string prev_id = "gw_head_old_old_" + k;
  make(g.h_prev, g.h_prev_index, halo_rows_, prev_id, prev_id, 0, true, head);
  make(g.iterate, g.iterate_index, own, prev_id, prev_id, 0, false, head);
  make(g.tx, g.tx_index, halo_rows_, "gw_transmissivity_x_" + k, "gw_transmissivity_x_" + k, 0, true,
       [&](int r, int c) { return (in.thickness(r, c) + distance_(r, c)) * in.kx(r, c); });
  make(g.ty, g.ty_index, halo_rows_, "gw_transmissivity_y_" + k, "gw_transmissivity_y_" + k, 0, true,
       [&](int r, int c) { return (in.thickness(r, c) + distance_(r, c)) * in.ky(r, c); });
  make(g.qx, g.qx_index, halo_rows_, "gw_flow_x_" + k, out.flow_x.name, out.flow_x.write_code, true, zero);
  make(g.qy, g.qy_index, halo_rows_, "gw_flow_y_" + k, out.flow_y.name, out.flow_y.write_code, true, zero);
  make(g.balance, g.balance_index, own, "gw_balance" + k, out.balance.name, out.balance.write_code, false, zero);
  make(g.leakage, g.leakage_index, own, "gw_leakage_" + k, "gw_leakage_" + k, 0, false, zero);
  const auto top = [&](int r, int c) {
    if (n == 1) return elevation_(r, c);
    const LayerGrids& above = layers_[static_cast<std::size_t>(n - 1)];
    return above.top(r, c) - inputs_[static_cast<std::size_t>(n - 1)].thickness(r, c);
  };
  make(g.top, g.top_index, halo_rows_, "aquifer_upper_limit" + k, "aquifer_upper_limit" + k, 0, true, top);
}

AquiferLayer gwflowclass::Layer(int n) {
  LayerGrids& g = layers_[static_cast<std::size_t>(n)];
  const LayerInputs& in = inputs_[static_cast<std::size_t>(n)];
  return {.h = g.h.view(),
          .h_old = g.h_old.view(),
          .h_prev = g.h_prev.view(),
          .iterate = g.iterate.view(),
          .tx = g.tx.view(),
          .ty = g.ty.view(),
          .qx = g.qx.view(),
          .qy = g.qy.view(),
          .balance = g.balance.view(),
          .leakage = g.leakage.view(),
          .top = g.top.view(),
          .thickness = in.thickness,
          .kx = in.kx,
          .ky = in.ky,
          .storage = in.storage,
          .fixed_head = in.fixed_head,
          .fixed_flux = in.fixed_flux,
          .kolmation = in.kolmation};
}

void gwflowclass::CreateControlPointFile() {
  const int row = settings_.control_row;
  const int col = settings_.control_col;
  holds_control_cell_ = row >= 1 && col >= 1 && strip().contains(row) &&
                        (domain_.regions.empty() || static_cast<int>(domain_.regions(row, col)) == rank());
  if (!holds_control_cell_) return;
  const long long n = settings_.n_layers;
  const long long capacity = std::max(1LL, kControlPointBufferBytes / ((6 * n + 1) * 8 + 32));
  records_.assign(static_cast<std::size_t>(capacity) + 1, ControlPointRecord());
  for (ControlPointRecord& record : records_) record.values.assign(static_cast<std::size_t>(6 * n + 1), 0.0);
  FilePtr file(std::fopen(settings_.control_file.c_str(), "wt"));
  if (!file) {
    log() << "FATAL: error opening file for gw-fluxes (single point) \n-> check disk space or user rights\n"
          << "[end-entry]";
    RaiseError(kPointFileOpenError);
  }
  std::fprintf(file.get(), "YY\tMM\tDD\tHH\tcontrol_point_fluxes[%d][%d]", row, col);
  for (int k = 1; k <= settings_.n_layers; ++k) {
    std::fprintf(file.get(), "[lr: %d, 1]\t[lr: %d, 2]\t[lr: %d, 3]\t[lr: %d, 4]\t[lr: %d, up]\t[lr: %d, down]\t", k, k,
                 k, k, k, k);
  }
  std::fprintf(file.get(), "\n");
}

void gwflowclass::Exchange(GridView grid) const { ExchangeHalo(context(), grid); }

}  // namespace tolvo
