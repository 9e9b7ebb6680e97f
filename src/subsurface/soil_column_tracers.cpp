#include "subsurface/soil_column_tracers.h"

#include <algorithm>
#include <cmath>

namespace tolvo {

SoilTracerScratch::SoilTracerScratch(int n)
    : storage_(7 * (static_cast<std::size_t>(n) + 1), 0.0), layers_(static_cast<std::size_t>(n) + 1) {
  const std::size_t m = static_cast<std::size_t>(n) + 1;
  std::span<double> all(storage_);
  theta_start_ = all.subspan(0, m);
  before_ = all.subspan(m, m);
  work_ = {all.subspan(2 * m, m), all.subspan(3 * m, m), all.subspan(4 * m, m), all.subspan(5 * m, m),
           all.subspan(6 * m, m)};
}

ColumnTracerStep::ColumnTracerStep(const SoilColumnTracerSet& set, SoilTracerScratch& scratch, int r, int c, int n,
                                   std::span<const double> d)
    : set_(set), scratch_(scratch), r_(r), c_(c), n_(n), d_(d) {}

void ColumnTracerStep::begin_sub_step() {
  for (const SoilColumnTracer& t : set_.tracers) {
    t.direct_runoff(r_, c_) = 0;
    t.interflow(r_, c_) = 0;
    if (!t.other_exports.empty()) t.other_exports(r_, c_) = 0;
    if (!t.base_flow.empty()) t.base_flow(r_, c_) = 0;
  }
}

void ColumnTracerStep::begin_iteration(std::span<const double> theta, int G, double nW, double input_mm,
                                       double silting_mm, bool ponding, double pond_mm) {
  for (int k = 0; k <= n_; ++k) scratch_.theta_start()[static_cast<std::size_t>(k)] = theta[static_cast<std::size_t>(k)];
  // A sub-step's decay is spread over its water iterations.
  decay_exponent_ = 1 / std::max(nW, 1.0);
  for (const SoilColumnTracer& t : set_.tracers) {
    const std::span<double> A = t.storage.levels(r_, c_);
    if (set_.groundwater && !t.groundwater.empty()) {
      const double c_gw = t.groundwater(r_, c_);
      for (int k = G + 1; k <= n_; ++k) {
        const auto i = static_cast<std::size_t>(k);
        A[i] = t.tracer.evaporating ? c_gw : theta[i] * c_gw * d_[i] * 1000;
      }
    }
    const double c_in = t.input.empty() ? 0.0 : std::max(t.input(r_, c_), 0.0);
    const double water = input_mm + (ponding || set_.silting_to_surface ? silting_mm : 0.0);
    tracer_surface_input(t.tracer, A[0], c_in, water, ponding, pond_mm);
  }
}

void ColumnTracerStep::transport(TracerColumnFlows flows) {
  flows.theta0 = scratch_.theta_start();
  // The top aquifer's part below the soil column.
  const double aquifer_depth_m =
      set_.aquifer_thickness.empty()
          ? 0.0
          : set_.aquifer_thickness(r_, c_) - (flows.z[0] - flows.z[static_cast<std::size_t>(n_)]);
  const int N = deepest_transported_layer(flows);
  const TracerWork w = scratch_.work();
  limit_layer_outflows(flows, N, w);
  double interflow_rate = 0;
  for (int k = 1; k < flows.G; ++k) interflow_rate += flows.I[static_cast<std::size_t>(k)];
  for (std::size_t i = 0; i < set_.tracers.size(); ++i) {
    const SoilColumnTracer& t = set_.tracers[i];
    SoilTracer tracer = t.tracer;
    tracer.decay = std::pow(t.tracer.decay, decay_exponent_);
    TracerAquifer aquifer;
    double c_gw = 0;
    if (set_.groundwater && !t.groundwater.empty()) {
      c_gw = t.groundwater(r_, c_);
      aquifer = {.thickness = aquifer_depth_m, .c_gw = &c_gw};
    }
    // Re-infiltrating river water brings the routing's concentration of the linked river.
    const double c_river =
        river_ != nullptr && i + 1 < river_->flow_mm.size() ? std::max(river_->flow_mm[i + 1], 0.0) : 0.0;
    const TracerExports e = transport_tracer(tracer, flows, N, w, t.storage.levels(r_, c_), scratch_.before(),
                                             c_river, aquifer, scratch_.layers());
    report_fpe(static_cast<int>(i) + 1, N);
    if (aquifer.c_gw != nullptr) t.groundwater(r_, c_) = c_gw;
    if (!t.other_exports.empty()) t.other_exports(r_, c_) += e.baseflow + e.exfiltration + e.bottom - e.river_input;
    if (!t.base_flow.empty()) t.base_flow(r_, c_) += set_.groundwater ? e.exfiltration : e.baseflow;
    if (tracer.evaporating) {
      t.interflow(r_, c_) = interflow_rate > 0 ? e.interflow / flows.F / interflow_rate : 0.0;
    } else {
      t.interflow(r_, c_) += e.interflow;
    }
  }
}

void ColumnTracerStep::report_fpe(int tracer, int N) {
  // Per layer what left with interflow, baseflow and exfiltration, then the layer count.
  FpeThreadRecord& fpe = scratch_.fpe();
  const std::span<const TracerExports> layers = scratch_.layers();
  for (int k = 1; k <= N; ++k) {
    const TracerExports& l = layers[static_cast<std::size_t>(k)];
    fpe.report(r_, c_, {.i1 = r_, .i2 = c_, .i3 = k, .i4 = tracer, .a1 = l.interflow, .a2 = l.baseflow,
                        .a3 = l.exfiltration, .a4 = 0, .a5 = 0});
  }
  fpe.report(r_, c_, {.i1 = r_, .i2 = c_, .i3 = n_, .i4 = tracer, .a1 = 0, .a2 = 0, .a3 = 0, .a4 = 0, .a5 = 0});
}

void ColumnTracerStep::surface_runoff(double Q, double F, bool ponding, double pond_rate, double silting_mm) {
  for (const SoilColumnTracer& t : set_.tracers) {
    double& store = t.storage.levels(r_, c_)[0];
    double value = ponding ? tracer_ponding_overflow(t.tracer, store, Q, pond_rate, F)
                           : tracer_direct_runoff(t.tracer, store, Q, F);
    if (set_.silting_direct && !t.silting.empty() && silting_mm > 0) {
      const double c_silt = t.silting(r_, c_);
      if (t.tracer.evaporating) {
        value = silting_mm + Q * F > 0 ? (c_silt * silting_mm + value * Q * F) / (silting_mm + Q * F) : 0.0;
      } else {
        value += silting_mm * c_silt;
      }
    }
    if (t.tracer.evaporating) {
      t.direct_runoff(r_, c_) = value;
    } else {
      t.direct_runoff(r_, c_) += value;
    }
  }
}

}  // namespace tolvo
