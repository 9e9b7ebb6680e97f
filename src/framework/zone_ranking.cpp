#include "framework/zone_ranking.h"

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
int ZoneCode(const modelobject& reader, double v, const ZoneRankingMessages& messages) {
  const double code = std::trunc(v);
  if (!(code >= 0 && code <= kLargestZoneCode)) {
    reader.log() << "FATAL: " << messages.invalid_code << "[end-entry]";
    RaiseError(kInvalidZoneCode);
  }
  return static_cast<int>(code);
}

// Process 0: codes, indices, column ranges and the zone records with their first value,
// ordered by code.
void CollectZones(modelobject& reader, ConstGridView zone, const ZoneRankingMessages& messages,
                  ZoneRanking& ranking) {
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
      const int code = ZoneCode(reader, v, messages);
      if (code_index[code] != 0) continue;
      if (n + 1 > kMaxZones) {
        reader.log() << "FATAL: " << messages.too_many_zones << "[end-entry]";
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

// Process 0: cell counts, weight sums and area shares, over the cells CollectZones ranked.
void SumZones(modelobject& reader, ConstGridView zone, std::string_view zone_file_name, ConstGridView weights,
              const ZoneRankingMessages& messages, ZoneRanking& ranking) {
  const GridGeometry& g = reader.geometry();
  for (int r = 1; r <= g.nrows; ++r) {
    for (int c = 1; c <= g.ncols; ++c) {
      const double v = zone(r, c);
      if (!IsZoneCell(v, g.nodata_value)) continue;
      const double code = std::trunc(v);
      const int index = code >= 0 && code <= ranking.largest_code ? ranking.code_index[static_cast<int>(code)] : 0;
      if (index == 0) {
        reader.log() << "FATAL: zone value " << v << " in " << std::string(zone_file_name) << " at row " << r
                     << ", column " << c << " belongs to no ranked zone!" << "[end-entry]";
        RaiseError(kInvalidZoneCode);
      }
      ZoneRecord& record = ranking.zones[index];
      const double weight = weights.empty() ? 1.0 : weights(r, c);
      record.sx += 1;
      record.n += weight;
      record.RelCellSum += weight;
    }
  }
  double sum = 0;
  for (int k = 1; k <= ranking.zone_count; ++k) sum += ranking.zones[k].n;
  if (ranking.zone_count == 0 || sum == 0) {
    reader.log() << "FATAL: " << messages.no_zone_cell << "[end-entry]";
    RaiseError(kAllNodata);
  }
  for (int k = 1; k <= ranking.zone_count; ++k) ranking.zones[k].rel = ranking.zones[k].n / sum;
  ranking.zones[0].rel = sum * g.cellsize * g.cellsize / 1000000.0;
}

// Every process: the tables of process 0, in one message each.
void BroadcastRanking(const modelobject& reader, ZoneRanking& ranking) {
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
                         ConstGridView weights, RowRange own_rows, const ZoneRankingMessages& messages) {
  ZoneRanking ranking;
  try {
    ranking.column_ranges.assign(static_cast<std::size_t>(reader.geometry().nrows) + 1, ColumnRange{});
    int status = 0;
    if (reader.rank() == 0) {
      reader.log() << messages.ranking << "[end-entry]";
      try {
        CollectZones(reader, zone, messages, ranking);
        SumZones(reader, zone, zone_file_name, weights, messages, ranking);
      } catch (const ErrorCode& error) {
        status = error.code;
      }
    }
    if (reader.process_count() > 1) MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (status != 0) RaiseError(status);
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

ZoneRanking RankZoneGrid(modelobject& reader, ConstGridView zone, std::string_view zone_file_name,
                         ConstGridView weights, RowRange own_rows) {
  const std::string file(zone_file_name);
  const ZoneRankingMessages messages{
      .ranking = "ranking zones from " + file + " for " + reader.name(),
      .invalid_code = "invalid zone code in " + file + "!\n (codes has to be between 0 and " +
                      std::to_string(kLargestZoneCode) + ")!",
      .too_many_zones = "too much zones in " + file + ", (max. " + std::to_string(kMaxZones) + ")!",
      .no_zone_cell = "all cells in the zone grid " + file + " are NODATA!"};
  return RankZoneGrid(reader, zone, zone_file_name, weights, own_rows, messages);
}

}  // namespace tolvo
