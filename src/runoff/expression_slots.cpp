#include "runoff/expression_slots.h"

#include "runoff/expression_variables.h"

namespace tolvo {

int ExpressionSlots::Bind(std::string_view name) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (SameNameIgnoringCase(names_[i], name)) return static_cast<int>(i);
  }
  names_.emplace_back(name);
  return size() - 1;
}

}  // namespace tolvo
