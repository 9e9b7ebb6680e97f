#include "setup/zone_ranking.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"

namespace tolvo {

namespace {

// Two contiguous ints, committed on construction and freed on destruction.
class ColumnRangeType {
 public:
  ColumnRangeType() {
    MPI_Type_contiguous(2, MPI_INT, &type_);
    MPI_Type_commit(&type_);
  }
  ~ColumnRangeType() { MPI_Type_free(&type_); }
  ColumnRangeType(const ColumnRangeType&) = delete;
  ColumnRangeType& operator=(const ColumnRangeType&) = delete;
  MPI_Datatype get() const { return type_; }

 private:
  MPI_Datatype type_ = MPI_DATATYPE_NULL;
};

bool IsZoneCell(double v, double nodata) { return v != nodata; }

// The code of a zone value (truncated toward zero) after checking its range.
int ZoneCode(const modelobject& reader, double v, std::string_view zone_file_name) {
  const double code = std::trunc(v);
  if (!(code >= 0 && code <= kLargestZoneCode)) {
    reader.log() << "FATAL: invalid zone code in " << std::string(zone_file_name)
                 << "!\n (codes has to be between 0 and " << kLargestZoneCode << ")!" << "[end-entry]";
    RaiseError(kInvalidZoneCode);
  }
  return static_cast<int>(code);
}

// Process 0: codes, indices, column ranges and the zone records with their first value,
// ordered by code.
void CollectZones(modelobject& reader, ConstGridView zone, std::string_view zone_file_name, ZoneRanking& ranking) {
  const GridGeometry& g = reader.geometry();
  std::vector<int> code_index(kLargestZoneCode + 1, 0);
  std::vector<ZoneRecord> records(kMaxZones + 1);
  int n = 0;
  for (int r = 1; r <= g.nrows; ++r) {
    ColumnRange& range = ranking.column_ranges[r];
    for (int c = 1; c <= g.ncols; ++c) {
      const double v = zone(r, c);
      if (!IsZoneCell(v, g.nodata_value)) continue;
      if (range.first == 0) range.first = c;
      range.last = c;
      const int code = ZoneCode(reader, v, zone_file_name);
      if (code_index[code] != 0) continue;
      if (n + 1 > kMaxZones) {
        reader.log() << "FATAL: too much zones in " << std::string(zone_file_name) << ", (max. " << kMaxZones
                     << ")!" << "[end-entry]";
        RaiseError(kTooManyZones);
      }
      code_index[code] = ++n;
      ranking.largest_code = std::max(ranking.largest_code, code);
      records[n] = ZoneRecord{};
      records[n].zonenwert = v;
    }
  }
  std::sort(records.begin() + 1, records.begin() + 1 + n,
            [](const ZoneRecord& a, const ZoneRecord& b) { return a.zonenwert < b.zonenwert; });
  for (int k = 1; k <= n; ++k) code_index[static_cast<int>(records[k].zonenwert)] = k;
  ranking.zone_count = n;
  ranking.zones.assign(records.begin(), records.begin() + n + 1);
  ranking.code_index.assign(code_index.begin(), code_index.begin() + ranking.largest_code + 1);
}

// Process 0: cell counts, weight sums and area shares.
void SumZones(modelobject& reader, ConstGridView zone, std::string_view zone_file_name, ConstGridView weights,
              ZoneRanking& ranking) {
  const GridGeometry& g = reader.geometry();
  for (int r = 1; r <= g.nrows; ++r) {
    const ColumnRange range = ranking.column_ranges[r];
    for (int c = std::max(range.first, 1); c <= range.last; ++c) {
      const double v = zone(r, c);
      if (!IsZoneCell(v, g.nodata_value)) continue;
      ZoneRecord& record = ranking.zones[ranking.code_index[static_cast<int>(v)]];
      const double weight = weights.empty() ? 1.0 : weights(r, c);
      record.sx += 1;
      record.n += weight;
      record.RelCellSum += weight;
    }
  }
  double sum = 0;
  for (int k = 1; k <= ranking.zone_count; ++k) sum += ranking.zones[k].n;
  if (ranking.zone_count == 0 || sum == 0) {
    reader.log() << "FATAL: all cells in the zone grid " << std::string(zone_file_name) << " are NODATA!"
                 << "[end-entry]";
    RaiseError(kAllNodata);
  }
  for (int k = 1; k <= ranking.zone_count; ++k) ranking.zones[k].rel = ranking.zones[k].n / sum;
  ranking.zones[0].rel = sum * g.cellsize * g.cellsize / 1000000.0;
}

// Every process: the tables of process 0, in one message each.
void BroadcastRanking(modelobject& reader, ZoneRanking& ranking) {
  MPI_Bcast(&ranking.zone_count, 1, MPI_INT, 0, MPI_COMM_WORLD);
  MPI_Bcast(&ranking.largest_code, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (reader.rank() != 0) {
    ranking.zones.resize(static_cast<std::size_t>(ranking.zone_count) + 1);
    ranking.code_index.resize(static_cast<std::size_t>(ranking.largest_code) + 1);
  }
  MPI_Bcast(ranking.code_index.data(), ranking.largest_code + 1, MPI_INT, 0, MPI_COMM_WORLD);
  {
    const ZoneRecordType type;
    MPI_Bcast(ranking.zones.data(), ranking.zone_count + 1, type.get(), 0, MPI_COMM_WORLD);
  }
  const ColumnRangeType type;
  MPI_Bcast(ranking.column_ranges.data(), static_cast<int>(ranking.column_ranges.size()), type.get(), 0,
            MPI_COMM_WORLD);
}

}  // namespace

ZoneRanking RankZoneGrid(modelobject& reader, ConstGridView zone, std::string_view zone_file_name,
                         ConstGridView weights, RowRange own_rows) {
  ZoneRanking ranking;
  try {
    ranking.column_ranges.assign(static_cast<std::size_t>(reader.geometry().nrows) + 1, ColumnRange{});
    if (reader.rank() == 0) {
      reader.log() << "ranking zones from " << std::string(zone_file_name) << " for " << reader.name()
                   << "[end-entry]";
      CollectZones(reader, zone, zone_file_name, ranking);
      SumZones(reader, zone, zone_file_name, weights, ranking);
    }
    if (reader.process_count() > 1) BroadcastRanking(reader, ranking);
  } catch (const std::bad_alloc&) {
    reader.MemoryError(1);
  }
  if (reader.rank() != 0) {
    for (int r = 1; r < static_cast<int>(ranking.column_ranges.size()); ++r) {
      if (!own_rows.contains(r)) ranking.column_ranges[r] = ColumnRange{};
    }
  }
  return ranking;
}

}  // namespace tolvo
