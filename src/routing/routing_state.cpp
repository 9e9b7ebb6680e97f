// The routing section of the storage content file: per routing object the contents of
// the translation cascades of its channels, the storage state of every sub-channel, the
// river records of its tributaries and the content of its reservoirs. Values are written
// with 17 significant digits, so that a run restarted from the file continues exactly as
// the run that wrote it would have. Reading is positional: the counts follow from the
// current network, and the labels are checked where they carry the network's structure.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_file_format.h"
#include "routing/abflussmodellklasse.h"
#include "routing/routingclass.h"

namespace tolvo {

namespace {

// Reads numbers and labelled lines of one routing block; every failed conversion ends the
// run with the position of the label line last passed.
class StateReader {
 public:
  StateReader(std::FILE* file, const std::string& name, DiagnosticsLog& log) : file_(file), name_(name), log_(log) {}

  int Int() {
    int value = 0;
    if (std::fscanf(file_, "%d", &value) != 1) Fail("a whole number");
    return value;
  }
  double Real() {
    double value = 0;
    if (std::fscanf(file_, "%lf", &value) != 1) Fail("a number");
    return value;
  }
  // The rest of the current line (its label).
  std::string RestOfLine() {
    std::string text;
    for (int c = std::fgetc(file_); c != EOF && c != '\n'; c = std::fgetc(file_)) text += static_cast<char>(c);
    return text;
  }
  [[noreturn]] void Mismatch(const char* item, long long position) {
    log_ << "FATAL: error reading " << item << " in file " << name_ << " (position " << position << ")"
         << "[end-entry]";
    RaiseError(kStorageSectionError);
  }
  [[noreturn]] void Fail(const char* expected) {
    log_ << "FATAL: error reading " << expected << " in file " << name_ << " (position " << position << ")"
         << "[end-entry]";
    RaiseError(kStorageSectionError);
  }

  long long position = 1;

 private:
  std::FILE* file_;
  const std::string& name_;
  DiagnosticsLog& log_;
};

// The label of the line that holds the irrigation water the outlet's river still owes to
// the fields [routing mm]; only objects that irrigate from surface water write it.
constexpr const char* kIrrigationDebtLabel = "(irrigation water owed to the fields [mm])";

// The labels of the lines that hold, per tracer, what the rivers and the reservoirs of the
// sub-basins 1..n offer the irrigation of the next step: the irrigation plans with the
// water of the step before.
constexpr const char* kRiverOfferLabel = "(irrigation water the rivers offer, tracer";
constexpr const char* kReservoirOfferLabel = "(irrigation water the reservoirs offer, tracer";

// The owed irrigation water of the line after the reservoirs. A block without that line
// (an object without surface-water irrigation, or a file written before the water owed
// was kept) owes nothing, and the file stays where the line would have begun.
double ReadIrrigationDebt(std::FILE* file) {
  const long start = std::ftell(file);
  char line[1201];
  double debt = 0;
  if (std::fgets(line, sizeof line, file) != nullptr && std::strstr(line, kIrrigationDebtLabel) != nullptr &&
      std::sscanf(line, "%lf", &debt) == 1) {
    return debt;
  }
  std::fseek(file, start, SEEK_SET);
  return 0;
}

// Reads the next line (without its end) into `line`; false at the end of the file.
bool ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  int c = std::fgetc(file);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = std::fgetc(file)) line += static_cast<char>(c);
  return true;
}

// What names the line after a sub-channel's fill position that holds its overlap store:
// the water, then the tracer masses, that a change of the channel's travel time took out
// of the translation and that its outflow has not yet received.
constexpr const char* kOverlapStoreItem = "].OverlapStore[";

// The overlap store (water and T tracer masses, T + 1 values) from the line after a fill
// position. A file written before the store was kept has no such line: the store starts
// empty and the file stays where the line would have begun. False when the line is there
// but does not hold T + 1 numbers.
bool ReadOverlapStore(std::FILE* file, std::span<double> store) {
  const long start = std::ftell(file);
  std::string line;
  if (!ReadLine(file, line) || line.find(kOverlapStoreItem) == std::string::npos) {
    std::fseek(file, start, SEEK_SET);
    std::fill(store.begin(), store.end(), 0.0);
    return true;
  }
  const char* next = line.c_str();
  for (double& value : store) {
    char* end = nullptr;
    value = std::strtod(next, &end);
    if (end == next) return false;
    next = end;
  }
  return true;
}

// One cascade: its values from position 1 on, ten to a line.
void WriteCascade(std::FILE* file, const std::vector<double>& cascade) {
  for (std::size_t x = 1; x < cascade.size(); ++x) {
    std::fprintf(file, "%.17g ", cascade[x]);
    if (x % 10 == 0) std::fputc('\n', file);
  }
}

}  // namespace

void routingclass::WriteSubChannels(std::FILE* file, int m) {
  Channel& channel = channels_[static_cast<std::size_t>(m)];
  const int K = n_sub_intervals_;
  for (int s = 1; s <= channel.table.reach_count; ++s) {
    for (int j = 1; j <= K; ++j) std::fprintf(file, "%.17g ", channel.Qaus(s, j));
    std::fprintf(file, " (wqtab[local tributary %d].Qaus[subchannel %d][1..%d])\n", m, s, K);
    std::fprintf(file, "%.17g (wqtab[local tributary %d].qvzuq[subchannel %d])\n",
                 channel.qvzuq[static_cast<std::size_t>(s)], m, s);
    std::fprintf(file, "%d (wqtab[local tributary %d].FillPosition[subchannel %d])\n",
                 channel.fill_position[static_cast<std::size_t>(s)], m, s);
    for (int t = 0; t <= setup_.n_tracers; ++t) {
      std::fprintf(file, "%.17g ", channel.overlap_store[t][static_cast<std::size_t>(s)]);
    }
    std::fprintf(file, "(wqtab[local tributary %d%ssubchannel %d][0..%d])\n", m, kOverlapStoreItem, s,
                 setup_.n_tracers);
  }
}

void routingclass::WriteStorageContent(std::FILE* file) {
  const int T = setup_.n_tracers;
  TranslationCascades& cascades = *translation_cascade_;
  std::fprintf(file, "%d (routing subbasin with tributaries", setup_.own_code);
  for (int m = 1; m <= setup_.counts.ol; ++m) std::fprintf(file, " %d", channels_[static_cast<std::size_t>(m)].source_code);
  std::fputc('\n', file);
  ForEachTributary([&](int m, int b) {
    for (int t = 0; t <= T; ++t) {
      std::fprintf(file, "%d %d (tracer/flow index and tributary subbasin)\n", t, b);
      WriteCascade(file, cascades(t, b));
      std::fputc('\n', file);
    }
    WriteSubChannels(file, m);
    if (!river_records_.empty()) {
      const RiverflowRecord& record = river_records_[static_cast<std::size_t>(b)];
      for (int t = 0; t <= T; ++t) std::fprintf(file, "%.17g ", record.flow_mm[static_cast<std::size_t>(t)]);
      std::fprintf(file, "(riverflow_table[%d].flow_mm[%d])\n", b, T + 1);
      std::fprintf(file, "%.17g %.17g (riverflow_table[%d].flowm3s/speed\n", record.flowm3s, record.speed, b);
    }
  });
  for (int j = 1; j <= setup_.counts.zl; ++j) {
    const int m = setup_.counts.ol + setup_.counts.sumtrib + j;
    const int b = FlowIndex(m);
    for (int t = 0; t <= T; ++t) {
      std::fprintf(file, "%d %d (tracer/flow index and external inflow)\n", t, b);
      WriteCascade(file, cascades(t, b));
    }
    std::fputc('\n', file);
    WriteSubChannels(file, m);
  }
  std::fprintf(file, "%d (number of reservoirs)\n", reservoir_count());
  for (int k = 1; k <= reservoir_count(); ++k) {
    for (double v : reservoirs_[static_cast<std::size_t>(k)].content()) std::fprintf(file, "%.17g ", v);
    std::fprintf(file, " (reservoir %d)\n", k);
  }
  if (!demand_.empty()) std::fprintf(file, "%.17g %s\n", irrigation_debt_mm_, kIrrigationDebtLabel);
  std::fputs("\n\n", file);
}

void routingclass::ReadStorageContent(std::FILE* file, const std::string& name) {
  const int T = setup_.n_tracers;
  const int K = n_sub_intervals_;
  TranslationCascades& cascades = *translation_cascade_;
  StateReader in(file, name, log());
  if (in.Int() != setup_.own_code) in.Mismatch("subbasin code", 1);
  in.RestOfLine();
  const auto read_cascades = [&](int b) {
    for (int t = 0; t <= T; ++t) {
      ++in.position;
      const int tracer = in.Int();
      const int index = in.Int();
      if (tracer != t) in.Mismatch("tracer code", in.position);
      if (index != b) in.Mismatch("tributary index", in.position);
      in.RestOfLine();
      std::vector<double>& cascade = cascades(t, b);
      for (std::size_t x = 1; x < cascade.size(); ++x) cascade[x] = in.Real();
    }
  };
  const auto read_sub_channels = [&](int m) {
    Channel& channel = channels_[static_cast<std::size_t>(m)];
    for (int s = 1; s <= channel.table.reach_count; ++s) {
      for (int j = 1; j <= K; ++j) channel.Qaus(s, j) = in.Real();
      in.RestOfLine();
      channel.qvzuq[static_cast<std::size_t>(s)] = in.Real();
      in.RestOfLine();
      ++in.position;
      channel.fill_position[static_cast<std::size_t>(s)] = in.Int();
      // Files without the fill positions cannot restart the channels exactly.
      if (in.RestOfLine().find("FillPosition") == std::string::npos) {
        log() << "FATAL: error reading the fill position of sub-channel " << s << " of channel " << m << " in file "
              << name << " (position " << in.position << "): the file was written by an older version of the model"
              << "[end-entry]";
        RaiseError(kStorageSectionError);
      }
      ++in.position;
      std::vector<double> store(static_cast<std::size_t>(T) + 1);
      if (!ReadOverlapStore(file, store)) in.Fail("the overlap store");
      for (int t = 0; t <= T; ++t) {
        channel.overlap_store[t][static_cast<std::size_t>(s)] = store[static_cast<std::size_t>(t)];
      }
    }
  };
  bool failed = false;
  ForEachTributary([&](int m, int b) {
    if (failed) return;
    read_cascades(b);
    read_sub_channels(m);
    if (!river_records_.empty()) {
      RiverflowRecord& record = river_records_[static_cast<std::size_t>(b)];
      for (int t = 0; t <= T; ++t) record.flow_mm[static_cast<std::size_t>(t)] = in.Real();
      in.RestOfLine();
      record.flowm3s = in.Real();
      record.speed = in.Real();
      in.RestOfLine();
      in.position += 2;
    }
  });
  for (int j = 1; j <= setup_.counts.zl; ++j) {
    const int m = setup_.counts.ol + setup_.counts.sumtrib + j;
    read_cascades(FlowIndex(m));
    in.RestOfLine();
    read_sub_channels(m);
  }
  if (in.Int() != reservoir_count()) in.Mismatch("reservoir code", in.position + 1);
  in.RestOfLine();
  for (int k = 1; k <= reservoir_count(); ++k) {
    SP_class& reservoir = reservoirs_[static_cast<std::size_t>(k)];
    for (double& v : reservoir.content()) v = in.Real();
    in.RestOfLine();
    // A lake's level and the ponding of its cells follow the stored volume, as they do
    // after every routing step.
    reservoir.SetLevelFromVolume(reservoir.content()[0]);
  }
  irrigation_debt_mm_ = ReadIrrigationDebt(file);
}

void abflussmodellklasse::ReadStorageContent(const std::string& file, int read_code) {
  if (ModuleSwitch == 0 || rank() != 0) return;
  storage_file_ = file.substr(0, 1199);
  if (file.empty() || read_code == 0 || read_code == 2 || read_code == 4) return;
  const std::string path = PrefixPath(input_directory(), storage_file_);
  FilePtr in(std::fopen(path.c_str(), "rt"));
  if (!in) {
    log() << "FATAL: error opening storage content file " << path << "[end-entry]";
    RaiseError(kStorageFileOpenError);
  }
  for (;;) {
    char line[1201];
    if (std::fgets(line, sizeof line, in.get()) == nullptr) {
      log() << "FATAL: error looking for the section " << "routing_model" << " in " << path << "[end-entry]";
      RaiseError(kStorageSectionError);
    }
    if (std::string_view(line).find("routing_model") != std::string_view::npos) break;
  }
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->ReadStorageContent(in.get(), path);
  // The application hands the irrigation's demand over after the state is read: the
  // offers are read whenever the file holds them.
  ReadIrrigationOffers(in.get(), path);
}

void abflussmodellklasse::WriteIrrigationOffers(std::FILE* file) {
  const int n = subbasins_.zone_count;
  for (const auto& [offer, label] :
       {std::pair{&maxirrig_, kRiverOfferLabel}, {&maxirrig_from_reservoirs_, kReservoirOfferLabel}}) {
    for (int t = 0; t <= n_tracers_; ++t) {
      for (int i = 1; i <= n; ++i) std::fprintf(file, "%.17g ", (*offer)[t][static_cast<std::size_t>(i)]);
      std::fprintf(file, "%s %d)\n", label, t);
    }
  }
}

void abflussmodellklasse::ReadIrrigationOffers(std::FILE* file, const std::string& name) {
  const int n = subbasins_.zone_count;
  // The lines after the last routing object up to the next section; files written
  // before the offers were kept have none, and the irrigation starts without them.
  for (std::string line; ReadLine(file, line) && !line.starts_with('[');) {
    for (const auto& [offer, label] :
         {std::pair{&maxirrig_, kRiverOfferLabel}, {&maxirrig_from_reservoirs_, kReservoirOfferLabel}}) {
      const char* at = std::strstr(line.c_str(), label);
      int t = -1;
      if (at == nullptr || std::sscanf(at + std::strlen(label), "%d", &t) != 1 || t < 0 || t > n_tracers_) continue;
      const std::span<double> values = (*offer)[t];
      const char* next = line.c_str();
      for (int i = 1; i <= n; ++i) {
        char* end = nullptr;
        values[static_cast<std::size_t>(i)] = std::strtod(next, &end);
        if (end == next || end > at) {
          log() << "FATAL: error reading the irrigation water offered to sub-basin " << i << " in file " << name
                << ": the line \"" << label << " " << t << ")\" holds fewer than " << n << " values"
                << "[end-entry]";
          RaiseError(kStorageSectionError);
        }
        next = end;
      }
    }
  }
}

void abflussmodellklasse::HandStoredLakesToCells(const std::string& file, int read_code) {
  // Every process takes part: the owners of the lake cells receive the ponding that the
  // stored lake volumes give on process 0. A ponding grid written at the end of the
  // earlier run holds the lake before its last routing step.
  if (!lake_grids_bound_ || file.empty() || read_code == 0 || read_code == 2 || read_code == 4) return;
  ScatterLakePonding();
}

void abflussmodellklasse::WriteStorageContent() {
  const bool named = !storage_file_.empty();
  const std::string path = PrefixPath(output_directory(), named ? storage_file_ : std::string("storage.ftz"));
  FilePtr out(std::fopen(path.c_str(), "wt"));
  if (!out) {
    if (named) {
      log() << "WARNING: couldn't open file \"" << path
            << "\" \n(model version doesn't support this feature or write access error)"
            << "[end-entry]";
    } else {
      log() << "WARNING: couldn't open file " << path
            << " \n(no filename was given or model version \ndoesn't support this feature or the current user has "
               "no write access)"
            << "[end-entry]";
    }
    return;
  }
  std::fputs("[routing_model]\n", out.get());
  for (const std::unique_ptr<routingclass>& object : routing_objects_) object->WriteStorageContent(out.get());
  if (!demand_.empty()) WriteIrrigationOffers(out.get());
  std::fputc('\n', out.get());
  wrote_storage_content_ = true;
}

}  // namespace tolvo
