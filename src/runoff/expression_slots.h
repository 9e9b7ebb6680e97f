#pragma once
// Variables of user formulas bound to fixed slots, for a formula that runs cell after cell:
// the names are looked up once, when the formulas are bound, and each run then reads and
// writes its variables by index. ExpressionSlots gives every name one slot (names compared
// without regard to ASCII letter case, as the language compares them); ExpressionSlotValues
// holds one value per slot and whether the slot is defined, and is emptied cell by cell
// without allocating. A program run on slots (ExpressionProgram::Bind) gives the values and
// the errors it gives on a variable list holding the same names.

#include <algorithm>
#include <cassert>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

class ExpressionSlots {
 public:
  // The slot of the name; a new slot for a name not bound yet.
  int Bind(std::string_view name);
  int size() const { return static_cast<int>(names_.size()); }

 private:
  std::vector<std::string> names_;
};

class ExpressionSlotValues {
 public:
  explicit ExpressionSlotValues(int n_slots)
      : values_(static_cast<std::size_t>(n_slots), 0.0), defined_(static_cast<std::size_t>(n_slots), 0) {}

  // Every slot undefined.
  void Clear() { std::fill(defined_.begin(), defined_.end(), 0); }
  void Set(int slot, double value) {
    values_[Index(slot)] = value;
    defined_[Index(slot)] = 1;
  }
  // The value of the slot, or null while it is undefined.
  const double* Find(int slot) const { return defined_[Index(slot)] != 0 ? &values_[Index(slot)] : nullptr; }
  // The value of the slot, or the fallback while it is undefined.
  double ValueOr(int slot, double fallback) const {
    const double* value = Find(slot);
    return value != nullptr ? *value : fallback;
  }

 private:
  std::size_t Index(int slot) const {
    assert(slot >= 0 && static_cast<std::size_t>(slot) < values_.size());
    return static_cast<std::size_t>(slot);
  }
  std::vector<double> values_;
  std::vector<unsigned char> defined_;
};

}  // namespace tolvo
