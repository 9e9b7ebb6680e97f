#pragma once
// The per-zone record that the zone ranking, the zonal statistics tables and the
// flow-time zones share, and its MPI reduction and broadcast.
//
// A zone table is an array of ZoneRecord with indices 0..z for z zones (zones are
// 1-based; index i holds the zone with the i-th smallest code). The processes' sums n, sx
// and RelCellSum are combined on process 0 in rank order (ReduceZoneRecords) or made equal
// everywhere (BroadcastZoneRecords). The statistics tables do not reduce records: they
// keep exact sums of their own (zonal_statistic.h) and write the results into records.

#include <mpi.h>

#include <span>
#include <type_traits>

namespace tolvo {

struct ZoneRecord {
  double n = 0;           // count, or sum of weights, of the cells added this step
  double sx = 0;          // weighted sum of the values added
  double zonenwert = 0;   // the zone's code (an integer stored as a real)
  double rel = 0;         // the zone's relative area share
  double RelCellSum = 0;  // sum of the relative cell areas added: divisor of the zone mean
};
static_assert(std::is_standard_layout_v<ZoneRecord> && sizeof(ZoneRecord) == 5 * sizeof(double),
              "ZoneRecord travels over MPI as five contiguous doubles");

// Clears the sums n, sx and RelCellSum of records 0..z; codes and shares stay.
void ClearZoneSums(std::span<ZoneRecord> records, int z);

// ZoneRecordType: five contiguous doubles, committed on construction and freed on
// destruction (made and released around each use).
class ZoneRecordType {
 public:
  ZoneRecordType();
  ~ZoneRecordType();
  ZoneRecordType(const ZoneRecordType&) = delete;
  ZoneRecordType& operator=(const ZoneRecordType&) = delete;
  MPI_Datatype get() const { return type_; }

 private:
  MPI_Datatype type_ = MPI_DATATYPE_NULL;
};

// Collective: sums records 0..z of all processes on process 0, adding them in rank order
// so that the same records always give the same sums (in place there; the other
// processes' records are unchanged). n and sx are always summed; RelCellSum only when
// sum_rel_cell_sum is set, otherwise process 0 keeps its own RelCellSum values.
// records must hold at least z + 1 entries.
void ReduceZoneRecords(std::span<ZoneRecord> records, int z, bool sum_rel_cell_sum);

// Collective: makes n, sx and RelCellSum of records 0..z equal to process 0's on every
// process; zonenwert and rel keep each process's own values.
void BroadcastZoneRecords(std::span<ZoneRecord> records, int z);

}  // namespace tolvo
