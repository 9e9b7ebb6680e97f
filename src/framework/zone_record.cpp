#include "framework/zone_record.h"

#include <array>
#include <cassert>
#include <cstddef>
#include <vector>

namespace tolvo {

void ClearZoneSums(std::span<ZoneRecord> records, int z) {
  assert(z >= 0 && static_cast<std::size_t>(z) < records.size());
  for (ZoneRecord& record : records.first(static_cast<std::size_t>(z) + 1)) {
    record.n = 0;
    record.sx = 0;
    record.RelCellSum = 0;
  }
}

ZoneRecordType::ZoneRecordType() {
  MPI_Type_contiguous(5, MPI_DOUBLE, &type_);
  MPI_Type_commit(&type_);
}

ZoneRecordType::~ZoneRecordType() {
  if (type_ != MPI_DATATYPE_NULL) MPI_Type_free(&type_);
}

namespace {

int WorldRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

// The broadcast form of a record: five doubles at byte offsets 0, 8, 16, 24 and 32.
class FiveDoubleStructType {
 public:
  FiveDoubleStructType() {
    std::array<int, 5> lengths{1, 1, 1, 1, 1};
    std::array<MPI_Aint, 5> offsets{0, 8, 16, 24, 32};
    std::array<MPI_Datatype, 5> types{MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE};
    MPI_Type_create_struct(5, lengths.data(), offsets.data(), types.data(), &type_);
    MPI_Type_commit(&type_);
  }
  ~FiveDoubleStructType() { MPI_Type_free(&type_); }
  FiveDoubleStructType(const FiveDoubleStructType&) = delete;
  FiveDoubleStructType& operator=(const FiveDoubleStructType&) = delete;
  MPI_Datatype get() const { return type_; }

 private:
  MPI_Datatype type_ = MPI_DATATYPE_NULL;
};

}  // namespace

void ReduceZoneRecords(std::span<ZoneRecord> records, int z, bool sum_rel_cell_sum) {
  assert(z >= 0 && static_cast<std::size_t>(z) < records.size());
  const std::size_t count = static_cast<std::size_t>(z) + 1;
  const int values = static_cast<int>(count * 5);
  if (WorldRank() != 0) {
    MPI_Gather(records.data(), values, MPI_DOUBLE, nullptr, values, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    return;
  }
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  std::vector<ZoneRecord> all(count * static_cast<std::size_t>(size));
  MPI_Gather(records.data(), values, MPI_DOUBLE, all.data(), values, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  for (std::size_t i = 0; i < count; ++i) {
    ZoneRecord& sum = records[i];
    for (std::size_t k = 1; k < static_cast<std::size_t>(size); ++k) {
      const ZoneRecord& other = all[k * count + i];
      sum.n += other.n;
      sum.sx += other.sx;
      if (sum_rel_cell_sum) sum.RelCellSum += other.RelCellSum;
    }
  }
}

void BroadcastZoneRecords(std::span<ZoneRecord> records, int z) {
  assert(z >= 0 && static_cast<std::size_t>(z) < records.size());
  const std::size_t count = static_cast<std::size_t>(z) + 1;

  // Only the three sums travel; each process's codes and shares stay its own.
  std::vector<ZoneRecord> sums(count);
  for (std::size_t i = 0; i < count; ++i) {
    sums[i].n = records[i].n;
    sums[i].sx = records[i].sx;
    sums[i].RelCellSum = records[i].RelCellSum;
  }
  {
    const FiveDoubleStructType type;
    MPI_Bcast(sums.data(), static_cast<int>(count), type.get(), 0, MPI_COMM_WORLD);
  }
  for (std::size_t i = 0; i < count; ++i) {
    records[i].n = sums[i].n;
    records[i].sx = sums[i].sx;
    records[i].RelCellSum = sums[i].RelCellSum;
  }
}

}  // namespace tolvo
