// The step cycle of the groundwater flow model: the sub-step solution of every layer, the
// hand-back to the soil model, the control point records and the outputs.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_table.h"
#include "framework/halo_exchange.h"
#include "framework/parallel.h"
#include "framework/signals.h"
#include "subsurface/gwflowclass.h"

namespace tolvo {

namespace {

constexpr double kOutsideGrid = -8888;
// More parts than this would stall the run; such a layer is far outside any sensible set-up.
constexpr int kMaxRowSolverParts = 100000;

}  // namespace

void gwflowclass::BeginStep(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  if (omp_in_parallel()) {
    current_date() = d;
    return;
  }
  RunStep(d.hour, d.day, d.month, d.year);
}

bool gwflowclass::ProgressDue() const {
  const int interval = GetLogInterval();
  if (interval <= 0 || omp_in_parallel()) return false;
  const long long shifted = static_cast<long long>(static_cast<double>(current_date().hour) + GetHourShift());
  return interval == 1 || shifted % interval == 0;
}

double gwflowclass::ReduceMax(double value) const {
  // The largest of the processes' values is exact, so one call gives every process the
  // same value.
  double global = value;
  MPI_Allreduce(&value, &global, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return global;
}


double gwflowclass::ReduceMaxWithHeads(double value, GridView h) {
  // The heads the next iteration starts from travel while the largest change is agreed,
  // and one wait ends both. After the last iteration the exchange only repeats what the
  // exchange after the solution brings.
  double global = value;
  MPI_Request reduction = MPI_REQUEST_NULL;
  MPI_Iallreduce(&value, &global, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD, &reduction);
  halo_.PostHaloReceives(context(), h);
  halo_.PostHaloSends(context(), h);
  halo_.AddRequest(reduction);
  halo_.WaitHaloRequests();
  return global;
}

void gwflowclass::StartSubStep(int n) {
  const AquiferLayer l = Layer(n);
  const bool top_layer = n == 1;
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= domain_.ncols; ++c) {
      if (!domain_.active(r, c)) continue;
      l.h_prev(r, c) = l.h_old(r, c);
      if (top_layer) l.h(r, c) = TopLayerHead(r, c);
      l.iterate(r, c) = l.h(r, c);
      l.h_old(r, c) = l.h(r, c);
    }
  });
  ApplyFixedHeads(domain_, l, strip());
  DecayTracers(n);
}

void gwflowclass::RunSubStep() {
  if (ModuleSwitch == 0) return;
  const int n_layers = settings_.n_layers;
  for (int n = 1; n < n_layers; ++n) ComputeLayerLeakage(domain_, Layer(n), Layer(n + 1), strip());
  // Each layer's start touches only its own cells, so the heads of all layers, the frozen
  // ground and ponding grids and the distance to the groundwater travel in one exchange.
  for (int n = 1; n <= n_layers; ++n) StartSubStep(n);
  std::vector<GridView>& halo = halo_grids_;
  halo.clear();
  for (int n = 1; n <= n_layers; ++n) {
    LayerGrids& g = layers_[static_cast<std::size_t>(n)];
    halo.insert(halo.end(), {g.h.view(), g.h_old.view(), g.h_prev.view()});
  }
  for (const int index : {thaw_index_, frozen_index_, pond_index_}) {
    if (index > 0) halo.push_back((*grids())[index].values);
  }
  halo.push_back(distance_);
  ExchangeHalos(context(), halo);
  for (int n = 1; n <= n_layers; ++n) {
    ComputeLayerTransmissivities(domain_, Layer(n), n == 1 ? frozen_ : FrozenGround{}, strip());
  }
  for (int n = 1; n <= n_layers; ++n) SolveLayer(n);

  ExchangeLayerHeads();
  for (int n = 1; n <= n_layers; ++n) ComputeLayerFlows(domain_, Layer(n), strip());
  ExchangeLayerHeads();
  // The lower layers pass what a stopped iteration left unbalanced up to the top layer,
  // whose hand-back gives it to the soil.
  if (settings_.method == HeadSolver::kPointIteration) {
    for (int n = n_layers; n >= 2; --n) {
      CloseLayerBalanceThroughLeakage(domain_, layer_views_, n, dt_s(), settings_.alpha, inputs_[1].storage, strip());
    }
  }
  HandBackBaseflow();

  for (int n = 1; n <= n_layers; ++n) {
    const ConstGridView unconfined =
        settings_.method == HeadSolver::kPointIteration ? inputs_[1].storage : ConstGridView();
    const double alpha = settings_.method == HeadSolver::kPointIteration ? settings_.alpha : 1.0;
    ComputeLayerBalance(domain_, layer_views_, n, dt_s(), unconfined, strip(), alpha);
    const GridView h = layer_views_[static_cast<std::size_t>(n)].h;
    for_each_row(strip(), [&](int r) {
      for (int c = 1; c <= domain_.ncols; ++c) {
        if (domain_.own(r, c) && !domain_.has_zone(r, c)) h(r, c) = kNodata;
      }
    });
  }
  MixTracers();
  RecordControlPoint();
}

void gwflowclass::ExchangeLayerHeads() {
  std::vector<GridView>& halo = halo_grids_;
  halo.clear();
  for (int n = 1; n <= settings_.n_layers; ++n) halo.push_back(layers_[static_cast<std::size_t>(n)].h.view());
  ExchangeHalos(context(), halo);
}

void gwflowclass::SolveLayer(int n) {
  LayerGrids& g = layers_[static_cast<std::size_t>(n)];
  // h0 and h- hold still during the iteration (fixed heads are set at the start of the
  // sub-step), so only the current heads travel: here with the flows and transmissivities,
  // later with the largest change of each iteration.
  ExchangeHalos(context(), {g.qx.view(), g.qy.view(), g.tx.view(), g.ty.view(), g.h.view()});
  const bool progress = ProgressDue();
  int& count = iterations_[static_cast<std::size_t>(n)];
  count = 0;
  double err = 0;
  double omega_sum = 0;
  double omega_count = 0;
  for (;;) {
    ++count;
    double change = 0;
    switch (settings_.method) {
      case HeadSolver::kPointIteration: {
        change = IterateSOR(n);
        const SweepResult& s = row_sweeps_[0];
        omega_sum = s.omega_sum;
        omega_count = s.omega_count;
        break;
      }
      case HeadSolver::kRowImplicit: change = SolveRowsImplicit(n); break;
      case HeadSolver::kNone: break;
    }
    err = ReduceMaxWithHeads(change, g.h.view());
    if (!(count < settings_.max_iterations && err > settings_.max_error &&
          settings_.method == HeadSolver::kPointIteration)) {
      break;
    }
  }
  // The oscillation counts serve only the progress entry, which is due on every process
  // at the same steps.
  if (!progress) return;
  const Oscillations local = CountLayerOscillations(domain_, Layer(n), settings_.max_error, strip(), row_oscillations_);
  Oscillations global;
  MPI_Reduce(&local.count, &global.count, 1, MPI_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
  MPI_Reduce(&local.sum, &global.sum, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
  MPI_Reduce(&local.largest, &global.largest, 1, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&global.count, 1, MPI_LONG, 0, MPI_COMM_WORLD);
  MPI_Bcast(&global.sum, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  MPI_Bcast(&global.largest, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  log() << "GWlevel " << n << ", MPI-rank " << rank() << ", Steps ";
  if (settings_.method == HeadSolver::kRowImplicit) {
    log() << row_parts_[static_cast<std::size_t>(n)] << "[end-entry]";
    return;
  }
  const double omega =
      settings_.adaptive_relaxation ? (omega_count > 0 ? omega_sum / omega_count : 0.0) : settings_.sor_parameter;
  log() << count << " err " << err << ", SOR " << omega << ", osc. at " << global.count
        << " points (av: " << (global.count > 0 ? global.sum / static_cast<double>(global.count) : 0.0) << ", max "
        << global.largest << ")"
        << "[end-entry]";
}

double gwflowclass::IterateSOR(int n) {
  const AquiferLayer l = Layer(n);
  const SorParameters p{.dt_s = dt_s(),
                        .alpha = settings_.alpha,
                        .relaxation = settings_.sor_parameter,
                        .adaptive = settings_.adaptive_relaxation};
  const ConstGridView storage_top = inputs_[1].storage;
  const ConstGridView above =
      n > 1 ? ConstGridView(layers_[static_cast<std::size_t>(n - 1)].leakage.view()) : ConstGridView();
  SweepResult total;
  for (int colour = 0; colour <= 1; ++colour) {
    if (colour == 1) Exchange(l.h);
    SorHalfSweep(domain_, l, storage_top, above, p, colour, strip(), row_sweeps_);
    for (int r = strip().first; r <= strip().last; ++r) {
      const SweepResult& s = row_sweeps_[static_cast<std::size_t>(r)];
      total.max_change = std::max(total.max_change, s.max_change);
      total.omega_sum += s.omega_sum;
      total.omega_count += s.omega_count;
    }
  }
  row_sweeps_[0] = total;
  return total.max_change;
}

double gwflowclass::SolveRowsImplicit(int n) {
  const AquiferLayer l = Layer(n);
  const double dt = dt_s();
  // The north-south flow is taken from the heads at the start of the solution; where it
  // would overshoot (ratio above 1/2) the sub-step is split into equal parts that keep it
  // stable.
  const double ratio = ReduceMax(ExplicitFlowRatio(domain_, l, dt, strip()));
  const int parts = ratio > 0.5 ? static_cast<int>(std::min<double>(std::ceil(2 * ratio), kMaxRowSolverParts)) : 1;
  int& last_parts = row_parts_[static_cast<std::size_t>(n)];
  if (parts != last_parts) {
    log() << "INFO: in modul " << section() << ": the row-wise solution of layer " << n << " splits each sub-step into "
          << parts << " parts to keep the north-south flow stable"
          << "[end-entry]";
    last_parts = parts;
  }
  if (parts == 1) return SolveRowsImplicitLayer(domain_, l, l.h_old, dt, strip(), *workspace_, row_max_);
  double largest = 0;
  const GridView start = start_heads_.view();
  for (int k = 1; k <= parts; ++k) {
    if (k > 1) Exchange(l.h);
    for_each_row(strip(), [&](int r) {
      for (int c = 1; c <= domain_.ncols; ++c) start(r, c) = l.h(r, c);
    });
    Exchange(start);
    largest = std::max(largest, SolveRowsImplicitLayer(domain_, l, start, dt / parts, strip(), *workspace_, row_max_));
  }
  return largest;
}

// The top layer's loss (positive) or gain over the sub-step, as the rate the soil drains or
// fills its saturated layers by: the storage change (h0 - h)·S/dt. The point iteration may
// stop at its limits before the heads balance the flows; its storage change would then hand
// back more or less than the aquifer moved. There the net outflow of the cell through its
// faces (between the heads it ended with, time-weighted as it weights them), to the layer
// below and through its fixed flux, is handed back, so that the soil loses exactly what its
// neighbours, the lower layer and the boundary received; once converged the two agree. At a
// fixed head the aquifer, not the soil, gives or takes the water: nothing is handed back.
void gwflowclass::HandBackBaseflow() {
  if (settings_.n_layers < 1) return;
  const AquiferLayer l = Layer(1);
  const ConstGridView s = inputs_[1].storage;
  const double dt = dt_s();
  const bool from_flows = settings_.method == HeadSolver::kPointIteration;
  for_each_row(strip(), [&](int r) {
    for (int c = 1; c <= domain_.ncols; ++c) {
      if (!IsOwnZoneCell(r, c)) continue;
      if (domain_.ice(r, c) >= 1) {
        baseflow_(r, c) = 0;
      } else if (!from_flows || l.fixed_head(r, c) != kNodata) {
        baseflow_(r, c) = (l.h_old(r, c) - l.h(r, c)) * s(r, c) / dt;
      } else {
        const double area = domain_.width(r, c) * domain_.height(r, c);
        const double inflow =
            LayerCellVolumes(domain_, layer_views_, 1, dt, r, c, settings_.alpha).inflow() / (area * dt);
        baseflow_(r, c) = -(inflow + (l.fixed_flux(r, c) != kNodata ? l.fixed_flux(r, c) : 0.0));
      }
    }
  });
}

void gwflowclass::RecordControlPoint() {
  if (!holds_control_cell_) return;
  const int row = settings_.control_row;
  const int col = settings_.control_col;
  ControlPointRecord& record = records_[++record_count_];
  const ModelDate& d = current_date();
  record.year = d.year;
  record.month = d.month;
  record.day = d.day;
  record.hour = d.hour;
  const auto value = [&](GridView g, int r, int c) { return domain_.exists(r, c) ? g(r, c) : kOutsideGrid; };
  for (int n = 1; n <= settings_.n_layers; ++n) {
    const GridView h = layers_[static_cast<std::size_t>(n)].h.view();
    double* v = record.values.data() + 6 * (n - 1);
    v[1] = value(h, row, col);
    v[2] = value(h, row - 1, col);
    v[3] = value(h, row, col + 1);
    v[4] = value(h, row + 1, col);
    v[5] = value(h, row, col - 1);
    v[6] = value(baseflow_, row, col - 1);
  }
  if (record_count_ + 1 >= records_.size()) AppendControlPointFluxes();
}

void gwflowclass::AppendControlPointFluxes() {
  if (record_count_ == 0) return;
  IgnoreCtrlC();
  log() << "write " << settings_.control_file;
  FilePtr file(std::fopen(settings_.control_file.c_str(), "a+"));
  if (!file) {
    log() << "[end-entry]";
    log() << "FATAL: error opening file " << settings_.control_file << "[end-entry]";
    ArmCtrlCHandler();
    RaiseError(kPointFileAppendError);
  }
  for (std::size_t i = 1; i <= record_count_; ++i) {
    const ControlPointRecord& rec = records_[i];
    std::fprintf(file.get(), "%ld\t%ld\t%ld\t%ld", static_cast<long>(rec.year), static_cast<long>(rec.month),
                 static_cast<long>(rec.day), static_cast<long>(rec.hour));
    for (int n = 1; n <= settings_.n_layers; ++n) {
      const double* v = rec.values.data() + 6 * (n - 1);
      std::fprintf(file.get(), "\t%g\t%g\t%g\t%g\t%g\t%g", v[1], v[2], v[3], v[4], v[5], v[6]);
    }
    std::fprintf(file.get(), "\n");
  }
  file.reset();
  log() << "(" << (6LL * settings_.n_layers + 5) * static_cast<long long>(record_count_) * 8 << " of "
        << kControlPointBufferBytes << " buffer-bytes)"
        << "[end-entry]";
  record_count_ = 0;
  ArmCtrlCHandler();
}

void gwflowclass::EndStep(const ModelDate& d) {
  if (ModuleSwitch == 0) return;
  WriteGridOutputs(baseflow_index_, true, false);
  for (int n = 1; n <= settings_.n_layers; ++n) {
    const LayerGrids& g = layers_[static_cast<std::size_t>(n)];
    for (const int index : {g.h_index, g.h_old_index, g.qx_index, g.qy_index, g.balance_index}) {
      WriteGridOutputs(index, true, false);
    }
  }
  EndStepTracers(d);
}

void gwflowclass::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  if (settings_.control_row >= 1) AppendControlPointFluxes();
  FlushTracerStatistics();
}

void gwflowclass::DeleteModule() {
  if (ModuleSwitch > 0) {
    if (settings_.control_row >= 1 && initialised() != 0) AppendControlPointFluxes();
    records_.clear();
    record_count_ = 0;
    for (std::size_t n = 1; n < layers_.size(); ++n) {
      const LayerGrids& g = layers_[n];
      for (const int index : {g.h_index, g.h_old_index, g.h_prev_index, g.iterate_index, g.tx_index, g.ty_index,
                              g.qx_index, g.qy_index, g.balance_index, g.leakage_index, g.top_index}) {
        if (index > 0) FreeGridEntry(index);
      }
    }
    layers_.clear();
  }
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
