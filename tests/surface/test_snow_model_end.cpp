// The snow model outside its step: the "[snow_model]" section of the storage content
// file, dump files of inconsistent layered snow, the tracer inputs and the end of the run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/error_code.h"
#include "framework/tracer_settings_record.h"
#include "snow_basin_fixture.h"
#include "surface/snow_dumps.h"

namespace tolvo::test {
namespace {

class SnowModelEndTest : public LogFixture {
 protected:
  // Builds a dynamic glacier model (one glacier per sub-basin); its code.
  int BuildGlacierModel(SnowBasin& basin) {
    Grid& fraction = basin.NewGrid(0);
    fraction(4, 2) = 0.25;
    fraction(5, 3) = 1;
    Grid& codes = basin.NewGrid(5);
    for (int r = 1; r <= kSnowRows; ++r) codes(r, 3) = 6;
    basin.Add("GlacierizedCells", fraction);
    basin.Add("GlacierCodes", codes);
    return basin.Build(SnowSection(1) + IceFirnSection(11));
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_.file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // A section with 17 significant digits of awkward outflows, as a writer makes it.
  static std::string Section(int n) {
    std::string text = "[snow_model]\n" + std::to_string(n) + " (number of subasins)\n";
    char line[128];
    for (int i = 1; i <= n; ++i) {
      const double values[3] = {1.0 / (3 * i), 0.1 * i + 1e-17, 2.0 / 7 + i};
      const char* names[3] = {"Qice_slr", "Qfirn_slr", "Qsnow_slr"};
      for (int k = 0; k < 3; ++k) {
        std::snprintf(line, sizeof line, "%d\t%.17g(TG code and %s value)\n", i, values[k], names[k]);
        text += line;
      }
    }
    return text + "\n";
  }
};

TEST_F(SnowModelEndTest, StorageSectionRoundTripIsByteIdentical) {
  const std::string stored = "[unsatzon_model]\n2 (number of subasins)\n\n" + Section(2);
  WriteFile(dir_.file("state.txt"), stored);
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(BuildGlacierModel(basin), 0);
  schneemodellklasse& model = basin.model();
  EXPECT_DOUBLE_EQ(model.Qice_slr()[1], 0.5);  // the start value of [ice_firn]
  ASSERT_EQ(CodeOf([&] { model.ReadStorageContent("state.txt", 1); }), 0);
  EXPECT_EQ(model.Qice_slr()[1], 1.0 / 3);
  EXPECT_EQ(model.Qfirn_slr()[2], 0.2 + 1e-17);
  EXPECT_EQ(model.Qsnow_slr()[2], 2.0 / 7 + 2);
  // The end of the run creates the file when no earlier writer wrote it.
  model.SetInitialised(1);
  model.SetStorageAppend(false);
  model.DeleteModule();
  EXPECT_EQ(Read("state.txt"), Section(2));
}

TEST_F(SnowModelEndTest, StorageSectionIsAppendedAfterAnEarlierWriter) {
  WriteFile(dir_.file("state.txt"), "[routing_model]\n\n");
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(BuildGlacierModel(basin), 0);
  ASSERT_EQ(CodeOf([&] { basin.model().ReadStorageContent("state.txt", 3); }), 0);
  EXPECT_TRUE(Logged("[snow_model] not found in storage content file"));
  EXPECT_TRUE(Logged("glacier model will be run with cold start initialization values"));
  basin.model().SetInitialised(1);
  basin.model().DeleteModule();
  const std::string text = Read("state.txt");
  EXPECT_EQ(text.rfind("[routing_model]\n\n[snow_model]\n2 (number of subasins)\n1\t0.5(TG code and Qice_slr value)\n", 0),
            0u)
      << text;
}

TEST_F(SnowModelEndTest, StorageSectionFailures) {
  // Another number of sub-basins.
  WriteFile(dir_.file("three.txt"), Section(3));
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(BuildGlacierModel(basin), 0);
  EXPECT_EQ(CodeOf([&] { basin.model().ReadStorageContent("three.txt", 1); }), 71);
  EXPECT_TRUE(Logged("error in storage file content reading number of subbasins:\nvalue in actual control is:   2"
                     "\nbut value in storage file is: 3"));
  // A sub-basin line out of order.
  std::string swapped = Section(2);
  swapped.replace(swapped.find("\n2\t"), 3, "\n7\t");
  WriteFile(dir_.file("swapped.txt"), swapped);
  EXPECT_EQ(CodeOf([&] { basin.model().ReadStorageContent("swapped.txt", 1); }), 71);
  EXPECT_TRUE(Logged("subbasin code"));
  // A missing file: a cold start.
  EXPECT_EQ(CodeOf([&] { basin.model().ReadStorageContent("none.txt", 1); }), 0);
  EXPECT_TRUE(Logged("error opening storage content file"));
  // Read codes 2 and 4 neither read nor write.
  for (const int code : {2, 4}) {
    SnowBasin other{log_, dir_};
    ASSERT_EQ(BuildGlacierModel(other), 0);
    other.model().ReadStorageContent("three.txt", code);
    EXPECT_DOUBLE_EQ(other.model().Qice_slr()[1], 0.5);
    EXPECT_FALSE(other.model().WriteStorageContent(false));
  }
  // An output folder that does not exist: the section cannot be written.
  SnowBasin lost{log_, dir_};
  ASSERT_EQ(BuildGlacierModel(lost), 0);
  lost.model().ReadStorageContent("no/such/folder/state.txt", 0);
  EXPECT_EQ(CodeOf([&] { lost.model().WriteStorageContent(false); }), kWriteErrorCode);
  EXPECT_TRUE(Logged("error writing the section [snow_model] of the storage content file"));
  // Not initialised: the end of the run writes nothing.
  SnowBasin early{log_, dir_};
  ASSERT_EQ(BuildGlacierModel(early), 0);
  early.model().ReadStorageContent("early.txt", 0);
  early.model().DeleteModule();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("early.txt")));
}

TEST_F(SnowModelEndTest, WithoutGlaciersTheSectionHoldsZeros) {
  SnowBasin basin{log_, dir_};
  ASSERT_EQ(basin.Build(SnowSection(1)), 0);
  basin.model().ReadStorageContent("plain.txt", 1);
  ASSERT_TRUE(basin.model().WriteStorageContent(false));
  EXPECT_EQ(Read("plain.txt"),
            "[snow_model]\n2 (number of subasins)\n1\t0(TG code and Qice_slr value)\n1\t0(TG code and Qfirn_slr "
            "value)\n1\t0(TG code and Qsnow_slr value)\n2\t0(TG code and Qice_slr value)\n2\t0(TG code and "
            "Qfirn_slr value)\n2\t0(TG code and Qsnow_slr value)\n\n");
}

TEST(SnowDumps, FileName) {
  const ModelDate d{.year = 2001, .month = 1, .day = 5, .hour = 6};
  EXPECT_EQ(SnowDumpFileName(3, {.solid_gap = 2, .liquid_alone = 0}, 41, 17, d),
            "MPI_3_swes(2)_dump_row_41_col_17_2001010506.dmp");
  EXPECT_EQ(SnowDumpFileName(0, {.solid_gap = 0, .liquid_alone = 1}, 1, 2, {.year = 1999, .month = 12, .day = 31, .hour = 23}),
            "MPI_0_swel(1)_dump_row_1_col_2_1999123123.dmp");
}

TEST_F(SnowModelEndTest, InconsistentLayeredSnowIsDumped) {
  SnowBasin basin{log_, dir_};
  for (const char* id : {"SnowWaterEquivalentSolid", "SnowWaterEquivalentLiquid", "SnowLayerThickness", "SnowDensity"}) {
    basin.AddStack(id, 2);
  }
  basin.Add("upperIndexSnow", basin.NewGrid(3));
  ASSERT_EQ(basin.Build(SnowSection(1)), 0);
  schneemodellklasse& model = basin.model();
  const LayeredSnowProperties properties{2, {0, 0.1, 0.1}, {0, 100, 100}};
  model.LinkLayeredSnow(true, properties, 0);
  StackView solid = basin.Entry("SnowWaterEquivalentSolid").stack;
  StackView liquid = basin.Entry("SnowWaterEquivalentLiquid").stack;
  const ModelDate d{.year = 2001, .month = 1, .day = 5, .hour = 6};
  WorkingDirectory here(dir_.path());

  // Consistent: solid in both layers.
  solid(2, 2, 0) = 7;
  solid(2, 2, 1) = 3;
  solid(2, 2, 2) = 4;
  model.SetDumpOptions({.dump_mode = true, .close_after_dump = false, .repair_after_dump = false, .max_dump_files = 1});
  EXPECT_FALSE(model.DumpSnowCell(2, 2, d));
  EXPECT_EQ(model.dump_count(), 0);

  // A solid gap at layer 1: one file of 22 doubles and 4 integers for method 1.
  solid(2, 2, 2) = 0;
  EXPECT_FALSE(model.DumpSnowCell(2, 2, d));
  const std::string name = "MPI_0_swes(1)_dump_row_2_col_2_2001010506.dmp";
  ASSERT_TRUE(std::filesystem::exists(dir_.file(name)));
  EXPECT_EQ(std::filesystem::file_size(dir_.file(name)), 22 * 8 + 4 * 4u);
  std::ifstream in(dir_.file(name), std::ios::binary);
  double first = 0;
  in.read(reinterpret_cast<char*>(&first), sizeof first);
  EXPECT_EQ(first, 7);
  EXPECT_TRUE(Logged("maxDumpFiles=1 active!"));

  // The limit is reached: liquid without solid is counted but not written.
  liquid(3, 1, 1) = 1;
  EXPECT_FALSE(model.DumpSnowCell(3, 1, d));
  EXPECT_EQ(model.dump_count(), 2);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("MPI_0_swel(1)_dump_row_3_col_1_2001010506.dmp")));

  // -closeAfterDump: the step must stop with 199 after its cell loop.
  model.SetDumpOptions({.dump_mode = true, .close_after_dump = true, .repair_after_dump = false, .max_dump_files = 0});
  EXPECT_TRUE(model.DumpSnowCell(3, 1, d));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("MPI_0_swel(1)_dump_row_3_col_1_2001010506.dmp")));
  EXPECT_TRUE(Logged("command line option -closeAfterDump active!"));
  EXPECT_EQ(kSnowDumpAbort, 199);
}

TEST_F(SnowModelEndTest, TracersTakeTheirIrrigationOrInputGrid) {
  SnowBasin basin{log_, dir_};
  Grid& input1 = basin.NewGrid(1);
  Grid& irrigation2 = basin.NewGrid(2);
  basin.Add("concflux_tracer_1_input", input1);
  basin.Add("concflux_tracer_2_irrigation", irrigation2);
  ASSERT_EQ(basin.Build(SnowSection(1)), 0);
  std::vector<TracerSettingsRecord> tracers(3);
  tracers[1].name = "ab_";
  tracers[2].name = "cd_";
  ASSERT_EQ(CodeOf([&] {
              basin.model().InitTracers(2, tracers, basin.registry(), StatisticsRegistry::kCapacity);
            }),
            0);
  ASSERT_EQ(basin.model().tracer_input().size(), 3u);
  EXPECT_EQ(basin.model().tracer_input()[1](2, 2), 1);
  EXPECT_EQ(basin.model().tracer_input()[2](2, 2), 2);

  SnowBasin missing{log_, dir_};
  ASSERT_EQ(missing.Build(SnowSection(1)), 0);
  EXPECT_EQ(CodeOf([&] {
              missing.model().InitTracers(2, tracers, missing.registry(), StatisticsRegistry::kCapacity);
            }),
            kMissingGrid);
}

}  // namespace
}  // namespace tolvo::test
