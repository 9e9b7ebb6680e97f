#include "setup/grid_lists.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/zonal_statistic.h"
#include "setup/grid_list_statistics.h"
#include "framework/zone_ranking.h"
#include "support/test_support.h"
#include "tables/landuse_table.h"
#include "tables/multilayer_landuse.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::TempDir;
using test::WriteFile;

constexpr double N = kNodata;
constexpr int kRows = 3;
constexpr int kCols = 4;

// The zone grid of every test: zones 1 and 2, two cells outside the domain.
constexpr double kZone[kRows][kCols] = {{1, 1, 2, N}, {1, 2, 2, 2}, {N, 1, 2, 2}};

// A model object that records the grid outputs it is asked for.
class RecordingReader : public modelobject {
 public:
  using modelobject::modelobject;
  void WriteGridOutputs(int index, bool distributed, bool skip_accumulation_outputs) override {
    EXPECT_TRUE(distributed);
    EXPECT_FALSE(skip_accumulation_outputs);
    written.push_back(index);
  }
  std::vector<int> written;
};

class GridListsTest : public test::LogFixture {
 protected:
  void SetUp() override {
    reader_.set_name("defaults");
    reader_.set_grid_table(&table_);
    reader_.set_directories(dir_.path().string() + "/", dir_.path().string() + "/");
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .xllcorner = 0, .yllcorner = 0, .cellsize = 10,
                          .nodata_value = N});
    reader_.set_strip({1, kRows});
    zone_ = Grid(1, kRows, kCols, kRows);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) zone_(r, c) = kZone[r - 1][c - 1];
    }
  }

  // Reads the grid names of the control file (stage 1) and gives entry 1 the zone grid.
  void ReadNames(const std::string& standard_grids, const std::string& rest = "") {
    WriteControl(standard_grids, rest);
    lists_.ReadStandardGrids(reader_);
    reader_.CloseControlFile();
    reader_.RegisterGrid(1, "zone.asc", zone_.view(), {}, 0, "[zone_grid]", 0, 1, kRows);
    reader_.RegisterGrid(2, "dem.asc", zone_.view(), {}, 0, "[elevation_model]", 0, 1, kRows);
  }
  void WriteControl(const std::string& standard_grids, const std::string& rest = "") {
    WriteFile(control_path(), "[zone_grid]\nzone.asc\n[elevation_model]\ndem.asc name of the dem\n" + standard_grids +
                                  rest);
    ASSERT_TRUE(reader_.OpenControlFile(control_path()));
  }
  std::string control_path() const { return dir_.file("control.txt"); }

  // An ASCII grid of the model geometry whose domain cells hold `value` (or value(r, c)).
  void WriteGrid(const std::string& name, const std::function<double(int, int)>& value) const {
    std::ostringstream text;
    text << "ncols " << kCols << "\nnrows " << kRows << "\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) text << (kZone[r - 1][c - 1] == N ? N : value(r, c)) << " ";
      text << "\n";
    }
    WriteFile(dir_.file(name), text.str());
  }
  void WriteGrid(const std::string& name, double value) const {
    WriteGrid(name, [value](int, int) { return value; });
  }

  std::vector<double> Values(int position) const {
    std::vector<double> values;
    const ConstGridView grid = table_[position].values;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) values.push_back(grid(r, c));
    }
    return values;
  }
  // The values of a grid whose domain cells all hold v.
  static std::vector<double> Filled(double v) {
    std::vector<double> values;
    for (const auto& row : kZone) {
      for (const double zone : row) values.push_back(zone == N ? N : v);
    }
    return values;
  }

  grid_table table_;
  RecordingReader reader_{log_, dir_.file("control.txt")};
  Grid zone_;
  GridLists lists_;
};

// --- one line of the standard list -------------------------------------------------------

TEST(StandardGridLine, OldAndKeywordForms) {
  struct Case {
    const char* line;
    std::optional<int> fill_code;
    int read_code;
    double default_value;
    int write_code;
    const char* outname;
  };
  const Case cases[] = {
      {"a.asc id 0 readcode = 0 defaultValue = 5", 0, 0, 5.0, 0, "a.asc"},
      {"a.asc id 1", 1, 1, 0.0, 0, "a.asc"},
      {"a.asc id fillcode=2 readcode=0 writecode= 1001 outname = o.asc", 2, 0, 0.0, 1001, "o.asc"},
      {"a.asc id 1 fillcode = 2", 2, 1, 0.0, 0, "a.asc"},
      // Without "=" behind it a keyword reads its own word: fill code 0.
      {"a.asc id fillcode 1", 0, 1, 0.0, 0, "a.asc"},
      // ... or the value behind the next keyword's "=".
      {"a.asc id fillcode 1 readcode = 0", 0, 0, 0.0, 0, "a.asc"},
      {"a.asc id 1 outname", 1, 1, 0.0, 0, "outname"},
      {"a.asc id readcode = 1 writecode = 1", std::nullopt, 1, 0.0, 1, "a.asc"},
      {"a.asc id 1 defaultValue=x", 1, 1, 0.0, 0, "a.asc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<StandardGridLine> line = ParseStandardGridLine(c.line);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->file_name, "a.asc");
    EXPECT_EQ(line->identifier, "id");
    EXPECT_EQ(line->fill_code, c.fill_code);
    EXPECT_EQ(line->read_code, c.read_code);
    EXPECT_EQ(line->default_value, c.default_value);
    EXPECT_EQ(line->write_code, c.write_code);
    EXPECT_EQ(line->outname, c.outname);
    EXPECT_FALSE(line->statfile.has_value());
    EXPECT_FALSE(line->periodicity.has_value());
  }
  EXPECT_FALSE(ParseStandardGridLine("a.asc").has_value());
  EXPECT_FALSE(ParseStandardGridLine("   ").has_value());
}

TEST(StandardGridLine, StatisticsAndPeriodicity) {
  const std::optional<StandardGridLine> line =
      ParseStandardGridLine("t.asc temp 1 statfile = t.txt statcode = 2001 periodicity = 1 Y 1 persistent = 0 24");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->statfile, "t.txt");
  EXPECT_EQ(line->statcode, 2001);
  ASSERT_TRUE(line->periodicity.has_value());
  EXPECT_EQ(line->periodicity->count, 1);
  EXPECT_EQ(line->periodicity->unit, "Y");
  EXPECT_EQ(line->periodicity->step, 1);
  EXPECT_FALSE(line->periodicity->persistent);
  EXPECT_EQ(line->periodicity->persistence_steps, 24);

  // "persistent" counts only with "periodicity"; a short periodicity reads 0 for the rest.
  EXPECT_FALSE(ParseStandardGridLine("t.asc temp 1 persistent = 0 24")->periodicity.has_value());
  const std::optional<StandardGridLine> short_line = ParseStandardGridLine("t.asc temp 1 periodicity = 2 M");
  EXPECT_EQ(short_line->periodicity->count, 2);
  EXPECT_EQ(short_line->periodicity->unit, "M");
  EXPECT_EQ(short_line->periodicity->step, 0);
  EXPECT_TRUE(short_line->periodicity->persistent);
}

TEST(StandardGridLine, UnitLettersChooseTheWatchedField) {
  const std::pair<const char*, PeriodField> cases[] = {
      {"H", PeriodField::Hour},       {"D", PeriodField::Hour},  {"MD", PeriodField::Hour},
      {"M", PeriodField::DayOfMonth}, {"YM", PeriodField::DayOfMonth}, {"Y", PeriodField::Month},
      {"y", PeriodField::None},       {"", PeriodField::None}};
  for (const auto& [unit, field] : cases) {
    SCOPED_TRACE(unit);
    EXPECT_EQ(WatchedField(unit), field);
  }
}

// --- the sections -----------------------------------------------------------------------------

TEST_F(GridListsTest, SectionsFillTheGridTable) {
  ReadNames(
      "[standard_grids]\n4 grids\n"
      "lat.asc latitude 1\n"
      "lon.asc Longitude 1\n"
      "\n"
      "s.asc soil fillcode = 2 statfile = s.txt statcode = 2001 periodicity = 1 Y 1 persistent = 0 24\n"
      "lon2.asc longitude 0 outname = x.asc\n");
  EXPECT_EQ(lists_.grid_count(), 4);
  EXPECT_EQ(table_.zone_grid().identifier, "[zone_grid]");
  EXPECT_EQ(table_[2].file_name, "dem.asc");
  EXPECT_EQ(table_[2].identifier, "[elevation_model]");
  EXPECT_EQ(table_[5].file_name, "s.asc");
  EXPECT_EQ(table_[5].identifier, "soil");
  EXPECT_EQ(table_[5].fillcode, 2);
  EXPECT_EQ(table_[5].outname, "s.asc");
  EXPECT_EQ(table_[5].statfile, "s.txt");
  EXPECT_EQ(table_[5].periodicity, 1);
  EXPECT_EQ(table_[5].periodicity_unit, "Y");
  EXPECT_FALSE(table_[5].persistent);
  EXPECT_EQ(table_[5].persistence_steps, 24);
  EXPECT_EQ(table_[5].last_calendar_value, kNoWatchedValue);
  EXPECT_EQ(table_[3].periodicity, -1);
  EXPECT_TRUE(table_[3].persistent);
  EXPECT_EQ(table_[6].outname, "x.asc");
  // The markers take the exact identifiers; the log names the line, not the position.
  EXPECT_TRUE(table_.latitude_present);
  EXPECT_EQ(table_.latitude_index, 3);
  EXPECT_TRUE(table_.longitude_present);
  EXPECT_EQ(table_.longitude_index, 6);
  EXPECT_NE(console_.str().find("found latitude grid on position: 1"), std::string::npos);
  EXPECT_NE(console_.str().find("found longitude grid on position: 4"), std::string::npos);
}

TEST_F(GridListsTest, FaultyStandardSectionsFailWith17) {
  struct Case {
    const char* name;
    std::string text;
    const char* entry;
  };
  const std::string long_identifier(101, 'i');
  const Case cases[] = {
      {"keyword form without fillcode", "[standard_grids]\n1\na.asc id readcode=1 writecode=0 defaultValue=1\n",
       "error reading the fillcode for standard grid 1 (found neither in old nor in new style standard grid "
       "definition)"},
      {"one token", "[standard_grids]\n2\na.asc id 1\nb.asc\n", "error reading a grid name or identifier 2"},
      {"list ends early", "[standard_grids]\n2\na.asc id 1\n", "error reading a grid name or identifier 2"},
      {"no count", "[standard_grids]\nmany\n", "couner/number of grids"},
      {"no standard list", "", "[standard_grids]"},
      {"identifier too long", "[standard_grids]\n1\na.asc " + long_identifier + " 1\n", "too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    console_.str("");
    WriteControl(c.text);
    EXPECT_EQ(CodeOf([&] { lists_.ReadStandardGrids(reader_); }), kMissingControlItem);
    EXPECT_NE(console_.str().find(c.entry), std::string::npos) << console_.str();
  }
  WriteFile(control_path(), "[elevation_model]\ndem.asc\n[standard_grids]\n0\n");
  ASSERT_TRUE(reader_.OpenControlFile(control_path()));
  EXPECT_EQ(CodeOf([&] { lists_.ReadStandardGrids(reader_); }), kMissingControlItem);
}

// --- reading at set-up ---------------------------------------------------------------------

TEST_F(GridListsTest, ReadCodeZeroFillsTheZoneWithTheDefaultWithoutAFile) {
  ReadNames("[standard_grids]\n2\nmissing.asc five 0 readcode = 0 defaultValue = 5\nv.asc read 1\n");
  WriteGrid("v.asc", [](int r, int c) { return 10.0 * r + c; });
  lists_.ReadStandardGridValues(reader_);
  EXPECT_EQ(table_[3].fillcode, 0);
  EXPECT_EQ(Values(3), Filled(5));
  EXPECT_EQ(reader_.FindGrid("five", false), 3);
  EXPECT_EQ(Values(4), (std::vector<double>{11, 12, 13, N, 21, 22, 23, 24, N, 32, 33, 34}));
  EXPECT_EQ(reader_.FindGrid("read", false), 4);
  EXPECT_NE(console_.str().find("before reading variable grids0"), std::string::npos);
}

TEST_F(GridListsTest, AGridThatIsNotPersistentKeepsASavedCopy) {
  ReadNames("[standard_grids]\n2\np.asc p 0 readcode=0 defaultValue=3 periodicity = 1 Y 1 persistent = 0 2\n"
            "q.asc q 0 readcode=0 defaultValue=4 periodicity = 1 Y 1\n");
  lists_.ReadStandardGridValues(reader_);
  ASSERT_FALSE(table_[3].saved_values.empty());
  EXPECT_EQ(table_[3].saved_values(2, 1), 3);
  EXPECT_TRUE(table_[4].saved_values.empty());
}

TEST_F(GridListsTest, VariableGridsFollowTheFirstFreeEntry) {
  ReadNames("[standard_grids]\n1\ns.asc s 0 readcode=0 defaultValue=1\n",
            "[variable_grids]\n2 grids\nv1.asc first 0 0.0\n1001 write\n1 read\n"
            "v2.asc second 0 7.5 rest\n0\n2\n");
  WriteGrid("v1.asc", 6);
  lists_.ReadStandardGridValues(reader_);
  // A grid registered by the set-up between the lists, counted by its registrar.
  reader_.RegisterGrid(4, "MPIRegions", zone_.view(), {}, 0, "MPIRegions", 0, 1, kRows);
  lists_.CountRegisteredGrid();
  EXPECT_EQ(lists_.ReadVariableGrids(reader_, control_path()), 2);
  EXPECT_EQ(lists_.first_variable_grid(), 5);
  EXPECT_EQ(lists_.grid_count(), 4);
  EXPECT_EQ(lists_.variable_read_codes(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(table_[5].identifier, "first");
  EXPECT_EQ(table_[5].tens, 0);
  EXPECT_EQ(table_[5].thousands, 1);
  EXPECT_EQ(Values(5), Filled(6));
  // Read code 2: the line's default value inside the zone grid, no file.
  EXPECT_EQ(table_[6].identifier, "second");
  EXPECT_EQ(Values(6), Filled(7.5));
  EXPECT_FALSE(reader_.control_file().is_open());

  lists_.WriteStandardGrids(reader_, {2001, 2, 3, 4});
  EXPECT_EQ(reader_.written, (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(reader_.current_date().day, 3);
  reader_.written.clear();
  lists_.WriteVariableGrids(reader_, {2001, 2, 3, 5});
  EXPECT_EQ(reader_.written, (std::vector<int>{5, 6}));
  EXPECT_EQ(reader_.current_date().hour, 5);
}

TEST_F(GridListsTest, WithoutVariableGridsEveryGridOfTheSetUpIsVisited) {
  ReadNames("[standard_grids]\n2\na.asc a 0 readcode=0\nb.asc b 0 readcode=0\n", "[variable_grids]\n0\n");
  lists_.ReadStandardGridValues(reader_);
  EXPECT_EQ(lists_.ReadVariableGrids(reader_, control_path()), 0);
  EXPECT_EQ(lists_.first_variable_grid(), 0);
  lists_.WriteStandardGrids(reader_, {2001, 1, 1, 1});
  EXPECT_EQ(reader_.written, (std::vector<int>{2, 3, 4}));
}

TEST_F(GridListsTest, FaultyVariableSectionsFail) {
  struct Case {
    const char* name;
    const char* text;
    int code;
  };
  const Case cases[] = {
      {"no section", "", kMissingControlItem},
      {"no default value", "[variable_grids]\n1\nv.asc v 0\n0\n2\n", kMissingControlItem},
      {"no read code", "[variable_grids]\n1\nv.asc v 0 1.0\n0\n", kMissingControlItem},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReadNames("[standard_grids]\n0\n", c.text);
    EXPECT_EQ(CodeOf([&] { lists_.ReadVariableGrids(reader_, control_path()); }), c.code);
    EXPECT_FALSE(reader_.control_file().is_open());
  }
  console_.str("");
  EXPECT_EQ(CodeOf([&] { lists_.ReadVariableGrids(reader_, dir_.file("none.txt")); }), kControlFileOpenError);
  EXPECT_NE(console_.str().find("error opening " + dir_.file("none.txt")), std::string::npos);
}

// --- periodic grids -------------------------------------------------------------------------

ModelDate Day(long long year, long long month, long long day) { return {year, month, day, 24}; }

// Daily steps from a date on.
std::vector<ModelDate> Days(ModelDate first, int count) {
  std::vector<ModelDate> days;
  for (int i = 0; i < count; ++i) {
    days.push_back(first);
    if (++first.day > DaysInMonth(first.year, first.month)) {
      first.day = 1;
      if (++first.month > 12) {
        first.month = 1;
        ++first.year;
      }
    }
  }
  return days;
}

std::string DatedName(const ModelDate& d, const char* file = "p.asc") {
  char name[64];
  std::snprintf(name, sizeof name, "%s_%04lld%02lld%02lld%02lld", file, d.year, d.month, d.day, d.hour);
  return name;
}

TEST_F(GridListsTest, PeriodicGridsAreReReadAndRestored) {
  struct Case {
    const char* keywords;
    ModelDate first;
    int steps;
    std::vector<double> expected;  // the domain value after each step; 100 + i: re-read at step i
  };
  const Case cases[] = {
      // The first step of the run and of every new year.
      {"periodicity = 1 Y 1", Day(2000, 12, 30), 4, {100, 100, 102, 102}},
      // Lower-case units watch nothing.
      {"periodicity = 1 y 1", Day(2000, 12, 30), 3, {1, 1, 1}},
      // Daily steps and unit D: the hour never changes, only the first step reads.
      {"periodicity = 1 D 1", Day(2001, 3, 1), 3, {100, 100, 100}},
      // The fifth day of the period is not reached in January: read on 5 February.
      {"periodicity = 1 M 5", Day(2001, 1, 28), 10, {1, 1, 1, 1, 1, 1, 1, 1, 108, 108}},
      // Restored two steps after a re-read; K = 0 keeps the re-read values.
      {"periodicity = 1 Y 1 persistent = 0 2", Day(2001, 6, 1), 4, {100, 100, 1, 1}},
      {"periodicity = 1 Y 1 persistent = 0", Day(2001, 6, 1), 3, {100, 100, 100}},
      // A re-read while the restore is pending starts the count again.
      {"periodicity = 1 Y 1 persistent = 0 2 ", Day(2000, 12, 30), 6, {100, 100, 102, 102, 1, 1}},
      // Every second period: the first step ends one, the next month's first day another.
      {"periodicity = 2 M 1", Day(2001, 1, 30), 4, {1, 1, 102, 102}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keywords);
    const std::vector<ModelDate> days = Days(c.first, c.steps);
    for (int i = 0; i < c.steps; ++i) WriteGrid(DatedName(days[static_cast<std::size_t>(i)]), 100 + i);
    table_ = grid_table();
    lists_ = GridLists();
    ReadNames("[standard_grids]\n1\np.asc p 0 readcode = 0 defaultValue = 1 " + std::string(c.keywords) + "\n");
    lists_.ReadStandardGridValues(reader_);
    for (int i = 0; i < c.steps; ++i) {
      lists_.UpdatePeriodicGrids(reader_, days[static_cast<std::size_t>(i)], 1440);
      EXPECT_EQ(Values(3), Filled(c.expected[static_cast<std::size_t>(i)])) << "step " << i;
    }
  }
}

TEST_F(GridListsTest, AReReadLandUseGridHoldsTableIndicesAndRenewsItsLayers) {
  ReadNames("[standard_grids]\n1\nlu.asc landuse 0 periodicity = 1 Y 1\n");
  WriteGrid("lu.asc", 1);
  lists_.ReadStandardGridValues(reader_);
  LanduseTable landuse(2);
  landuse[1].SetCode(11);
  landuse[2].SetCode(3);
  MultilayerLanduseTable multilayer(2);
  multilayer[1].ParseBlock(log_, "11 forest { Landuse_Layers = 11, 3; }");
  multilayer[2].ParseBlock(log_, "3 field { Landuse_Layers = 3, -9999; }");
  Grid layer1(1, kRows, kCols, kRows);
  Grid layer2(1, kRows, kCols, kRows);
  lists_.SetLanduseRenewal({.position = 3, .landuse = &landuse, .multilayer = &multilayer,
                            .layers = {layer1.view(), layer2.view()}});

  // Codes 11 and 3 become multilayer indices 1 and 2, the layer codes land-use indices.
  WriteGrid(DatedName(Day(2001, 1, 1), "lu.asc"), [](int r, int) { return r == 2 ? 3.0 : 11.0; });
  lists_.UpdatePeriodicGrids(reader_, Day(2001, 1, 1), 1440);
  EXPECT_EQ(Values(3), (std::vector<double>{1, 1, 1, N, 2, 2, 2, 2, N, 1, 1, 1}));
  EXPECT_EQ(layer1(1, 1), 1);
  EXPECT_EQ(layer2(1, 1), 2);
  EXPECT_EQ(layer1(2, 2), 2);
  EXPECT_EQ(layer2(2, 2), N);
  EXPECT_EQ(layer1(3, 1), N);  // outside the zone grid

  // A code the tables do not know stops the run as at set-up.
  lists_.UpdatePeriodicGrids(reader_, Day(2001, 12, 31), 1440);
  WriteGrid(DatedName(Day(2002, 1, 1), "lu.asc"), 5);
  EXPECT_EQ(CodeOf([&] { lists_.UpdatePeriodicGrids(reader_, Day(2002, 1, 1), 1440); }), 311);
}

// --- statistics of the grid lists ----------------------------------------------------------

TEST_F(GridListsTest, StatisticsAverageTheZonesWithoutNodataCells) {
  ReadNames("[standard_grids]\n2\n"
            "t.asc temp 0 statfile = t.txt statcode = 2001\n"
            "u.asc other 0 readcode=0 statcode = 2001\n");
  // Zone 1 holds 1, 2, 5 and a nodata cell at (3, 2); zone 2 holds 3, 6, 7, 8, 11, 12.
  WriteGrid("t.asc", [](int r, int c) { return r == 3 && c == 2 ? N : (r - 1) * 4.0 + c; });
  lists_.ReadStandardGridValues(reader_);
  const ZoneRanking ranking = RankZoneGrid(reader_, zone_.view(), "zone.asc", {}, {1, kRows});
  StatisticsRegistry registry;
  GridListStatistics statistics;
  statistics.InitGridStatistics(reader_, lists_.grid_count(), ranking, registry, StatisticsRegistry::kCapacity, {});
  // A grid without "statfile" has no table, whatever its statcode.
  EXPECT_EQ(statistics.positions(), (std::vector<int>{3}));
  EXPECT_EQ(table_[4].statistic, nullptr);

  statistics.ResetGridStatistics(reader_);
  statistics.AccumulateGridStatistics(reader_);
  statistics.FinishGridStatistics(reader_, {2001, 1, 1, 24});
  const std::span<const double> row = table_[3].statistic->last_values();
  ASSERT_GE(row.size(), 4u);
  EXPECT_DOUBLE_EQ(row[1], (1 + 2 + 5) / 3.0);
  EXPECT_DOUBLE_EQ(row[2], (3 + 6 + 7 + 8 + 11 + 12) / 6.0);
  EXPECT_FALSE(registry[0].free());
  statistics.ReleaseGridStatistics(reader_);
  EXPECT_EQ(table_[3].statistic, nullptr);
  EXPECT_FALSE(test::ReadFile(dir_.file("t.txt")).empty());
}

}  // namespace
}  // namespace tolvo
