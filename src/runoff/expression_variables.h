#pragma once
// The named values a user formula reads and assigns: a list of (name, value) records in
// the order their names were first stored. Names are compared whole and without regard
// to ASCII letter case; a stored record keeps the letter case of its last assignment.
//
// Emptying the list keeps its records' storage, so that a list refilled with the same
// short names cell after cell allocates nothing once it has grown.

#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

// Whether two names are equal ignoring ASCII letter case.
inline bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

class ExpressionVariables {
 public:
  // Replaces the value (and the letter case of the name) of the record of that name, or
  // appends a new record. Always true.
  bool SetVariable(std::string_view name, double value);
  // The value of the record of that name; false, with `value` untouched, when none exists.
  bool GetVariable(std::string_view name, double& value) const;
  bool HasVariable(std::string_view name) const { return FindVariable(name) >= 0; }
  // Index (from 0) of the record of that name, or -1.
  int FindVariable(std::string_view name) const;
  // The value of record `index`; false, with `value` untouched, outside 0 .. count - 1.
  bool GetValueAt(int index, double& value) const;
  // Removes the record of that name by moving the last record into its place; false when
  // there is none.
  bool DeleteVariable(std::string_view name);
  void Clear() { count_ = 0; }
  int count() const { return static_cast<int>(count_); }

  // The value of the record of that name, or null (for the formula runner: no copy).
  const double* Find(std::string_view name) const {
    const int index = FindVariable(name);
    return index < 0 ? nullptr : &records_[static_cast<std::size_t>(index)].value;
  }

 private:
  struct Record {
    std::string name;
    double value = 0;
  };
  // Records 0 .. count_ - 1 are in use; those beyond keep their storage for reuse.
  std::vector<Record> records_;
  std::size_t count_ = 0;
};

}  // namespace tolvo
