// Runoff concentration of the soil model: the flow-time zones of every sub-basin, the
// first baseflow and total runoff of the set-up, and at the end of every step the runoff
// at the sub-basin outlets through the zones and the linear storages, the statistics'
// end of step and the grid outputs.

#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "framework/error_code.h"
#include "framework/exact_sum.h"
#include "framework/file_handle.h"
#include "framework/grid_table.h"
#include "setup/flow_time_zones.h"
#include "subsurface/subbasin_runoff.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

// Sums per-process exact sums over all processes (collective, every process gets the
// totals), so that the totals do not depend on how the cells are shared.
std::vector<double> AllreduceExactSums(const std::vector<ExactSum>& local) {
  constexpr int width = ExactSum::kDigits + ExactSum::kCounters;
  std::vector<std::int64_t> packed(local.size() * width), total(local.size() * width);
  for (std::size_t i = 0; i < local.size(); ++i) {
    local[i].Pack(0, ExactSum::kDigits - 1, std::span(packed).subspan(i * width, width));
  }
  MPI_Allreduce(packed.data(), total.data(), static_cast<int>(packed.size()), MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
  std::vector<double> values(local.size());
  for (std::size_t i = 0; i < local.size(); ++i) {
    ExactSum sum;
    sum.Unpack(0, ExactSum::kDigits - 1, std::span<const std::int64_t>(total).subspan(i * width, width));
    values[i] = sum.Value();
  }
  return values;
}

void AppendToModelLog(int rank, const std::string& text, DiagnosticsLog& log, const std::string& warning) {
  if (rank != 0) return;
  char name[64];
  std::snprintf(name, sizeof name, "modell_%d.log", 0);
  FilePtr file(std::fopen(name, "a"));
  if (!file) {
    log << warning << name << "[end-entry]";
    return;
  }
  std::fputs(text.c_str(), file.get());
}

}  // namespace

std::span<const std::vector<double>> unsatzonmodellklasse::RunoffArray(const std::vector<std::vector<double>>& a,
                                                                       const char* name) const {
  if (ModuleSwitch == 0) return {};
  if (a.empty() || a[0].empty()) {
    log() << "FATAL: " << name << (a.empty() ? "" : "[0]")
          << " not initialized (may be, tracer module not linked? -> programmers error!)"
          << "[end-entry]";
    RaiseError(kMissingSubbasinRunoff);
  }
  return a;
}

void unsatzonmodellklasse::InitTracers(int n_tracers, std::span<TracerSettingsRecord> tracers,
                                       StatisticsRegistry& registry, int capacity) {
  if (ModuleSwitch == 0) return;
  SetUpTracers(n_tracers, tracers, registry, capacity);
  InitFlowTimeZones();
  const std::size_t rows = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  const std::size_t cols = static_cast<std::size_t>(subbasins_.zone_count) + 1;
  for (auto* a : {&qd_, &qdd_, &qi_, &qii_, &qbb_}) a->assign(rows, std::vector<double>(cols, 0.0));
  // The discharge routing may hold the total runoff already: keep its storage.
  if (total_runoff_.size() != rows) total_runoff_.assign(rows, std::vector<double>(cols, 0.0));
  for (std::vector<double>& row : total_runoff_) row.assign(cols, 0.0);
  // Per tracer 0..T and sub-basin: the base flow's weighted load and its weight.
  qb_sums_.assign(2 * cols * rows, ExactSum());
  qb_values_.assign(2 * cols * rows, 0.0);
  SetUpRiverExchange(registry);
  MakeZoneIncrements();
  FirstTracerConcentrations();
  FirstBaseflowAndTotalRunoff();
  if (StorageGridsReadCode == 1) ReadStorageContent();
}

void unsatzonmodellklasse::InitFlowTimeZones() {
  if (ModuleSwitch == 0) return;
  log() << "looking for longest flow travel time" << "[end-entry]";
  const int N = subbasins_.zone_count;
  const double nodata = geometry().nodata_value;
  const std::size_t tracers = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  maxzeit_.assign(static_cast<std::size_t>(N) + 1, 0);
  const auto make_queues = [&] {
    for (auto* q : {&zone_qd_, &zone_qi_}) {
      q->assign(tracers, std::vector<std::vector<ZoneRecord>>(static_cast<std::size_t>(N) + 1));
      for (auto& tracer : *q) {
        for (int s = 1; s <= N; ++s) {
          tracer[static_cast<std::size_t>(s)].assign(static_cast<std::size_t>(maxzeit_[static_cast<std::size_t>(s)]) + 1,
                                                     ZoneRecord{});
        }
      }
    }
  };
  if (flow_times_.empty()) {
    for (int s = 1; s <= N; ++s) maxzeit_[static_cast<std::size_t>(s)] = 1;
    log() << "done and reduced to rank 0" << "[end-entry]";
    make_queues();
    for (auto* q : {&zone_qd_, &zone_qi_}) {
      for (auto& tracer : *q) {
        for (int s = 1; s <= N; ++s) {
          ZoneRecord& z1 = tracer[static_cast<std::size_t>(s)][1];
          z1.zonenwert = 1;
          if (&tracer == &q->front()) z1.rel = 1.0;
        }
      }
    }
    AppendToModelLog(rank(), "flow time distribution will not be calculated since no flow time grid was provided\n",
                     log(), "WARNING: log file could not be opened: ");
    return;
  }

  // Flow times become zones: whole model steps, at least 1; a cell without a usable flow
  // time joins zone 1 (no water may wait in a zone that never reaches the outlet).
  grid_table& table = *grids();
  const int index = FindGrid("flow_times", true);
  const GridView flow_times = table[index].values;
  const double dt = TimeStep;
  std::vector<FlowTimeZoneCell> cells;
  std::ostringstream dots;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const int code = static_cast<int>(zone_(r, c));
      const int s = code >= 0 && code < static_cast<int>(subbasins_.code_index.size())
                        ? subbasins_.code_index[static_cast<std::size_t>(code)]
                        : 0;
      const double steps = flow_time_in_steps(flow_times(r, c), dt, nodata);
      cells.push_back({s, steps, rel_cell_area_.empty() ? 1.0 : rel_cell_area_(r, c)});
      flow_times(r, c) = std::max(1, FlowTimeZoneOf(steps, nodata));
    }
    dots << ".";
  }
  log() << dots.str() << "[end-entry]";
  const FlowTimeZoneLayout layout = RankFlowTimeZones(N, cells, nodata);
  log() << "done and reduced to rank 0" << "[end-entry]";
  const std::string grid_file = table[index].file_name.value_or("flow_times");
  if (layout.unusable_cells && rank() == 0) {
    log() << "WARNING: cells of the flow travel time grid " << grid_file
          << " hold nodata or a negative flow time; their runoff reaches the outlet in the step it is formed "
             "(flow-time zone 1)"
          << "[end-entry]";
  }
  for (int s = 1; s <= N; ++s) maxzeit_[static_cast<std::size_t>(s)] = layout.zones[static_cast<std::size_t>(s)];
  make_queues();
  std::string block = "flow time distribution:\n";
  for (int s = 1; s <= N; ++s) {
    const auto si = static_cast<std::size_t>(s);
    const int M = maxzeit_[si];
    const double code = subbasins_.zones[si].zonenwert;
    double W = 0;
    for (int z = 1; z <= M; ++z) W += layout.weight[si][static_cast<std::size_t>(z)];
    if (M < 1 || W == 0) {
      log() << "FATAL: all cells in " << grid_file << ", subbasin " << code << " are NODATA!" << "[end-entry]";
      RaiseError(kNoFlowTimes);
    }
    char head[64];
    std::snprintf(head, sizeof head, "TG\t%4d\t(%3d\tZonen):", static_cast<int>(code), M);
    block += head;
    for (auto* q : {&zone_qd_, &zone_qi_}) {
      for (std::size_t t = 0; t < tracers; ++t) {
        std::vector<ZoneRecord>& records = (*q)[t][si];
        for (int z = 1; z <= M; ++z) {
          ZoneRecord& rec = records[static_cast<std::size_t>(z)];
          rec.zonenwert = z;
          if (t != 0) continue;
          const double w = layout.weight[si][static_cast<std::size_t>(z)];
          rec.rel = w / W;
          // The weight of the cells whose water has not arrived yet is held once, on
          // process 0, so that the sums over the processes count it once.
          if (rank() == 0) {
            rec.RelCellSum = w;
            rec.n = q == &zone_qi_ ? w : 0;
          }
        }
        if (t == 0) {
          for (int z = M - 1; z >= 1; --z) {
            records[static_cast<std::size_t>(z)].n += records[static_cast<std::size_t>(z + 1)].n;
            records[static_cast<std::size_t>(z)].RelCellSum += records[static_cast<std::size_t>(z + 1)].RelCellSum;
          }
        }
      }
    }
    if (!(zone_qd_[0][si][1].rel > 0)) {
      log() << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << s << " has no cells!"
            << "[end-entry]";
      RaiseError(kFirstFlowTimeZoneEmpty);
    }
    for (int z = 1; z <= M; ++z) {
      char v[32];
      std::snprintf(v, sizeof v, "\t%5.3f", zone_qd_[0][si][static_cast<std::size_t>(z)].rel);
      block += v;
    }
    block += "\n";
  }
  AppendToModelLog(rank(), block, log(), "WARNING: error opening log-file ");
}

void unsatzonmodellklasse::FirstBaseflowAndTotalRunoff() {
  const int N = subbasins_.zone_count;
  const std::size_t T = static_cast<std::size_t>(std::max(TracerCount, 0));
  // Per tracer 0..T and sub-basin: weighted value and weight.
  std::vector<ExactSum> sums(2 * (static_cast<std::size_t>(N) + 1) * (T + 1));
  const std::size_t block = 2 * (static_cast<std::size_t>(N) + 1);
  const GridView baseflow = baseflow_.view();
  const SubbasinParameters& sp = settings_.subbasins;
  for (int r = strip().first; r <= strip().last; ++r) {
    for (int c = 1; c <= geometry().ncols; ++c) {
      if (!IsOwnCell(r, c)) continue;
      const int code = static_cast<int>(zone_(r, c));
      const int s = code >= 0 && code < static_cast<int>(subbasins_.code_index.size())
                        ? subbasins_.code_index[static_cast<std::size_t>(code)]
                        : 0;
      if (s < 1) continue;
      const auto si = static_cast<std::size_t>(s);
      double U = baseflow(r, c);
      if (groundwater_coupling == 0) {
        const double distance = groundwater_distance_.view()(r, c);
        const double exponent = distance == 0 ? 0.0 : sp.kelsqlat[si] * distance;
        U = sp.max_baseflow[si] * std::exp(exponent);
        baseflow(r, c) = U;
      }
      const double w = rel_cell_area_.empty() ? 1.0 : rel_cell_area_(r, c);
      sums[2 * si].Add(U * w);
      sums[2 * si + 1].Add(w);
      // A tracer's first runoff is the concentration of the base flow, weighted by it.
      for (std::size_t t = 1; t <= T; ++t) {
        sums[t * block + 2 * si].Add(w * U * soil_tracers_[t].values(r, c));
        sums[t * block + 2 * si + 1].Add(w * U);
      }
    }
  }
  const std::vector<double> totals = AllreduceExactSums(sums);
  for (std::size_t t = 0; t <= T; ++t) {
    for (int s = 1; s <= N; ++s) {
      const std::size_t i = t * block + 2 * static_cast<std::size_t>(s);
      total_runoff_[t][static_cast<std::size_t>(s)] = totals[i + 1] > 0 ? totals[i] / totals[i + 1] : 0.0;
    }
  }
}

void unsatzonmodellklasse::MakeZoneIncrements() {
  const int N = subbasins_.zone_count;
  zone_offset_.assign(static_cast<std::size_t>(N) + 2, 0);
  for (int s = 1; s <= N; ++s) {
    const auto si = static_cast<std::size_t>(s);
    zone_offset_[si + 1] = zone_offset_[si] + static_cast<std::size_t>(std::max(maxzeit_[si], 0));
  }
  zone_total_ = zone_offset_[static_cast<std::size_t>(N) + 1];
  const std::size_t T = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  zone_increments_.assign(2 * T * zone_total_ * 3, ExactSum());
}

void unsatzonmodellklasse::AddToZone(int queue, std::size_t t, int s, int z, double n, double sx, double rel_area) {
  const std::size_t T = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  const std::size_t zone = zone_offset_[static_cast<std::size_t>(s)] + static_cast<std::size_t>(z - 1);
  const std::size_t i = ((static_cast<std::size_t>(queue) * T + t) * zone_total_ + zone) * 3;
  zone_increments_[i].Add(n);
  zone_increments_[i + 1].Add(sx);
  zone_increments_[i + 2].Add(rel_area);
}

void unsatzonmodellklasse::MergeZoneIncrements() {
  if (rank() == 0) {
    const int N = subbasins_.zone_count;
    const std::size_t T = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
    std::size_t i = 0;
    for (auto* q : {&zone_qd_, &zone_qi_}) {
      for (std::size_t t = 0; t < T; ++t) {
        for (int s = 1; s <= N; ++s) {
          std::vector<ZoneRecord>& records = (*q)[t][static_cast<std::size_t>(s)];
          for (int z = 1; z <= maxzeit_[static_cast<std::size_t>(s)]; ++z, i += 3) {
            ZoneRecord& rec = records[static_cast<std::size_t>(z)];
            rec.n += zone_increments_[i].Value();
            rec.sx += zone_increments_[i + 1].Value();
            rec.RelCellSum += zone_increments_[i + 2].Value();
          }
        }
      }
    }
  }
  for (ExactSum& sum : zone_increments_) sum.Clear();
}

void unsatzonmodellklasse::concentrateSubbasinRunoff(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  EmptyTakenSurfaceStorage();
  const int N = subbasins_.zone_count;
  const std::size_t T = static_cast<std::size_t>(std::max(TracerCount, 0)) + 1;
  // The zone increments and the baseflow of the step (the areal mean of the cells' base
  // flow) are summed exactly over the processes, in one exchange.
  const std::span<ExactSum> step_sums[] = {zone_increments_, qb_sums_};
  ReduceExactSums(step_sums, reduce_scratch_);
  MergeZoneIncrements();
  if (rank() == 0) {
    for (std::size_t i = 0; i < qb_sums_.size(); ++i) qb_values_[i] = qb_sums_[i].Value();
  }
  for (ExactSum& sum : qb_sums_) sum.Clear();
  const std::vector<double>& base = qb_values_;
  if (rank() == 0) {
    const double dt = TimeStep;
    const bool pass = surface_routing_active_ != 0;
    const auto z1 = [&](int queue, std::size_t t, int s) -> const ZoneRecord& {
      return (queue == 0 ? zone_qd_ : zone_qi_)[t][static_cast<std::size_t>(s)][1];
    };
    for (int s = 1; s <= N; ++s) {
      const auto si = static_cast<std::size_t>(s);
      const auto storage = [&](int queue, std::vector<std::vector<double>>& inflow,
                               std::vector<std::vector<double>>& outflow, double k, Table stat) {
        const ZoneRecord w = z1(queue, 0, s);
        inflow[0][si] = w.RelCellSum > 0 ? w.sx / w.RelCellSum : 0.0;
        for (std::size_t t = 1; t < T; ++t) {
          const ZoneRecord x = z1(queue, t, s);
          inflow[t][si] = x.RelCellSum > 0 ? x.sx / x.RelCellSum : 0.0;
        }
        const double a = linear_storage_coefficient(dt, k, pass);
        const double b = 1 - a;
        const double Q = linear_storage_outflow(outflow[0][si], inflow[0][si], a);
        for (std::size_t t = 1; t < T; ++t) {
          outflow[t][si] = Q > 0 ? (inflow[0][si] * inflow[t][si] * b + outflow[0][si] * outflow[t][si] * a) / Q : 0.0;
        }
        outflow[0][si] = Q;
        StatisticsTable& st = tables_[static_cast<std::size_t>(stat)];
        if (st.table) {
          const double rel = st.zones[si].rel;
          st.table->SetZoneSums(s, rel, rel * Q, rel);
        }
      };
      storage(0, qd_, qdd_, settings_.subbasins.kelsqd[si], Table::Qd);
      storage(1, qi_, qii_, settings_.subbasins.kelsqi[si], Table::Qi);
      qbb_[0][si] = base[2 * si + 1] > 0 ? std::max(0.0, base[2 * si] / base[2 * si + 1]) : 0.0;
      StatisticsTable& qb = tables_[static_cast<std::size_t>(Table::Qb)];
      if (qb.table) {
        const double rel = qb.zones[si].rel;
        qb.table->SetZoneSums(s, rel, rel * qbb_[0][si], rel);
      }
      const double glacier_outflow =
          si < glacier_records_.size() && glacier_records_[si].hasGlacier ? total_runoff_[0][si] : 0.0;
      total_runoff_[0][si] = qdd_[0][si] + qii_[0][si] + qbb_[0][si] + glacier_outflow;
      StatisticsTable& qg = tables_[static_cast<std::size_t>(Table::Qg)];
      if (qg.table) {
        const double rel = qg.zones[si].rel;
        qg.table->SetZoneSums(s, rel, rel * total_runoff_[0][si], rel);
      }
    }
  }
  // End of step of every statistic, in a fixed order; the outlet values (flag 0) are
  // process 0's.
  const std::pair<Table, int> order[] = {
      {Table::GwStand, 1}, {Table::Gwn, 1}, {Table::Infilt, 1}, {Table::Macro, 1}, {Table::Substeps, 1},
      {Table::Sb1, 1},     {Table::Sb2, 1}, {Table::Immo, 1},   {Table::Root, 1},  {Table::InfEx, 1},
      {Table::Qd, 0},      {Table::Qi, 0},  {Table::Qb, 0},     {Table::GwIn, 1},  {Table::GwEx, 1}, {Table::Qg, 0},    {Table::QDrain, 1},
      {Table::Pond, 1},    {Table::ThawDepth, 1}};
  for (const auto& [t, flag] : order) step_ends_.Add(tables_[static_cast<std::size_t>(t)].table.get(), flag);
  step_ends_.EndSteps(d.year, d.month, d.day, d.hour);

  // Grid outputs of the step.
  const auto grid = [&](const OwnedGrid& g) {
    if (g.index > 0) WriteGridOutputs(g.index, true, false);
  };
  const auto stack = [&](const OwnedGrid& g) {
    if (g.index > 0) WriteStackOutputs(g.index);
  };
  grid(sb1_);
  grid(sb2_);
  grid(root_grid_);
  stack(theta_);
  stack(hydraulic_heads_);
  stack(geodetic_heads_);
  stack(q_down_);
  for (const OwnedGrid* g : {&groundwater_distance_, &theta_in_level_, &recharge_, &macropore_, &substeps_, &uprise_,
                             &percolation_, &groundwater_level_, &infex_, &saturation_, &directflow_, &interflow_,
                             &baseflow_, &river_infiltration_, &river_exfiltration_, &ponding_storage_,
                             &drainage_flow_}) {
    // With the groundwater model "baseflow" holds its hand-back rate, which that model
    // writes at the end of its step; a second write here would count every step twice in
    // the grid's sums and means.
    if (g == &baseflow_ && groundwater_coupling != 0) continue;
    grid(*g);
  }
  // Soil temperatures, thaw depth and the layered snow pack.
  stack(soil_temperature_);
  grid(thaw_depth_);
  for (const OwnedGrid* g : {&solid_snow_, &liquid_snow_, &temperature_snow_, &theta_snow_, &hydraulic_snow_,
                             &geodetic_snow_, &q_down_snow_, &thickness_snow_, &density_snow_}) {
    stack(*g);
  }
  grid(upper_index_snow_);
  EndStepTracers(d);
}

}  // namespace tolvo
