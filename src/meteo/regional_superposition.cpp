#include "meteo/regional_superposition.h"

#include <cmath>
#include <sstream>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/parallel.h"
#include "framework/statistics_registry.h"

namespace tolvo {
namespace {

constexpr const char* kOwner = "RegionalSuperposition";
constexpr std::string_view kInputKeyword = "entityinputgrid";
// Weights of a region may miss 1 by this much.
constexpr double kWeightSumTolerance = 0.0001;

bool IsSeparator(char c) { return c == '\n' || c == '\r' || c == '\t' || c == ' ' || c == ';' || c == ','; }

std::vector<std::string> SplitList(std::string_view list) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsSeparator(list[i])) ++i;
    const std::size_t start = i;
    while (i < list.size() && !IsSeparator(list[i])) ++i;
    if (i > start) tokens.emplace_back(list.substr(start, i - start));
  }
  return tokens;
}

// The first word of a text, white space before it skipped.
std::string FirstWord(std::string_view text) {
  const std::vector<std::string> words = SplitList(text);
  return words.empty() ? std::string() : words.front();
}

bool HasContent(const std::string& line) { return line.find_first_not_of(" \t\r\n") != std::string::npos; }

}  // namespace

// --- cSuperposition ----------------------------------------------------------------------

cSuperposition::cSuperposition(RegionalSuperposition& owner, std::string text, StatisticsRegistry& registry)
    : owner_(owner), text_(std::move(text)) {
  const std::size_t open = text_.find('{');
  name_ = FirstWord(std::string_view(text_).substr(0, open == std::string::npos ? 0 : open));
  if (open == std::string::npos || name_.empty()) {
    Fail("\nerror reading " + std::string(kOwner) + " entity: " + text_ + "\nAn entity begins with its name and \"{\"\n",
         kMissingControlItem);
  }
  const std::size_t close = text_.find('}', open);
  std::string searched = text_.substr(open + 1, close == std::string::npos ? std::string::npos : close - open + 1);
  region_count_ = owner_.regions().region_count;
  ParseInputs(searched);
  CheckWeightSums();
  ParseOutputs(searched);
  MakeOutput(registry);
  BindRegionGrids();
}

void cSuperposition::Fail(const std::string& text, int code) const {
  owner_.log() << "FATAL: " << text << "[end-entry]";
  RaiseError(code);
}

std::string cSuperposition::ValueOf(std::string_view searched, std::string_view keyword, std::size_t* end) const {
  const std::size_t at = searched.find(keyword);
  const std::string where = std::string(kOwner) + " entity: " + name_;
  if (at == std::string::npos) {
    Fail("\nerror reading " + where + "\nthe key \"" + std::string(keyword) + "\" is missing\n", kMissingControlItem);
  }
  const std::size_t after = at + keyword.size();
  if (after >= searched.size() || searched[after] == '=') {
    Fail("\nerror reading " + where + "\nthe key \"" + std::string(keyword) +
             "\" must be followed by a blank before its \"=\"\n",
         kMissingControlItem);
  }
  const std::size_t equals = searched.find('=', after + 1);
  const std::size_t semicolon = equals == std::string::npos ? std::string::npos : searched.find(';', equals);
  if (semicolon == std::string::npos) {
    Fail("\nerror reading " + where + "\nthe key \"" + std::string(keyword) + "\" needs \"= value;\"\n",
         kMissingControlItem);
  }
  if (end != nullptr) *end = semicolon;
  return std::string(searched.substr(equals + 1, semicolon - equals - 1));
}

void cSuperposition::ParseInputs(std::string& searched) {
  grid_table& table = *owner_.grids();
  for (std::size_t at = searched.find(kInputKeyword); at != std::string::npos; at = searched.find(kInputKeyword)) {
    searched.erase(0, at + kInputKeyword.size());
    SuperpositionInput input;
    // The keyword itself is cut off: its value follows the first "=".
    const std::size_t equals = searched.find('=');
    const std::size_t semicolon = equals == std::string::npos ? std::string::npos : searched.find(';', equals);
    if (semicolon == std::string::npos) {
      Fail("\nerror reading " + std::string(kOwner) + " entity: " + name_ +
               "\nthe key \"entityinputgrid\" needs \"= grid;\"\n",
           kMissingControlItem);
    }
    input.identifier = FirstWord(std::string_view(searched).substr(equals + 1, semicolon - equals - 1));
    input.values = table[owner_.RequireGrid(input.identifier)].values;

    std::size_t end = 0;
    const std::vector<std::string> regions = SplitList(ValueOf(searched, "regions", &end));
    searched.erase(0, searched.find("regions") + 8);
    CheckRegions(input, regions);
    for (const std::string& token : regions) input.region_codes.push_back(ParseIntPrefix(token).value_or(0));
    const std::vector<std::string> weights = SplitList(ValueOf(searched, "weights", &end));
    searched.erase(0, searched.find("weights") + 8);
    CheckWeights(input, weights);
    inputs_.push_back(std::move(input));
  }
}

void cSuperposition::CheckRegions(const SuperpositionInput& input, const std::vector<std::string>& tokens) const {
  const RegionTableView& regions = owner_.regions();
  const std::string head = "\nerror reading regions in " + std::string(kOwner) + " entity: " + name_ +
                           ", inputgrid " + input.identifier;
  if (static_cast<int>(tokens.size()) != region_count_) {
    Fail(head + "\nThe number of regions here (" + std::to_string(tokens.size()) +
             ") does not equal the number of\nregions in the regiongrid (" + std::to_string(region_count_) + ")\n",
         kSuperpositionRegions);
  }
  for (int p = 1; p <= static_cast<int>(tokens.size()); ++p) {
    const std::string& token = tokens[static_cast<std::size_t>(p - 1)];
    const std::optional<int> code = ParseIntPrefix(token);
    const bool is_region = code && *code >= 1 && *code <= regions.largest_code &&
                           static_cast<std::size_t>(*code) < regions.code_index.size() &&
                           regions.code_index[static_cast<std::size_t>(*code)] > 0;
    if (!is_region) {
      Fail(head + "\nregion on position " + std::to_string(p) + " was read as " + token +
               "\nThere is now region with this code in the region grid\n"
               "\nOnly the region codes from the region grid must be listet in ascending order here\n"
               "regardless of their actual weight for this superposition instance\n",
           kSuperpositionRegions);
    }
    if (regions.code_index[static_cast<std::size_t>(*code)] != p) {
      int expected = 0;
      for (std::size_t k = 1; k < regions.code_index.size(); ++k) {
        if (regions.code_index[k] == p) expected = static_cast<int>(k);
      }
      Fail(head + "\nregion on position " + std::to_string(p) + " in the region list should have value " +
               std::to_string(expected) + "\nbut was read as " + token +
               "\nAll regions must be listet in ascending order here\n"
               "regardless of their actual weight for this superposition instance\n",
           kSuperpositionRegions);
    }
  }
}

void cSuperposition::CheckWeights(SuperpositionInput& input, const std::vector<std::string>& tokens) const {
  const std::string head = "\nerror reading weights for regions in " + std::string(kOwner) + " entity: " + name_ +
                           ", inputgrid " + input.identifier;
  if (tokens.size() != input.region_codes.size()) {
    Fail(head + "\nThe number of regions (" + std::to_string(region_count_) + ") does not equal the number of weights (" +
             std::to_string(tokens.size()) + ")\n",
         kSuperpositionWeights);
  }
  for (const std::string& token : tokens) {
    const std::optional<double> weight = ParseDoublePrefix(token);
    if (!weight || !std::isfinite(*weight)) Fail(head + "\nthe weight " + token + " is no number\n", kSuperpositionWeights);
    input.weights.push_back(*weight);
  }
}

void cSuperposition::CheckWeightSums() const {
  for (int i = 1; i <= region_count_; ++i) {
    double sum = 0;
    for (const SuperpositionInput& input : inputs_) sum += input.weights[static_cast<std::size_t>(i - 1)];
    if (std::fabs(sum - 1.0) > kWeightSumTolerance) {
      std::ostringstream text;
      text << "\nerror reading weights for regions in " << kOwner << "\nentity: " << name_ << "\nregion " << i
           << ": The sum of all weights is not 1.0 but " << sum << " \n";
      Fail(text.str(), kSuperpositionWeights);
    }
  }
}

void cSuperposition::ParseOutputs(std::string_view searched) {
  output_file_ = FirstWord(ValueOf(searched, "outputgrid"));
  const std::string write_code = ValueOf(searched, "writecode");
  output_table_ = FirstWord(ValueOf(searched, "outputtable"));
  const std::string statcode = ValueOf(searched, "statcode");
  const auto number = [&](const std::string& value, const char* key) {
    const std::optional<int> n = ParseIntPrefix(FirstWord(value));
    if (!n) {
      Fail("\nerror reading " + std::string(kOwner) + " entity: " + name_ + "\n" + key + " = " + value +
               " is no integer\n",
           kMissingControlItem);
    }
    return *n;
  };
  write_code_ = number(write_code, "writecode");
  statcode_ = number(statcode, "statcode");
}

void cSuperposition::MakeOutput(StatisticsRegistry& registry) {
  grid_table& table = *owner_.grids();
  const GridGeometry& g = owner_.geometry();
  const RowRange rows = owner_.strip();
  zone_ = table.zone_grid().values;
  if (const int regions = owner_.FindGrid("MPIRegions", false); regions > 0) mpi_regions_ = table[regions].values;
  output_index_ = table.TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, owner_.log(),
                                        "no free grid anymore, allowed number of grids is " +
                                            std::to_string(kLastGridIndex + 1) + "!");
  output_ = owner_.matrix(rows.first, rows.last, 1, g.ncols, g.nrows);
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= g.ncols; ++c) output_(r, c) = zone_(r, c) == g.nodata_value ? g.nodata_value : 0.0;
  }
  owner_.RegisterGrid(output_index_, output_file_, output_.view(), {}, 0, name_, write_code_, rows.first, rows.last);

  const ZoneTableView& zones = owner_.settings().zones;
  zone_records_.assign(zones.zones.begin(), zones.zones.end());
  ClearZoneSums(zone_records_, zones.zone_count);
  const int relcell = owner_.FindGrid("RelCellArea", false);
  const ConstGridView weights = relcell > 0 ? ConstGridView(table[relcell].values) : ConstGridView();
  statistic_ = std::make_unique<zonalstatistic>(owner_.log(), weights, g.nrows, g.ncols, zone_records_,
                                                zones.zone_count, statcode_, 4, output_table_,
                                                owner_.output_directory(), owner_.settings().output_list);
  statistic_->WriteHeader(name_, kOwner, registry, StatisticsRegistry::kCapacity);
}

void cSuperposition::BindRegionGrids() {
  if (owner_.regions().code_index.empty()) {
    region_count_ = 0;
    return;
  }
  grid_table& table = *owner_.grids();
  const auto bind = [&](int set, const char* regions, const char* weights) {
    const int r = owner_.FindGrid(regions, false);
    const int w = owner_.FindGrid(weights, false);
    if (r > 0) region_grids_[set] = table[r].values;
    if (w > 0) weight_grids_[set] = table[w].values;
  };
  bind(0, "regression_regions", "regression_weights1");
  if (region_count_ > 1) bind(1, "regression_regions2", "regression_weights2");
  if (region_count_ > 2) bind(2, "regression_regions3", "regression_weights3");
}

bool cSuperposition::ComputesCell(int r, int c) const {
  return zone_(r, c) != owner_.geometry().nodata_value && (mpi_regions_.empty() || mpi_regions_(r, c) == owner_.rank());
}

double cSuperposition::RegionShare(int r, int c, double code, double cell_weight) const {
  const RegionTableView& regions = owner_.regions();
  const int k = static_cast<int>(code);
  if (k < 1 || k > regions.largest_code || static_cast<std::size_t>(k) >= regions.code_index.size()) return 0.0;
  const int x = regions.code_index[static_cast<std::size_t>(k)];
  if (x < 1) return 0.0;
  double share = 0;
  for (const SuperpositionInput& input : inputs_) {
    share += input.values(r, c) * input.weights[static_cast<std::size_t>(x - 1)] * cell_weight;
  }
  return share;
}

void cSuperposition::Superpose(const ModelDate& date) {
  date_ = date;
  statistic_->BeginStep();
  const ZoneTableView& zones = owner_.settings().zones;
  const int ncols = owner_.geometry().ncols;
  GridView out = output_.view();
  for_each_row(owner_.strip(), [&](int r) {
    const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, ncols}
                                                            : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!ComputesCell(r, c)) continue;
      double value = 0;
      for (int set = 0; set < 3 && set < region_count_; ++set) {
        const ConstGridView regions = region_grids_[set];
        const ConstGridView weights = weight_grids_[set];
        if (regions.empty() || weights.empty()) continue;
        if (set > 0 && static_cast<int>(regions(r, c)) <= 0) continue;
        value += RegionShare(r, c, regions(r, c), weights(r, c));
      }
      out(r, c) = value;
    }
  });
}

void cSuperposition::WriteOutputs() {
  owner_.WriteGridOutputs(output_index_, true, false);
  const ZoneTableView& zones = owner_.settings().zones;
  const int ncols = owner_.geometry().ncols;
  const RowRange rows = owner_.strip();
  for (int r = rows.first; r <= rows.last; ++r) {
    const ColumnRange columns = zones.column_ranges.empty() ? ColumnRange{1, ncols}
                                                            : zones.column_ranges[static_cast<std::size_t>(r)];
    for (int c = columns.first; c <= columns.last; ++c) {
      if (!ComputesCell(r, c)) continue;
      const int zone = zones.code_index[static_cast<std::size_t>(zone_(r, c))];
      statistic_->AddValue(r, c, zone, output_(r, c), 1.0);
    }
  }
  statistic_->EndStep(date_.year, date_.month, date_.day, date_.hour, 1);
}

void cSuperposition::FlushStatistics() {
  if (statistic_) statistic_->FlushRows();
}

void cSuperposition::Release() {
  if (output_index_ > 0) owner_.FreeGridEntry(output_index_);
  output_index_ = 0;
  output_ = Grid();
  if (statistic_) statistic_->Release();
  statistic_.reset();
  zone_records_.clear();
}

// --- RegionalSuperposition ---------------------------------------------------------------

RegionalSuperposition::RegionalSuperposition(DiagnosticsLog& log, StatisticsRegistry& registry,
                                             const ModelSettings& settings)
    : teilmodellklasse(log, kOwner, settings, 1) {
  if (ModuleSwitch == 0) return;
  ReadEntities(registry);
  CloseControlFile();
}

std::optional<std::string> RegionalSuperposition::NextLine() {
  bool had_line_end = false;
  for (std::optional<std::string> line = control_file().ReadLine(had_line_end); line;
       line = control_file().ReadLine(had_line_end)) {
    if (HasContent(*line)) return line;
  }
  return std::nullopt;
}

void RegionalSuperposition::ReadEntities(StatisticsRegistry& registry) {
  const std::optional<std::string> line = NextLine();
  std::optional<int> count;
  if (line && line->find("NumberOfEntities") != std::string::npos) {
    const std::size_t equals = line->find('=');
    const std::size_t semicolon = line->find(';');
    if (equals != std::string::npos && semicolon != std::string::npos && semicolon > equals) {
      count = ParseIntPrefix(FirstWord(line->substr(equals + 1, semicolon - equals - 1)));
    }
  }
  if (!count || *count < 0) {
    log() << "FATAL: could not read \"NumberOfEntities\" keyword in section [" << kOwner << "]\n\n" << "[end-entry]";
    RaiseError(kSuperpositionEntities);
  }
  for (int e = 1; e <= *count; ++e) {
    std::string text;
    while (text.find('}') == std::string::npos) {
      const std::optional<std::string> next = NextLine();
      if (!next || next->size() > kMaxLineLength) {
        log() << "FATAL: error reading entity " << e << " of section [" << kOwner << "]: "
              << (next ? "a line is longer than 1200 characters" : "the control file ends before its \"}\"")
              << "[end-entry]";
        RaiseError(kMissingControlItem);
      }
      text += *next + "\n";
    }
    entities_.push_back(std::make_unique<cSuperposition>(*this, std::move(text), registry));
  }
}

void RegionalSuperposition::RunStep(long long hour, long long day, long long month, long long year) {
  current_date() = {year, month, day, hour};
  if (ModuleSwitch == 0) return;
  teilmodellklasse::RunStep(hour, day, month, year);
  for (const auto& entity : entities_) entity->Superpose(current_date());
}

void RegionalSuperposition::WriteSuperpositionOutputs() {
  if (ModuleSwitch == 0) return;
  for (const auto& entity : entities_) entity->WriteOutputs();
}

void RegionalSuperposition::FlushStatistics() {
  if (ModuleSwitch == 0) return;
  for (const auto& entity : entities_) entity->FlushStatistics();
}

void RegionalSuperposition::DeleteModule() {
  if (ModuleSwitch != 0) {
    for (const auto& entity : entities_) entity->Release();
  }
  entities_.clear();
  teilmodellklasse::DeleteModule();
}

}  // namespace tolvo
