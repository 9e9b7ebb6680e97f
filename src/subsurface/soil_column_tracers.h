#pragma once
// The tracers of one soil column over one soil sub-step, kept in step with its water by the
// column step: at the start of every water iteration the layers below the water table take
// the groundwater model's concentration and the water input brings its tracer to the
// surface store; after the iteration's flows are known the tracers move through the column
// (soil_tracer_transport.h) and leave the surface with the direct runoff, the silting-up
// runoff or the ponding overflow.
//
// Outputs per cell and sub-step: "_CONC_QD_" and "_CONC_QI_" hold amounts [c · mm] summed
// over the water iterations for a non-evaporating tracer, and the last iteration's
// concentration for an evaporating one.
// Nothing here allocates per cell: the scratch is made once per thread.

#include <span>
#include <vector>

#include "framework/fpe_report.h"
#include "framework/matrix.h"
#include "framework/riverflow_record.h"
#include "subsurface/soil_tracer_transport.h"

namespace tolvo {

// One tracer's grids of the soil model.
struct SoilColumnTracer {
  SoilTracer tracer;         // decay: the factor per soil sub-step
  StackView storage;         // levels 0..n: surface store and layers
  GridView direct_runoff;    // "_CONC_QD_<t>_"
  GridView interflow;        // "_CONC_QI_<t>_"
  ConstGridView input;       // concentration of the water input
  ConstGridView silting;     // concentration of the silting-up water (or none)
  GridView groundwater;      // the groundwater model's layer-1 concentration (or none)
  // Amount [c · mm] of the sub-step leaving with baseflow, river exfiltration and through
  // the column's bottom, less what return flow brought (or none).
  GridView other_exports;
  // Amount [c · mm] of the sub-step leaving with the base flow of the rivers: the river
  // exfiltration with the groundwater model, else the baseflow (or none).
  GridView base_flow;
};

struct SoilColumnTracerSet {
  std::vector<SoilColumnTracer> tracers;  // 0..T−1
  ConstGridView aquifer_thickness;        // "aquifer_thickness_1" (with the groundwater model)
  bool groundwater = false;
  bool silting_to_surface = false;  // the silting-up water joins the surface store
  bool silting_direct = false;      // the silting-up water is direct runoff
};

// A thread's work arrays for columns of up to n layers.
class SoilTracerScratch {
 public:
  explicit SoilTracerScratch(int n);
  std::span<double> theta_start() { return theta_start_; }
  std::span<double> before() { return before_; }
  TracerWork work() const { return work_; }
  std::span<TracerExports> layers() { return layers_; }
  // The thread's floating-point report calls of the current column loop.
  FpeThreadRecord& fpe() { return fpe_; }
  const FpeThreadRecord& fpe() const { return fpe_; }

 private:
  std::vector<double> storage_;
  std::vector<TracerExports> layers_;
  FpeThreadRecord fpe_;
  std::span<double> theta_start_, before_;
  TracerWork work_;
};

// The tracer steps of one cell's sub-step.
class ColumnTracerStep {
 public:
  ColumnTracerStep(const SoilColumnTracerSet& set, SoilTracerScratch& scratch, int r, int c, int n,
                   std::span<const double> d);
  // The river record a river cell re-infiltrates from: its tracer slots give the river
  // water's concentrations (none: river water carries no tracer).
  void set_river(const RiverflowRecord* river) { river_ = river; }
  // Before the water iterations: the per-sub-step outputs start at 0.
  void begin_sub_step();
  // Start of a water iteration (nW iterations per sub-step): the content at its start, the
  // groundwater coupling below layer G, the surface input [mm] of the iteration.
  void begin_iteration(std::span<const double> theta, int G, double nW, double input_mm, double silting_mm,
                       bool ponding, double pond_mm);
  // The iteration's transport with its flows (theta0 is taken from begin_iteration).
  void transport(TracerColumnFlows flows);
  // The surface runoff: without ponding the runoff rate Q [m/s]; with ponding the overflow
  // rate of a pond of pond_rate [m/s]; the silting-up direct runoff [mm].
  void surface_runoff(double Q, double F, bool ponding, double pond_rate, double silting_mm);

 private:
  // The floating-point report calls of one tracer's transport over layers 1..N.
  void report_fpe(int tracer, int N);

  const SoilColumnTracerSet& set_;
  SoilTracerScratch& scratch_;
  int r_, c_, n_;
  std::span<const double> d_;
  double decay_exponent_ = 1;
  const RiverflowRecord* river_ = nullptr;
};

}  // namespace tolvo
