#include "tables/landuse_table.h"

#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "tables/parameter_block.h"

namespace tolvo {

LanduseTable::LanduseTable(int n) {
  records_.reserve(static_cast<std::size_t>(n) + 1);
  records_.emplace_back(n);
  for (int j = 1; j <= n; ++j) records_.emplace_back(j);
}

LanduseTable LanduseTable::Announced(int n) {
  LanduseTable table(0);
  table.records_[0] = LanduseRecord(n);
  return table;
}

void LanduseTable::SetBalanceDays() {
  int reset = 1;
  int write = 365;
  for (const LanduseRecord& entry : entries()) {
    if (entry.GetJDVegetationResetForBalance() >= 1) {
      reset = entry.GetJDVegetationResetForBalance();
      break;
    }
  }
  for (const LanduseRecord& entry : entries()) {
    if (entry.GetJDVegetationWriteForBalance() >= 1) {
      write = entry.GetJDVegetationWriteForBalance();
      break;
    }
  }
  records_[0].SetJDVegetationResetForBalance(reset);
  records_[0].SetJDVegetationWriteForBalance(write);
}

namespace {

[[noreturn]] void TableFailure(DiagnosticsLog& log, const std::string& text) {
  log << "FATAL: [landuse_table]: " << text << "[end-entry]";
  RaiseError(kTableEntryError);
}

bool BeginsBlock(std::string_view line, std::string_view method_word) {
  return !method_word.empty() && line.find("method") != std::string_view::npos &&
         line.find('{') != std::string_view::npos;
}

}  // namespace

LanduseTable ReadLanduseTable(modelobject& reader) {
  DiagnosticsLog& log = reader.log();
  reader.FindSection("[landuse_table]", true);
  int n = 0;
  reader.ReadItem(n, "number of landuse classes in [landuse_table] ");
  if (n < 0) TableFailure(log, "the number of entries must not be negative, it is " + std::to_string(n));

  LanduseTable table = LanduseTable::Announced(n);
  ControlFileStream& file = reader.control_file();
  for (int j = 1; j <= n; ++j) {
    const std::optional<std::string> line = ReadControlLine(file);
    if (!line) {
      TableFailure(log, "the control file ends before entry " + std::to_string(j) + " of " + std::to_string(n));
    }
    LanduseRecord& record = table.AppendEntry();
    const std::optional<std::string_view> method_word = LanduseMethodWordIn(*line);
    if (method_word && BeginsBlock(*line, *method_word)) {
      const std::optional<std::string> block = CollectBlockText(file, *line);
      if (!block) {
        TableFailure(log, "the control file ends inside entry " + std::to_string(j) + " (no \"}\" after \"" + *line +
                              "\")");
      }
      record.ParseBlock(log, *block, *method_word);
    } else {
      record.ParseLine(log, *line);
    }
  }
  table.SetBalanceDays();
  return table;
}

}  // namespace tolvo
