#pragma once
// A small run for the tests of the meteorological inputs: a 4 x 3 grid with its zone grid,
// elevation model, "RelCellArea", "CoordX" and "CoordY" in a grid table, the run's
// settings (1 to 5 January 2020 hourly), a control file with one input's section, and
// writers of station data files, grid lists and regression files.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/grid_table.h"
#include "framework/model_settings.h"
#include "framework/modelobject.h"
#include "framework/statistics_registry.h"
#include "meteo/meteointerpol.h"
#include "support/test_support.h"

namespace tolvo::test {

inline constexpr int kMeteoRows = 4;
inline constexpr int kMeteoCols = 3;

// The items of an input's section; the defaults make a method-1 input of one station file.
struct SectionItems {
  std::string method = "1";
  std::vector<std::string> file_lines;  // the station data file line(s)
  std::string method_line = "regression.txt   name of the regression file";
  std::string idw_weight = "2.0";
  std::string max_distance = "30000";
  std::string slope = "30";  // degrees
  std::string ratio = "1";
  std::string scenario = "0   SzenUse";
  std::string scaling = "1";
  std::string fraction = "0.5";
  // lower limit, lower replacement, upper limit, upper replacement
  std::string limits = "-1000   lower limit\n-1000   lower replacement\n1000   upper limit\n1000   upper replacement";
};

// The section text of input `name`.
inline std::string SectionText(const std::string& name, const SectionItems& s) {
  std::ostringstream text;
  text << "[" << name << "]\n" << s.method << "   interpolation method\n";
  for (const std::string& line : s.file_lines) text << line << "\n";
  text << s.method_line << "\n"
       << "result.asc   name of the result grid\n"
       << "0   write code\n"
       << s.scaling << "   scaling factor\n"
       << "stat.txt 0   statistics file and code\n"
       << "9999   nodata value\n"
       << s.idw_weight << "   idw weight\n"
       << s.fraction << "   fraction of idw\n"
       << s.max_distance << "   maximum distance\n"
       << s.slope << "   slope of the anisotropy axis\n"
       << s.ratio << "   anisotropy ratio\n"
       << s.limits << "\n"
       << s.scenario << "\n";
  return text.str();
}

// A station data file of stations with the given altitudes, x and y, and rows of
// "year month day hour v1 v2 ..." (one string per row).
inline std::string StationFileText(const std::vector<double>& altitude, const std::vector<double>& x,
                                   const std::vector<double>& y, const std::vector<std::string>& rows) {
  std::ostringstream text;
  text << "station data for the tests\n";
  const auto header = [&](const std::vector<double>& values) {
    text << "YY MM DD HH";
    for (double v : values) text << " " << v;
    text << "\n";
  };
  header(altitude);
  header(x);
  header(y);
  text << "YY MM DD HH";
  for (std::size_t i = 0; i < altitude.size(); ++i) text << " station" << i + 1;
  text << "\n";
  for (const std::string& row : rows) text << row << "\n";
  return text.str();
}

// A 3 x 3 station mesh, 10 km apart, turned by `angle_deg` about the grid's lower left
// corner: in the turned frame the stations lie at (-2950 + 10000 i, -1950 + 10000 j),
// i, j = -1..1, numbered from the lower left row by row, so that station 5 lies 2950 m
// west and 1950 m south of the corner, next to every cell of the 4 x 3 grid: each cell has
// the corners upper right 9, upper left 8, lower left 5 and lower right 6.
inline std::string MeshStationFileText(double angle_deg) {
  const double a = angle_deg * 3.14159265358979323846 / 180;
  std::vector<double> altitude, x, y;
  for (int j = -1; j <= 1; ++j) {
    for (int i = -1; i <= 1; ++i) {
      const double u = -2950 + 10000.0 * i;
      const double v = -1950 + 10000.0 * j;
      altitude.push_back(500);
      x.push_back(u * std::cos(a) - v * std::sin(a));
      y.push_back(u * std::sin(a) + v * std::cos(a));
    }
  }
  std::vector<std::string> rows;
  for (int h = 1; h <= 5; ++h) rows.push_back("2020 1 1 " + std::to_string(h) + " 1 2 3 4 5 6 7 8 9");
  std::ostringstream text;
  text.precision(17);
  text << "station mesh for the tests\n";
  const auto header = [&](const std::vector<double>& values) {
    text << "YY MM DD HH";
    for (double v : values) text << " " << v;
    text << "\n";
  };
  header(altitude);
  header(x);
  header(y);
  text << "YY MM DD HH s1 s2 s3 s4 s5 s6 s7 s8 s9\n";
  for (const std::string& row : rows) text << row << "\n";
  return text.str();
}

// Hourly rows of 1 January 2020 from hour `first` to `last`, station i holding 10 i + hour.
inline std::vector<std::string> HourlyRows(int first, int last, int n_stations) {
  std::vector<std::string> rows;
  for (int h = first; h <= last; ++h) {
    std::ostringstream row;
    row << "2020 1 1 " << h;
    for (int i = 1; i <= n_stations; ++i) row << " " << 10 * i + h;
    rows.push_back(row.str());
  }
  return rows;
}

// A binary regression file: per record 4 64-bit integers and 11 doubles (parameter k = k + hour).
inline void WriteBinaryRegressionFile(const std::string& path, const std::vector<ModelDate>& dates) {
  std::ofstream file(path, std::ios::binary);
  for (const ModelDate& d : dates) {
    const std::int64_t fields[4] = {d.year, d.month, d.day, d.hour};
    file.write(reinterpret_cast<const char*>(fields), sizeof fields);
    for (int k = 1; k <= 11; ++k) {
      const double v = k + static_cast<double>(d.hour);
      file.write(reinterpret_cast<const char*>(&v), sizeof v);
    }
  }
}

// The grids and settings of a run on the rows `strip` of the 4 x 3 grid.
class MeteoRun {
 public:
  MeteoRun(DiagnosticsLog& log, const TempDir& dir, RowRange strip = {1, kMeteoRows}) : dir_(dir), setup_(log, "") {
    setup_.set_name("set-up");
    const GridGeometry geometry{.ncols = kMeteoCols,
                                .nrows = kMeteoRows,
                                .xllcorner = 0,
                                .yllcorner = 0,
                                .cellsize = 100,
                                .nodata_value = kNodata};
    setup_.set_geometry(geometry);
    setup_.set_strip(strip);
    setup_.set_grid_table(&table_);
    const auto grid = [&](int index, const char* id, double (*value)(int, int)) {
      Grid& g = grids_.emplace_back(1, kMeteoRows, kMeteoCols, kMeteoRows);
      for (int r = 1; r <= kMeteoRows; ++r) {
        for (int c = 1; c <= kMeteoCols; ++c) g(r, c) = value(r, c);
      }
      setup_.RegisterGrid(index, std::string(id) + ".asc", g.view(), {}, 0, id, 0, 1, kMeteoRows);
    };
    grids_.reserve(5);
    grid(1, "zones", [](int, int) { return 1.0; });
    grid(2, "dem", [](int r, int c) { return 100.0 * r + c; });
    grid(3, "RelCellArea", [](int, int) { return 1.0; });
    grid(4, "CoordX", [](int, int c) { return 100.0 * c - 50; });
    grid(5, "CoordY", [](int r, int) { return 100.0 * (kMeteoRows - r) + 50; });
    zones_ = {ZoneRecord{}, ZoneRecord{0, 0, 1, 1, 0}};
    settings.compiled_control_file = dir_.file("meteo.ctl");
    settings.geometry = geometry;
    settings.strip = strip;
    settings.grids = &table_;
    settings.zones.zone_count = 1;
    settings.zones.largest_code = 1;
    settings.zones.zones = zones_;
    settings.start_date = {2020, 1, 1, 1};
    settings.end_date = {2020, 1, 1, 5};
    settings.output_directory = dir_.file("");
  }

  // Writes the control file of the sections.
  void WriteControlFile(const std::string& sections) const {
    WriteFile(settings.compiled_control_file, "# meteorological inputs\n\n" + sections + "\n[end]\n");
  }
  // Builds input `name` with its result grid at entry 6.
  std::unique_ptr<meteointerpol> Build(DiagnosticsLog& log, const std::string& name) {
    return std::make_unique<meteointerpol>(log, registry_, StatisticsRegistry::kCapacity, name, settings, 6);
  }
  grid_table& table() { return table_; }
  modelobject& setup() { return setup_; }

  ModelSettings settings;

 private:
  const TempDir& dir_;
  grid_table table_;
  modelobject setup_;
  std::vector<Grid> grids_;
  std::vector<ZoneRecord> zones_;
  StatisticsRegistry registry_;
};

}  // namespace tolvo::test
