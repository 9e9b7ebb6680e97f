// The snow model built by 1, 2 or 3 processes: the storage rows of a slide method, slides
// carrying snow and its tracers across processes, the elevation order on process 0 only,
// glacier sub-basin records alike on every process, and the end of the glacier year with
// its area change.
#include <gtest/gtest.h>
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "snow_basin_fixture.h"
#include "support/row_bands.h"

namespace tolvo::test {
namespace {

// Digests of what a run by one process gives across the evaluation date (the test below).
constexpr const char* kAcrossTheEvaluationDate =
    "snow_storage_total 9d2883e92476d22c\n"
    "snowstorage_solid cf44d29030e6b113\n"
    "snowstorage_liquid 7cc88f4679431712\n"
    "days_snow 40fb5eff1e85f753\n"
    "snow_age 9fd9232da2e58d02\n"
    "snow_fraction 581724076a61d3b2\n"
    "rain_fraction f97d6f82fb3b1785\n"
    "snowcover_outflow c41d39db874d3445\n"
    "melt_from_snowcover 6b3892df976062b3\n"
    "albedo ddd30e2cbfc5f11c\n"
    "melt_from_firn 70909a637cff3e57\n"
    "melt_from_ice 6b3892df976062b3\n"
    "GlacierizedCells 31f74c05fd60324b\n"
    "GlacierCodes 934367173875614f\n"
    "GlacierizedCellsOld 31f74c05fd60324b\n"
    "GlacierCodesOld 5e87a9148bfec4a1\n"
    "GlacierMassBalance 974b1abb874ba8b0\n"
    "OldGlacierMassBalance f8975ebe108f22e5\n"
    "TotalSnowStorage_onGlacier 843c6ac8e1143ff8\n"
    "SolidSnowStorage_onGlacier e9561b3ed03868bd\n"
    "LiquidSnowStorage_onGlacier f969994067269926\n"
    "SnowMelt_onGlacier 0ab5ee389e85356c\n"
    "firn level 0 e1aebdf94120e4dd\n"
    "firn level 1 e67c74642a6b787d\n"
    "firn level 2 b86d67b59166e4f1\n"
    "firn level 3 7f72f8914d6665b9\n"
    "Qice_slr b0feb1d3f91c36ab\n"
    "Qfirn_slr 1184b6a96d1b8219\n"
    "Qsnow_slr 803047d62e138d09\n"
    "runoff fe836ebb0bc4ec9a\n"
    "glacier areas d2f01f59861156c9\n"
    "qfirn.txt 27a92a3bb7765bee\n"
    "qice.txt 81cc16d99cd659ca\n"
    "qsg.txt f784931a9b99b60a\n"
    "qglac.txt b9816f1b9ae594e1\n"
    "firn.txt 8f38d1a96219bc31\n"
    "gmb1.txt 41a68e8779bd1713\n"
    "gmb2.txt 1fbae9edc501ebab\n";

class SnowModelMpiTest : public LogFixture {
 protected:
  SnowBasin basin_{log_, dir_};
};

TEST_F(SnowModelMpiTest, ProcessZeroHoldsTheWholeSnowPackOfTheSlideMethods) {
  const int rank = WorldRank();
  const RowRange band = RowBand(rank, WorldSize(), kSnowRows);
  basin_.SetStrip(band);
  Grid& fraction = basin_.NewGrid(0);
  fraction(2, 1) = 1.3;
  fraction(3, 1) = -0.2;
  fraction(8, 2) = 0.5;
  basin_.Add("ice_firn", fraction);
  ASSERT_EQ(basin_.Build(SnowSection(6) + SnowBlock() + IceFirnSection(1)), 0);

  const RowRange solid = basin_.Entry("snowstorage_solid").values.rows();
  const RowRange expected = rank == 0 ? RowRange{1, kSnowRows} : band;
  EXPECT_EQ(solid.first, expected.first);
  EXPECT_EQ(solid.last, expected.last);
  EXPECT_EQ(basin_.Entry("snow_fraction").values.rows().first, band.first);
  EXPECT_EQ(basin_.Find("elev_order_row") > 0, rank == 0);
  EXPECT_EQ(basin_.Find("max_deposition") > 0, rank == 0);

  // Sub-basin 1: 1 + 0.5 glacierised, 0 + 1 + 0.5 + 13 not; the same on every process.
  const auto records = basin_.model().glacier_subbasins();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(records[1].hasGlacier);
  EXPECT_DOUBLE_EQ(records[1].glacierArea, 1.5);
  EXPECT_DOUBLE_EQ(records[1].nonGlacierArea, 14.5);
  EXPECT_FALSE(records[2].hasGlacier);
  EXPECT_DOUBLE_EQ(records[2].nonGlacierArea, 7);
}

TEST_F(SnowModelMpiTest, EveryProcessStopsOnAGlacierCellWithoutCode) {
  basin_.SetStrip(RowBand(WorldRank(), WorldSize(), kSnowRows));
  basin_.Add("GlacierizedCells", basin_.NewGrid(0.5));
  Grid& codes = basin_.NewGrid(4);
  codes(5, 2) = kNodata;
  basin_.Add("GlacierCodes", codes);
  EXPECT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(11)), 80);
}

TEST_F(SnowModelMpiTest, SlidesGiveTheSameSnowOnEveryNumberOfProcesses) {
  const int rank = WorldRank();
  const int size = WorldSize();
  // Six columns: a process's grid transfers need room for a run pair in every row.
  constexpr int kCols = 6;
  SnowBasin wide(log_, dir_, kCols);
  RowBandLayout layout(rank, size, kSnowRows, kCols);
  wide.SetStrip(RowBand(rank, size, kSnowRows));
  wide.settings().layout = &layout.layout();
  Grid& regions = wide.NewGrid(0);
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      regions(r, c) = RowOwner(r, size, kSnowRows);
      wide.dem()(r, c) = 2000 - 10 * (r * kCols + c);  // falling to the south
    }
  }
  wide.Add("MPIRegions", regions);
  const auto fill = [&](const std::string& id, double v) {
    const GridView g = wide.Entry(id).values;
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= kCols; ++c) g(r, c) = v;
    }
  };
  fill("slope_angle", 60);
  fill("slidefraction4", 1);
  Grid& evaporation = wide.NewGrid(0);
  wide.Add("snow_evaporation", evaporation);
  for (int t = 1; t <= 2; ++t) wide.Add("concflux_tracer_" + std::to_string(t) + "_input", wide.NewGrid(0));
  ASSERT_EQ(wide.Build(SnowSection(6) + SnowBlock("55\n1\n30\n0.1\n1\n1\n1\n")), 0);
  wide.model().SetWaterInput(false);
  // A conservative tracer held as a mass and an evaporating one held as a concentration.
  std::vector<TracerSettingsRecord> tracers(3);
  for (int t = 1; t <= 2; ++t) {
    tracers[static_cast<std::size_t>(t)].name = t == 1 ? "cl_" : "o18";
    tracers[static_cast<std::size_t>(t)].evaporating = t - 1;
    tracers[static_cast<std::size_t>(t)].max_conc = 1e9;
  }
  ASSERT_EQ(CodeOf([&] { wide.model().InitTracers(2, tracers, wide.registry(), StatisticsRegistry::kCapacity); }),
            0);
  const GridView mass = wide.Entry("concstor_tracer_1_snow_model").values;
  const GridView concentration = wide.Entry("concstor_tracer_2_snow_model").values;
  for (const char* id : {"snowstorage_solid", "snow_storage_total"}) {
    const GridView g = wide.Entry(id).values;
    for (int r = g.rows().first; r <= g.rows().last; ++r) {
      for (int c = 1; c <= 2; ++c) g(r, c) = 20;
    }
  }
  for (int r = mass.rows().first; r <= mass.rows().last; ++r) {
    for (int c = 1; c <= 2; ++c) {
      mass(r, c) = 20 * r;  // concentration r
      concentration(r, c) = c;
    }
  }
  ASSERT_EQ(CodeOf([&] { wide.model().SnowLateralStep({2020, 1, 2, 5}); }), 0) << console_.str();
  // Every cell releases 10 %, and all of it runs south to the last row of its column.
  const GridView total = wide.Entry("snow_storage_total").values;
  const RowRange own = RowBand(rank, size, kSnowRows);
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= 2; ++c) {
      SCOPED_TRACE(std::to_string(r) + " " + std::to_string(c));
      EXPECT_NEAR(total(r, c), r < kSnowRows ? 18 : 18 + 8 * 2, 1e-12);
      EXPECT_NEAR(wide.Entry("snowstorage_solid").values(r, c), total(r, c), 1e-12);
      // The tracer slides with the snow: the last row holds its own pack's mass and all that
      // the rows above released, 2 r from row r (8 · 9 = 72 in all).
      EXPECT_NEAR(mass(r, c), r < kSnowRows ? 18.0 * r : 18.0 * r + 72, 1e-12);
      EXPECT_NEAR(concentration(r, c), c, 1e-12);
    }
  }
}

TEST_F(SnowModelMpiTest, EveryProcessStopsOnAGlacierInTwoSubbasins) {
  basin_.SetStrip(RowBand(WorldRank(), WorldSize(), kSnowRows));
  basin_.Add("GlacierizedCells", basin_.NewGrid(0.5));
  basin_.Add("GlacierCodes", basin_.NewGrid(4));  // columns 1-2 and 3 are two sub-basins
  EXPECT_EQ(basin_.Build(SnowSection(1) + IceFirnSection(11)), 84);
}

// FNV-1a digest of the bits of the values, or of the characters of a text.
std::uint64_t Digest(std::span<const double> values) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const double v : values) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int b = 0; b < 64; b += 8) h = (h ^ ((bits >> b) & 0xff)) * 1099511628211ULL;
  }
  return h;
}
std::uint64_t Digest(const std::string& text) {
  std::uint64_t h = 14695981039346656037ULL;
  for (const char ch : text) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
  return h;
}

// Process 0's whole grid of a level of `values` from the row bands of all processes
// (collective); empty elsewhere.
std::vector<double> GatherBands(int rank, int size, const std::function<double(int, int)>& value, int ncols) {
  const RowRange band = RowBand(rank, size, kSnowRows);
  std::vector<double> mine;
  for (int r = band.first; r <= band.last; ++r) {
    for (int c = 1; c <= ncols; ++c) mine.push_back(value(r, c));
  }
  std::vector<int> counts(static_cast<std::size_t>(size)), offsets(static_cast<std::size_t>(size));
  for (int p = 0; p < size; ++p) {
    const RowRange b = RowBand(p, size, kSnowRows);
    counts[static_cast<std::size_t>(p)] = (b.last - b.first + 1) * ncols;
    offsets[static_cast<std::size_t>(p)] = (b.first - 1) * ncols;
  }
  std::vector<double> whole(rank == 0 ? static_cast<std::size_t>(kSnowRows * ncols) : 0);
  MPI_Gatherv(mine.data(), static_cast<int>(mine.size()), MPI_DOUBLE, whole.data(), counts.data(), offsets.data(),
              MPI_DOUBLE, 0, MPI_COMM_WORLD);
  return whole;
}

// A dynamic glacier (method 11) on a basin of six columns, run hour by hour across the end
// of its evaluation day: snow deep enough turns into glacier and firn, a cell without
// glacier becomes a new one, and the glacier outflow carries on into the new year. Every
// grid, stack level, linear storage, runoff entry and table gives the same bits under any
// number of processes as under one.
TEST_F(SnowModelMpiTest, StepsAcrossTheEvaluationDateDoNotDependOnTheProcessCount) {
  const int rank = WorldRank();
  const int size = WorldSize();
  constexpr int kCols = 6;  // room for a run pair of every process in every row
  SnowBasin basin(log_, dir_, kCols);
  const RowRange band = RowBand(rank, size, kSnowRows);
  RowBandLayout layout(rank, size, kSnowRows, kCols);
  basin.SetStrip(band);
  basin.settings().layout = &layout.layout();
  Grid& regions = basin.NewGrid(0);
  Grid& fraction = basin.NewGrid(kNodata);
  Grid& codes = basin.NewGrid(kNodata);
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kCols; ++c) regions(r, c) = RowOwner(r, size, kSnowRows);
  }
  // Glacier 5 crosses the bands in column 2 (sub-basin 1), glacier 6 lies in sub-basin 2.
  for (int r = 3; r <= 6; ++r) {
    fraction(r, 2) = r == 6 ? 0.5 : 1;
    codes(r, 2) = 5;
  }
  fraction(5, 4) = 0.8;
  codes(5, 4) = 6;
  basin.Add("MPIRegions", regions);
  basin.Add("GlacierizedCells", fraction);
  basin.Add("GlacierCodes", codes);
  std::string ice_firn = IceFirnSection(11);
  for (const char* table : {"qfirn.txt", "qice.txt", "qsg.txt", "qglac.txt", "firn.txt", "gmb1.txt", "gmb2.txt"}) {
    const std::string item = std::string(table) + " 0";
    ice_firn.replace(ice_firn.find(item), item.size(), std::string(table) + " 2001");
  }
  ASSERT_EQ(basin.Build(SnowSection(1) + ice_firn), 0) << console_.str();
  schneemodellklasse& model = basin.model();
  model.SetWaterInput(false);
  std::vector<std::vector<double>> runoff(1, std::vector<double>(3, 7.0));
  model.SetSubbasinRunoffArray(runoff);

  const auto values = [&](const char* id) { return basin.Entry(id).values; };
  GridView total = values("snow_storage_total"), solid = values("snowstorage_solid");
  GridView on_glacier = values("TotalSnowStorage_onGlacier"), solid_g = values("SolidSnowStorage_onGlacier");
  GridView balance = values("GlacierMassBalance"), firn_total = values("firn_WE_stack");
  StackView firn = basin.Entry("firn_WE_stack").stack;
  for (int r = band.first; r <= band.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (basin.zone()(r, c) == kNodata) continue;
      total(r, c) = solid(r, c) = 1500 + 100 * r + 10 * c;
      // Rows 5 and 6 of glacier 5 and glacier 6 are free of snow: their ice melts.
      on_glacier(r, c) = solid_g(r, c) = r < 5 ? 50 * r : 0;
      balance(r, c) = fraction(r, c) > 0 ? -900 + 40 * r : 0;
    }
  }
  if (band.contains(4)) {
    firn(4, 2, 1) = 3;
    firn(4, 2, 2) = 2;
    firn_total(4, 2) = firn(4, 2, 0) = 5;
  }
  GridView P = values("precipitation"), T = values("temperature");
  const std::vector<ModelDate> steps = {{2001, 9, 30, 21}, {2001, 9, 30, 22}, {2001, 9, 30, 23}, {2001, 9, 30, 24},
                                        {2001, 10, 1, 1},  {2001, 10, 1, 2},  {2001, 10, 1, 3}};
  for (std::size_t h = 0; h < steps.size(); ++h) {
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        T(r, c) = 3 + std::sin(0.7 * static_cast<double>(h) + r) - 0.2 * c;
        P(r, c) = h % 3 == 0 ? 0.4 * r : 0;
      }
    }
    ASSERT_EQ(CodeOf([&] { model.SnowTimeStep(steps[h]); }), 0) << console_.str();
    ASSERT_EQ(CodeOf([&] { model.SnowLateralStep(steps[h]); }), 0) << console_.str();
  }
  model.FlushStatistics();

  std::string text;
  const auto add = [&](const std::string& name, std::uint64_t digest) {
    char line[64];
    std::snprintf(line, sizeof line, " %016llx", static_cast<unsigned long long>(digest));
    text += name + line + "\n";
  };
  for (const char* id : {"snow_storage_total", "snowstorage_solid", "snowstorage_liquid", "days_snow", "snow_age",
                         "snow_fraction", "rain_fraction", "snowcover_outflow", "melt_from_snowcover", "albedo",
                         "melt_from_firn", "melt_from_ice", "GlacierizedCells", "GlacierCodes", "GlacierizedCellsOld",
                         "GlacierCodesOld", "GlacierMassBalance", "OldGlacierMassBalance",
                         "TotalSnowStorage_onGlacier", "SolidSnowStorage_onGlacier", "LiquidSnowStorage_onGlacier",
                         "SnowMelt_onGlacier"}) {
    const ConstGridView g = values(id);
    add(id, Digest(GatherBands(rank, size, [&](int r, int c) { return g(r, c); }, kCols)));
  }
  for (int k = 0; k <= basin.Entry("firn_WE_stack").levels; ++k) {
    add("firn level " + std::to_string(k),
        Digest(GatherBands(rank, size, [&](int r, int c) { return firn(r, c, k); }, kCols)));
  }
  if (rank == 0) {
    add("Qice_slr", Digest(model.Qice_slr()));
    add("Qfirn_slr", Digest(model.Qfirn_slr()));
    add("Qsnow_slr", Digest(model.Qsnow_slr()));
    add("runoff", Digest(runoff[0]));
    std::vector<double> areas;
    for (const GlacierSubbasinRecord& record : model.glacier_subbasins()) {
      areas.insert(areas.end(), {record.glacierArea, record.nonGlacierArea});
    }
    add("glacier areas", Digest(areas));
    for (const char* table : {"qfirn.txt", "qice.txt", "qsg.txt", "qglac.txt", "firn.txt", "gmb1.txt", "gmb2.txt"}) {
      add(table, Digest(ReadFile(dir_.file(table))));
    }
  }
  const std::string one_process = TextOfProcess0(text);
  // The year ended: cell (7, 5), without glacier and above 2000 mm of snow, became one.
  if (rank == 0) {
    EXPECT_GT(fraction(7, 5), 0);
    EXPECT_NE(runoff[0][1], 7.0);
    EXPECT_NE(runoff[0][2], 7.0);
  }
  EXPECT_EQ(one_process, kAcrossTheEvaluationDate) << one_process;
}

}  // namespace
}  // namespace tolvo::test
