// The soil model's time step: the choice of the water input, the preparation of a model
// step, one soil sub-step of every column (the parallel column loop) and its bookkeeping
// into the flow-time zones, the statistics and the control-point series.

#include <algorithm>
#include <cstdio>
#include <iomanip>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "framework/signals.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "tables/irrigation_table.h"

namespace tolvo {
namespace {

std::string Layer(std::string_view prefix, int k) { return std::string(prefix) + std::to_string(k); }

}  // namespace

void unsatzonmodellklasse::selectInfiltrationInput(bool interception_first) {
  if (ModuleSwitch == 0) return;
  interception_first_ = interception_first;
  if (input_index_ > 0) return;
  const std::string throughfall = Layer("throughfall", 0);
  input_index_ = interception_first ? RequireOneOf3Grids("snowcover_outflow", throughfall, "precipitation")
                                    : RequireOneOf3Grids(throughfall, "snowcover_outflow", "precipitation");
  if (isLayeredSnowActive() && input_index_ == FindGrid("snowcover_outflow", true)) {
    const ConstGridView outflow = (*grids())[input_index_].values;
    if (!outflow.empty()) {
      snow_outflow_kept_ = Grid(outflow.rows().first, outflow.rows().last, outflow.ncols(), geometry().nrows);
    }
  }
}

void unsatzonmodellklasse::keepSnowOutflow() {
  if (ModuleSwitch == 0 || snow_outflow_kept_.empty()) return;
  const ConstGridView outflow = (*grids())[input_index_].values;
  const GridView kept = snow_outflow_kept_.view();
  for_each_row(kept.rows(), [&](int r) { std::ranges::copy(outflow.row(r), kept.row(r).begin()); });
}

void unsatzonmodellklasse::prepareTimeStep(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  if (!first_step_bound_) {
    // The decomposition and the groundwater model may register their grids after the
    // soil model was built.
    regions_ = BindIfPresent("MPIRegions");
    gw_head_1_ = BindIfPresent(Layer("gw_head_", 1));
    first_step_bound_ = true;
  }
  date_ = d;
  current_date() = d;
  const int interval = GetLogInterval();
  const long long shifted = static_cast<long long>(static_cast<double>(d.hour) + GetHourShift());
  if (interval == 1 || (interval > 0 && shifted % interval == 0)) {
    log() << std::setw(20) << section() << " " << d.day << "." << d.month << "." << d.year << " " << d.hour
          << ". h " << "(time of meteo data)" << option_tag_ << "[end-entry]";
  }
  ShiftFlowTimeZones();
  for (const Table t : {Table::GwStand, Table::Gwn, Table::Macro, Table::Substeps, Table::Infilt, Table::Sb1,
                        Table::Sb2, Table::Immo, Table::Root, Table::InfEx, Table::Qd, Table::Qi, Table::Qb,
                        Table::GwIn, Table::GwEx, Table::Qg, Table::QDrain, Table::Pond, Table::ThawDepth}) {
    StatisticsTable& s = tables_[static_cast<std::size_t>(t)];
    if (s.table) s.table->BeginStep();
  }
}

void unsatzonmodellklasse::ShiftFlowTimeZones() {
  for (auto* queues : {&zone_qd_, &zone_qi_}) {
    for (auto& tracer : *queues) {
      for (std::size_t s = 1; s < tracer.size(); ++s) {
        std::vector<ZoneRecord>& q = tracer[s];
        const int M = maxzeit_[s];
        for (int z = 2; z <= M; ++z) {
          ZoneRecord& to = q[static_cast<std::size_t>(z - 1)];
          const ZoneRecord& from = q[static_cast<std::size_t>(z)];
          to.n = from.n;
          to.sx = from.sx;
          to.RelCellSum = from.RelCellSum;
        }
        if (M >= 1) {
          ZoneRecord& last = q[static_cast<std::size_t>(M)];
          last.n = last.sx = last.RelCellSum = 0;
        }
      }
    }
  }
}

void unsatzonmodellklasse::EmptyTakenSurfaceStorage() {
  if (!silting_up_from_storage_ || surface_routing_active_ != 0) return;
  const int index = FindGrid("SurfStorSiltingUp", true);
  if (index <= 0 || zone_.empty()) return;
  const GridView storage = (*grids())[index].values;
  if (storage.empty()) return;
  const double nodata = geometry().nodata_value;
  const RowRange rows{std::max(storage.rows().first, zone_.rows().first),
                      std::min(storage.rows().last, zone_.rows().last)};
  for_each_row(rows, [&](int r) {
    for (int c = 1; c <= storage.ncols(); ++c) {
      if (zone_(r, c) != nodata) storage(r, c) = 0;
    }
  });
}

void unsatzonmodellklasse::BindColumnGrids() {
  grid_table& table = *grids();
  const auto mutable_if_present = [&](const std::string& id) {
    const int index = FindGrid(id, true);
    return index > 0 ? table[index].values : GridView();
  };
  SoilColumnGrids& g = column_grids_;
  g.zone = zone_;
  g.regions = regions_;
  g.soil_types = soil_types_;
  g.glacier = BindIfPresent("GlacierizedCells");
  glacier_old_ = BindIfPresent("GlacierizedCellsOld");
  if (settings().spin_up > 0) g.hru_master = BindIfPresent("MasterHydrologicResponseUnits");
  if (input_index_ > 0) g.input = table[input_index_].values;
  if (!snow_outflow_kept_.empty()) {
    g.snow_outflow = snow_outflow_kept_.view();
  } else if (const int snow_outflow = FindGrid("snowcover_outflow", true); snow_outflow > 0) {
    g.snow_outflow = table[snow_outflow].values;
  }
  if (!silting_up_from_storage_) {
    g.silting = BindIfPresent("DirectRunoffSiltingUp");
  } else {
    g.silting = BindIfPresent("SurfStorSiltingUp");
  }
  g.snow_solid = BindIfPresent("snowstorage_solid");
  g.tangens_beta = tangens_beta_.view();
  g.clay_depth = clay_depth_;
  g.drainage_level = drainage_level_.grid.empty() ? ConstGridView() : ConstGridView(drainage_level_.view());
  g.drainage_distance = drainage_distance_;
  g.max_ponding = max_ponding_;
  g.lake_codes = lake_codes_;
  loop_settings_.lake_switch = lake_switch_;
  // A layered snow pack of a switch other than 1 closes the macropores everywhere; switch 1
  // only under snow.
  loop_settings_.macropores = !(isLayeredSnowActive() && layered_snow_.on != 1);
  g.irrigation_codes = irrigation_codes_;
  g.pot_evaporation = BindIfPresent("potential_evaporation");
  const int L = n_landuse_layers_;
  g.landuse.assign(static_cast<std::size_t>(L) + 1, ConstGridView());
  g.vegetation_cover = g.landuse;
  g.root_depth = g.landuse;
  g.pot_transpiration = g.landuse;
  lai_ = vcf_ = rsc_ = rsi_ = z0_ = g.landuse;
  g.real_transpiration.assign(static_cast<std::size_t>(L) + 1, GridView());
  for (int l = 0; l <= L; ++l) {
    const auto k = static_cast<std::size_t>(l);
    g.pot_transpiration[k] = BindIfPresent(Layer("pot_transpiration", l));
    g.real_transpiration[k] = mutable_if_present(Layer("real_transpiration", l));
    if (l == 0) continue;
    g.landuse[k] = BindIfPresent(Layer("landuse", l));
    g.vegetation_cover[k] = BindIfPresent(Layer("vegetation_coverage_degree", l));
    g.root_depth[k] = root_depth_[k];
    lai_[k] = BindIfPresent(Layer("leaf_area_index", l));
    vcf_[k] = g.vegetation_cover[k];
    rsc_[k] = BindIfPresent(Layer("SurfaceCanopyResistance", l));
    rsi_[k] = BindIfPresent(Layer("SurfaceIntercepResistance", l));
    z0_[k] = BindIfPresent(Layer("RoughnessLength", l));
  }
  albedo_ = BindIfPresent("albedo");
  surface_resistance_ = BindIfPresent("SurfaceEvaporationResistance");
  g.real_evaporation = mutable_if_present("real_evaporation");
  g.groundwater_level = groundwater_level_.view();
  g.groundwater_distance = groundwater_distance_.view();
  g.theta_in_level = theta_in_level_.view();
  if (settings_.pond == 1) g.ponding = ponding_storage_.view();
  g.baseflow = baseflow_.view();
  g.theta = theta_.stack_view();
  g.hydraulic_heads = hydraulic_heads_.stack_view();
  g.geodetic_heads = geodetic_heads_.stack_view();
  g.q_down = q_down_.stack_view();
  g.q_downext = q_downext_.view();
  g.directflow = directflow_.view();
  g.interflow = interflow_.view();
  g.macropore = macropore_.view();
  g.recharge = recharge_.view();
  g.percolation = percolation_.view();
  g.uprise = uprise_.view();
  g.infiltration_excess = infex_.view();
  g.total_infiltration = total_infiltration_.view();
  if (!drainage_flow_.grid.empty()) g.drainage_flow = drainage_flow_.view();
  if (!irrigation_amounts_.grid.empty()) g.irrigation_amounts = irrigation_amounts_.view();
  g.sb1 = sb1_.view();
  g.sb2 = sb2_.view();
  g.root = root_grid_.view();
  g.mean_theta_root = mean_theta_root_.view();
  if (!substeps_.grid.empty()) g.substeps = substeps_.view();
  g.storage_coefficient = mutable_if_present("gw_storage_coeff_1");
  g.zeroed_on_glacier.clear();
  for (OwnedGrid* o : {&drainage_flow_, &infex_, &total_infiltration_, &directflow_, &interflow_, &ponding_storage_,
                       &macropore_, &recharge_, &uprise_, &percolation_, &substeps_, &baseflow_}) {
    if (!o->grid.empty()) g.zeroed_on_glacier.push_back(o->view());
  }
  if (!g.real_evaporation.empty()) g.zeroed_on_glacier.push_back(g.real_evaporation);

  SoilColumnLoopSettings& s = loop_settings_;
  s.method = settings_.method;
  s.sub_steps = GetSubSteps() > 0 ? GetSubSteps() : 1;
  s.dt_sub = TimeStep * 60 / s.sub_steps;
  s.min_dynamic_s = settings_.min_dynamic_step_s;
  s.tuning = {settings_.max_error, settings_.max_iterations};
  s.clay_ksat = settings_.ksat_clay;
  s.cellsize = geometry().cellsize;
  s.nodata = geometry().nodata_value;
  s.rank = rank();
  s.rows = strip();
  s.ncols = geometry().ncols;
  s.hru_run = settings().spin_up > 0 && !g.hru_master.empty();
  s.soils = *settings().soils;
  s.landuse = settings().landuse;
  if (settings().irrigation != nullptr) {
    const std::vector<IrrigationRecord>& records = *settings().irrigation;
    irrigation_origin_.assign(records.size(), 0);
    for (std::size_t k = 1; k < records.size(); ++k) irrigation_origin_[k] = records[k].origin;
    s.irrigation_origin = irrigation_origin_;
  }
  const SubbasinParameters& sp = settings_.subbasins;
  s.subbasins = {subbasins_.code_index, sp.flussdichte, sp.kelsqlat, sp.max_baseflow, sp.SR_Anteil};
  s.silting = g.silting.empty() ? 0 : silting_up_from_storage_ ? 2 : 1;
  s.silting_each_sub_step = s.silting == 2 && surface_routing_active_ != 0;
  s.baseflow_given = groundwater_coupling != 0;
  s.control_row = settings().spin_up > 0 ? 0 : settings_.control_row;
  s.control_col = settings_.control_col;
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", 0);
  s.solver_log_file = name;
  const bool pack = isHeatTransferActive() && isLayeredSnowActive() && n_snow_ > 0 && snow_table_.size() > 1;
  workspace_ = std::make_unique<SoilColumnWorkspace>(n_layers_, L, pack ? n_snow_ : 0);
  BindColumnTracers();
  BindRiverGrids();
  BindHruCopy();
  column_grids_bound_ = true;
}

void unsatzonmodellklasse::RunStep(long long hour, long long day, long long month, long long year) {
  if (ModuleSwitch == 0) return;
  if (!column_grids_bound_) BindColumnGrids();
  date_ = {year, month, day, hour};
  const bool exchange = settings_.surface_water_interaction > 1;
  if (exchange) exchangeCellsBeforeStep();
  loop_settings_.spare_columns = cell_exchange_.cell_count > 0 ? cell_exchange_.spare_columns : 0;
  loop_settings_.external_table = external_table_;
  dump_run_.options = dump_options_;
  dump_run_.counter = &dump_count_;
  dump_run_.rank = rank();
  dump_run_.year = year;
  dump_run_.month = month;
  dump_run_.day = day;
  dump_run_.hour = hour;
  loop_settings_.dumps = dump_options_.dump_mode ? &dump_run_ : nullptr;
  loop_settings_.day = static_cast<int>(day);
  loop_settings_.month = static_cast<int>(month);
  loop_settings_.hour = static_cast<int>(hour);
  if (isHeatTransferActive()) PrepareHeatColumns(date_);
  const int fpe_state = FpeReportState;
  SoilColumnLoopReport report = soil_column_loop(*this, loop_settings_, StepColumnGrids(), *workspace_);
  ReportFPE(report.fpe, fpe_state);
  // The results go back to their holders before a failure is raised, so that the row
  // tables are whole again and every process has made the same collective calls.
  if (exchange) exchangeCellsAfterStep();
  // After every computed cell is back with its holder, so that glacier cells read the
  // temperatures of this sub-step whatever the thread or process that computed them.
  TakeGlacierCellTemperatures();
  finish_cell_dumps(log(), report, loop_settings_.dumps != nullptr);
  raise_column_failure(log(), report);
  if (loop_settings_.hru_run) copyHruMasterValues();
  UpdateTracerValues();

  // ETR2ETP: the share of the potential transpiration the land uses transpired.
  if (!etr2etp_.grid.empty()) {
    const GridView ratio = etr2etp_.view();
    const SoilColumnGrids& g = column_grids_;
    for (int r = strip().first; r <= strip().last; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (!IsOwnCell(r, c)) continue;
        double real = 0, potential = 0;
        for (int l = 1; l <= n_landuse_layers_; ++l) {
          const auto k = static_cast<std::size_t>(l);
          if (!g.real_transpiration[k].empty()) real += g.real_transpiration[k](r, c);
          if (!g.pot_transpiration[k].empty()) potential += g.pot_transpiration[k](r, c);
        }
        const bool dry = !sbhigh_.grid.empty() && sb1_.view()(r, c) < sbhigh_.view()(r, c);
        ratio(r, c) = dry && potential > 0 ? real / potential : 1.0;
      }
    }
  }

  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (IsOwnCell(r, c)) AddCellToZonesAndStatistics(r, c);
    }
  }
  AppendControlPointRecords();
}

void unsatzonmodellklasse::BroadcastRiverflowTable() {
  if (riverflow_table_.empty()) {
    // Without the groundwater model there is no river to draw on: the cells exfiltrate
    // nothing and re-infiltrate nothing, and nothing is exchanged.
    if (!warned_no_river_table_) {
      log() << "WARNING: the surface water interaction " << settings_.surface_water_interaction
            << " exchanges water with rivers only when the groundwater flow model runs; no river water is exchanged"
            << "[end-entry]";
      warned_no_river_table_ = true;
    }
    return;
  }
  riverflow_exchange_.Broadcast(riverflow_table_);
}

void unsatzonmodellklasse::ReduceRiverflowTable() {
  if (!riverflow_table_.empty()) riverflow_exchange_.Reduce(riverflow_table_);
}

int unsatzonmodellklasse::ZoneOfCell(int r, int c, bool soil_part) const {
  if (flow_times_.empty() || (soil_part && surface_routing_active_ != 0)) return 1;
  return std::max(1, static_cast<int>(flow_times_(r, c)));
}

void unsatzonmodellklasse::AddCellToZonesAndStatistics(int r, int c) {
  const SoilColumnGrids& g = column_grids_;
  const double glacier = g.glacier.empty() ? 0 : std::clamp(g.glacier(r, c), 0.0, 1.0);
  const double D = 1 - glacier;
  const double N = loop_settings_.sub_steps;
  const int code = static_cast<int>(zone_(r, c));
  const int s = code >= 0 && code < static_cast<int>(subbasins_.code_index.size())
                    ? subbasins_.code_index[static_cast<std::size_t>(code)]
                    : 0;
  if (s < 1) return;
  const double A = rel_cell_area_.empty() ? 1 : rel_cell_area_(r, c);
  const auto add = [&](Table t, double value, double weight) {
    StatisticsTable& st = tables_[static_cast<std::size_t>(t)];
    if (st.table) st.table->AddValue(r, c, s, value, weight);
  };
  double immobilised = 0;
  if (!glacier_old_.empty() && !g.glacier.empty()) {
    const double before = glacier_old_(r, c);
    const double now = g.glacier(r, c);
    if (before != now && before >= 0 && now >= 0) immobilised = (before - now) * sb2_.view()(r, c);
  }
  // The irrigation drawn from groundwater, in mm per sub-step, is no base flow.
  double irrigation = 0;
  if (!g.irrigation_amounts.empty() && !g.irrigation_codes.empty() && g.irrigation_codes(r, c) != geometry().nodata_value) {
    const int k = static_cast<int>(g.irrigation_codes(r, c));
    if (k >= 1 && k < static_cast<int>(irrigation_origin_.size()) && irrigation_origin_[static_cast<std::size_t>(k)] == 1) {
      irrigation = g.irrigation_amounts(r, c);
    }
  }
  if (glacier < 1) {
    const int z = ZoneOfCell(r, c, true);
    AddToZone(0, 0, s, z, D, directflow_.view()(r, c) * A * D * N, A * D);
    AddToZone(1, 0, s, z, D, interflow_.view()(r, c) * A * D * N, A * D);
    AddTracersToZones(r, c, s, z, A * D);
    add(Table::Sb1, sb1_.view()(r, c), D);
    add(Table::Sb2, sb2_.view()(r, c), D);
    if (!glacier_old_.empty()) add(Table::Immo, immobilised, D);
    add(Table::Root, root_grid_.view()(r, c), D);
    add(Table::InfEx, N * infex_.view()(r, c), D);
    add(Table::Gwn, N * recharge_.view()(r, c), D);
    add(Table::Macro, N * macropore_.view()(r, c), D);
    if (!substeps_.grid.empty()) add(Table::Substeps, substeps_.view()(r, c), D);
    add(Table::Infilt, N * total_infiltration_.view()(r, c), D);
    add(Table::GwStand, groundwater_distance_.view()(r, c), D);
    // With the groundwater model the base flow of the rivers is the cells' exfiltration;
    // the water handed to the aquifer is no runoff.
    const bool rivers = !river_exfiltration_.grid.empty();
    const double base = rivers ? N * river_exfiltration_.view()(r, c) : N * (baseflow_.view()(r, c) - irrigation);
    add(Table::Qb, base, D);
    if (rivers) {
      add(Table::GwIn, N * river_infiltration_.view()(r, c), D);
      add(Table::GwEx, N * river_exfiltration_.view()(r, c), D);
    }
    const double w = rel_cell_area_.empty() ? D : rel_cell_area_(r, c) * D;
    qb_sums_[2 * static_cast<std::size_t>(s)].Add(base * w);
    qb_sums_[2 * static_cast<std::size_t>(s) + 1].Add(w);
    AddTracersToBaseFlow(r, c, s, base / N, w);
    if (settings_.pond == 1) add(Table::Pond, ponding_storage_.view()(r, c), D);
    if (!drainage_flow_.grid.empty()) add(Table::QDrain, N * drainage_flow_.view()(r, c), D);
  }
  if (glacier > 0) {
    const int z = ZoneOfCell(r, c, false);
    for (const int queue : {0, 1}) AddToZone(queue, 0, s, z, glacier, 0, A * glacier);
    for (const Table t : {Table::Sb1, Table::Sb2, Table::Root, Table::InfEx, Table::Gwn, Table::Macro,
                          Table::Substeps, Table::Infilt, Table::GwStand, Table::Qb, Table::GwIn, Table::GwEx,
                          Table::Pond, Table::QDrain}) {
      add(t, 0, glacier);
    }
    if (!glacier_old_.empty()) add(Table::Immo, immobilised, glacier);
    const double w = rel_cell_area_.empty() ? glacier : rel_cell_area_(r, c) * glacier;
    qb_sums_[2 * static_cast<std::size_t>(s) + 1].Add(w);
  }
}

void unsatzonmodellklasse::WritePointSeries(PointSeries& series, int first, int last) {
  if (series.empty()) return;
  IgnoreCtrlC();
  log() << "write " << series.file() << "[end-entry]";
  FilePtr file(std::fopen(series.file().c_str(), "a+"));
  if (!file) {
    log() << "FATAL: \nerror opening file " << series.file() << "[end-entry]";
    ArmCtrlCHandler();
    RaiseError(kPointFileAppendError);
  }
  for (long i = 1; i <= series.count(); ++i) {
    const std::array<long long, 4>& d = series.date(i);
    std::fprintf(file.get(), "%lld\t%lld\t%lld\t%lld", d[0], d[1], d[2], d[3]);
    const std::span<double> v = series.values(i);
    for (int k = first; k <= last && k < series.width(); ++k) std::fprintf(file.get(), "\t%g", v[static_cast<std::size_t>(k)]);
    std::fputc('\n', file.get());
  }
  if (std::fclose(file.release()) != 0) {
    log() << "FATAL: \nerror opening file " << series.file() << "[end-entry]";
    ArmCtrlCHandler();
    RaiseError(kPointFileAppendError);
  }
  log() << "(" << series.count() * 8 * (static_cast<long long>(n_layers_) + 4) << " of " << 2097152
        << " buffer-bytes)" << "[end-entry]";
  series.clear();
  ArmCtrlCHandler();
}

void unsatzonmodellklasse::AppendControlPointRecords() {
  if (point_series_.empty() || settings().spin_up > 0) return;
  const int r = settings_.control_row;
  const int c = settings_.control_col;
  const int n = n_layers_;
  const double nodata = geometry().nodata_value;
  // Series in the order the constructor made them: hhyd, Otherdata, Theta, Qbottom,
  // etr-detail, interflow.
  PointSeries& hhyd = point_series_[0];
  PointSeries& other = point_series_[1];
  PointSeries& theta = point_series_[2];
  PointSeries& qbottom = point_series_[3];
  PointSeries& etr = point_series_[4];
  PointSeries& interflow = point_series_[5];
  const std::array<long long, 4> date{date_.year, date_.month, date_.day, date_.hour};
  const auto stack_record = [&](PointSeries& series, StackView stack) {
    const std::span<double> v = series.append(date);
    for (int l = 1; l <= n; ++l) v[static_cast<std::size_t>(l)] = stack(r, c, l);
  };
  stack_record(qbottom, q_down_.stack_view());
  stack_record(theta, theta_.stack_view());
  stack_record(hhyd, hydraulic_heads_.stack_view());
  const ControlCellRecord& cell = workspace_->control();
  if (cell.filled) {
    const std::span<double> e = etr.append(date);
    for (std::size_t l = 0; l < cell.et.size() && l < e.size(); ++l) e[l] = cell.et[l];
    const std::span<double> q = interflow.append(date);
    for (std::size_t l = 1; l < cell.interflow.size() && l < q.size(); ++l) q[l] = cell.interflow[l];
    const std::span<double> o = other.append(date);
    const auto at = [&](ConstGridView v) { return v.empty() ? nodata : v(r, c); };
    const double values[] = {at(directflow_.view()), at(interflow_.view()), at(baseflow_.view()),
                             cell.surface_infiltration, nodata, nodata, at(recharge_.view()), at(uprise_.view()),
                             at(percolation_.view()), at(macropore_.view()),
                             drainage_flow_.grid.empty() ? nodata : drainage_flow_.view()(r, c),
                             settings_.pond == 1 ? ponding_storage_.view()(r, c) : nodata, at(infex_.view()),
                             at(groundwater_distance_.view()), at(groundwater_level_.view()), at(root_grid_.view()),
                             at(albedo_), at(surface_resistance_)};
    std::size_t k = 1;
    for (const double v : values) o[k++] = v;
    for (int l = 1; l <= n_landuse_layers_; ++l) {
      const auto i = static_cast<std::size_t>(l);
      for (const ConstGridView v : {lai_[i], vcf_[i], rsc_[i], rsi_[i], root_depth_[i], z0_[i]}) o[k++] = at(v);
    }
  }
  for (PointSeries* series : {&qbottom, &theta, &hhyd}) {
    if (series->count() >= series->capacity()) WritePointSeries(*series, 1, n);
  }
  if (other.count() >= other.capacity()) WritePointSeries(other, 1, other.width() - 1);
  if (etr.count() >= etr.capacity()) WritePointSeries(etr, 0, n);
  if (interflow.count() >= interflow.capacity()) WritePointSeries(interflow, 1, n);
  AppendTracerPointRecords(date);
}

void unsatzonmodellklasse::WriteOutPointSeries() {
  if (point_series_.size() < 6) return;
  const int n = n_layers_;
  // Series in the constructor's order: hhyd, Otherdata, Theta, Qbottom, etr-detail,
  // interflow; written Qbottom, Theta, hhyd, Otherdata, etr-detail, interflow.
  WritePointSeries(point_series_[3], 1, n);
  WritePointSeries(point_series_[2], 1, n);
  WritePointSeries(point_series_[0], 1, n);
  WritePointSeries(point_series_[1], 1, point_series_[1].width() - 1);
  WritePointSeries(point_series_[4], 0, n);
  WritePointSeries(point_series_[5], 1, n);
  for (std::size_t k = 6; k < point_series_.size(); ++k) WritePointSeries(point_series_[k], 1, n);
  WriteOutTracerPointSeries();
}

void unsatzonmodellklasse::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  WriteOutPointSeries();
  for (const Table t : {Table::Qd, Table::Qi, Table::Qb, Table::GwIn, Table::GwEx, Table::Qg, Table::Sb1, Table::Sb2, Table::Immo, Table::Root,
                        Table::GwStand, Table::Gwn, Table::Infilt, Table::Macro, Table::Substeps, Table::InfEx,
                        Table::Pond, Table::QDrain, Table::ThawDepth}) {
    StatisticsTable& st = tables_[static_cast<std::size_t>(t)];
    if (st.table) st.table->FlushRows();
  }
}

double unsatzonmodellklasse::own_cells_water_mm() const {
  double sum = 0;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const SoilRecord& soil = SoilOf(r, c);
      for (int l = 1; l <= soil.layerCount; ++l) {
        sum += theta_.stack(r, c, l) * soil.thickness[static_cast<std::size_t>(l)] * 1000;
      }
      if (settings_.pond == 1) sum += ponding_storage_.grid(r, c);
    }
  }
  return sum;
}

}  // namespace tolvo
