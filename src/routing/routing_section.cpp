// The values of the section [routing_model] that the discharge routing reads after its
// module switch and time step, in their order in the file.
#include <climits>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "routing/abflussmodellklasse.h"

namespace tolvo {
namespace {

std::optional<double> NextReal(ControlFileStream& file) {
  const std::optional<std::string> token = file.ReadToken();
  return token ? ParseDoublePrefix(*token) : std::nullopt;
}

std::optional<int> NextInt(ControlFileStream& file) {
  const std::optional<std::string> token = file.ReadToken();
  return token ? ParseIntPrefix(*token) : std::nullopt;
}

// A table range the waterlevel-discharge tables can be built from: rows spaced by a finite
// positive logarithmic step, a row count an int holds, and at least one sub-interval.
bool UsableTableRange(const WQRange& range, int n_sub_intervals) {
  return range.qmin > 0 && range.qmax > range.qmin && std::isfinite(range.qmax) && range.intervals >= 1 &&
         range.intervals < INT_MAX && n_sub_intervals >= 1;
}

}  // namespace

void abflussmodellklasse::ReadTableRange() {
  ControlFileStream& file = control_file();
  std::optional<double> qmin = NextReal(file);
  std::optional<double> qmax = qmin ? NextReal(file) : std::nullopt;
  std::optional<double> intervals = qmax ? NextReal(file) : std::nullopt;
  std::optional<int> sub_intervals = intervals ? NextInt(file) : std::nullopt;
  if (!sub_intervals) {
    log() << "FATAL: values for min/max specific discharge and/or discharge and time interval splitting   \n"
             "not found in control file"
          << "[end-entry]";
    RaiseError(kMissingControlItem);
  }
  file.SkipLine();
  table_range_ = {.qmin = *qmin, .qmax = *qmax, .intervals = *intervals};
  n_sub_intervals_ = *sub_intervals;
  if (!UsableTableRange(table_range_, n_sub_intervals_)) {
    std::ostringstream values;
    values << "qmin " << *qmin << ", qmax " << *qmax << ", intervals " << *intervals << ", sub-intervals "
           << *sub_intervals;
    ControlFileValueError("[" + section() + "]",
                          "min/max specific discharge, intervals and sub-intervals of the waterlevel-discharge "
                          "tables (third line)",
                          values.str(),
                          "qmin > 0 l/s/km2, a finite qmax > qmin, intervals from 1 to " + std::to_string(INT_MAX - 1) +
                              " and at least 1 sub-interval");
  }
}

void abflussmodellklasse::ReadStatisticsSettings() {
  ControlFileStream& file = control_file();
  const std::string statistics_item = "name of the Qstatfiles for " + section();
  const std::optional<std::string> statistics_file = file.ReadToken();
  const std::optional<int> code = statistics_file ? NextInt(file) : std::nullopt;
  if (!code || statistics_file->size() > kMaxLineLength) ControlFileItemError(statistics_item, name());
  file.SkipLine();
  qstat_file_ = *statistics_file;
  qstat_code_ = *code;

  ReadItem(observed_file_, "name of spec.discharge files for " + section());
  int n_descriptors = 0;
  ReadItem(n_descriptors, "number column descriptors for " + section());
  n_gauge_descriptors_ = n_descriptors;
  ReadGaugeColumns(n_descriptors);
  ReadItem(rsquare_offset_, "Zeitoffset fuer Beginn der R-square-Berechnung fuer " + section());
}

void abflussmodellklasse::ReadGaugeColumns(int n_descriptors) {
  ControlFileStream& file = control_file();
  for (int i = 1; i <= n_descriptors; ++i) {
    const std::optional<int> code = NextInt(file);
    if (!code) {
      log() << "FATAL: error reading a subbasin index for column indexing in routing model"
            << "[end-entry]";
      RaiseError(kMissingControlItem);
    }
    const std::optional<int> column = NextInt(file);
    if (!column) {
      log() << "FATAL: error reading a column number for column indexing in routing model"
            << "[end-entry]";
      RaiseError(kMissingControlItem);
    }
    // A gauge belongs to a sub-basin of the zone table; any other code would index
    // nothing (or beyond the table).
    const bool known =
        *code >= 0 && *code <= subbasins_.largest_code && subbasins_.code_index[static_cast<std::size_t>(*code)] > 0;
    if (!known) {
      log() << "FATAL: the subbasin code " << *code << " for column indexing in routing model is no subbasin code"
            << "[end-entry]";
      RaiseError(kMissingControlItem);
    }
    gauge_columns_[static_cast<std::size_t>(subbasins_.code_index[static_cast<std::size_t>(*code)])] = *column;
    file.SkipLine();
  }
}

}  // namespace tolvo
