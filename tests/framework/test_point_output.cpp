// The special point output on one process: the section and its failures, the head lines,
// the location of the points, the sampling with its sums over sub-steps, the row buffer
// and the writing.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/point_output.h"
#include "framework/statistics_registry.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::ReadFile;
using test::WriteFile;

constexpr ModelDate kDay{2001, 6, 30, 0};

ModelDate Hour(long long hour) { return {kDay.year, kDay.month, kDay.day, hour}; }

// A 4 x 3 grid of 10 m cells whose lower-left corner is (1000, 2000): column c spans x
// from 1000 + 10 (c - 1) to 1000 + 10 c, row r (from the top) y from 2030 - 10 r to
// 2040 - 10 r. Grids: "theta" with a stack of two levels, "baseflow" and "runoff"; all
// cells are computed by this process.
class PointOutputTest : public test::LogFixture {
 protected:
  PointOutputTest() {
    settings_.geometry = {.ncols = 4, .nrows = 3, .xllcorner = 1000, .yllcorner = 2000, .cellsize = 10};
    settings_.strip = {1, 3};
    settings_.grids = &table_;
    settings_.output_directory = dir_.path().string() + "/";
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    for (int r = 1; r <= 3; ++r) {
      for (int c = 1; c <= 4; ++c) {
        theta_(r, c) = 0.1 * r + 0.01 * c;
        runoff_(r, c) = 10 * r + c;
        for (int l = 1; l <= 2; ++l) theta_levels_(r, c, l) = 100 * l + 10 * r + c;
      }
    }
    Add(1, "zones", zones_.view());
    Add(2, "MPIRegions", regions_.view());
    Add(3, "theta", theta_.view(), theta_levels_.view(), 2);
    Add(4, "baseflow", baseflow_.view());
    Add(5, "runoff", runoff_.view());
  }

  void Add(int index, const char* identifier, GridView values, StackView stack = {}, int levels = 0) {
    grid_entry& entry = table_[index];
    entry.identifier = identifier;
    entry.file_name = std::string(identifier) + ".asc";
    entry.values = values;
    entry.stack = stack;
    entry.levels = levels;
  }

  // The section with the module on and the given text after its time step.
  std::unique_ptr<SpecialOutputClass> Build(const std::string& body, int sub_steps = 1) {
    WriteFile(settings_.compiled_control_file, "[special_output]\n1 on\n60 minutes\n" + body);
    return std::make_unique<SpecialOutputClass>(log_, registry_, settings_, sub_steps);
  }
  // A section of one file "p.txt" with the given entity groups.
  std::unique_ptr<SpecialOutputClass> BuildFile(const std::string& entities, int sub_steps = 1) {
    return Build("numfiles=1;\n{\nheader=h;\nfilename=p.txt;\n" + entities + "\n}\n", sub_steps);
  }
  // The data rows of p.txt (after its three head lines).
  std::vector<std::string> Rows() const {
    std::istringstream in(ReadFile(dir_.file("p.txt")));
    std::vector<std::string> rows;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      if (++n > 3) rows.push_back(line);
    }
    return rows;
  }

  ModelSettings settings_;
  grid_table table_;
  StatisticsRegistry registry_;
  Grid zones_ = test::GridOf({{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}});
  Grid regions_ = test::GridOf({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
  Grid theta_ = test::GridOf({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
  Grid baseflow_ = test::GridOf({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
  Grid runoff_ = test::GridOf({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
  Stack theta_levels_{1, 3, 4, 2, 3};
};

TEST_F(PointOutputTest, UnusableSectionsFailWithTheirCodeAndEntry) {
  const std::string one = "Symbol=a; Xcoords=1015; Ycoords=2015;";
  const struct {
    const char* label;
    std::string body;
    int code;
    std::string entry;
  } cases[] = {
      {"more x than y coordinates", "entity { ID=theta; Symbol=t; Xcoords=1015,1025; Ycoords=2015; }", 1006,
       "Error in section [special_output]: count of X coordinates dos not match the number of Y coordinates "
       "for entity theta"},
      {"two levels for three points",
       "entity { ID=theta; Symbol=t; Xcoords=1015,1025,1035; Ycoords=2015,2015,2015; Level=1,2; }", 1007,
       "Error in section [special_output]: number of levels dos not match the number of X and Y coordinates "
       "for entity theta. EIther each point has a level or none has."},
      // x equal to the lower-left corner gives column 0: outside.
      {"x on the left border", "entity { ID=theta; Symbol=t; Xcoords=1015,1000; Ycoords=2015,2015; }", 1008,
       "Error in section [special_output]: x-coordinate 1000, defined as point 1 for entity theta, is located "
       "outside the actual grid."},
      // All x are checked before the y: the bad y of point 0 is met after the bad x of point 1.
      {"x beyond the right border checked before y",
       "entity { ID=theta; Symbol=t; Xcoords=1015,1041; Ycoords=1999,2015; }", 1008,
       "x-coordinate 1041, defined as point 1 for entity theta"},
      // y equal to the top border gives row 0: outside.
      {"y on the top border", "entity { ID=theta; Symbol=t; Xcoords=1015; Ycoords=2030; }", 1008,
       "Error in section [special_output]: y-coordinate 2030, defined as point 0 for entity theta, is located "
       "outside the actual grid."},
      {"x far beyond any column number", "entity { ID=theta; Symbol=t; Xcoords=1e300; Ycoords=2015; }", 1008,
       "x-coordinate 1e+300, defined as point 0"},
      {"x that is no number", "entity { ID=theta; Symbol=t; Xcoords=east; Ycoords=2015; }", 104,
       "Error in section [special_output]: item Xcoords holds a value that is no number for entity theta"},
      {"entity without a symbol", "entity { ID=theta; Xcoords=1015; Ycoords=2015; }", 104,
       "Error in section [special_output]: item Symbol=...; missing for entity theta"},
      {"entity without an identifier", "entity { " + one + " }", 104,
       "Error in section [special_output]: item ID=...; missing in an entity group"},
      {"entity word without its brace", "entity ID=theta; " + one + " }", 104,
       "the word entity is not followed by \"{\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(CodeOf([&] { BuildFile(c.body); }), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(PointOutputTest, UnusableFileBlocksFailWithTheirCodeAndEntry) {
  const struct {
    const char* label;
    std::string body;
    int code;
    std::string entry;
  } cases[] = {
      {"no numfiles", "files=1;\n", 104, "expected numfiles=<number of files>; after the time step, found: files=1;"},
      {"control file ends inside a block", "numfiles=1;\n{\nheader=h;\nfilename=p.txt;\n", 104,
       "the control file ends inside the block of file 1 of 1"},
      {"block without a file name", "numfiles=1;\n{\nheader=h;\n}\n", 104,
       "item filename=...; missing in a file block"},
      {"file that cannot be created", "numfiles=1;\n{\nheader=h;\nfilename=no/such/folder/p.txt;\n}\n", 1007,
       "error opening file for special output of file\n" + dir_.path().string() +
           "/no/such/folder/p.txt\n-> check file name, disk space or user rights"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(CodeOf([&] { Build(c.body); }), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(PointOutputTest, MissingSectionOrSwitchZeroWritesNothing) {
  WriteFile(settings_.compiled_control_file, "[other]\n1\n60\n");
  SpecialOutputClass missing(log_, registry_, settings_, 1);
  EXPECT_TRUE(missing.files().empty());
  EXPECT_TRUE(Logged("section [special_output] not found in control file; module special_output is switched off"));
  WriteFile(settings_.compiled_control_file, "[special_output]\n0 off\n60\nnumfiles=1;\n{\nfilename=p.txt;\n");
  SpecialOutputClass off(log_, registry_, settings_, 1);
  off.CollectAll(Hour(1), 0, 0);
  off.DeleteModule();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("p.txt")));
  // A count of 0 or below gives a module that is on but has no file.
  EXPECT_TRUE(Build("numfiles=-2;\n")->files().empty());
}

TEST_F(PointOutputTest, HeadLinesNameEveryPointByCellAndByCoordinates) {
  // x = 4567890 in a grid whose corner is (4567800, 2000) lies in column 1; the head line
  // writes it with six significant digits. "ID" inside the header or the file name is not
  // the entity's identifier; an entity without points gives no column.
  settings_.geometry.xllcorner = 4567800;
  settings_.geometry.cellsize = 100;
  Build(
      "numfiles=1;\n{\nheader=soil moisture;\nfilename=ID=p.txt;\n"
      "entity {ID=theta; Symbol=th; Xcoords=4567890, 4567900; Ycoords=2050\t2100; Level=2,1;}\n"
      "entity {ID=runoff; Symbol=q; Xcoords=; Ycoords=;}\n"
      "entity {\n  ID = runoff;\n  Symbol=q;\n  Xcoords=4568150;\n  Ycoords=2299.5;\n}\n}\n");
  EXPECT_EQ(ReadFile(dir_.file("ID=p.txt")),
            "YY\tMM\tDD\tHH\tth/1/3/2\tth/1/2/1\tq/4/1\n"
            "soil\n"
            "YY\tMM\tDD\tHH\tth/4.56789e+06/2050/2\tth/4.5679e+06/2100/1\tq/4.56815e+06/2299.5\n");
}

TEST_F(PointOutputTest, PointsOnCellBordersBelongToTheLeftColumnAndTheUpperRow) {
  // (1010, 2010): on the border of columns 1 and 2 and of rows 2 and 3.
  auto output = BuildFile("entity { ID=runoff; Symbol=q; Xcoords=1010,1010.001,1040; Ycoords=2010,2009.999,2000; }");
  output->CollectAll(Hour(1), 0, 0);
  output->DeleteModule();
  const std::string text = ReadFile(dir_.file("p.txt"));
  EXPECT_EQ(text.substr(0, text.find('\n')), "YY\tMM\tDD\tHH\tq/1/2\tq/2/3\tq/4/3");
  EXPECT_EQ(Rows(), std::vector<std::string>{"2001\t6\t30\t1\t21\t32\t34"});
}

TEST_F(PointOutputTest, SummedGridsAddTheirSubStepsAndOthersShowTheValueAfterTheStep) {
  // Sub-steps set baseflow to 1, 2 and 4 mm and theta to 0.3, 0.2, 0.1; the end of the step
  // changes both once more, which only theta shows. With one sub-step nothing is summed,
  // so baseflow too shows its value after the step. my_baseflow_copy is summed too (the
  // names are matched as parts of the identifier).
  Add(6, "my_baseflow_copy", baseflow_.view());
  for (const int sub_steps : {3, 1}) {
    SCOPED_TRACE(sub_steps);
    auto output = BuildFile(
        "entity { ID=baseflow; Symbol=qb; Xcoords=1015; Ycoords=2015; }\n"
        "entity { ID=my_baseflow_copy; Symbol=c; Xcoords=1015; Ycoords=2015; }\n"
        "entity { ID=theta; Symbol=th; Xcoords=1015; Ycoords=2015; }",
        sub_steps);
    for (long long hour = 1; hour <= 2; ++hour) {
      const double values[] = {1, 2, 4};
      for (int k = 1; k <= sub_steps; ++k) {
        baseflow_(2, 2) = values[k - 1] * static_cast<double>(hour);
        theta_(2, 2) = 0.4 - 0.1 * k;
        output->CollectAll(Hour(hour), 1, k);
      }
      baseflow_(2, 2) = 100;
      theta_(2, 2) = 0.05;
      output->CollectAll(Hour(hour), 0, 0);
    }
    output->DeleteModule();
    if (sub_steps == 3) {
      EXPECT_EQ(Rows(), (std::vector<std::string>{"2001\t6\t30\t1\t7\t7\t0.05", "2001\t6\t30\t2\t14\t14\t0.05"}));
    } else {
      EXPECT_EQ(Rows(), (std::vector<std::string>{"2001\t6\t30\t1\t100\t100\t0.05", "2001\t6\t30\t2\t100\t100\t0.05"}));
    }
  }
}

// A grid that holds a rate (the groundwater model's hand-back in m/s) shows depths per
// sub-step once scaled by the sub-step's length: a constant 1e-7 m/s over an hour is 0.36 mm
// per step, whatever the number of sub-steps; a sampled grid of the same name part keeps
// its values.
TEST_F(PointOutputTest, ScaledRateShowsTheSameDepthPerStepWhateverTheSubSteps) {
  Add(6, "my_baseflow_copy", baseflow_.view());
  for (const int sub_steps : {1, 2, 4}) {
    SCOPED_TRACE(sub_steps);
    auto output = BuildFile(
        "entity { ID=baseflow; Symbol=qb; Xcoords=1015; Ycoords=2015; }\n"
        "entity { ID=my_baseflow_copy; Symbol=c; Xcoords=1015; Ycoords=2015; }",
        sub_steps);
    output->ScaleGrid("baseflow", 3600.0 / sub_steps * 1000);
    baseflow_(2, 2) = 1e-7;
    for (int k = 1; k <= sub_steps; ++k) output->CollectAll(Hour(1), 1, k);
    output->CollectAll(Hour(1), 0, 0);
    output->DeleteModule();
    const std::string copy = sub_steps == 1 ? "1e-07" : sub_steps == 2 ? "2e-07" : "4e-07";
    EXPECT_EQ(Rows(), std::vector<std::string>{"2001\t6\t30\t1\t0.36\t" + copy});
  }
}

TEST_F(PointOutputTest, PointsWithoutAValueAreNodataAndOtherValuesAreWrittenAsTheyAre) {
  runoff_(1, 1) = -12345;  // below nodata: a value like any other
  runoff_(1, 2) = 4567890;
  auto output = BuildFile(
      // Stack levels: 2, none above the stack's two levels, none below 1.
      "entity { ID=theta; Symbol=tl; Xcoords=1035,1035,1035; Ycoords=2005,2005,2005; Level=2,3,0; }\n"
      // Levels on a grid without a stack, and no levels on a stack grid: the grid's values.
      "entity { ID=runoff; Symbol=q; Xcoords=1005,1015; Ycoords=2025,2025; Level=5,5; }\n"
      "entity { ID=theta; Symbol=t; Xcoords=1035; Ycoords=2005; }\n"
      // A grid nobody registered.
      "entity { ID=snow_depth; Symbol=s; Xcoords=1035; Ycoords=2005; }");
  output->CollectAll(Hour(24), 0, 0);
  output->DeleteModule();
  EXPECT_EQ(Rows(), std::vector<std::string>{"2001\t6\t30\t24\t234\t-9999\t-9999\t-12345\t4.56789e+06\t0.34\t-9999"});
}

// A stack without a grid of values stands in the table before other grids, as the soil
// model registers them: the stack's points and those of the grids after it find their values.
TEST_F(PointOutputTest, StacksWithoutValuesAndTheGridsAfterThemAreFound) {
  Stack layers{1, 3, 4, 2, 3};
  layers(2, 2, 2) = 7;
  Grid late = test::GridOf({{0, 0, 0, 0}, {0, 0.5, 0, 0}, {0, 0, 0, 0}});
  Add(6, "snow_layers", {}, layers.view(), 2);
  Add(7, "late_grid", late.view());
  auto output = BuildFile(
      "entity { ID=snow_layers; Symbol=l; Xcoords=1015; Ycoords=2015; Level=2; }\n"
      "entity { ID=late_grid; Symbol=g; Xcoords=1015; Ycoords=2015; }");
  output->CollectAll(Hour(1), 0, 0);
  output->DeleteModule();
  EXPECT_EQ(Rows(), std::vector<std::string>{"2001\t6\t30\t1\t7\t0.5"});
}

TEST_F(PointOutputTest, CellsOfNoProcessAreNodata) {
  regions_(2, 2) = -9999;  // outside the domain
  regions_(2, 3) = 1;      // another process's cell
  auto output = BuildFile("entity { ID=runoff; Symbol=q; Xcoords=1015,1025,1035; Ycoords=2015,2015,2015; }");
  output->CollectAll(Hour(1), 0, 0);
  output->DeleteModule();
  EXPECT_EQ(Rows(), std::vector<std::string>{"2001\t6\t30\t1\t-9999\t-9999\t24"});
}

TEST_F(PointOutputTest, RowsAreWrittenWhenTheBufferIsFullAndAtTheEnd) {
  // 10 points: floor(2097152 / (8 * 11 + 32)) = 17476 rows fill the buffer.
  EXPECT_EQ(SpecialOutputFile::Capacity(10), 17476u);
  EXPECT_EQ(SpecialOutputFile::Capacity(0), 52428u);
  EXPECT_EQ(SpecialOutputFile::Capacity(1000000), 1u);
  auto output = BuildFile(
      "entity { ID=runoff; Symbol=q; Xcoords=1015,1015,1015,1015,1015,1015,1015,1015,1015,1015; "
      "Ycoords=2015,2015,2015,2015,2015,2015,2015,2015,2015,2015; }");
  ASSERT_EQ(output->files().front().capacity(), 17476u);
  for (int step = 1; step <= 17475; ++step) output->CollectAll(Hour(step % 24 + 1), 0, 0);
  EXPECT_TRUE(Rows().empty());
  output->CollectAll(Hour(1), 0, 0);
  EXPECT_EQ(Rows().size(), 17476u);
  EXPECT_EQ(output->files().front().rows_held(), 0u);
  output->CollectAll(Hour(2), 0, 0);
  output->DeleteModule();
  const std::vector<std::string> rows = Rows();
  ASSERT_EQ(rows.size(), 17477u);
  EXPECT_EQ(rows.back(), "2001\t6\t30\t2\t22\t22\t22\t22\t22\t22\t22\t22\t22\t22");
  EXPECT_TRUE(Logged("(" + std::to_string(14 * 17476 * 8) + " of 2097152 buffer-bytes)"));
}

TEST_F(PointOutputTest, FlushingGoesOnWithAnEmptyBufferAndAFileThatCannotBeAppendedToFails) {
  auto output = BuildFile("entity { ID=runoff; Symbol=q; Xcoords=1015; Ycoords=2015; }");
  output->CollectAll(Hour(1), 0, 0);
  output->FlushAll();
  EXPECT_TRUE(Logged("write " + dir_.file("p.txt")));
  output->CollectAll(Hour(2), 0, 0);
  output->FlushAll();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"2001\t6\t30\t1\t22", "2001\t6\t30\t2\t22"}));
  // The file gives way to a folder of the same name: it can no longer be appended to.
  std::filesystem::remove(dir_.file("p.txt"));
  std::filesystem::create_directory(dir_.file("p.txt"));
  output->CollectAll(Hour(3), 0, 0);
  EXPECT_EQ(CodeOf([&] { output->FlushAll(); }), 65);
  EXPECT_TRUE(Logged("\nerror opening file " + dir_.file("p.txt")));
}

}  // namespace
}  // namespace tolvo
