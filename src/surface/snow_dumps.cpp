#include "surface/snow_dumps.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "framework/error_code.h"
#include "surface/schneemodellklasse.h"

namespace tolvo {

SnowLayerFault FindSnowLayerFault(const LayeredSnow& snow, int r, int c) {
  SnowLayerFault fault;
  for (int k = 1; k < snow.n; ++k) {
    const double solid = snow.solid(r, c, k);
    if (solid > 0 && snow.solid(r, c, k + 1) <= 0) {
      fault.solid_gap = k;
      break;
    }
    if (snow.liquid(r, c, k) > 0 && solid <= 0) {
      fault.liquid_alone = k;
      break;
    }
  }
  return fault;
}

std::string SnowDumpFileName(int rank, const SnowLayerFault& fault, int r, int c, const ModelDate& date) {
  std::string name = "MPI_" + std::to_string(rank) + "_";
  if (fault.solid_gap != 0) name += "swes(" + std::to_string(fault.solid_gap) + ")_";
  if (fault.liquid_alone != 0) name += "swel(" + std::to_string(fault.liquid_alone) + ")_";
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%lld%02lld%02lld%02lld", date.year, date.month, date.day, date.hour);
  return name + "dump_row_" + std::to_string(r) + "_col_" + std::to_string(c) + "_" + stamp + ".dmp";
}

namespace {

// Collects the raw values of a dump record in the machine's byte order.
class DumpRecord {
 public:
  void Add(double v) { Append(&v, sizeof v); }
  void Add(std::int32_t v) { Append(&v, sizeof v); }
  void Add(ConstGridView grid, int r, int c) { Add(grid.empty() ? -9999.0 : grid(r, c)); }
  void AddLevels(ConstStackView stack, int r, int c, int last) {
    for (int l = 0; l <= last; ++l) Add(stack.empty() ? -9999.0 : stack(r, c, l));
  }
  const std::vector<char>& bytes() const { return bytes_; }

 private:
  void Append(const void* p, std::size_t n) {
    const char* b = static_cast<const char*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  std::vector<char> bytes_;
};

}  // namespace

bool schneemodellklasse::DumpSnowCell(int r, int c, const ModelDate& date) {
  if (!dump_options_.dump_mode || !layered_linked_ || layered_.n < 2) return false;
  const SnowLayerFault fault = FindSnowLayerFault(layered_, r, c);
  if (!fault.any()) return false;
  const long long limit = dump_options_.max_dump_files;
  bool write = false;
#pragma omp critical(snow_dump_count)
  write = limit == 0 || dump_count_ < limit;
  if (write) {
    const std::string file = SnowDumpFileName(rank(), fault, r, c, date);
    const std::vector<char> record = DumpRecordOfCell(r, c, date);
    std::ofstream out(file, std::ios::binary);
    out.write(record.data(), static_cast<std::streamsize>(record.size()));
    out.close();
    if (!out) {
#pragma omp critical(snow_dump_count)
      log() << "WARNING: the snow model could not write the dump file " << file << "[end-entry]";
    }
  }
  bool stop = false;
#pragma omp critical(snow_dump_count)
  {
    ++dump_count_;
    if (dump_options_.close_after_dump) {
      log() << "FATAL: \n\n -------- Snowm odel: command line option -closeAfterDump active! "
               "---------------------------------------------\n\n"
            << " a dumpfile has been written and Tolvo aborts now.\n"
            << "-------------------------------------------------------------\n\n"
            << "[end-entry]";
      stop = true;
    } else if (dump_count_ < limit && dump_options_.repair_after_dump) {
      log() << "DEBUG: \n ---- Snow model: command line option -repairAfterDump active! --------\n"
            << "nothing to here" << "[end-entry]";
    } else if (dump_count_ == limit) {
      log() << "DEBUG: \n ---- Snow model: command line option -dumpmode:<maxDumpFiles> with maxDumpFiles="
            << limit << " active! --------\n"
            << "\n " << limit
            << " has now be written. Continuing from now on without writing dump files for this instance and "
               "MPI-rank..."
            << "[end-entry]";
    }
  }
  return stop;
}

std::vector<char> schneemodellklasse::DumpRecordOfCell(int r, int c, const ModelDate& date) const {
  DumpRecord d;
  const int n = layered_.n;
  d.AddLevels(layered_.solid, r, c, n);
  d.AddLevels(layered_.liquid, r, c, n);
  d.AddLevels(layered_.thickness, r, c, n);
  d.AddLevels(layered_.density, r, c, n);
  d.Add(layered_.upper_index, r, c);
  for (const ConstGridView grid : {ConstGridView(snow_evaporation_), ConstGridView(solid_), ConstGridView(liquid_),
                                   ConstGridView(total_), temperature_, ConstGridView(albedo_)}) {
    d.Add(grid, r, c);
  }
  for (int k = 1; k <= landuse_layers_; ++k) d.Add(landuse_[static_cast<std::size_t>(k)], r, c);
  d.Add(elevation_, r, c);
  d.Add(water_input_, r, c);
  if (!glacier_fraction_.empty()) d.Add(glacier_fraction_, r, c);
  const bool glacier_store = !solid_on_glacier_.empty();
  const bool energy = settings_.traits.energy_balance;
  if (glacier_store) {
    for (const ConstGridView grid : {ConstGridView(solid_on_glacier_), ConstGridView(liquid_on_glacier_),
                                     ConstGridView(evaporation_on_glacier_)}) {
      d.Add(grid, r, c);
    }
    if (energy) {
      for (const ConstGridView grid : {ConstGridView(snow_temperature_on_glacier_),
                                       ConstGridView(surface_temperature_on_glacier_),
                                       ConstGridView(energy_balance_on_glacier_)}) {
        d.Add(grid, r, c);
      }
    }
  }
  if (energy) {
    for (const ConstGridView grid : {ConstGridView(snow_temperature_), ConstGridView(surface_temperature_state_),
                                     ConstGridView(energy_balance_), air_humidity_, cloudiness_, global_radiation_}) {
      d.Add(grid, r, c);
    }
  }
  if (!glacier_fraction_.empty() && ice_.dynamic()) d.AddLevels(firn_stack_.view(), r, c, ice_.firn_levels);
  if (lake_switch_ != 0) {
    d.Add(lake_codes_, r, c);
    d.Add(ponding_, r, c);
  }
  const int m = settings_.method;
  if (m != 1 && m != 8 && m != 9 && m != 10) d.Add(wind_, r, c);
  if (!corrected_radiation_.empty()) d.Add(corrected_radiation_, r, c);
  for (const long long v : {date.hour, date.day, date.month, date.year}) d.Add(static_cast<std::int32_t>(v));
  return d.bytes();
}

}  // namespace tolvo
