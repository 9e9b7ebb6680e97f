// A reservoir's output file: a header at set-up, one buffered row per routing step.
#include <cstdio>
#include <string>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/signals.h"
#include "framework/tracer_settings_record.h"
#include "routing/sp_class.h"

namespace tolvo {
namespace {

constexpr const char* kHeader =
    "YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\tQin[m3]\tQin[mm]\tQin[m3s]\tQout[m3]\tQout[mm]\tQout[m3s]\tIrrig[m3]\t"
    "Irrig[mm]\tIrrig[m3s]\tQGW[m3]\tQGW[mm]\tQGW[m3s]\tETR[m3]\tETR[mm]\tETR[m3s]\tPREC[m3]\tPREC[mm]\tPREC[m3s]\t"
    "dV[m3]\tdV[mm]\tdV[m3s]\tAbstr[m3]\tAbstr[mm]\tAbstr[m3s]\tErr[m3]\tErr[mm]\tErr[m3s]";

// The order of the balance terms in a row.
constexpr BalanceTerm kRowOrder[kBalanceTerms] = {BalanceTerm::kQin, BalanceTerm::kQout, BalanceTerm::kIrrig,
                                                  BalanceTerm::kQgw, BalanceTerm::kEtr,  BalanceTerm::kPrec,
                                                  BalanceTerm::kDv,  BalanceTerm::kAbstr, BalanceTerm::kErr};

}  // namespace

void SP_class::CreateOutputFile() {
  FilePtr file(std::fopen(file_name_.c_str(), "w"));
  if (!file) {
    *log_ << "FATAL: error opening " << file_name_ << " for reservoir " << code_ << "[end-entry]";
    RaiseError(kReservoirFileCreateError);
  }
  std::string names;
  for (int k = 1; k <= setup_.n_tracers; ++k) names += "\t" + setup_.tracers[static_cast<std::size_t>(k)].name;
  const std::string text = kHeader + names + "\nreservoir_" + std::to_string(code_) + "\n" + kHeader + names + "\n";
  const bool written = std::fputs(text.c_str(), file.get()) >= 0;
  if (!written || std::fclose(file.release()) != 0) {
    *log_ << "FATAL: error opening " << file_name_ << " for reservoir " << code_ << "[end-entry]";
    RaiseError(kReservoirFileCreateError);
  }
}

void SP_class::AppendOutputRow(int year, int month, int day, int hour) {
  if (rows_used_ >= capacity_) FlushOutput(1);
  const int n = setup_.n_tracers;
  const std::size_t width = static_cast<std::size_t>(n) + 34;
  double* row = rows_.data() + static_cast<std::size_t>(rows_used_) * width;
  std::size_t i = 0;
  for (double v : {static_cast<double>(year), static_cast<double>(month), static_cast<double>(day),
                   static_cast<double>(hour), LevelFromVolume(content_[0]), area_, content_[0]}) {
    row[i++] = v;
  }
  for (BalanceTerm t : kRowOrder) {
    const BalanceValue& value = balance(t);
    row[i++] = value.volume_m3;
    row[i++] = value.depth_mm;
    row[i++] = value.rate_m3s;
  }
  for (int k = 1; k <= n; ++k) row[i++] = content_[static_cast<std::size_t>(k)];
  ++rows_used_;
  values_per_row_ = 30 + n;
}

void SP_class::FlushOutput(int flag) {
  if (flag > 0 && rows_used_ > 0) WriteBufferedRows();
}

void SP_class::WriteBufferedRows() {
  IgnoreCtrlC();
  *log_ << "flushing to disk: " << file_name_ << " (" << 2097152 << " buffersize)"
        << "[end-entry]";
  FilePtr file(std::fopen(file_name_.c_str(), "a+"));
  if (!file) {
    ArmCtrlCHandler();
    *log_ << "FATAL: error opening reservoir file " << file_name_ << "[end-entry]";
    RaiseError(kReservoirFileAppendError);
  }
  const std::size_t width = static_cast<std::size_t>(setup_.n_tracers) + 34;
  for (int j = 0; j < rows_used_; ++j) {
    const double* row = rows_.data() + static_cast<std::size_t>(j) * width;
    std::fprintf(file.get(), "%2.0lf\t%2.0lf\t%2.0lf\t%2.0lf", row[0], row[1], row[2], row[3]);
    for (int v = 0; v < values_per_row_; ++v) std::fprintf(file.get(), "\t%lg", row[4 + v]);
    std::fputc('\n', file.get());
  }
  file.reset();
  rows_used_ = 0;
  values_per_row_ = 0;
  ArmCtrlCHandler();
}

}  // namespace tolvo
