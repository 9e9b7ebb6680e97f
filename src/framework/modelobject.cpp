#include "framework/modelobject.h"

#include <mpi.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "framework/error_code.h"
#include "framework/model_settings.h"

namespace tolvo {

modelobject::modelobject(DiagnosticsLog& log, std::string control_file_name, OutputFormats formats,
                         std::string input_directory, std::string output_directory)
    : memory_handling(log),
      control_file_name_(std::move(control_file_name)),
      formats_(formats),
      input_directory_(std::move(input_directory)),
      output_directory_(std::move(output_directory)) {
  context_.diagnostics = &log;
  int initialised = 0;
  MPI_Initialized(&initialised);
  if (initialised) {
    MPI_Comm_rank(MPI_COMM_WORLD, &context_.rank);
    MPI_Comm_size(MPI_COMM_WORLD, &context_.process_count);
  }
}

bool modelobject::OpenControlFile(const std::string& path) {
  control_file_ = ControlFileStream(path);
  return control_file_.is_open();
}

int modelobject::FindSection(std::string_view section, bool fatal_at_end) {
  control_file_.Rewind();
  while (std::optional<std::string> token = control_file_.ReadToken()) {
    control_file_.SkipLine();
    if (*token == section) break;
  }
  if (!control_file_.AtEnd()) return 1;
  if (fatal_at_end) ControlFileItemError(section, "(EOF)");
  return 0;
}

void modelobject::ItemScanError(std::string_view description, const std::string& token) {
  log() << "--> In ." << "\n" << "  Next line in Tolvo control file: " << "[end-entry]";
  log() << QuotedExcerpt(token) << "[end-entry]";
  ControlFileItemError(description, name());
}

template <typename T, typename Parse>
int modelobject::ReadValue(T& target, std::string_view description, Parse parse, bool skip_rest) {
  const std::optional<std::string> token = control_file_.ReadToken();
  const auto value = token ? parse(*token) : std::nullopt;
  if (!value) ItemScanError(description, token.value_or(""));
  target = *value;
  if (skip_rest) control_file_.SkipLine();
  return 1;
}

int modelobject::ReadItemKeepLine(int& target, std::string_view description) {
  return ReadValue(target, description, ParseIntPrefix, false);
}

int modelobject::ReadItem(int& target, std::string_view description) {
  return ReadValue(target, description, ParseIntPrefix);
}

int modelobject::ReadItem(long long& target, std::string_view description) {
  return ReadValue(target, description, ParseLongPrefix);
}

int modelobject::ReadItem(double& target, std::string_view description) {
  return ReadValue(target, description, ParseDoublePrefix);
}

int modelobject::ReadItem(std::string& target, std::string_view description, std::size_t max_length) {
  return ReadValue(target, description, [max_length](const std::string& token) -> std::optional<std::string> {
    if (token.size() > max_length) return std::nullopt;
    return token;
  });
}

int modelobject::ReadItemPair(double& first, double& second, std::string_view description) {
  const std::optional<std::string> a = control_file_.ReadToken();
  const std::optional<double> x = a ? ParseDoublePrefix(*a) : std::nullopt;
  const std::optional<std::string> b = x ? control_file_.ReadToken() : std::nullopt;
  const std::optional<double> y = b ? ParseDoublePrefix(*b) : std::nullopt;
  if (!y) ControlFileItemError(description, name());
  first = *x;
  second = *y;
  control_file_.SkipLine();
  return 2;
}

int modelobject::ReadItemPair(int& first, int& second, std::string_view description) {
  const std::optional<std::string> a = control_file_.ReadToken();
  const std::optional<int> x = a ? ParseIntPrefix(*a) : std::nullopt;
  const std::optional<std::string> b = x ? control_file_.ReadToken() : std::nullopt;
  const std::optional<int> y = b ? ParseIntPrefix(*b) : std::nullopt;
  if (!y) ControlFileItemError(description, name());
  first = *x;
  second = *y;
  control_file_.SkipLine();
  return 2;
}

int modelobject::ReadItemPair(std::string& word, int& code, std::string_view description) {
  const std::optional<std::string> a = control_file_.ReadToken();
  const std::optional<std::string> b = a && a->size() <= kMaxLineLength ? control_file_.ReadToken() : std::nullopt;
  const std::optional<int> y = b ? ParseIntPrefix(*b) : std::nullopt;
  if (!y) ControlFileItemError(description, name());
  word = *a;
  code = *y;
  control_file_.SkipLine();
  return 2;
}

void modelobject::ControlFileItemError(std::string_view item, std::string_view module) {
  log() << "FATAL: error in control file, " << std::string(item) << "; " << std::string(module) << "not found!"
        << "[end-entry]";
  RaiseError(kMissingControlItem);
}

void modelobject::ControlFileValueError(std::string_view section, std::string_view item, std::string_view value,
                                        std::string_view expected) {
  log() << "FATAL: error in control file, " << std::string(item) << " in " << std::string(section) << ": "
        << std::string(value) << "; expected " << std::string(expected) << "[end-entry]";
  RaiseError(kMissingControlItem);
}

void modelobject::ControlFileValueError(std::string_view section, std::string_view item, double value,
                                        std::string_view expected) {
  std::ostringstream text;
  text << value;
  ControlFileValueError(section, item, text.str(), expected);
}

void modelobject::WriteError(std::string_view file_name, int code) {
  log() << "FATAL: write error " << std::string(file_name) << " ! (" << code << ")" << "[end-entry]";
  RaiseError(kWriteErrorCode);
}

void modelobject::ReadError(std::string_view file_name, int code) {
  log() << "FATAL: read error " << std::string(file_name) << " ! (" << code << ")" << "[end-entry]";
  RaiseError(kReadErrorCode);
}

void modelobject::WriteModelLog(std::string_view text) {
  if (rank() != 0) return;
  std::ofstream file("modell_" + std::to_string(rank()) + ".log", std::ios::app);
  if (!file) return;
  const std::time_t now = std::time(nullptr);
  char stamp[64];
  ctime_r(&now, stamp);  // ends with a line end
  file << stamp << ": " << text << "\n";
}

void modelobject::SetEndDate(long long year, long long month, long long day, long long hour) {
  end_date_ = {year, month, day, hour};
  end_date_key_ = DateKey(end_date_);
}

double modelobject::LinearInterpolation(double x1, double y1, double x2, double y2, double x) {
  if (x2 == x1) return y1;
  return (x - x1) / (x2 - x1) * y2 + (x2 - x) / (x2 - x1) * y1;
}

void modelobject::DeleteModule() {
  log() << "DEBUG: deleting module " << name() << "[end-entry]";
}

void modelobject::AdoptRunSettings(const ModelSettings& settings) {
  set_grid_table(settings.grids);
  set_geometry(settings.geometry);
  set_strip(settings.strip);
  set_domain_layout(settings.layout);
  set_min_to_int_end(settings.min_to_int_end);
  SetLogInterval(settings.log_interval);
  SetEndDate(settings.end_date.year, settings.end_date.month, settings.end_date.day, settings.end_date.hour);
  start_date() = settings.start_date;
}

}  // namespace tolvo
