#include "setup/glacier_subbasins.h"

#include <mpi.h>

#include <algorithm>

namespace tolvo {
namespace {

// Three doubles per record travel over MPI: the flag as 0 or 1, then the two areas.
constexpr int kValuesPerRecord = 3;

}  // namespace

std::vector<GlacierSubbasinRecord> CountGlacierSubbasins(const RunContext& run, ConstGridView zone,
                                                         ConstGridView glacier, const SoilSubbasinTable& subbasins) {
  const auto n = static_cast<std::size_t>(subbasins.zone_count) + 1;
  std::vector<GlacierSubbasinRecord> records(n);
  const double nodata = run.geometry.nodata_value;
  if (run.rank == 0 && !zone.empty() && !glacier.empty()) {
    const int first = std::max(zone.rows().first, glacier.rows().first);
    const int last = std::min(zone.rows().last, glacier.rows().last);
    const int ncols = std::min(zone.ncols(), glacier.ncols());
    for (int r = first; r <= last; ++r) {
      for (int c = 1; c <= ncols; ++c) {
        const double z = zone(r, c);
        if (z == nodata) continue;
        const int code = static_cast<int>(z);
        if (code < 0 || code > subbasins.largest_code) continue;
        const int i = subbasins.code_index[static_cast<std::size_t>(code)];
        if (i <= 0) continue;
        GlacierSubbasinRecord& rec = records[static_cast<std::size_t>(i)];
        const double g = glacier(r, c);
        if (g > 0) {
          const double f = std::min(g, 1.0);
          rec.hasGlacier = true;
          rec.glacierArea += f;
          rec.nonGlacierArea += 1 - f;
        } else {
          rec.nonGlacierArea += 1;
        }
      }
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  std::vector<double> packed(n * kValuesPerRecord);
  for (std::size_t i = 0; i < n; ++i) {
    packed[i * kValuesPerRecord] = records[i].hasGlacier ? 1 : 0;
    packed[i * kValuesPerRecord + 1] = records[i].glacierArea;
    packed[i * kValuesPerRecord + 2] = records[i].nonGlacierArea;
  }
  MPI_Bcast(packed.data(), static_cast<int>(packed.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  for (std::size_t i = 0; i < n; ++i) {
    records[i] = {packed[i * kValuesPerRecord] != 0, packed[i * kValuesPerRecord + 1],
                  packed[i * kValuesPerRecord + 2]};
  }
  return records;
}

}  // namespace tolvo
