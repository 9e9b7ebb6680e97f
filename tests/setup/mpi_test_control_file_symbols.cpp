// The compiled control file is written by process 0 alone, and no process goes on before
// it is complete.

#include <gtest/gtest.h>
#include <mpi.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "setup/control_file_symbols.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

TEST(ControlFileSymbolsMpi, OnlyProcessZeroCompilesAndAllReadTheFinishedCopy) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // One folder for all processes: process 0 makes it and tells the others its name.
  std::unique_ptr<test::TempDir> dir;
  char folder[4096] = {};
  if (rank == 0) {
    dir = std::make_unique<test::TempDir>();
    const std::string path = dir->path().string();
    path.copy(folder, sizeof folder - 1);
    test::WriteFile(dir->file("run.ctl"), "$set $n = 42\n[model_time]\n$n # steps\n");
    // The other processes name a control file that does not exist; its compiled name is
    // a link to process 0's copy. Compiling it themselves would fail (28).
    std::filesystem::create_symlink(dir->file("run.ctl.$$$"), dir->file("other.ctl.$$$"));
  }
  MPI_Bcast(folder, sizeof folder, MPI_CHAR, 0, MPI_COMM_WORLD);
  const std::filesystem::path base(folder);
  const std::string source = (base / (rank == 0 ? "run.ctl" : "other.ctl")).string();

  std::ostringstream console;
  DiagnosticsLog log((base / "d.xml").string(), 4, console);
  const std::string compiled = CompileControlFile(source, log);
  EXPECT_EQ(compiled, source + ".$$$");
  EXPECT_EQ(test::ReadFile(compiled), "[model_time]\n42 \n");
  EXPECT_FALSE(std::filesystem::exists(base / "other.ctl"));
  MPI_Barrier(MPI_COMM_WORLD);  // the folder goes only when every process has read
}

}  // namespace
}  // namespace tolvo
