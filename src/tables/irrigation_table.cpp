#include "tables/irrigation_table.h"

#include <optional>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "tables/parameter_block.h"

namespace tolvo {

namespace {

// Most entries one schedule may hold (a daily schedule of more than 27 years).
constexpr int kMaxScheduleEntries = 10000;

constexpr const char* kRuleHelp =
    "there are 4 possible ways to define irrigation rules:\ntwo schedule variants:\n1.: \"starting from MM DD with "
    "XX mm to MM DD with YY mm every ZZ day\"\n2.: \"starting from MM DD with XX mm AA times every ZZ days\"\n where "
    "MM and DD are Month and day, XX is the first irrigation amount \n per irrigation event in mm/day, ZZ is the "
    "time step (e.g. every 4 days..),\n YY is the last irrigation amount in mm/day (it is linearly interpolated)\n "
    "and AA is a repeat counter (only in the secound format).\n The model recognises both formats by the "
    "different formats by analysing the\n key-words \"starting from\", \"to\" and \"times\"\n note: there may be "
    "defined multiple irrigation schemes in one row,\n but they have to be of the same type (1. or 2.) \n and they "
    "have to be seperated by a semicolon (;)\n 3.: irrigation control by demand (1): suction (psi) for start and "
    "end of irrigation must be provided\n 4.: irrigation control by demand (2): ratio between ETR and ETP for "
    "irrigation start must be provided\n";

// A whole control-file token read as an integer or number; nothing at the end of the
// file or when characters other than the number make up the token.
template <typename T, typename Scan>
std::optional<T> NextValue(ControlFileStream& file, Scan scan) {
  const std::optional<std::string> token = file.ReadToken();
  if (!token) return std::nullopt;
  std::string_view rest = *token;
  std::optional<T> value;
  try {
    value = scan(rest);
  } catch (const BlockReadFailure&) {
    return std::nullopt;  // beyond the range of the type
  }
  if (!value || !rest.empty()) return std::nullopt;
  return value;
}

std::optional<int> NextInt(ControlFileStream& file) { return NextValue<int>(file, ScanInteger); }
std::optional<double> NextDouble(ControlFileStream& file) { return NextValue<double>(file, ScanNumber); }

[[noreturn]] void EntryError(DiagnosticsLog& log, int entry, const std::string& what) {
  log << "FATAL: for irrigation code " << entry << what << "[end-entry]";
  RaiseError(kTableEntryError);
}

// A date of a rule, months 1..12 and days 1..the month's length.
struct RuleDate {
  int month = 1;
  int day = 1;
};

class RuleReader {
 public:
  RuleReader(DiagnosticsLog& log, int entry, std::span<const int, 12> month_lengths)
      : log_(log), entry_(entry), month_lengths_(month_lengths) {}

  [[noreturn]] void Fail() const { IrrigationRuleError(log_, entry_); }

  int Length(int month) const { return month_lengths_[static_cast<std::size_t>(month - 1)]; }

  // The text right after the next `keyword` in `text`.
  std::string_view After(std::string_view text, std::string_view keyword) const {
    const std::size_t p = text.find(keyword);
    if (p == std::string_view::npos) Fail();
    return text.substr(p + keyword.size());
  }
  int Integer(std::string_view& text) const {
    std::optional<int> value;
    try {
      value = ScanInteger(text);
    } catch (const BlockReadFailure&) {
      Fail();
    }
    if (!value) Fail();
    return *value;
  }
  double Number(std::string_view& text) const {
    std::optional<double> value;
    try {
      value = ScanNumber(text);
    } catch (const BlockReadFailure&) {
      Fail();
    }
    if (!value) Fail();
    return *value;
  }
  // A month and day, the month brought into 1..12 first, then the day into 1..its length.
  RuleDate Date(std::string_view& text) const {
    const int month = Integer(text);
    const int day = Integer(text);
    RuleDate date;
    date.month = month < 1 ? 1 : (month > 12 ? 12 : month);
    date.day = day < 1 ? 1 : (day > Length(date.month) ? Length(date.month) : day);
    return date;
  }
  // The date `step` days later: a day beyond its month's end moves into the next month
  // (December to January) as often as needed. Returns whether the year turned.
  bool Advance(RuleDate& date, int step) const {
    bool turned = false;
    date.day += step;
    while (date.day > Length(date.month)) {
      date.day -= Length(date.month);
      date.month = date.month == 12 ? 1 : date.month + 1;
      turned = turned || date.month == 1;
    }
    return turned;
  }

 private:
  DiagnosticsLog& log_;
  int entry_;
  std::span<const int, 12> month_lengths_;
};

void AddEntry(IrrigationRecord& record, const RuleDate& date, double amount, const RuleReader& reader) {
  if (record.tabcnt >= kMaxScheduleEntries) reader.Fail();
  if (record.month.empty()) {
    record.month.push_back(0);
    record.day.push_back(0);
    record.amount.push_back(0);
  }
  record.month.push_back(date.month);
  record.day.push_back(date.day);
  record.amount.push_back(amount);
  ++record.tabcnt;
}

bool After(const RuleDate& a, const RuleDate& b) { return a.month > b.month || (a.month == b.month && a.day > b.day); }

}  // namespace

void IrrigationRuleError(DiagnosticsLog& log, int entry) {
  log << "FATAL: irrigation description for irrigation type " << entry << " is wrong " << kRuleHelp << "[end-entry]";
  RaiseError(kTableEntryError);
}

void ParseIrrigationRules(DiagnosticsLog& log, int entry, std::string_view text,
                          std::span<const int, 12> month_lengths, IrrigationRecord& record) {
  const RuleReader reader(log, entry, month_lengths);
  constexpr std::string_view kStart = "starting from";
  std::size_t start = text.find(kStart);
  if (start == std::string_view::npos) reader.Fail();
  while (start != std::string_view::npos) {
    std::string_view rest = text.substr(start);
    if (rest.find("to") == std::string_view::npos && rest.find("times") == std::string_view::npos) reader.Fail();
    rest = rest.substr(kStart.size());
    RuleDate date = reader.Date(rest);
    rest = reader.After(rest, "with");
    const double first_amount = reader.Number(rest);

    if (rest.find("to") != std::string_view::npos) {
      rest = reader.After(rest, "to");
      const RuleDate end = reader.Date(rest);
      rest = reader.After(rest, "with");
      const double last_amount = reader.Number(rest);
      rest = reader.After(rest, "every");
      const int step = reader.Integer(rest);
      if (step < 1) reader.Fail();
      // The entries run from the start date in steps until the first date after the end
      // date; a rule whose start lies after its end within the year keeps its first entry.
      const int first = record.tabcnt + 1;
      AddEntry(record, date, first_amount, reader);
      const bool reaches_end = !After(date, end);
      while (reaches_end) {
        const bool turned = reader.Advance(date, step);
        if (turned || After(date, end)) break;
        AddEntry(record, date, 0, reader);
      }
      const int last = record.tabcnt;
      if (last == first) {
        // A one-entry schedule keeps its own amount (no interpolation over zero entries).
        record.amount[static_cast<std::size_t>(first)] = first_amount;
      } else {
        for (int j = first; j <= last; ++j) {
          record.amount[static_cast<std::size_t>(j)] =
              first_amount * (last - j) / (last - first) + last_amount * (j - first) / (last - first);
        }
      }
    } else if (rest.find("times") != std::string_view::npos) {
      rest = reader.After(rest, "mm");
      const int repeats = reader.Integer(rest);
      rest = reader.After(rest, "every");
      const int step = reader.Integer(rest);
      if (repeats < 1 || step < 1) reader.Fail();
      for (int k = 1; k <= repeats; ++k) {
        if (k > 1) reader.Advance(date, step);
        AddEntry(record, date, first_amount, reader);
      }
    } else {
      log << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n" << "[end-entry]";
      reader.Fail();
    }
    const std::size_t next = rest.find(kStart);
    start = next == std::string_view::npos ? next : static_cast<std::size_t>(rest.data() - text.data()) + next;
  }
}

namespace {

IrrigationRecord ReadIrrigationEntry(modelobject& reader, int i, std::span<const int, 12> month_lengths) {
  DiagnosticsLog& log = reader.log();
  ControlFileStream& file = reader.control_file();
  IrrigationRecord record;
  record.code = i;
  const std::optional<int> code = NextInt(file);
  const std::optional<std::string> name = code ? file.ReadToken() : std::nullopt;
  if (name && name->size() > kMaxIrrigationNameLength) {
    EntryError(log, i, ": the name \"" + *name + "\" is longer than " + std::to_string(kMaxIrrigationNameLength) +
                           " characters\n");
  }
  const std::optional<int> method = name ? NextInt(file) : std::nullopt;
  const std::optional<int> origin = method ? NextInt(file) : std::nullopt;
  if (!origin) EntryError(log, i, ": code, name, method, or origin could not be read correctly\n");
  record.code = *code;
  record.name = *name;
  record.method = static_cast<IrrigationMethod>(*method);
  record.origin = *origin;

  if (record.method == IrrigationMethod::DemandByEtRatio) {
    const std::optional<double> ratio = NextDouble(file);
    if (!ratio) EntryError(log, i, ": min(ETR/ETP) could not be read correctly\n");
    record.minETRbyETP = *ratio;
    record.psi_dry = 20;
    record.psi_wet = 3.45;
  } else {
    const std::optional<double> dry = NextDouble(file);
    const std::optional<double> wet = dry ? NextDouble(file) : std::nullopt;
    if (!wet) EntryError(log, i, ": psi_dry or psi_wet could not be read correctly\n");
    record.psi_dry = *dry;
    record.psi_wet = *wet;
  }

  switch (record.method) {
    case IrrigationMethod::FixedTable: {
      const std::optional<int> count = NextInt(file);
      if (!count || *count < 0) EntryError(log, i, ": tabcnt could not be read correctly\n");
      record.month.assign(1, 0);
      record.day.assign(1, 0);
      record.amount.assign(1, 0);
      for (int r = 1; r <= *count; ++r) {
        const std::optional<int> month = NextInt(file);
        const std::optional<int> day = month ? NextInt(file) : std::nullopt;
        const std::optional<double> amount = day ? NextDouble(file) : std::nullopt;
        if (!amount) {
          EntryError(log, i,
                     " month[" + std::to_string(r) + "] or day[" + std::to_string(r) + "] or amount[" +
                         std::to_string(r) + "] could not be read\n");
        }
        record.month.push_back(*month);
        record.day.push_back(*day);
        record.amount.push_back(*amount);
      }
      record.tabcnt = *count;
      break;
    }
    case IrrigationMethod::ScheduleRules:
      ParseIrrigationRules(log, i, file.ReadRestOfLine(), month_lengths, record);
      break;
    case IrrigationMethod::DemandBySuction:
    case IrrigationMethod::DemandByEtRatio:
      break;
  }
  return record;
}

}  // namespace

IrrigationSettings ReadIrrigationTable(modelobject& reader, std::span<const int, 12> month_lengths) {
  IrrigationSettings settings;
  reader.FindSection("[irrigation]", true);
  ControlFileStream& file = reader.control_file();
  const std::optional<std::string> token = file.ReadToken();
  settings.flag = token ? ParseIntPrefix(*token).value_or(0) : 0;
  if (settings.flag == 0) return settings;

  reader.FindSection("[irrigation_table]", true);
  int count = 0;
  reader.ReadItem(count, "[irrigation_table]: number of irrigation types");
  if (count < 0) {
    reader.log() << "FATAL: [irrigation_table]: the number of irrigation types must not be negative (here " << count
                 << ")" << "[end-entry]";
    RaiseError(kTableEntryError);
  }
  IrrigationTable table(1);
  table[0].code = count;
  for (int i = 1; i <= count; ++i) table.push_back(ReadIrrigationEntry(reader, i, month_lengths));
  settings.table = std::move(table);
  return settings;
}

}  // namespace tolvo
