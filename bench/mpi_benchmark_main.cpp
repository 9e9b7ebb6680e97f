// The main of every benchmark: the grid readers and writers and the statistics tables make
// collective MPI calls, so MPI runs around the benchmarks (as one process unless started
// under mpirun).
#include <benchmark/benchmark.h>
#include <mpi.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  MPI_Finalize();
  return 0;
}
