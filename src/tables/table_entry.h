#pragma once
// The head shared by the records of the parameter tables (land use, multilayer land use,
// soil): the entry's code and its name. In entry 0 of a table the code holds the number
// of entries.

#include <string>
#include <utility>

namespace tolvo {

class TableEntry {
 public:
  TableEntry() = default;
  explicit TableEntry(int code) : code_(code) {}

  int GetCode() const { return code_; }
  void SetCode(int code) { code_ = code; }
  const std::string& GetName() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

 private:
  int code_ = 0;
  std::string name_;
};

}  // namespace tolvo
