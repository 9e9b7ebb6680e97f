#include "meteo/regional_superposition.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/statistics_registry.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr int kRows = 2;
constexpr int kCols = 3;

// Two input grids A (10) and B (20) over a 2 x 3 basin with the regions 3 and 7.
// Cell (1,1) lies wholly in region 7; cell (1,2) on the border, 0.6 in region 3 and 0.4
// in region 7; cell (1,3) is computed by another process; cell (2,1) lies outside the
// basin; cells (2,2) and (2,3) lie in region 3.
class SuperpositionBasin {
 public:
  explicit SuperpositionBasin(DiagnosticsLog& log, const test::TempDir& dir) : log_(log), setup_(log, "") {
    const GridGeometry geometry{.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata};
    setup_.set_geometry(geometry);
    setup_.set_strip({1, kRows});
    setup_.set_grid_table(&table_);
    const auto grid = [&](const char* id, std::vector<std::vector<double>> rows) {
      grids_.push_back(std::make_unique<Grid>(test::GridOf(rows)));
      setup_.RegisterGrid(static_cast<int>(grids_.size()), std::string(id) + ".asc", grids_.back()->view(), {}, 0, id,
                          0, 1, kRows);
    };
    grid("zones", {{1, 1, 1}, {kNodata, 1, 1}});
    grid("A", {{10, 10, 10}, {10, 10, 10}});
    grid("B", {{20, 20, 20}, {20, 20, 20}});
    grid("MPIRegions", {{0, 0, 1}, {0, 0, 0}});
    grid("regression_regions", {{7, 3, 3}, {3, 3, 3}});
    grid("regression_weights1", {{1, 0.6, 1}, {1, 1, 1}});
    grid("regression_regions2", {{0, 7, 0}, {0, 0, 0}});
    grid("regression_weights2", {{0, 0.4, 0}, {0, 0, 0}});
    zones_ = {ZoneRecord{}, ZoneRecord{1, 0, 1, 1, 0}};
    code_index_ = {0, 1};
    region_index_ = {0, 0, 0, 1, 0, 0, 0, 2};
    settings.compiled_control_file = dir.file("superposition.ctl");
    settings.geometry = geometry;
    settings.strip = {1, kRows};
    settings.grids = &table_;
    settings.zones = {.zone_count = 1, .largest_code = 1, .zones = zones_, .code_index = code_index_,
                      .column_ranges = {}};
    settings.regions = {.region_count = 2, .largest_code = 7, .code_index = region_index_, .centroids = {}};
    settings.output_directory = dir.file("");
  }

  // Builds the module from the lines after its time step; the code it raises, or 0.
  int Build(const std::string& lines) {
    test::WriteFile(settings.compiled_control_file, "[RegionalSuperposition]\n1\n60\n" + lines + "\n[next]\n");
    return CodeOf([&] { model_ = std::make_unique<RegionalSuperposition>(log_, registry_, settings); });
  }
  // Fills the grid table up to its last entry.
  void FillTable() {
    for (int index = static_cast<int>(grids_.size()) + 1; index <= kLastGridIndex; ++index) {
      setup_.RegisterGrid(index, "filler.asc", grids_.front()->view(), {}, 0, "filler" + std::to_string(index), 0, 1,
                          kRows);
    }
  }
  GridView Values(const std::string& identifier) {
    const int index = setup_.FindGrid(identifier, true);
    return index > 0 ? table_[index].values : GridView{};
  }
  const grid_entry& Entry(const std::string& identifier) { return table_[setup_.FindGrid(identifier, true)]; }
  RegionalSuperposition& model() { return *model_; }

  ModelSettings settings;

 private:
  DiagnosticsLog& log_;
  grid_table table_;
  modelobject setup_;
  std::vector<std::unique_ptr<Grid>> grids_;
  std::vector<ZoneRecord> zones_;
  std::vector<int> code_index_;
  std::vector<int> region_index_;
  StatisticsRegistry registry_;
  std::unique_ptr<RegionalSuperposition> model_;
};

std::string Entity(const std::string& name, const std::string& inputs) {
  return "NumberOfEntities = 1;\n" + name + " {\n" + inputs +
         "  outputgrid = merged.asc;\n  writecode = 0;\n  outputtable = merged.txt;\n  statcode = 0;\n}\n";
}

std::string Input(const std::string& id, const std::string& regions, const std::string& weights) {
  return "  entityinputgrid = " + id + ";\n  regions = " + regions + ";\n  weights = " + weights + ";\n";
}

class RegionalSuperpositionTest : public test::LogFixture {
 protected:
  SuperpositionBasin basin_{log_, dir_};
};

TEST_F(RegionalSuperpositionTest, CellsTakeTheWeightsOfTheirRegionsBlendedAtBorders) {
  ASSERT_EQ(basin_.Build(Entity("precip_merged", Input("A", "3 7", "0.25 0") + Input("B", "3, 7", "0.75\t1"))), 0);
  ASSERT_EQ(basin_.model().entities().size(), 1u);
  const cSuperposition& entity = *basin_.model().entities().front();
  EXPECT_EQ(entity.output_file(), "merged.asc");
  EXPECT_EQ(*basin_.Entry("precip_merged").file_name, "merged.asc");
  basin_.model().RunStep(5, 1, 6, 2020);
  basin_.model().WriteSuperpositionOutputs();
  const GridView out = basin_.Values("precip_merged");
  // Region 3: 0.25 A + 0.75 B = 17.5; region 7: B = 20.
  EXPECT_DOUBLE_EQ(out(1, 1), 20);
  EXPECT_DOUBLE_EQ(out(1, 2), 0.6 * 17.5 + 0.4 * 20);
  EXPECT_EQ(out(1, 3), 0);  // another process's cell keeps its initial value
  EXPECT_EQ(out(2, 1), kNodata);
  EXPECT_DOUBLE_EQ(out(2, 2), 17.5);
  basin_.model().FlushStatistics();
  basin_.model().DeleteModule();
  EXPECT_TRUE(basin_.Values("precip_merged").empty());
}

TEST_F(RegionalSuperpositionTest, WithOneRegionTheSecondRegionGridsAreNotUsed) {
  std::vector<int> one_region = {0, 0, 0, 1};
  basin_.settings.regions = {.region_count = 1, .largest_code = 3, .code_index = one_region, .centroids = {}};
  ASSERT_EQ(basin_.Build(Entity("m", Input("A", "3", "0.5") + Input("B", "3", "0.5"))), 0);
  basin_.model().RunStep(5, 1, 6, 2020);
  // Cell (1,2) has weight 0.6 in region 3 only; its second region is not counted.
  EXPECT_DOUBLE_EQ(basin_.Values("m")(1, 2), 0.6 * 15);
  EXPECT_DOUBLE_EQ(basin_.Values("m")(2, 3), 15);
}

TEST_F(RegionalSuperpositionTest, SectionAndEntityErrorsStopWithTheirCodes) {
  const struct {
    const char* label;
    std::string lines;
    int code;
    std::string entry;
    bool full_table = false;
  } cases[] = {
      {"no entity count", "merged { }", kSuperpositionEntities, "could not read \"NumberOfEntities\" keyword in section [RegionalSuperposition]"},
      {"regions out of order", Entity("m", Input("A", "7 3", "1 0") + Input("B", "3 7", "0 1")),
       kSuperpositionRegions, "\nerror reading regions in RegionalSuperposition entity: m, inputgrid A\n"
                              "region on position 1 in the region list should have value 3\nbut was read as 7"},
      {"no such region", Entity("m", Input("A", "3 5", "1 0")), kSuperpositionRegions,
       "region on position 2 was read as 5\nThere is now region with this code"},
      {"too few regions", Entity("m", Input("A", "3", "1")), kSuperpositionRegions,
       "The number of regions here (1) does not equal the number of\nregions in the regiongrid (2)"},
      {"too few weights", Entity("m", Input("A", "3 7", "1")), kSuperpositionWeights,
       "\nerror reading weights for regions in RegionalSuperposition entity: m, inputgrid A\n"
       "The number of regions (2) does not equal the number of weights (1)"},
      {"weights short of 1", Entity("m", Input("A", "3 7", "0.5 0.5") + Input("B", "3 7", "0.49 0.5")),
       kSuperpositionWeights, "entity: m\nregion 1: The sum of all weights is not 1.0 but 0.99 "},
      {"an entity without inputs", Entity("m", ""), kSuperpositionWeights, "region 1: The sum of all weights"},
      {"weights within the tolerance", Entity("m", Input("A", "3 7", "0.5 0.5") + Input("B", "3 7", "0.49995 0.5")),
       0, ""},
      {"unknown input grid", Entity("m", Input("C", "3 7", "1 1")), kMissingGrid, ""},
      {"no output table", "NumberOfEntities = 1;\nm { " + Input("A", "3 7", "1 1") + " outputgrid = a; writecode = 0; statcode = 0; }",
       kMissingControlItem, "the key \"outputtable\" is missing"},
      {"keyword against its =", "NumberOfEntities = 1;\nm { " + Input("A", "3 7", "1 1") +
                                    " outputgrid= a; writecode = 0; outputtable = t; statcode = 0; }",
       kMissingControlItem, "the key \"outputgrid\" must be followed by a blank"},
      {"the control file ends in the entity", "NumberOfEntities = 1;\nm { " + Input("A", "3 7", "1 1"),
       kMissingControlItem, "the control file ends before its \"}\""},
      {"no free grid", Entity("m", Input("A", "3 7", "1 1")), kGridEntryError,
       "no free grid anymore, allowed number of grids is 1000!", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // A diagnostics file of the case alone, complete once its log ends.
    const std::string file = dir_.file("case" + std::to_string(++n) + ".xml");
    std::ostringstream console;
    {
      DiagnosticsLog log(file, 4, console);
      SuperpositionBasin basin(log, dir_);
      if (c.full_table) basin.FillTable();
      EXPECT_EQ(basin.Build(c.lines), c.code);
    }
    if (c.entry.empty()) continue;
    EXPECT_NE(console.str().find(c.entry), std::string::npos) << console.str();
    // The entry is a FATAL one (level 0) of the diagnostics file.
    std::string first_line = c.entry.substr(c.entry.find_first_not_of('\n'));
    first_line = DiagnosticsLog::FileForm(first_line.substr(0, first_line.find('\n')));
    const std::string xml = test::ReadFile(DiagnosticsLog::PerProcessName(file, 0));
    const std::size_t at = xml.find(first_line);
    ASSERT_NE(at, std::string::npos) << xml;
    EXPECT_EQ(xml.compare(xml.rfind("<line level=", at), 15, "<line level=\"0\""), 0) << xml;
  }
}

TEST_F(RegionalSuperpositionTest, NoEntitiesAndSwitchedOffModulesComputeNothing) {
  ASSERT_EQ(basin_.Build("NumberOfEntities = 0;"), 0);
  EXPECT_EQ(basin_.model().IsActive(), 1);
  EXPECT_TRUE(basin_.model().entities().empty());
  basin_.model().RunStep(5, 1, 6, 2020);
  basin_.model().WriteSuperpositionOutputs();

  test::WriteFile(basin_.settings.compiled_control_file, "[RegionalSuperposition]\n0\n60\n[next]\n");
  StatisticsRegistry registry;
  RegionalSuperposition off(log_, registry, basin_.settings);
  off.RunStep(7, 2, 6, 2020);
  EXPECT_EQ(off.current_date().hour, 7);
  EXPECT_TRUE(off.entities().empty());
}

}  // namespace
}  // namespace tolvo
