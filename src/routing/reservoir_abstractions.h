#pragma once
// The abstractions of a routing object that draw from its outlet reservoir
// ("intern_with_rule_from_reservoir"): in every sub-step of the reservoir's rules, after
// the sub-step's outflow, each in turn takes its rule's rate [m3/s] at the running volume
// [m3] for the sub-step, never more than the reservoir still holds. After the step each
// holds its mean rate [m3/s] as the first value of its current abstraction.

#include <span>
#include <vector>

#include "routing/al_class.h"
#include "routing/reservoir_rules.h"
#include "routing/routing_arrays.h"

namespace tolvo {

class ReservoirAbstractions final : public ReservoirDraws {
 public:
  // abstractions: 1-based (entry 0 unused), as the routing object holds them.
  void Bind(std::span<AL_class> abstractions, TranslationCascades* cascade);
  bool any() const;

  void BeginStep(const StepDate& date) override;
  double DrawSubStep(double volume_m3, double dt_s) override;
  double EndStep(double T_s) override;

 private:
  std::span<AL_class> abstractions_;
  TranslationCascades* cascade_ = nullptr;
  StepDate date_;
  std::vector<double> drawn_m3_;  // per abstraction: volume drawn in the step
};

}  // namespace tolvo
