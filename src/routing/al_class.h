#pragma once
// An abstraction: water taken out of the channel network at the outlet of a routing
// sub-basin object. It takes a fixed share of the flow above a minimum flow ("intern",
// "extern"), a time series read from a file ("from_file"), or nothing yet for the rule
// modes, whose tables come with the abstraction rules. Internal abstractions hand their
// water to the internal inflow ("ZL ... intern") of the same code further downstream; the
// others take it out of the system and write it to an output file of their own.
//
// Amounts inside the routing are routing millimetres (routing_units.h) over the reference
// area A = area / scale factor of the owning object; the output file holds m3/s.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/date.h"
#include "framework/timeseries_file.h"
#include "routing/routing_arrays.h"
#include "routing/reservoir_rules.h"

namespace tolvo {

class ControlFileStream;
class DiagnosticsLog;
struct TracerSettingsRecord;

enum class AbstractionMode : int {
  kUndefined = 0,
  kIntern = 3,
  kExtern = 4,
  kFromFile = 5,
  kInternWithRule = 6,
  kExternWithRule = 7,
  kInternFromReservoir = 8,
};

// What an abstraction borrows from its routing object.
struct AbstractionSetup {
  DiagnosticsLog* log = nullptr;
  std::span<const TracerSettingsRecord> tracers;  // 1..n: their names head the output columns
  int n_tracers = 0;
  int owner_code = 0;
  double area_km2 = 0;
  double scale_factor = 1;
  double dt_min = 0;
  std::string output_directory;
};

class AL_class {
 public:
  // Bytes of output rows buffered between two writes of the file.
  static constexpr std::uint64_t kBufferBytes = 2097152;

  void SetUp(const AbstractionSetup& setup);
  // Parses the definition whose "AL" keyword stands at `at` of the block text: the code,
  // "=", the mode word and its values. Creates the output file with its header (modes 4,
  // 5, 7) and places a "from_file" reader on the record of the start date. Fails with
  // 44 (unknown mode), 37 (a file that cannot be opened or created) or 38 (start date or
  // input column not in the input file).
  void ReadDefinition(std::string_view block, std::size_t at, const ModelDate& start);

  // The rule modes read their table (reservoir_rules.h); others read nothing. Fails with
  // 34 when the section is missing or unusable. Warns once for every column of a rule
  // drawn from a reservoir that has no hours given, since it can never deliver.
  void ReadRules(ControlFileStream& file);
  // An internal abstraction's receiving object: its flow index, the flow index whose flow
  // counts against the caps (0: none), its area and scale factor, and the area that flow
  // is converted to m3/s with. Warns once for every column without a cap when a flow
  // counts against the caps, since such a column can never deliver.
  void SetRuleTarget(int target, int source, double target_area_km2, double target_scale, double conversion_km2);
  // The rule's amount [routing millimetres] for the water x [m3/s] at the outlet.
  double EvaluateRule(const TracerRows& routed, const StepDate& date, double x_m3s);
  // The rate [m3/s] a rule drawn from the reservoir takes at the reservoir volume x [m3]:
  // 0 in start-up routings and outside the column's week days and hours (start_hour to
  // stop_hour inclusive; a column without WeekDays allows every day). The cap counts the
  // water entering the source's cascade (none without a cascade).
  double EvaluateRuleAtTime(TranslationCascades* cascade, const StepDate& date, double volume_m3);

  // The abstraction of one step [routing millimetres] from the water available at the
  // outlet; `abstracted` holds what earlier abstractions of the object took in this
  // step and grows by the amount. A month below 1 marks a start-up routing.
  double ComputeAbstraction(const TracerRows& routed, double& abstracted, double available, const StepDate& date);
  // Adds a row (the abstraction in m3/s, then the tracer values) to the output buffer;
  // only abstractions with an output file keep rows.
  void AppendOutputRow(const StepDate& date, std::span<const double> values);
  // Writes the buffered rows when force > 0. Fails with 65 when the file cannot be opened;
  // the rows then stay in the buffer.
  void FlushOutput(int force);

  // The zone grid gives the object's drainage area another size: limits given per area
  // keep their runoff depth, so minimum flow and maximum scale with area / zone area.
  void RescaleArea(double zone_area_km2);

  AbstractionMode mode() const { return mode_; }
  int code() const { return code_; }
  bool internal() const {
    return mode_ == AbstractionMode::kIntern || mode_ == AbstractionMode::kInternWithRule ||
           mode_ == AbstractionMode::kInternFromReservoir;
  }
  bool has_output() const {
    return mode_ == AbstractionMode::kExtern || mode_ == AbstractionMode::kFromFile ||
           mode_ == AbstractionMode::kExternWithRule;
  }
  double minimum_flow() const { return minimum_flow_; }
  double share() const { return share_; }
  double maximum() const { return maximum_; }
  const std::string& output_file() const { return output_file_; }
  std::uint64_t row_capacity() const { return capacity_; }
  // [0] the water taken [m3/s], [1..n] tracer values; the reservoir step fills it for
  // abstractions drawn from the reservoir.
  std::span<double> current() { return current_; }
  const std::optional<RuleTable>& rules() const { return rules_; }

 private:
  double ReferenceArea() const { return setup_.area_km2 / setup_.scale_factor; }
  void OpenInput(const ModelDate& start);
  void CreateOutputFile();
  void WriteBufferedRows();

  AbstractionSetup setup_;
  AbstractionMode mode_ = AbstractionMode::kUndefined;
  int code_ = 0;
  double share_ = 0;
  double minimum_flow_ = 0;  // routing millimetres
  double maximum_ = 0;       // routing millimetres
  std::string output_file_;
  std::string input_file_;
  int input_column_ = 0;
  std::unique_ptr<timeseries_file> input_;
  std::vector<double> current_;
  std::vector<double> rows_;  // capacity_ rows of n + 5 doubles
  std::uint64_t capacity_ = 0;
  std::uint64_t rows_used_ = 0;
  std::uint64_t values_per_row_ = 0;
  StepDate step_date_;
  std::optional<RuleTable> rules_;
  int target_ = -1;
  int source_ = 0;
  double target_area_km2_ = -1;
  double target_scale_ = 1;
  double conversion_km2_ = 0;
};

}  // namespace tolvo
