#pragma once
// The regression file of a meteorological input (methods 2 and 3): one record of
// regression parameters per step, as text or binary.
//
// Text: a header line whose first five bytes are "j", "r", any byte, "m", "o" (for example
// "jr mo dy hr ..."), then one line per record: year, month, day, hour and the 11
// parameters. Binary (any other first bytes): records of 120 bytes from the first byte
// on, four 64-bit integers (year, month, day, hour) and 11 doubles in native byte order.
// Years up to 999 are 1900 + year; a record whose year, month and day are all 0 ends the
// data.
//
// Parameters, in file order: intercept and gradient of the lower elevation range, upper
// limit of the lower range (m), intercept and gradient of the middle range, upper limit
// of the middle range (m), intercept and gradient of the upper range, then the constant,
// x and y coefficients of a horizontal correction plane.

#include <array>
#include <string>
#include <vector>

#include "meteo/meteo_text_file.h"
#include "meteo/station_file.h"

namespace tolvo {

using RegressionParameters = std::array<double, 11>;

inline constexpr int kRegressionBlockRecords = 16384;
inline constexpr std::size_t kRegressionRecordBytes = 4 * 8 + 11 * 8;

// Years up to 999 of a regression file are 1900 + year.
inline long long RegressionYear(long long year) { return year <= 999 ? 1900 + year : year; }

struct RegressionFileState {
  std::string file_name;
  bool text = false;
  ModelDate date;                     // of the current record
  RegressionParameters parameters{};  // of the current record

  // Record block, as for station files.
  int capacity = 0;
  int loaded = 0;
  int index = 0;
  std::vector<ModelDate> record_dates;
  std::vector<unsigned char> record_ends;
  std::vector<RegressionParameters> record_parameters;
  LinePosition next_block;
  LinePosition start_row;
  LinePosition saved_start_row;
};

// Decides text or binary, positions the file on the start date and makes its record
// current. Failures: 49 (cannot be opened, a record that cannot be read), 50, 51.
void OpenRegressionFile(const MeteoFileContext& context, RegressionFileState& file);
// Sizes the record block and marks it as used up.
void SizeRegressionBlock(RegressionFileState& file);
// Loads the next block; false when no complete record was left. Failures: 49, 50.
bool LoadRegressionBlock(const MeteoFileContext& context, RegressionFileState& file);
// Makes the next record current; with check_end_key, first sets end_of_data when the
// current date has reached end_key. Sets end_of_data when the records ended.
void NextRegressionRecord(const MeteoFileContext& context, RegressionFileState& file, long long end_key,
                          bool check_end_key, bool& end_of_data);
void RewindRegressionFile(RegressionFileState& file, const ModelDate& start);

}  // namespace tolvo
