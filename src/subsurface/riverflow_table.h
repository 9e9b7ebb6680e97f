#pragma once
// The river flow table between processes. Process 0 holds the routing's values; before a
// soil sub-step every process gets a copy, its river cells add their re-infiltration to
// it, and after the sub-step the additions of every process are summed into process 0's
// copy. Each process sends only what it added during the sub-step (its copy's
// re-infiltration minus the value it received), so water taken before the sub-step is
// counted once, whatever the number of processes.

#include <mpi.h>

#include <span>
#include <vector>

#include "framework/riverflow_record.h"

namespace tolvo {

// The MPI datatype of one record: the eight fields as eight blocks at their places, the
// extent that of the record (committed; the caller frees it).
MPI_Datatype MakeRiverflowRecordType();

// The user reduction: for each of the len records, the output's re-infiltration gains the
// input's; every other field of the output stays.
void RiverflowTableSum(void* in, void* inout, int* len, MPI_Datatype* type);

class RiverflowExchange {
 public:
  // Collective: every process's table becomes process 0's; remembers the re-infiltration
  // each record holds then.
  void Broadcast(std::span<RiverflowRecord> table);
  // Collective: adds every other process's re-infiltration since the broadcast to process
  // 0's records (process 0's own additions are in its copy already).
  void Reduce(std::span<RiverflowRecord> table);

 private:
  std::vector<double> received_;           // re-infiltration per record after the broadcast
  std::vector<RiverflowRecord> increments_;  // the records sent by a process other than 0
};

}  // namespace tolvo
