// The soil model's section of the storage content file: what a later run needs to go on
// where this one stopped. The section holds the sub-basin structure (compared on reading,
// the values in force come from the control file) and the flow-time queues and linear
// storage outflows of every tracer and sub-basin (taken over on reading). Each process
// writes and reads its own file.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_file_format.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

constexpr int kLineLength = 1200;

void SkipLine(std::FILE* file) {
  int ch = 0;
  while ((ch = std::fgetc(file)) != EOF && ch != '\n') {
  }
}

}  // namespace

void unsatzonmodellklasse::WriteStorageContent(bool append) {
  const std::string path = PrefixPath(output_directory(), settings_.storage_file);
  FilePtr file(std::fopen(path.c_str(), append ? "a" : "w"));
  if (!file) {
    log() << "FATAL: error opening storage content file " << path << " for writing" << "[end-entry]";
    RaiseError(kWriteErrorCode);
  }
  std::FILE* f = file.get();
  const int N = subbasins_.zone_count;
  const int T = std::max(TracerCount, 0);
  const SubbasinParameters& sp = settings_.subbasins;
  std::fprintf(f, "[unsatzon_model]\n");
  std::fprintf(f, "%d (number of subasins)\n", N);
  for (int s = 1; s <= N; ++s) std::fprintf(f, "%.0f\t", subbasins_.zones[static_cast<std::size_t>(s)].zonenwert);
  std::fprintf(f, "(code)\n");
  const auto row = [&](const std::vector<double>& v, const char* label) {
    for (int s = 1; s <= N; ++s) std::fprintf(f, "%.17g ", v[static_cast<std::size_t>(s)]);
    std::fprintf(f, "%s\n", label);
  };
  row(sp.kelsqd, "(kelsqd in min)");
  row(sp.kelsqi, "(kelsqi in min)");
  row(sp.flussdichte, "(drainage density)");
  row(sp.kelsqlat, "(inverse recession constant for baseflow [needed when using no groundwater model])");
  row(sp.max_baseflow, "(max. baseflow [needed when using no groundwater model])");
  row(sp.SR_Anteil, "(surface runoff fraction of snowmelt)");
  std::fprintf(f, "%d (number of tracers)\n", T);
  for (int t = 0; t <= T; ++t) {
    const auto ti = static_cast<std::size_t>(t);
    std::fprintf(f, "%d (0=runoff, 1...9 = tracers)\n", t);
    for (int s = 1; s <= N; ++s) {
      const auto si = static_cast<std::size_t>(s);
      std::fprintf(f, "%d %d (zone %d and maxzeit)\n", s, maxzeit_[si], s);
      for (int z = 1; z <= maxzeit_[si]; ++z) {
        const auto zi = static_cast<std::size_t>(z);
        const ZoneRecord& d = zone_qd_[ti][si][zi];
        const ZoneRecord& i = zone_qi_[ti][si][zi];
        std::fprintf(f, "%.17g %.17g %.17g %.17g %.17g (zoneFZT_QD.n/.sx/.zonenwert/.rel/.RelCellSum)\n", d.n, d.sx,
                     d.zonenwert, d.rel, d.RelCellSum);
        std::fprintf(f, "%.17g %.17g %.17g %.17g %.17g (zoneFZT_QI.n/.sx/.zonenwert/.rel/.RelCellSum)\n", i.n, i.sx,
                     i.zonenwert, i.rel, i.RelCellSum);
      }
      std::fprintf(f, "%.17g (QDd[%d][%d])\n", qdd_[ti][si], t, s);
      std::fprintf(f, "%.17g (QIi[%d][%d])\n", qii_[ti][si], t, s);
    }
  }
  std::fprintf(f, "\n");
  const bool write_failed = std::ferror(f) != 0;
  if (std::fclose(file.release()) != 0 || write_failed) {
    log() << "FATAL: error writing storage content file " << path << "[end-entry]";
    RaiseError(kWriteErrorCode);
  }
}

void unsatzonmodellklasse::storageValueMismatch(const std::string& label, double current, double stored) {
  log() << "FATAL: error in storage file content reading " << label << ":\nvalue in actual control is:   " << current
        << "\nbut value in storage file is: " << stored << "\nTolvo throws..." << "[end-entry]";
  RaiseError(kStorageFileMismatch);
}

void unsatzonmodellklasse::UnreadableStorageValue(const std::string& label, double current) {
  log() << "FATAL: error in storage file content reading " << label << ":\nvalue in actual control is:   " << current
        << "\nbut the storage file holds no readable value there" << "\nTolvo throws..." << "[end-entry]";
  RaiseError(kStorageFileMismatch);
}

int unsatzonmodellklasse::ReadStoredInt(const std::string& label, double current) {
  int v = 0;
  if (std::fscanf(storage_file_, "%d", &v) != 1) UnreadableStorageValue(label, current);
  return v;
}

void unsatzonmodellklasse::checkStorageValue(double current, const std::string& label) {
  double v = 0;
  if (std::fscanf(storage_file_, "%lf", &v) != 1) UnreadableStorageValue(label, current);
  const bool differ = v != 0 ? std::fabs((v - current) / v) > 1e-5 : current != 0;
  if (differ) storageValueMismatch(label, current, v);
}

void unsatzonmodellklasse::ReadStorageContent() {
  const std::string path = PrefixPath(input_directory(), settings_.storage_file);
  FilePtr file(std::fopen(path.c_str(), "rt"));
  if (!file) {
    log() << "FATAL: error opening storage content file " << path << "[end-entry]";
    RaiseError(kStorageFileOpenError);
  }
  // The handle is the model's while the section is read; it closes with `file`.
  struct Handle {
    std::FILE*& member;
    ~Handle() { member = nullptr; }
  } handle{storage_file_};
  storage_file_ = file.get();
  char line[kLineLength + 1];
  bool found = false;
  while (std::fgets(line, sizeof line, storage_file_) != nullptr) {
    if (std::strstr(line, "unsatzon_model") != nullptr) {
      found = true;
      break;
    }
  }
  if (!found) {
    log() << "FATAL: error locking for the section [unsatzon_model] in " << path << "[end-entry]";
    RaiseError(kStorageFileMismatch);
  }
  const int N = subbasins_.zone_count;
  const int T = std::max(TracerCount, 0);
  const SubbasinParameters& sp = settings_.subbasins;
  const auto exact = [&](const std::string& label, int current) {
    const int stored = ReadStoredInt(label, current);
    if (stored != current) storageValueMismatch(label, current, stored);
  };
  exact("number of subbasins", N);
  SkipLine(storage_file_);
  for (int s = 1; s <= N; ++s) {
    exact("subbasin code", static_cast<int>(subbasins_.zones[static_cast<std::size_t>(s)].zonenwert));
  }
  SkipLine(storage_file_);
  const auto row = [&](const std::vector<double>& v, const std::string& label) {
    for (int s = 1; s <= N; ++s) checkStorageValue(v[static_cast<std::size_t>(s)], label);
    SkipLine(storage_file_);
  };
  row(sp.kelsqd, "m");
  row(sp.kelsqi, "kelsqi");
  row(sp.flussdichte, "flussdichte");
  row(sp.kelsqlat, "kelsqlat");
  row(sp.max_baseflow, "Q0");
  row(sp.SR_Anteil, "SR_Anteil");
  exact("number of tracers", T);
  SkipLine(storage_file_);
  const auto record = [&](ZoneRecord& r, const std::string& label) {
    const int n = std::fscanf(storage_file_, "%lf %lf %lf %lf %lf", &r.n, &r.sx, &r.zonenwert, &r.rel, &r.RelCellSum);
    if (n != 5) storageValueMismatch(label, 5, std::max(n, 0));
    SkipLine(storage_file_);
  };
  const auto value = [&](double& v, const std::string& label) {
    if (std::fscanf(storage_file_, "%lf", &v) != 1) UnreadableStorageValue(label, v);
    SkipLine(storage_file_);
  };
  for (int t = 0; t <= T; ++t) {
    const auto ti = static_cast<std::size_t>(t);
    exact("actual tracers(0=runoff)", t);
    SkipLine(storage_file_);
    for (int s = 1; s <= N; ++s) {
      const auto si = static_cast<std::size_t>(s);
      exact("actual zone", s);
      exact("maxzeit of actual subbasin", maxzeit_[si]);
      SkipLine(storage_file_);
      for (int z = 1; z <= maxzeit_[si]; ++z) {
        const auto zi = static_cast<std::size_t>(z);
        record(zone_qd_[ti][si][zi], "number of fields for zonal statistics QD");
        record(zone_qi_[ti][si][zi], "number of fields for zonal statistics QI");
      }
      value(qdd_[ti][si], "QDd");
      value(qii_[ti][si], "QIi");
    }
  }
}

}  // namespace tolvo
