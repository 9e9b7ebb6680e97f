#include "runoff/expression_variables.h"

#include <utility>

namespace tolvo {
bool ExpressionVariables::SetVariable(std::string_view name, double value) {
  const int index = FindVariable(name);
  if (index >= 0) {
    Record& record = records_[static_cast<std::size_t>(index)];
    record.name.assign(name);
    record.value = value;
    return true;
  }
  if (count_ == records_.size()) records_.emplace_back();
  Record& record = records_[count_++];
  record.name.assign(name);  // reuses the storage a cleared record kept
  record.value = value;
  return true;
}

bool ExpressionVariables::GetVariable(std::string_view name, double& value) const {
  const double* found = Find(name);
  if (found == nullptr) return false;
  value = *found;
  return true;
}

int ExpressionVariables::FindVariable(std::string_view name) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (SameNameIgnoringCase(records_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

bool ExpressionVariables::GetValueAt(int index, double& value) const {
  if (index < 0 || static_cast<std::size_t>(index) >= count_) return false;
  value = records_[static_cast<std::size_t>(index)].value;
  return true;
}

bool ExpressionVariables::DeleteVariable(std::string_view name) {
  const int index = FindVariable(name);
  if (index < 0) return false;
  const std::size_t last = count_ - 1;
  if (static_cast<std::size_t>(index) != last) std::swap(records_[static_cast<std::size_t>(index)], records_[last]);
  --count_;
  return true;
}

}  // namespace tolvo
