// The staged set-up of the example basin under 1, 2 and 3 processes.
#include "setup/defaultini.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <sstream>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "support/example_basin.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

class SetupStages : public ::testing::Test {
 protected:
  // Runs the stages on a copy of the example basin; the number of stages run, or the
  // error code of the failing one (negated).
  int RunStages(const test::SharedExampleBasin::Edits& edits = {}) {
    test::SharedExampleBasin basin(edits);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(basin.path());
    int result = 0;
    {
      DiagnosticsLog log("diag.xml", 4, console_);
      grid_table grids;
      StatisticsRegistry registry;
      defaultini reader(log, "basin.ctl", registry, 200, 2, grids);
      try {
        while (!reader.InitializeStep()) ++result;
        reader.InitGridStatistics();
        check_(reader, grids);
        reader.DeleteModule();
      } catch (const ErrorCode& error) {
        result = -error.code;
        failed_stage_ = reader.stage();
      }
    }
    std::filesystem::current_path(previous);
    return result;
  }

  bool rank0() const {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank == 0;
  }

  std::ostringstream console_;
  int failed_stage_ = -1;
  std::function<void(defaultini&, grid_table&)> check_ = [](defaultini&, grid_table&) {};
};

TEST_F(SetupStages, TheExampleBasinPassesEveryStageInOrder) {
  check_ = [&](defaultini& reader, grid_table& grids) {
    const ModelSettings& s = reader.GetSettings();
    EXPECT_EQ(s.compiled_control_file, "basin.ctl.$$$");
    EXPECT_EQ(s.geometry.ncols, 10);
    EXPECT_EQ(s.geometry.nrows, 8);
    EXPECT_EQ(s.geometry.cellsize, 100);
    EXPECT_EQ(s.geometry.xllcorner, 3500000);
    EXPECT_EQ(s.output_list, (std::vector<int>{1, 2}));
    EXPECT_EQ(s.zones.zone_count, 2);
    EXPECT_EQ(DateKey(s.start_date), DateKey(2020, 1, 1, 1));
    EXPECT_EQ(DateKey(s.end_date), DateKey(2020, 1, 31, 24));
    EXPECT_TRUE(s.formats.ascii);
    EXPECT_EQ(s.output_directory, "out/");
    EXPECT_EQ(s.site.latitude, 47.5);
    EXPECT_EQ(reader.ReadSubsteps(), 2);
    // Land-use and soil codes have become table indices.
    const int landuse = reader.FindGrid("landuse1", false);
    ASSERT_GT(landuse, 0);
    const int soils = reader.RequireGrid("soil_types");
    const RowRange own = s.strip;
    for (int r = own.first; r <= own.last; ++r) {
      for (int c = 1; c <= 10; ++c) {
        const double zone = grids.zone_grid().values(r, c);
        if (zone == kNodata) continue;
        EXPECT_TRUE(grids[landuse].values(r, c) == 1 || grids[landuse].values(r, c) == 2);
        EXPECT_GE(grids[soils].values(r, c), 1);
        EXPECT_LE(grids[soils].values(r, c), 3);
      }
    }
    EXPECT_GT(reader.FindGrid("MPIRegions", true), 0);
  };
  EXPECT_EQ(RunStages(), 23);
  if (!rank0()) return;
  // The set-up's own entries stand in the order of its stages.
  const std::string log = console_.str();
  std::size_t at = 0;
  for (const char* entry : {"compiling symbols in control file basin.ctl", "before reading variable grids0",
                            "generateMultiLayerParameterGrids...", "...ok", "check_irrig_Codes", "...ok",
                            "check_SOIL_Codes...", "...ok",
                            "make_Slope_and_Aspect...", "...ok", "check_ice_firn_grid...", "...ok",
                            "MakeRegionWeightGrids...", "...ok", "GetCouplingParameters...", "...ok"}) {
    const std::size_t found = log.find(entry, at);
    ASSERT_NE(found, std::string::npos) << entry;
    at = found + 1;
  }
  // The example basin irrigates: its irrigation codes are checked once.
  EXPECT_EQ(log.find("check_irrig_Codes", log.find("check_irrig_Codes") + 1), std::string::npos);
}

TEST_F(SetupStages, AMissingRadiationCorrectionSectionStopsStageFive) {
  EXPECT_EQ(RunStages({{"[radiation_correction]", "[radiation]"}}), -17);
  EXPECT_EQ(failed_stage_, 5);
}

}  // namespace
}  // namespace tolvo
