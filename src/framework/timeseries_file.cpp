#include "framework/timeseries_file.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/run_context.h"

namespace tolvo {

namespace {

// Bytes of one record in the budget: its n values and the date.
long long RecordBytes(long long n_values) { return 8 * n_values + 16; }

// Number of reals that can be read one after the other from text.
long long CountReals(const std::string& text) {
  long long count = 0;
  const char* position = text.c_str();
  for (;;) {
    char* end = nullptr;
    std::strtod(position, &end);
    if (end == position) return count;
    ++count;
    position = end;
  }
}

// Skips white space; false at the end of the file.
bool SkipWhiteSpace(std::FILE* file) {
  int c = std::fgetc(file);
  while (c != EOF && std::isspace(c)) c = std::fgetc(file);
  if (c == EOF) return false;
  std::ungetc(c, file);
  return true;
}

}  // namespace

timeseries_file::timeseries_file(DiagnosticsLog& log) : log_(log) {}

timeseries_file::timeseries_file(DiagnosticsLog& log, std::string_view file_name, std::uint64_t byte_budget)
    : log_(log), file_name_(file_name), byte_budget_(byte_budget) {
  Open(file_name, byte_budget);
}

timeseries_file::~timeseries_file() = default;

void timeseries_file::Open(std::string_view file_name, std::uint64_t byte_budget) {
  if (state_ != kTimeseriesNotOpened) return;
  file_name_ = file_name;
  byte_budget_ = byte_budget;
  FilePtr file(std::fopen(file_name_.c_str(), "rb"));
  if (!file) {
    state_ = kTimeseriesOpenFailed;
    return;
  }
  std::FILE* f = file.get();

  // Header lines: every line whose first character is not a digit.
  header_lines_ = 0;
  long first_data_line = 0;
  for (;;) {
    first_data_line = std::ftell(f);
    int c = std::fgetc(f);
    if (c == EOF) {
      state_ = kTimeseriesReadFailed;
      return;
    }
    if (c >= '0' && c <= '9') break;
    ++header_lines_;
    while (c != '\n') {
      c = std::fgetc(f);
      if (c == EOF) {
        state_ = kTimeseriesReadFailed;
        return;
      }
    }
  }
  if (first_data_line < 0 || std::fseek(f, first_data_line, SEEK_SET) != 0) {
    log_ << "FATAL: cannot take the position of the first data line of " << file_name_ << "[end-entry]";
    RaiseError(kTimeseriesPositionError);
  }
  saved_position_ = first_data_line;

  // The first data line fixes the number of value columns.
  long long year = 0, month = 0, day = 0, hour = 0;
  if (std::fscanf(f, "%lld %lld %lld %lld", &year, &month, &day, &hour) != 4) {
    state_ = kTimeseriesReadFailed;
    return;
  }
  try {
    std::string rest;
    for (int c = std::fgetc(f); c != EOF && c != '\n'; c = std::fgetc(f)) rest.push_back(static_cast<char>(c));
    n_values_ = CountReals(rest);
  } catch (const std::bad_alloc&) {
    log_ << "FATAL: cannot buffer the first data line of " << file_name_ << "[end-entry]";
    RaiseError(kTimeseriesLineError);
  }

  if (std::fseek(f, 0, SEEK_END) != 0 || (end_position_ = std::ftell(f)) < 0) {
    log_ << "FATAL: cannot take the length of " << file_name_ << "[end-entry]";
    RaiseError(kTimeseriesPositionError);
  }
  file.reset();

  // A budget below one record would load empty blocks for ever.
  capacity_ = static_cast<long long>(byte_budget_ / static_cast<std::uint64_t>(RecordBytes(n_values_)));
  if (capacity_ == 0) {
    state_ = kTimeseriesOpenFailed;
    log_ << "FATAL: the byte budget of " << static_cast<long long>(byte_budget_) << " bytes for " << file_name_
         << " holds no record of " << n_values_ << " values (" << RecordBytes(n_values_) << " bytes needed)"
         << "[end-entry]";
    RaiseError(kTimeseriesBudgetTooSmall);
  }
  try {
    dates_.resize(static_cast<std::size_t>(capacity_));
    values_.resize(static_cast<std::size_t>(capacity_ * n_values_));
  } catch (const std::bad_alloc&) {
    state_ = kTimeseriesOpenFailed;
    log_ << "FATAL: no memory for " << capacity_ << " records of " << file_name_ << "[end-entry]";
    RaiseError(kMemoryErrorCode);
  }
  state_ = kTimeseriesMoreBlocks;
  LoadBlock();
}

void timeseries_file::LoadBlock() {
  cursor_ = 0;
  records_in_block_ = 0;
  FilePtr file(std::fopen(file_name_.c_str(), "rb"));
  if (!file || std::fseek(file.get(), saved_position_, SEEK_SET) != 0) {
    state_ = kTimeseriesReadFailed;
    return;
  }
  std::FILE* f = file.get();
  bool end_of_file = false;
  long long k = 0;
  while (k < capacity_) {
    // Trailing blanks and line ends, however many, and a remnant shorter than a record
    // end the data.
    if (!SkipWhiteSpace(f) || end_position_ - std::ftell(f) <= 9) {
      end_of_file = true;
      break;
    }
    RecordDate& date = dates_[static_cast<std::size_t>(k)];
    bool read = std::fscanf(f, "%lld %lld %lld %lld", &date.year, &date.month, &date.day, &date.hour) == 4;
    double* values = values_.data() + k * n_values_;
    for (long long v = 0; read && v < n_values_; ++v) read = std::fscanf(f, "%lf", &values[v]) == 1;
    if (!read) {
      state_ = kTimeseriesReadFailed;
      break;
    }
    ++k;
  }
  if (end_of_file && state_ == kTimeseriesMoreBlocks) state_ = kTimeseriesLastBlock;
  records_in_block_ = k;
  saved_position_ = std::ftell(f);
  // An empty last block (the records ended with the block before) holds no current record.
  if (state_ == kTimeseriesLastBlock && records_in_block_ == 0) state_ = kTimeseriesEnd;
}

void timeseries_file::NextRecord() {
  if (cursor_ < records_in_block_ - 1) {
    ++cursor_;
    return;
  }
  switch (state_) {
    case kTimeseriesMoreBlocks: LoadBlock(); return;
    // A failure is not turned into a plain end of the data.
    case kTimeseriesOpenFailed:
    case kTimeseriesReadFailed: return;
    default: state_ = kTimeseriesEnd; return;
  }
}

void timeseries_file::GetDate(int& year, int& month, int& day, int& hour) const {
  if (!on_record()) {
    year = month = day = hour = static_cast<int>(kNodata);
    return;
  }
  const RecordDate& date = dates_[static_cast<std::size_t>(cursor_)];
  year = static_cast<int>(date.year);
  month = static_cast<int>(date.month);
  day = static_cast<int>(date.day);
  hour = static_cast<int>(date.hour);
}

double timeseries_file::GetValue(long long column) const {
  if (column < 0 || column >= n_values_ || !on_record()) return kNodata;
  return values_[static_cast<std::size_t>(cursor_ * n_values_ + column)];
}

void timeseries_file::SetRecord(long long index) {
  if (index >= -1 && index <= records_in_block_) cursor_ = index;
}

void timeseries_file::MoveRecord(long long delta) {
  const long long index = cursor_ + delta;
  if (index >= -1 && index <= records_in_block_) cursor_ = index;
}

void timeseries_file::Release() {
  dates_ = {};
  values_ = {};
  capacity_ = 0;
  records_in_block_ = 0;
  cursor_ = -1;
  state_ = kTimeseriesNotOpened;
}

}  // namespace tolvo
