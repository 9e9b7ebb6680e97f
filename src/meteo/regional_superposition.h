#pragma once
// Regional superposition of meteorological grids (section "[RegionalSuperposition]").
//
// Each entity of the section builds one output grid, found by the entity's name, as a
// weighted sum of input grids, with one weight per input and region of the region grid
// "regression_regions". Near region borders a cell belongs to up to three regions with
// blending weights ("regression_regions", "regression_regions2", "regression_regions3"
// with "regression_weights1..3", made by the set-up); the entity's weights of each of
// these regions are applied and blended by the cell's weights:
//   out = sum over the cell's regions j of w_grid_j * sum over inputs k of input_k * w_k(j).
// The weights of all inputs of a region sum to 1, so that a superposition of equal
// inputs returns that input.
//
// Entity text:
//   name { entityinputgrid = id; regions = codes; weights = values; [more inputs]
//          outputgrid = file; writecode = n; outputtable = file; statcode = n; }
// The region codes are listed in ascending order, every region once; the weights follow
// them position by position.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/teilmodellklasse.h"
#include "framework/zonal_statistic.h"

namespace tolvo {

class StatisticsRegistry;

struct SuperpositionInput {
  std::string identifier;
  std::vector<int> region_codes;  // as listed (ascending region codes)
  std::vector<double> weights;    // weights[x - 1]: the weight of the region with index x
  ConstGridView values;
};

class RegionalSuperposition;

class cSuperposition {
 public:
  // Parses the entity text, checks it against the region table, registers the output
  // grid and makes its statistic; throws the ErrorCode of a failure after its FATAL entry.
  cSuperposition(RegionalSuperposition& owner, std::string text, StatisticsRegistry& registry);
  virtual ~cSuperposition() = default;
  cSuperposition(const cSuperposition&) = delete;
  cSuperposition& operator=(const cSuperposition&) = delete;

  // Passes the output to the grid outputs and closes the statistic's step (collective).
  virtual void WriteOutputs();
  virtual void FlushStatistics();
  // Computes the output over the process's cells.
  virtual void Superpose(const ModelDate& date);
  virtual void Release();

  const std::string& name() const { return name_; }
  const std::vector<SuperpositionInput>& inputs() const { return inputs_; }
  const std::string& output_file() const { return output_file_; }
  int write_code() const { return write_code_; }
  const std::string& output_table() const { return output_table_; }
  int statcode() const { return statcode_; }

 private:
  // The text of `searched` between the first "=" and the first ";" after the keyword and
  // the one character after it; a missing keyword, "=" or ";" is fatal.
  std::string ValueOf(std::string_view searched, std::string_view keyword, std::size_t* end = nullptr) const;
  void ParseInputs(std::string& searched);
  void CheckRegions(const SuperpositionInput& input, const std::vector<std::string>& tokens) const;
  void CheckWeights(SuperpositionInput& input, const std::vector<std::string>& tokens) const;
  void CheckWeightSums() const;
  void ParseOutputs(std::string_view searched);
  void MakeOutput(StatisticsRegistry& registry);
  void BindRegionGrids();
  [[noreturn]] void Fail(const std::string& text, int code) const;
  bool ComputesCell(int r, int c) const;
  // The weighted sum of the inputs at a cell for the region with the given code, times
  // the cell's weight of that region; 0 for a code without a region.
  double RegionShare(int r, int c, double code, double cell_weight) const;

  RegionalSuperposition& owner_;
  std::string text_;
  std::string name_;
  std::vector<SuperpositionInput> inputs_;
  std::string output_file_;
  int write_code_ = 0;
  std::string output_table_;
  int statcode_ = 0;
  ModelDate date_;

  ConstGridView zone_;
  ConstGridView mpi_regions_;
  ConstGridView region_grids_[3];
  ConstGridView weight_grids_[3];
  int region_count_ = 0;

  Grid output_;
  int output_index_ = 0;
  std::vector<ZoneRecord> zone_records_;
  std::unique_ptr<zonalstatistic> statistic_;
};

class RegionalSuperposition : public teilmodellklasse {
 public:
  // Reads the entities when the module is on; throws the ErrorCode of a failure.
  RegionalSuperposition(DiagnosticsLog& log, StatisticsRegistry& registry, const ModelSettings& settings);

  // Stores the date (also when off) and computes every entity.
  void RunStep(long long hour, long long day, long long month, long long year);
  // Collective: the grid outputs and statistics of every entity.
  void WriteSuperpositionOutputs();
  void FlushStatistics();
  void DeleteModule() override;

  const std::vector<std::unique_ptr<cSuperposition>>& entities() const { return entities_; }
  // The region table of the region grid (counts 0 without one).
  const RegionTableView& regions() const { return settings().regions; }

 private:
  void ReadEntities(StatisticsRegistry& registry);
  // The next line that holds more than white space; nothing at the end of the file.
  std::optional<std::string> NextLine();

  std::vector<std::unique_ptr<cSuperposition>> entities_;
};

}  // namespace tolvo
