#include "framework/rout_statistic.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

#include "framework/error_code.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::ReadFile;

// Fit sums of observed values obs and simulated values obs + offsets.
FitSums SumsOf(const std::vector<double>& observed, const std::vector<double>& offsets) {
  FitSums sums;
  for (std::size_t k = 0; k < observed.size(); ++k) sums.Add(observed[k] + offsets[k], observed[k]);
  return sums;
}

TEST(GoodnessOfFitTest, MeasuresFromHandCalculation) {
  struct Case {
    const char* label;
    FitSums sums;
    double r_square;
    double variance_coefficient;
  };
  const std::vector<double> one_to_five{1, 2, 3, 4, 5};
  const std::vector<Case> cases = {
      // P 5, D 1, D2 1, M 5, O 15, O2 55: Vo = (55 - 225 / 5) / 4 = 2.5; R-square
      // 1 - (1 / 4) / 2.5 = 0.9, the Nash-Sutcliffe efficiency 1 - 1 / 10; variance
      // coefficient 1 - ((1 - 1 / 5) / 4) / 2.5 = 0.92.
      {"one step off by 1", SumsOf(one_to_five, {1, 0, 0, 0, 0}), 0.9, 0.92},
      {"perfect simulation", SumsOf(one_to_five, {0, 0, 0, 0, 0}), 1.0, 1.0},
      // Simulated 1.1, 1.9, 3.2, 3.8, 5.1: D 0.1, D2 0.11; the Nash-Sutcliffe efficiency
      // (Nash & Sutcliffe 1970) 1 - (0.11 / 4) / 2.5 = 0.989; variance coefficient
      // 1 - ((0.11 - 0.01 / 5) / 4) / 2.5 = 0.9892.
      {"small errors both ways", SumsOf(one_to_five, {0.1, -0.1, 0.2, -0.2, 0.1}), 0.989, 0.9892},
      // A constant bias of 1: R-square 1 - (5 / 4) / 2.5 = 0.5; the variance coefficient
      // leaves the bias out: (5 - 25 / 5) = 0 gives 1.
      {"constant bias", SumsOf(one_to_five, {1, 1, 1, 1, 1}), 0.5, 1.0},
      {"two observations", SumsOf({1, 2}, {0, 0}), -9999, -9999},
      {"no data", FitSums{}, -9999, -9999},
      {"two pairs, more observations", FitSums{2, 0, 0, 5, 15, 55}, -9999, -9999},
      {"constant observations", SumsOf({2, 2, 2, 2}, {1, 0, 0, 0}), -9999, -9999},
      // 0.1 five times leaves O2 - O^2 / M at 7e-18 instead of 0 in double arithmetic.
      {"constant observations with round-off", SumsOf({0.1, 0.1, 0.1, 0.1, 0.1}, {0.01, 0, 0, 0, 0}), -9999, -9999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_NEAR(RSquare(c.sums), c.r_square, 1e-12);
    EXPECT_NEAR(VarianceCoefficient(c.sums), c.variance_coefficient, 1e-12);
  }
}

// Two sub-basins with the codes 10 and 20 and the header values 1.5 and 2.25.
class RoutStatisticTest : public test::LogFixture {
 protected:
  RoutStatisticTest() : zones_(3), header_values_{0, 1.5, 2.25} {
    zones_[1].zonenwert = 10;
    zones_[2].zonenwert = 20;
  }

  std::unique_ptr<routstatistic> Make(int statcode, std::vector<int> list = {}, int precision = 2) {
    list_ = std::move(list);
    file_name_ = "discharge.txt";
    return std::make_unique<routstatistic>(log_, ConstGridView{}, 1, 1, zones_, header_values_, 2, statcode, precision,
                                           file_name_, dir_.path().string() + "/", list_);
  }

  // One routing step as the discharge routing takes it: each sub-basin's discharge added
  // directly into its zone record.
  void Step(routstatistic& table, std::vector<double> discharge, long long hour) {
    table.BeginStep();
    for (std::size_t i = 1; i <= discharge.size(); ++i) {
      zones_[i].n += 1;
      zones_[i].RelCellSum += 1;
      zones_[i].sx += discharge[i - 1];
    }
    table.EndStep(2000, 1, 2, hour);
  }

  std::string Table() const { return ReadFile(dir_.file("discharge.txt")); }

  std::vector<ZoneRecord> zones_;
  std::vector<double> header_values_;
  std::vector<int> list_;
  std::string file_name_;
  StatisticsRegistry registry_;
};

TEST_F(RoutStatisticTest, HeaderHasOneColumnPerSubBasinAndNoTotal) {
  auto table = Make(2001);
  EXPECT_EQ(table->WriteHeader("routed discharge [ m3 per sec ] ", "routing", registry_, StatisticsRegistry::kCapacity),
            1);
  Step(*table, {1.25, 7}, 3);
  Step(*table, {2, 8}, 4);
  table->Release();
  EXPECT_EQ(Table(),
            "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\n"
            "routed discharge [ m3 per sec ] _submodel:routing\n"
            "--\t--\t--\t--\t1.5000000\t2.2500000\n"
            "2000\t 1\t 2\t 3\t1.25\t7.00\n"
            "2000\t 1\t 2\t 4\t2.00\t8.00\n");

  const StatisticsRegistryEntry& simulated = registry_[0];
  EXPECT_EQ(simulated.row_length, 2);
  EXPECT_EQ(*simulated.caption, "routed discharge [ m3 per sec ] _submodel:routing");
  EXPECT_EQ(std::vector<double>(simulated.last_values.begin() + 1, simulated.last_values.end()),
            (std::vector<double>{2, 8}));
  EXPECT_EQ(std::vector<double>(simulated.area_shares.begin() + 1, simulated.area_shares.end()),
            (std::vector<double>{1.5, 2.25}));
  const StatisticsRegistryEntry& observed = registry_[1];
  EXPECT_EQ(observed.row_length, 2);
  EXPECT_EQ(*observed.caption, "observed Runoff");
  EXPECT_EQ(observed.zone_codes[1], 10);
  EXPECT_EQ(observed.zone_codes[2], 20);
  EXPECT_EQ(observed.area_shares[2], 2.25);
  // The discharge routing writes the observed values through the registry entry.
  observed.last_values[2] = 4.5;
  EXPECT_EQ(table->observed_values()[2], 4.5);
  EXPECT_TRUE(registry_[2].free());
}

TEST_F(RoutStatisticTest, IntervalsAndListedSubBasins) {
  struct Case {
    const char* label;
    int statcode;
    std::vector<int> list;
    std::string header;
    std::string rows;
  };
  // Step 1 discharges 1 and 2, step 2 discharges 3 and 6.
  const std::vector<Case> cases = {
      {"mean over two steps", 2002, {}, "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\n", "2000\t 1\t 2\t 4\t2.00\t4.00\n"},
      {"sum over two steps", 4002, {}, "YY\tMM\tDD\tHH\t\"10\"\t\"20\"\n", "2000\t 1\t 2\t 4\t4.00\t8.00\n"},
      {"listed sub-basin", 5001, {20}, "YY\tMM\tDD\tHH\t\"20\"\n",
       "2000\t 1\t 2\t 3\t2.00\n2000\t 1\t 2\t 4\t6.00\n"},
      {"total-only mode: dates only", 1001, {}, "YY\tMM\tDD\tHH\n", "2000\t 1\t 2\t 3\n2000\t 1\t 2\t 4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto table = Make(c.statcode, c.list);
    table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
    Step(*table, {1, 2}, 3);
    Step(*table, {3, 6}, 4);
    table->Release();
    const std::string text = Table();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), c.header);
    std::size_t rows_begin = 0;
    for (int line = 0; line < 3; ++line) rows_begin = text.find('\n', rows_begin) + 1;
    EXPECT_EQ(text.substr(rows_begin), c.rows);
  }
}

TEST_F(RoutStatisticTest, DirectAdditionsAndAddValueMeetThroughTheBaseClassToo) {
  auto table = Make(2001);
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  zonalstatistic& base = *table;
  base.BeginStep();
  zones_[1].n += 1;
  zones_[1].RelCellSum += 1;
  zones_[1].sx += 3;
  base.AddValue(1, 1, 2, 5.0, 1.0);
  base.AddValue(1, 1, 2, 7.0, 1.0);
  base.EndStep(2000, 1, 2, 3, 1);
  table->Release();
  // Sub-basin 10: 3 added directly; sub-basin 20: (5 + 7) / 2 through AddValue.
  EXPECT_NE(Table().find("2000\t 1\t 2\t 3\t3.00\t6.00\n"), std::string::npos) << Table();
}

TEST_F(RoutStatisticTest, GoodnessOfFitBlocksFollowTheRowsAndFillTheZoneRecords) {
  // Precision 5: the goodness of fit is printed with 4 decimals.
  auto table = Make(2001, {}, 5);
  table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity);
  Step(*table, {1, 2}, 3);
  FitSumTable linear(2);
  FitSumTable logarithmic(2);
  // Sub-basin 10 at shift 0: linear, the hand case of R-square 0.9 and variance
  // coefficient 0.92; logarithmic, a constant bias (0.5 and 1). Sub-basin 20: only two
  // observations.
  linear.at(0, 1) = SumsOf({1, 2, 3, 4, 5}, {1, 0, 0, 0, 0});
  logarithmic.at(0, 1) = SumsOf({1, 2, 3, 4, 5}, {1, 1, 1, 1, 1});
  linear.at(0, 2) = logarithmic.at(0, 2) = SumsOf({1, 2}, {0, 0});
  table->WriteGoodnessOfFit(linear, logarithmic);
  table->Release();

  std::istringstream text(Table());
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  // Three header lines, one row, a rule, then four blocks of 21 lines each with a rule.
  ASSERT_EQ(lines.size(), 3u + 1u + 1u + 4u * 22u);
  EXPECT_EQ(lines[3], "2000\t 1\t 2\t 3\t1.00000\t2.00000");
  const struct {
    std::size_t line;
    const char* text;
  } expected[] = {
      {4, "----------------------"},
      {5, "lin. R-square\t-10\t-9999.0000\t-9999.0000"},
      {15, "LIN. R-SQUARE\t0\t0.9000\t-9999.0000"},
      {25, "lin. R-square\t10\t-9999.0000\t-9999.0000"},
      {26, "----------------------"},
      {37, "LOG. R-SQUARE\t0\t0.5000\t-9999.0000"},
      {59, "COEFF.VAR.LIN\t0\t0.9200\t-9999.0000"},
      {60, "coeff.var.lin\t1\t-9999.0000\t-9999.0000"},
      {81, "COEFF.VAR.LOG\t0\t1.0000\t-9999.0000"},
      {92, "----------------------"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.line);
    EXPECT_EQ(lines[e.line], e.text);
  }
  EXPECT_EQ(zones_[1].n, 1);
  EXPECT_NEAR(zones_[1].sx, 0.92, 1e-12);
  EXPECT_EQ(zones_[2].n, 1);
  EXPECT_EQ(zones_[2].sx, -9999);
}

TEST_F(RoutStatisticTest, ObservedEntryNeedsRoomRightAfterTheTable) {
  struct Case {
    const char* label;
    int capacity;
    int result;
    bool second_entry_used;
  };
  const Case cases[] = {
      {"room for both", 2, 1, true},
      {"table in the last entry", 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    StatisticsRegistry registry;
    auto table = Make(2001);
    EXPECT_EQ(table->WriteHeader("q", "m", registry, c.capacity), c.result);
    EXPECT_FALSE(registry[0].free());
    EXPECT_EQ(!registry[1].free(), c.second_entry_used);
  }
  auto table = Make(2001);
  EXPECT_EQ(test::CodeOf([&] { table->WriteHeader("q", "m", registry_, 0); }), kGridEntryError);
}

TEST_F(RoutStatisticTest, DisabledTableWritesNothing) {
  auto table = Make(1000);
  EXPECT_EQ(table->WriteHeader("q", "m", registry_, StatisticsRegistry::kCapacity), 0);
  Step(*table, {1, 2}, 3);
  table->WriteGoodnessOfFit(FitSumTable(2), FitSumTable(2));
  table->Release();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("discharge.txt")));
  EXPECT_TRUE(registry_[0].free());
}

}  // namespace
}  // namespace tolvo
