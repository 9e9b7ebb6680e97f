// The river flow table's datatype, reduction and the exchange around a soil sub-step.

#include "subsurface/riverflow_table.h"

#include <array>
#include <cstddef>

namespace tolvo {

MPI_Datatype MakeRiverflowRecordType() {
  const std::array<int, 8> counts = {10, 1, 1, 1, 1, 1, 1, 1};
  const std::array<MPI_Aint, 8> offsets = {
      offsetof(RiverflowRecord, flow_mm),        offsetof(RiverflowRecord, flowm3s),
      offsetof(RiverflowRecord, speed),          offsetof(RiverflowRecord, area_km2),
      offsetof(RiverflowRecord, reinfiltration), offsetof(RiverflowRecord, reserved),
      offsetof(RiverflowRecord, routing_object), offsetof(RiverflowRecord, channel)};
  const std::array<MPI_Datatype, 8> types = {MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE, MPI_DOUBLE,
                                             MPI_DOUBLE, MPI_DOUBLE, MPI_INT,    MPI_INT};
  MPI_Datatype fields = MPI_DATATYPE_NULL;
  MPI_Type_create_struct(8, counts.data(), offsets.data(), types.data(), &fields);
  MPI_Datatype record = MPI_DATATYPE_NULL;
  MPI_Type_create_resized(fields, 0, sizeof(RiverflowRecord), &record);
  MPI_Type_free(&fields);
  MPI_Type_commit(&record);
  return record;
}

void RiverflowTableSum(void* in, void* inout, int* len, MPI_Datatype* /*type*/) {
  const auto* a = static_cast<const RiverflowRecord*>(in);
  auto* b = static_cast<RiverflowRecord*>(inout);
  for (int i = 0; i < *len; ++i) b[i].reinfiltration += a[i].reinfiltration;
}

void RiverflowExchange::Broadcast(std::span<RiverflowRecord> table) {
  MPI_Datatype type = MakeRiverflowRecordType();
  MPI_Bcast(table.data(), static_cast<int>(table.size()), type, 0, MPI_COMM_WORLD);
  MPI_Type_free(&type);
  received_.resize(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) received_[i] = table[i].reinfiltration;
}

void RiverflowExchange::Reduce(std::span<RiverflowRecord> table) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Datatype type = MakeRiverflowRecordType();
  MPI_Op sum = MPI_OP_NULL;
  MPI_Op_create(&RiverflowTableSum, 1, &sum);
  const int count = static_cast<int>(table.size());
  if (rank == 0) {
    MPI_Reduce(MPI_IN_PLACE, table.data(), count, type, sum, 0, MPI_COMM_WORLD);
  } else {
    increments_.assign(table.begin(), table.end());
    for (std::size_t i = 0; i < table.size(); ++i) {
      const double before = i < received_.size() ? received_[i] : 0.0;
      increments_[i].reinfiltration = table[i].reinfiltration - before;
    }
    MPI_Reduce(increments_.data(), nullptr, count, type, sum, 0, MPI_COMM_WORLD);
  }
  MPI_Op_free(&sum);
  MPI_Type_free(&type);
}

}  // namespace tolvo
