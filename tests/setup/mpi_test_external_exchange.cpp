// The exchange of grids and statistics with a coupled program on the decomposed 10 x 10
// fixture: the files written and the grids read are the same under 1, 2 and 3 processes,
// with the values worked out by hand below.
#include "setup/external_exchange.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/statistics_registry.h"
#include "mpi_decomposition_fixture.h"

namespace tolvo {
namespace {

using test::kCols;
using test::kRows;
using test::TextOfProcess0;

// The value of the internal grid "theta" at a step.
double Theta(int r, int c, int step) { return 10.0 * r + c + step; }

class ExternalExchangeTest : public test::DecomposedDomain {
 protected:
  void SetUp() override {
    DecomposedDomain::SetUp();
    Decompose(false);
    reader_.set_strip(decomposition_.own_rows);
    // Every process works in process 0's folder, where process 0 alone touches the files.
    folder_ = TextOfProcess0(dir_.path().string() + "/");
    reader_.set_directories(folder_, folder_);
    reader_.set_output_formats({.ascii = true});
    reader_.set_grid_table(&table_);

    zone_grid_ = HeldGrid(kNodata);
    theta_ = HeldGrid(0);
    target_ = HeldGrid(kNodata);
    const RowRange held = decomposition_.held_rows;
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) zone_grid_(r, c) = test::FixtureZoneCell(r, c) ? 1 : kNodata;
    }
    reader_.RegisterGrid(1, "theta.asc", theta_.view(), {}, 0, "theta", 0, held.first, held.last);
    reader_.RegisterGrid(2, "target.asc", target_.view(), {}, 0, "soil_moisture", 0, held.first, held.last);
  }

  void SetTheta(int step) {
    const RowRange held = decomposition_.held_rows;
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) theta_(r, c) = Theta(r, c, step);
    }
  }

  ExternalExchange Make(CouplingSettings settings) {
    const ConstGridView zone = std::as_const(zone_grid_).view();
    for (ExternalWriteGrid& grid : settings.write_grids) {
      if (grid.code.accumulates()) {
        grid.accumulator = HeldGrid(kNodata);
        for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
          for (int c = 1; c <= kCols; ++c) {
            if (zone(r, c) != kNodata) grid.accumulator(r, c) = 0;
          }
        }
      }
    }
    return ExternalExchange(std::move(settings), zone);
  }

  // The values of an ASCII grid written by process 0, row by row.
  std::vector<double> GridFile(const std::string& name) const {
    std::istringstream in(test::ReadFile(folder_ + name));
    std::string line;
    for (int i = 0; i < 6; ++i) std::getline(in, line);
    std::vector<double> values;
    for (double v; in >> v;) values.push_back(v);
    return values;
  }

  // Checks on process 0 that the file holds expected(r, c) at every zone cell and nodata
  // at every other cell.
  template <typename Expected>
  void ExpectGrid(const std::string& name, Expected expected) const {
    if (rank_ != 0) return;
    SCOPED_TRACE(name);
    ASSERT_TRUE(std::filesystem::exists(folder_ + name));
    const std::vector<double> values = GridFile(name);
    ASSERT_EQ(values.size(), static_cast<std::size_t>(kRows * kCols));
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        const double want = test::FixtureZoneCell(r, c) ? expected(r, c) : kNodata;
        EXPECT_NEAR(values[static_cast<std::size_t>((r - 1) * kCols + c - 1)], want, 1e-9) << r << "," << c;
      }
    }
  }

  std::string folder_;
  grid_table table_;
  StatisticsRegistry registry_;
  Grid zone_grid_;
  Grid theta_;
  Grid target_;
};

TEST_F(ExternalExchangeTest, GridsAreSummedAveragedAndWrittenAtThePeriodEnd) {
  if (rank_ == 0) std::filesystem::create_directories(folder_ + "ext");
  CouplingSettings settings;
  settings.mode = 1;
  for (const auto& [file, code] : std::vector<std::pair<std::string, std::string>>{
           {"sum.asc", "Sum"}, {"mean.asc", "Mean"}, {"ext/total.asc", "SumTotal_DM"}, {"now.asc", "other"}}) {
    settings.write_grids.push_back({file, "theta", ParseWriteCode(code), {}});
  }
  ExternalExchange exchange = Make(std::move(settings));
  exchange.ResolveCouplingNames(reader_, registry_, StatisticsRegistry::kCapacity);

  // A period of three steps that ends with the last day of January.
  for (int step = 1; step <= 2; ++step) {
    SetTheta(step);
    exchange.AccumulateExternalOutputs(reader_);
  }
  SetTheta(3);
  exchange.WriteExternalStatistics(reader_, {2001, 2, 1, 1}, {.day = true, .month = true, .year = false});
  EXPECT_EQ(exchange.step_count(), 0);
  // Steps 1 + 2 + 3: the sum is 3 x (10 r + c) + 6, the mean (10 r + c) + 2.
  const auto three_steps = [](int r, int c) { return 3 * Theta(r, c, 0) + 6; };
  ExpectGrid("sum.asc", three_steps);
  ExpectGrid("mean.asc", [](int r, int c) { return Theta(r, c, 2); });
  ExpectGrid("ext/total.asc", three_steps);
  ExpectGrid("ext/SumTotal_EndOf_Day_2001_02_01_total.asc", three_steps);
  ExpectGrid("ext/SumTotal_EndOf_Month_2001_02_total.asc", three_steps);
  ExpectGrid("now.asc", [](int r, int c) { return Theta(r, c, 3); });
  if (rank_ == 0) {
    EXPECT_FALSE(std::filesystem::exists(folder_ + "ext/SumTotal_EndOf_Year_2001_total.asc"));
  }

  // A period of one step: Sum and Mean start again, SumTotal goes on.
  SetTheta(4);
  exchange.WriteExternalStatistics(reader_, {2001, 2, 1, 2}, {});
  ExpectGrid("sum.asc", [](int r, int c) { return Theta(r, c, 4); });
  ExpectGrid("mean.asc", [](int r, int c) { return Theta(r, c, 4); });
  ExpectGrid("ext/total.asc", [](int r, int c) { return 4 * Theta(r, c, 0) + 10; });
}

TEST_F(ExternalExchangeTest, ExternalGridsAreReadThenRenamedDeletedOrKept) {
  CouplingSettings settings;
  settings.mode = 1;
  settings.wait_file = folder_ + "to_model.cmd";
  settings.read_grids = {{"ext.asc", "soil_moisture", 0, 1}, {"gone.asc", "theta", 0, 0}, {"kept.asc", "theta", 0, 2}};
  if (rank_ == 0) {
    std::ostringstream grid;
    grid << "ncols 10\nnrows 10\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) grid << 100 * r + c << (c < kCols ? " " : "\n");
    }
    for (const char* name : {"ext.asc", "gone.asc", "kept.asc"}) test::WriteFile(folder_ + name, grid.str());
    test::WriteFile(settings.wait_file, "Command=Continue;");
  }
  ExternalExchange exchange = Make(std::move(settings));
  exchange.ResolveCouplingNames(reader_, registry_, StatisticsRegistry::kCapacity);
  MPI_Barrier(MPI_COMM_WORLD);

  EXPECT_EQ(exchange.ReadExternalGrids(reader_, {2001, 6, 1, 6}), rank_);
  for (int r = decomposition_.own_rows.first; r <= decomposition_.own_rows.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      if (!Mine(r, c)) continue;
      EXPECT_EQ(target_(r, c), 100 * r + c) << r << "," << c;
      EXPECT_EQ(theta_(r, c), 100 * r + c) << r << "," << c;
    }
  }
  if (rank_ == 0) {
    namespace fs = std::filesystem;
    EXPECT_FALSE(fs::exists(folder_ + "ext.asc"));
    EXPECT_FALSE(fs::exists(folder_ + "gone.asc"));
    EXPECT_TRUE(fs::exists(folder_ + "kept.asc"));
    EXPECT_FALSE(fs::exists(folder_ + "to_model.cmd"));
    int renamed = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("ext.asc_2001_06_01_06_")) {
        ++renamed;
        EXPECT_NE(name.find_first_of("0123456789", 22), std::string::npos) << name;  // the clock ticks
      }
    }
    EXPECT_EQ(renamed, 1);
  }
}

TEST_F(ExternalExchangeTest, UnknownInternalNamesFail) {
  const auto error_of = [&](CouplingSettings settings) {
    ExternalExchange exchange = Make(std::move(settings));
    try {
      exchange.ResolveCouplingNames(reader_, registry_, StatisticsRegistry::kCapacity);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  };
  CouplingSettings reading;
  reading.read_grids = {{"ext.asc", "Theta", 0, 0}};
  EXPECT_EQ(error_of(std::move(reading)), 1003);
  CouplingSettings writing;
  writing.write_grids.push_back({"out.asc", "thetas", ParseWriteCode("Sum"), {}});
  EXPECT_EQ(error_of(std::move(writing)), 1004);
  if (rank_ == 0) {
    EXPECT_NE(console_.str().find("error looking for internal grid to read from ext.asc, with internal name "
                                  "\"Theta\"\npossible reason: internal name of the grid is wrong (case sensitive!)"),
              std::string::npos);
    EXPECT_NE(console_.str().find("error looking for internal grid to write to out.asc with internal name \"thetas\""),
              std::string::npos);
  }
}

// A statistics table of two zones (codes 5 and 7, area shares 0.25 and 0.75) and the
// total, registered like the zonal statistics tables do on process 0.
struct Table {
  explicit Table(std::string text) : caption(std::move(text)) {}
  StatisticsRegistryEntry Entry() {
    StatisticsRegistryEntry entry;
    entry.row_length = 3;
    entry.last_values = latest;
    entry.accumulator = sums;
    entry.area_shares = shares;
    entry.caption = &caption;
    entry.zone_codes = codes;
    return entry;
  }
  std::string caption;
  std::vector<double> latest{0, 0, 0, 0};
  std::vector<double> sums{0, 0, 0, 0};
  std::vector<double> shares{0, 0.25, 0.75, 1};
  std::vector<long long> codes{0, 5, 7, 0};
};

TEST_F(ExternalExchangeTest, StatisticsAreFoundByCaptionAndWrittenByProcessZero) {
  std::vector<Table> tables;
  for (const char* caption : {"runoff sum_submodel:soil", "runoff mean_submodel:soil", "runoff total_submodel:soil"}) {
    tables.emplace_back(caption);
  }
  tables.emplace_back("runoff now " + std::string(150, 'x'));
  StatisticsRegistry registry;
  if (rank_ == 0) {
    for (Table& table : tables) registry.Register(table.Entry(), StatisticsRegistry::kCapacity);
  }
  CouplingSettings settings;
  settings.mode = 1;
  // Listed in another order than the registry, so that a copy over the first entries
  // would lose a table.
  for (const auto& [name, code] : std::vector<std::pair<std::string, std::string>>{
           {"runoff_now", "other"}, {"runoff_total", "SumTotal"}, {"runoff_mean", "Mean"}, {"runoff_sum", "Sum"}}) {
    settings.statistics.push_back({folder_ + name + ".txt", name, ParseWriteCode(code)});
  }
  ExternalExchange exchange = Make(std::move(settings));
  exchange.ResolveCouplingNames(reader_, registry, StatisticsRegistry::kCapacity);
  if (rank_ == 0) {
    EXPECT_EQ(*registry[0].caption, "runoff sum_submodel:soil");  // the registry is left as it is
    EXPECT_EQ(*registry[3].caption, tables[3].caption);
  }

  // Two steps: latest rows (2, 4) and (6, 8).
  for (Table& table : tables) table.latest = {0, 2, 4, 3.5};
  exchange.AccumulateExternalOutputs(reader_);
  for (Table& table : tables) table.latest = {0, 6, 8, 7.5};
  exchange.WriteExternalStatistics(reader_, {2001, 6, 1, 6}, {});
  if (rank_ == 0) {
    const std::string head = "date: 2001-06-01\nhour: 06h\n";
    // Sums 8 and 12; total 0.25 x 8 + 0.75 x 12 = 11.
    EXPECT_EQ(test::ReadFile(folder_ + "runoff_sum.txt"),
              head + "runoff sum_submodel:soil; 2 zones\n5\t8\n7\t12\naverage\t11\n");
    EXPECT_EQ(test::ReadFile(folder_ + "runoff_mean.txt"),
              head + "runoff mean_submodel:soil; 2 zones\n5\t4\n7\t6\naverage\t5.5\n");
    EXPECT_EQ(test::ReadFile(folder_ + "runoff_total.txt"),
              head + "runoff total_submodel:soil; 2 zones\n5\t8\n7\t12\naverage\t11\n");
    // The latest row, 0.25 x 6 + 0.75 x 8 = 7.5; the caption cut at 150 characters.
    EXPECT_EQ(test::ReadFile(folder_ + "runoff_now.txt"),
              head + "runoff now " + std::string(139, 'x') + "...; 2 zones\n5\t6\n7\t8\naverage\t7.5\n");
    EXPECT_EQ(tables[0].sums[1], 0);   // Sum starts again
    EXPECT_EQ(tables[2].sums[1], 8);   // SumTotal goes on
  }

  // The next one-step period: Sum 6 and 8, SumTotal 14 and 20, Mean 6 and 8.
  exchange.WriteExternalStatistics(reader_, {2001, 6, 1, 7}, {});
  if (rank_ == 0) {
    EXPECT_NE(test::ReadFile(folder_ + "runoff_total.txt").find("5\t14\n7\t20\naverage\t18.5\n"), std::string::npos);
    EXPECT_NE(test::ReadFile(folder_ + "runoff_mean.txt").find("5\t6\n7\t8\naverage\t7.5\n"), std::string::npos);
  }
}

TEST_F(ExternalExchangeTest, StatisticsNamesAreCaseSensitiveAndUnwritableFilesFail) {
  Table table("runoff sum_submodel:soil");
  StatisticsRegistry registry;
  if (rank_ == 0) registry.Register(table.Entry(), StatisticsRegistry::kCapacity);
  if (rank_ != 0) return;  // the tables live on process 0 alone
  const auto error_of = [&](const std::string& name, const std::string& file, bool write) {
    CouplingSettings settings;
    settings.statistics.push_back({file, name, ParseWriteCode("Sum")});
    ExternalExchange exchange = Make(std::move(settings));
    try {
      exchange.ResolveCouplingNames(reader_, registry, StatisticsRegistry::kCapacity);
      if (write) exchange.WriteExternalStatistics(reader_, {2001, 1, 1, 1}, {});
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  };
  EXPECT_EQ(error_of("Runoff_sum", folder_ + "s.txt", false), 1005);
  EXPECT_NE(console_.str().find("error looking for zonal statistic with internal name \"Runoff_sum\""),
            std::string::npos);
  EXPECT_EQ(error_of("sum_submodel", folder_ + "s.txt", true), 0);
  EXPECT_EQ(error_of("runoff_sum", folder_ + "missing/s.txt", true), 18);
}

TEST_F(ExternalExchangeTest, WithoutOutputsAPeriodEndOnlyResetsTheStepCount) {
  ExternalExchange exchange = Make(CouplingSettings{});
  exchange.ResolveCouplingNames(reader_, registry_, StatisticsRegistry::kCapacity);
  exchange.AccumulateExternalOutputs(reader_);
  exchange.AccumulateExternalOutputs(reader_);
  EXPECT_EQ(exchange.step_count(), 2);
  exchange.WriteExternalStatistics(reader_, {2001, 1, 1, 1}, {});
  EXPECT_EQ(exchange.step_count(), 0);
}

}  // namespace
}  // namespace tolvo
