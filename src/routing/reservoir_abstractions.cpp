#include "routing/reservoir_abstractions.h"

#include <algorithm>

namespace tolvo {
namespace {

bool DrawsFromReservoir(const AL_class& a) { return a.mode() == AbstractionMode::kInternFromReservoir; }

}  // namespace

void ReservoirAbstractions::Bind(std::span<AL_class> abstractions, TranslationCascades* cascade) {
  abstractions_ = abstractions;
  cascade_ = cascade;
  if (drawn_m3_.size() != abstractions.size()) drawn_m3_.assign(abstractions.size(), 0.0);
}

bool ReservoirAbstractions::any() const {
  return abstractions_.size() > 1 && std::any_of(abstractions_.begin() + 1, abstractions_.end(), DrawsFromReservoir);
}

void ReservoirAbstractions::BeginStep(const StepDate& date) {
  date_ = date;
  std::fill(drawn_m3_.begin(), drawn_m3_.end(), 0.0);
}

double ReservoirAbstractions::DrawSubStep(double volume_m3, double dt_s) {
  double V = volume_m3;
  for (std::size_t k = 1; k < abstractions_.size(); ++k) {
    AL_class& a = abstractions_[k];
    if (!DrawsFromReservoir(a)) continue;
    double r = a.EvaluateRuleAtTime(cascade_, date_, V) * dt_s;
    V -= r;
    if (V < 0) {
      r += V;
      V = 0;
    }
    drawn_m3_[k] = std::max(drawn_m3_[k], 0.0) + r;
  }
  return V;
}

double ReservoirAbstractions::EndStep(double T_s) {
  double total = 0;
  for (std::size_t k = 1; k < abstractions_.size(); ++k) {
    AL_class& a = abstractions_[k];
    if (!DrawsFromReservoir(a)) continue;
    a.current()[0] = T_s > 0 ? drawn_m3_[k] / T_s : 0.0;
    total += drawn_m3_[k];
  }
  return total;
}

}  // namespace tolvo
