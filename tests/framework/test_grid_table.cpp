#include "framework/grid_table.h"

#include <gtest/gtest.h>

#include <memory>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

class GridTableTest : public test::LogFixture {
 protected:
  GridTableTest() {
    object_.set_name("snow_model");
    object_.set_geometry({.ncols = 4, .nrows = 5});
    object_.set_grid_table(table_.get());
  }

  // Registers the grid under the identifier at the index with the write code.
  void Register(int index, const std::string& identifier, int write_code = 0, const std::string& file = "f.asc") {
    object_.RegisterGrid(index, file, values_.view(), {}, 0, identifier, write_code, 1, 5);
  }

  modelobject object_{log_, "control.txt"};
  std::unique_ptr<grid_table> table_ = std::make_unique<grid_table>();
  Grid values_{1, 5, 4, 5};
};

TEST_F(GridTableTest, WriteCodeDigitsChooseTheAccumulators) {
  Register(3, "throughfall", 1234);
  const grid_entry& entry = (*table_)[3];
  EXPECT_EQ(entry.ones, 4);
  EXPECT_EQ(entry.tens, 3);
  EXPECT_EQ(entry.minimum_flag, 0);
  EXPECT_EQ(entry.maximum_flag, 1);
  EXPECT_EQ(entry.thousands, 1);
  EXPECT_FALSE(entry.sum.empty());
  EXPECT_TRUE(entry.minimum.empty());
  EXPECT_FALSE(entry.maximum.empty());
  EXPECT_FALSE(entry.vegetation_period.empty());
  EXPECT_EQ(entry.sum.rows().first, 1);
  EXPECT_EQ(entry.sum.rows().last, 5);
  EXPECT_EQ(entry.sum.ncols(), 4);
  EXPECT_EQ(entry.sum_name, "f.asc");
  EXPECT_EQ(entry.maximum_name, "f.asc");
  EXPECT_EQ(entry.vegetation_period_name, "f.asc");
  EXPECT_TRUE(entry.minimum_name.empty());
  EXPECT_EQ(entry.first_row, 1);
  EXPECT_EQ(entry.last_row, 5);

  // Hundreds digit: 1 minimum, 2 maximum, 3 both, anything else neither.
  const struct {
    int code, minimum, maximum;
  } hundreds[] = {{100, 1, 0}, {200, 0, 1}, {300, 1, 1}, {400, 0, 0}, {0, 0, 0}};
  for (const auto& c : hundreds) {
    SCOPED_TRACE(c.code);
    Register(4, "x", c.code);
    EXPECT_EQ((*table_)[4].minimum_flag, c.minimum);
    EXPECT_EQ((*table_)[4].maximum_flag, c.maximum);
    EXPECT_EQ((*table_)[4].minimum.empty(), c.minimum == 0);
    EXPECT_EQ((*table_)[4].maximum.empty(), c.maximum == 0);
    object_.FreeGridEntry(4);
  }
}

TEST_F(GridTableTest, WriteCodeZeroAllocatesNoAccumulator) {
  Register(3, "theta", 0);
  const grid_entry& entry = (*table_)[3];
  EXPECT_TRUE(entry.sum.empty() && entry.minimum.empty() && entry.maximum.empty() && entry.vegetation_period.empty());
  EXPECT_EQ(entry.file_name, "f.asc");
  EXPECT_EQ(entry.identifier, "theta");
  EXPECT_EQ(entry.outname, "f.asc");
}

TEST_F(GridTableTest, FindGridStopsAtAnEntryWithoutValuesUnlessKeepSearching) {
  Register(1, "[zone_grid]");
  Register(2, "[elevation_model]");
  Stack stack(1, 5, 4, 3, 5);
  object_.RegisterGrid(3, "soil.stk", {}, stack.view(), 3, "theta", 0, 1, 5);
  Register(4, "throughfall");
  EXPECT_EQ(object_.FindGrid("[zone_grid]", false), 1);
  EXPECT_EQ(object_.FindGrid("[elevation_model]", false), 2);
  EXPECT_EQ(object_.FindGrid("throughfall", false), 0);
  EXPECT_EQ(object_.FindGrid("throughfall", true), 4);
  EXPECT_EQ(object_.FindGrid("theta", true), 3);
  EXPECT_EQ(object_.FindGrid("Throughfall", true), 0);  // case matters
  EXPECT_EQ(object_.FindGrid("through", true), 0);      // whole identifier
  EXPECT_EQ(object_.RequireGrid("throughfall"), 4);
}

TEST_F(GridTableTest, RequireGridReachesEntry999AndIndex1000IsRefused) {
  for (int i = 1; i <= 999; ++i) {
    std::string identifier = "g";
    identifier += std::to_string(i);
    Register(i, identifier);
  }
  EXPECT_EQ(object_.RequireGrid("g999"), 999);
  EXPECT_EQ(object_.FindGrid("g999", false), 999);
  for (const int index : {1000, 0, -1, 5000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(CodeOf([&] { Register(index, "late"); }), 12);
  }
  EXPECT_NE(console_.str().find("no free grid in memory,(max. 1000)!"), std::string::npos);
}

TEST_F(GridTableTest, RequireOneOfSeveralTakesTheFirstPresentInOrder) {
  Register(1, "[zone_grid]");
  Register(2, "snowcover_outflow");
  Register(3, "precipitation");
  EXPECT_EQ(object_.RequireOneOf3Grids("interception_outflow", "snowcover_outflow", "precipitation"), 2);
  EXPECT_EQ(object_.RequireOneOf3Grids("precipitation", "snowcover_outflow", "x"), 3);
  EXPECT_EQ(object_.RequireOneOf4Grids("a", "b", "c", "precipitation"), 3);
}

TEST_F(GridTableTest, MissingRequiredGridsFailWith33AndNameTheObject) {
  Register(1, "[zone_grid]");
  EXPECT_EQ(CodeOf([&] { object_.RequireGrid("throughfall"); }), 33);
  EXPECT_NE(console_.str().find("\n---------------- !!! ERROR !!!  --------------------------\n"
                                "throughfall not found in memory,\nThese data are needed within snow_model \n"
                                "if they are interpolated data, please specify an interpolator for\n"
                                "throughfall in the control file or read it in as a standardfile,\n"),
            std::string::npos);
  EXPECT_EQ(CodeOf([&] { object_.RequireOneOf3Grids("a", "b", "c"); }), 33);
  EXPECT_NE(console_.str().find("Wether a, b or c \nwhere found in memory,\n"
                                "One of these data sets has to be present within snow_model \n"
                                "If the data are to be interpolated, please specify an interpolatior for\n"
                                "a, b or c in the control file,\n"),
            std::string::npos);
  EXPECT_EQ(CodeOf([&] { object_.RequireOneOf4Grids("a", "b", "c", "d"); }), 33);
  EXPECT_NE(console_.str().find("Wether a, b, c or d \nwhere found"), std::string::npos);
  // The scan ends at the first entry without an identifier.
  Register(3, "late");
  EXPECT_EQ(CodeOf([&] { object_.RequireGrid("late"); }), 33);
}

TEST_F(GridTableTest, FreeGridEntryDropsOnlyWhatTheRegistrationCreated) {
  // An output name given before the registration is kept; one the registration made is freed.
  (*table_)[3].outname = "given_out.asc";
  Register(3, "a", 12);
  Register(4, "b", 12);
  EXPECT_EQ((*table_)[3].outname, "given_out.asc");
  EXPECT_EQ((*table_)[4].outname, "f.asc");
  for (const int index : {3, 4}) {
    object_.FreeGridEntry(index);
    const grid_entry& entry = (*table_)[index];
    EXPECT_FALSE(entry.file_name.has_value());
    EXPECT_FALSE(entry.identifier.has_value());
    EXPECT_FALSE(entry.has_values());
    EXPECT_EQ(entry.ones, 0);
    EXPECT_TRUE(entry.sum.empty());
  }
  EXPECT_EQ((*table_)[3].outname, "given_out.asc");
  EXPECT_FALSE((*table_)[4].outname.has_value());
  // The owner's values are untouched.
  values_(2, 3) = 7.5;
  EXPECT_EQ(values_(2, 3), 7.5);
  object_.FreeGridEntry(1001);  // ignored
}

TEST_F(GridTableTest, ReRegistrationKeepsTheNames) {
  Register(3, "first", 0, "first.asc");
  Register(3, "first", 10, "second.asc");
  const grid_entry& entry = (*table_)[3];
  EXPECT_EQ(entry.file_name, "first.asc");
  EXPECT_EQ(entry.identifier, "first");
  EXPECT_EQ(entry.sum_name, "first.asc");
  EXPECT_EQ(entry.tens, 1);
}

// Entries are handed out right after the used prefix, n at a time, within the bounds of
// the caller; when they do not fit, the caller's message is the FATAL entry and the code 12.
TEST_F(GridTableTest, TakeFreeEntriesHandsOutConsecutiveEntriesAfterTheUsedOnes) {
  grid_table& table = *table_;
  using Bounds = grid_table::EntryBounds;
  constexpr auto kByIdentifier = grid_table::TakenBy::kIdentifier;
  for (int i = 1; i <= 4; ++i) Register(i, std::to_string(i));
  // A grid of the set-up lists placed by file name, not registered yet: taken for the
  // set-up, still free for a sub-model's registration.
  table[5].file_name = "placed.asc";
  const struct {
    int n;
    Bounds bounds;
    int first;
  } fits[] = {{1, {}, 6},
              {3, {}, 6},
              {2, {.taken_by = kByIdentifier}, 5},
              {1, {.first = 7}, 7},
              {kLastGridIndex - 5, {}, 6},
              {1, {.first = -2, .last = 6}, 6}};
  for (const auto& c : fits) {
    SCOPED_TRACE(testing::Message() << "n " << c.n << ", from " << c.bounds.first << " to " << c.bounds.last);
    EXPECT_EQ(table.TakeFreeEntries(c.n, c.bounds, log_, "unused"), c.first);
  }
  EXPECT_FALSE(Logged("FATAL"));

  const struct {
    int n;
    Bounds bounds;
  } full[] = {{kLastGridIndex - 4, {}}, {2, {.last = 6}}, {1, {.last = 5}}, {1, {.first = kLastGridIndex + 1}}};
  for (const auto& c : full) {
    SCOPED_TRACE(testing::Message() << "n " << c.n << ", from " << c.bounds.first << " to " << c.bounds.last);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { table.TakeFreeEntries(c.n, c.bounds, log_, "no free grid left (max. 1000)\n"); }),
              kGridEntryError);
    EXPECT_TRUE(Logged("no free grid left (max. 1000)\n")) << console_.str();
  }

  // Index 1000 only where the caller's bound reaches it.
  for (int i = 5; i <= kLastGridIndex; ++i) Register(i, std::to_string(i));
  EXPECT_EQ(table.TakeFreeEntries(1, {.last = kLastGridIndex + 1}, log_, "unused"), kLastGridIndex + 1);
  EXPECT_EQ(CodeOf([&] { table.TakeFreeEntries(1, {}, log_, "full"); }), kGridEntryError);
}

}  // namespace
}  // namespace tolvo
