// Inputs of methods 1, 2, 6 and 9 are built, advanced to the end of their data and rewound
// to their start record alike on every process, whatever the number of processes: each
// process reads the files itself and holds the result grid over its own rows (method 9:
// process 0 over every row).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "meteo_fixture.h"
#include "support/row_bands.h"

namespace tolvo::test {
namespace {

class MeteoInputMpi : public LogFixture {
 protected:
  MeteoInputMpi() {
    WriteFile(dir_.file("residuals.txt"), StationFileText({400, 500}, {1000, 2000}, {3000, 4000}, HourlyRows(1, 4, 2)));
    WriteFile(dir_.file("gradients.txt"), StationFileText({400, 500}, {1000, 2000}, {3000, 4000},
                                                          {"2020 1 1 1 -0.5 -0.6", "2020 1 1 2 -0.5 -0.6",
                                                           "2020 1 1 3 -0.6 -0.7", "2020 1 1 4 -0.6 -0.7"}));
    WriteFile(dir_.file("grids.txt"),
              StationFileText({100}, {0}, {400},
                              {"2020 1 1 1 a.asc", "2020 1 1 2 -9999", "2020 1 1 3 b.asc", "2020 1 1 4 c.asc"}));
    std::ofstream(dir_.file("regression.txt")) << "jr mo dy hr a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy\n"
                                               << "2020 1 1 1 1 2 3 4 5 6 7 8 9 10 11\n"
                                               << "2020 1 1 2 2 3 4 5 6 7 8 9 10 11 12\n"
                                               << "2020 1 1 3 3 4 5 6 7 8 9 10 11 12 13\n"
                                               << "2020 1 1 4 4 5 6 7 8 9 10 11 12 13 14\n"
                                               << "0 0 0 0\n";
  }

  // The current record of an input as one line: its date and what it carries.
  static std::string Record(const meteointerpol& input) {
    std::ostringstream text;
    const ModelDate d = input.GetDate();
    text << d.year << "-" << d.month << "-" << d.day << " " << d.hour << ":";
    const int m = input.method();
    if (m == 2) {
      for (double p : input.regression_file().parameters) text << " " << p;
    } else if (m == 9) {
      text << " " << input.grid_list().grid_name;
    } else {
      for (int slot = 0; slot < StationFileCount(m); ++slot) {
        const StationFileState& file = input.station_file(slot);
        for (int i = 1; i <= file.n_stations; ++i) text << " " << file.values[static_cast<std::size_t>(i)];
      }
    }
    return text.str();
  }

  // Builds the input, walks it to its end, rewinds it and takes the start record again.
  std::string Walk(const SectionItems& items) {
    MeteoRun run(log_, run_dir_, RowBand(WorldRank(), WorldSize(), kMeteoRows));
    run.settings.end_date = {2020, 1, 1, 24};
    run.WriteControlFile(SectionText("temperature", items));
    const std::unique_ptr<meteointerpol> input = run.Build(log_, "temperature");
    const RowRange held = input->result_grid().rows();
    const RowRange expected = items.method == "9" && WorldRank() == 0 ? RowRange{1, kMeteoRows} : run.settings.strip;
    EXPECT_EQ(held.first, expected.first);
    EXPECT_EQ(held.last, expected.last);
    std::string walk = Record(*input) + "\n";
    for (int step = 0; step < 10 && !input->EndOfData(); ++step) {
      input->ReadNextRecord();
      if (!input->EndOfData()) walk += Record(*input) + "\n";
    }
    for (int repetition = 0; repetition < 2; ++repetition) {
      input->RewindInput();
      input->ReadNextRecord();
      walk += "rewound: " + Record(*input) + "\n";
    }
    input->DeleteModule();
    return walk;
  }

  TempDir run_dir_;
};

TEST_F(MeteoInputMpi, InputsWalkTheirRecordsAndRewindAlikeOnEveryProcess) {
  struct WalkCase {
    const char* name;
    SectionItems items;
    std::string expected;
  };
  const WalkCase cases[] = {
      {"method 1",
       {.method = "1", .file_lines = {dir_.file("residuals.txt")}},
       "2020-1-1 1: 11 21\n2020-1-1 2: 12 22\n2020-1-1 3: 13 23\n2020-1-1 4: 14 24\n"
       "rewound: 2020-1-1 1: 11 21\nrewound: 2020-1-1 1: 11 21\n"},
      {"method 2",
       {.method = "2", .file_lines = {"unused"}, .method_line = dir_.file("regression.txt")},
       "2020-1-1 1: 1 2 3 4 5 6 7 8 9 10 11\n2020-1-1 2: 2 3 4 5 6 7 8 9 10 11 12\n"
       "2020-1-1 3: 3 4 5 6 7 8 9 10 11 12 13\n2020-1-1 4: 4 5 6 7 8 9 10 11 12 13 14\n"
       "rewound: 2020-1-1 1: 1 2 3 4 5 6 7 8 9 10 11\nrewound: 2020-1-1 1: 1 2 3 4 5 6 7 8 9 10 11\n"},
      {"method 6",
       {.method = "6", .file_lines = {dir_.file("residuals.txt"), dir_.file("gradients.txt")}},
       "2020-1-1 1: 11 21 -0.5 -0.6\n2020-1-1 2: 12 22 -0.5 -0.6\n2020-1-1 3: 13 23 -0.6 -0.7\n"
       "2020-1-1 4: 14 24 -0.6 -0.7\nrewound: 2020-1-1 1: 11 21 -0.5 -0.6\nrewound: 2020-1-1 1: 11 21 -0.5 -0.6\n"},
      {"method 9",
       {.method = "9", .file_lines = {dir_.file("grids.txt")}, .method_line = "8.9e-5 0.0767 127 6e-6 0.098"},
       "2020-1-1 1: a.asc\n2020-1-1 2: -9999\n2020-1-1 3: b.asc\n2020-1-1 4: c.asc\n"
       "rewound: 2020-1-1 1: a.asc\nrewound: 2020-1-1 1: a.asc\n"},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string walk = Walk(c.items);
    EXPECT_EQ(walk, c.expected);
    EXPECT_EQ(walk, TextOfProcess0(walk));
  }
}

// A bilinear input on a station mesh turned by 20 degrees: every process rotates the
// coordinates of its own rows and finds the same corner stations for them as one process
// does for all rows (worked by hand: the mesh is laid out so that every cell of the grid
// has the corners 9, 8, 5, 6).
TEST_F(MeteoInputMpi, RotatedGridsAndCornerStationsDoNotDependOnTheProcesses) {
  WriteFile(dir_.file("mesh.txt"), MeshStationFileText(20));
  MeteoRun run(log_, run_dir_, RowBand(WorldRank(), WorldSize(), kMeteoRows));
  run.WriteControlFile(SectionText("temperature", {.method = "5", .file_lines = {dir_.file("mesh.txt")}}));
  const std::unique_ptr<meteointerpol> input = run.Build(log_, "temperature");
  std::ostringstream setup;
  setup.precision(9);
  setup << input->section().anisotropy_slope << " " << input->section().anisotropy_ratio << " "
        << input->station_spacing().horizontal << " " << input->station_spacing().vertical;
  EXPECT_EQ(setup.str(), TextOfProcess0(setup.str()));
  EXPECT_NEAR(input->section().anisotropy_slope, 20, 0.01);
  const int x_index = run.setup().FindGrid("CoordXRot_temperature", false);
  ASSERT_GT(x_index, 0);
  const ConstGridView x_rot = run.table()[x_index].values;
  const ConstGridView y_rot = run.table()[x_index + 1].values;
  const double a = input->anisotropy_slope_radians();
  const RowRange own = run.settings.strip;
  EXPECT_EQ(input->lookup_stations(0).rows().first, own.first);
  EXPECT_EQ(input->lookup_stations(0).rows().last, own.last);
  for (int r = own.first; r <= own.last; ++r) {
    for (int c = 1; c <= kMeteoCols; ++c) {
      const double x = 100.0 * c - 50;
      const double y = 100.0 * (kMeteoRows - r) + 50;
      EXPECT_NEAR(x_rot(r, c), x * std::cos(a) + y * std::sin(a), 1e-6);
      EXPECT_NEAR(y_rot(r, c), -x * std::sin(a) + y * std::cos(a), 1e-6);
      const CornerStations& k = input->lookup_stations(0).at(r, c);
      EXPECT_EQ(k.upper_right, 9);
      EXPECT_EQ(k.upper_left, 8);
      EXPECT_EQ(k.lower_left, 5);
      EXPECT_EQ(k.lower_right, 6);
    }
  }
  input->DeleteModule();
  EXPECT_EQ(run.setup().FindGrid("CoordXRot_temperature", false), 0);
}

// The grids of methods 1, 5, 7 and 10 over a process's rows equal those of one process over
// every row, step after step, and the values at points are the same on every process.
TEST_F(MeteoInputMpi, GridsAndPointValuesDoNotDependOnTheProcesses) {
  WriteFile(dir_.file("mesh.txt"), MeshStationFileText(0));
  WriteFile(dir_.file("turned.txt"), MeshStationFileText(20));
  WriteFile(dir_.file("heights.txt"), StationFileText({300, 500, 800, 1200}, {-500, 400, 900, 150}, {100, 800, -300, 250},
                                                      {"2020 1 1 1 8 6.5 4 1.5", "2020 1 1 2 7 6 3.2 -1",
                                                       "2020 1 1 3 6.5 -10000 2.9 -1.4"}));
  struct GridCase {
    const char* name;
    SectionItems items;
  };
  const GridCase cases[] = {
      {"inverse distances", {.method = "1", .file_lines = {dir_.file("heights.txt")}}},
      {"bilinear on a turned mesh", {.method = "5", .file_lines = {dir_.file("turned.txt")}}},
      {"splines", {.method = "7", .file_lines = {dir_.file("mesh.txt")}}},
      {"elevation regression", {.method = "10", .file_lines = {dir_.file("heights.txt")},
                                .method_line = "1000 2000 100 0 50"}},
  };
  // Rows r of the grid of `input` after each of three steps, and its values at points.
  const auto walk = [](meteointerpol& input, RowRange rows) {
    std::ostringstream text;
    text.precision(17);
    std::vector<double> scratch(static_cast<std::size_t>(input.PointScratchSize()));
    for (int step = 0; step < 3; ++step) {
      input.ComputeElevationRegression(0);
      input.Interpolate(input.GetDate());
      for (int r = rows.first; r <= rows.last; ++r) {
        text << "row " << r << ":";
        for (int c = 1; c <= kMeteoCols; ++c) text << " " << input.result_grid()(r, c);
        text << "\n";
      }
      for (const double x : {-700.0, 120.0, 260.0}) text << " " << input.InterpolateAtPoint(scratch, x, 330, 640);
      text << "\n";
      input.ReadNextRecord();
    }
    return text.str();
  };
  for (const GridCase& c : cases) {
    SCOPED_TRACE(c.name);
    MeteoRun whole(log_, run_dir_);
    whole.WriteControlFile(SectionText("temperature", c.items));
    const std::unique_ptr<meteointerpol> alone = whole.Build(log_, "temperature");
    MeteoRun band(log_, run_dir_, RowBand(WorldRank(), WorldSize(), kMeteoRows));
    const std::unique_ptr<meteointerpol> shared = band.Build(log_, "temperature");
    const RowRange own = band.settings.strip;
    const std::string mine = walk(*shared, own);
    // The whole grid's rows of this process's band, and its point values.
    std::istringstream all(walk(*alone, {1, kMeteoRows}));
    std::string expected;
    for (std::string line; std::getline(all, line);) {
      const bool point_line = !line.starts_with("row ");
      const int r = point_line ? 0 : std::stoi(line.substr(4));
      if (point_line || own.contains(r)) expected += line + "\n";
    }
    EXPECT_EQ(mine, expected);
    const std::size_t points = mine.rfind("\n ");
    EXPECT_EQ(mine.substr(points), TextOfProcess0(mine.substr(points)));
    shared->DeleteModule();
    alone->DeleteModule();
  }
}

}  // namespace
}  // namespace tolvo::test
