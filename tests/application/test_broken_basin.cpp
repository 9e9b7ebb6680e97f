// Broken variants of the example basin fail with their error code and their FATAL entry,
// whichever process meets the failure and however many processes run.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "application/broken_basin.h"

namespace tolvo::test {
namespace {

// The example basin with one meteorological input, "temperature", interpolated by
// inverse distances from the station data file temperature.txt with `rows`.
std::vector<BasinMutation> WithTemperatureInput(const std::string& rows) {
  return {ReplaceText("basin.ctl", "0 number of meteorological inputs", "1 number of meteorological inputs"),
          ReplaceText("basin.ctl", "[meteo_names]\n", "[meteo_names]\ntemperature\n"),
          ReplaceText("basin.ctl", "[zone_grid]",
                      "[temperature]\n1   interpolation method: idw\ntemperature.txt   station data file\n"
                      "none   name of the regression file\ntemperature.asc   result grid\n0   write code\n"
                      "1   scaling factor\ntemperature_stat.txt 0   statistics\n9999   nodata value\n"
                      "2.0   idw weight\n0.5   fraction of idw\n30000   maximum distance\n0   slope\n"
                      "1   anisotropy ratio\n-40   lower limit\n-40   lower replacement\n50   upper limit\n"
                      "50   upper replacement\n0   SzenUse\n\n[zone_grid]"),
          WriteText("temperature.txt", "air temperature\nYY MM DD HH 400 500\nYY MM DD HH 100 900\n"
                                       "YY MM DD HH 100 900\nYY MM DD HH north south\n" + rows)};
}

// The temperature input reads ready grids from a list whose first row names none.
std::vector<BasinMutation> ReadyGridsWithoutFirstGrid() {
  std::vector<BasinMutation> mutations = WithTemperatureInput("2020 1 1 1 -9999\n2020 1 1 2 -9999\n");
  mutations.push_back(ReplaceText("basin.ctl", "1   interpolation method: idw", "9   interpolation method: ready grids"));
  mutations.push_back(ReplaceText("basin.ctl", "none   name of the regression file", "100 0 400 1 0   gif mapping"));
  return mutations;
}

const BrokenBasinCase kCases[] = {
    // Every process reads the control file and fails at the same item.
    {.name = "start year that is no number",
     .mutations = {ReplaceText("basin.ctl", "2020  start year", "two-thousand  start year")},
     .code = 17,
     .fatal_text = "error in control file, starting year in",
     .absent_files = {"out/MPIRegions_0"}},
    // A cell 20 km high shifts the land-use phenology beyond the year. The cell lies in the
    // top row, which the last of three processes computes: only that process fails.
    {.name = "elevation beyond the phenology's range in the top row",
     .mutations = {SetGridCell("dem.asc", 2, 1, "20000")},
     .code = 152,
     .fatal_text = "altitude correction resulted in a Julian day of",
     .absent_files = {"out/dem.$ex", "out/dem.$sl", "out/zones.$w1"}},
    // A count far beyond the entries the file holds asks for no memory: the table grows as
    // its entries are read, and the line after the last entry is refused as the next one.
    {.name = "land-use count beyond the entries of the table",
     .mutations = {ReplaceText("basin.ctl", "2 land uses", "2000000000 land uses")},
     .code = 29,
     .fatal_text = "landuse table code 3: some values could not be read",
     .absent_files = {"out/MPIRegions_0"}},
    // Control-file values that scan but cannot be used.
    {.name = "NUL byte in the control file",
     .mutations = {ReplaceText("basin.ctl", "1     start hour", std::string("1 \0   start hour", 16))},
     .code = 17,
     .fatal_text = "NUL character (byte 0) in column 3",
     .absent_files = {"out/MPIRegions_0"}},
    {.name = "latitude beyond the pole",
     .mutations = {ReplaceText("basin.ctl", "47.5  geographic latitude", "91  geographic latitude")},
     .code = 17,
     .fatal_text = "geographic latitude (first value) in [coordinates]: 91; expected degrees from -90 to 90",
     .absent_files = {"out/MPIRegions_0"}},
    {.name = "end date before the start date",
     .mutations = {ReplaceText("basin.ctl", "2020  end year", "2019  end year")},
     .code = 17,
     .fatal_text = "end date in [model_time]: 31.1.2019 24 h; expected a date not before the start date",
     .absent_files = {"out/MPIRegions_0"}},
    {.name = "end hour beyond the day",
     .mutations = {ReplaceText("basin.ctl", "24    end hour", "25    end hour")},
     .code = 17,
     .fatal_text = "end hour in [model_time]: 25; expected an hour from 0 to 24"},
    {.name = "year beyond the date arithmetic",
     .mutations = {ReplaceText("basin.ctl", "2020  start year", "100000000000000000  start year")},
     .code = 17,
     .fatal_text = "start year in [model_time]: 100000000000000000; expected a year from 0 to 9999"},
    // Every process meets the formula on its first cell; the step's threads leave it in order.
    {.name = "silting-up formula with a character of no token",
     .mutations = {ReplaceText("basin.ctl", "  X = 65;", "  X = 65 @;")},
     .code = 403,
     .fatal_text = "in instance SiltingUpModel\nexpression X=65@ could not be parsed correctly. Parser message: "
                   "Error: Syntax error in part: @ (col 5)"},
    {.name = "silting-up rain pause codes that do not ascend",
     .mutations = {ReplaceText("basin.ctl", "1 2                            sub-basin codes",
                               "1 1 2                          sub-basin codes")},
     .code = 10,
     .fatal_text = "the sub-basin codes of the minimum rain pause must ascend: code 1 follows code 1"},
    {.name = "more sub-steps than minutes in the step",
     .mutations = {ReplaceText("basin.ctl", "2 sub-steps", "61 sub-steps")},
     .code = 17,
     .fatal_text = "sub step counter in [soil_surface_groundwater_substeps]: 61; expected at most 60"},
    {.name = "time step of 0 for a module that computes",
     .mutations = {ReplaceText("basin.ctl", "[evapotranspiration]\n1     on\n$time time step in minutes",
                               "[evapotranspiration]\n1     on\n0 time step in minutes")},
     .code = 17,
     .fatal_text = "time interval for evapotranspiration in [evapotranspiration]: 0; expected a time step from 1"},
    {.name = "grid name with a blank",
     .mutations = {ReplaceText("basin.ctl", "landuse.asc landuse 0", "land use.asc landuse 0")},
     .code = 17,
     .fatal_text = "read the file name \"land\" and the identifier \"use.asc\" (names cannot contain blanks)"},
    // Grid files whose header or values cannot be right.
    {.name = "elevation that is no number",
     .mutations = {SetGridCell("dem.asc", 3, 2, "nan")},
     .code = 22,
     .fatal_text = "error reading grid dem.asc in row 3, col 2: nan is no usable value"},
    {.name = "elevation beyond any float",
     .mutations = {SetGridCell("dem.asc", 3, 2, "1e300")},
     .code = 22,
     .fatal_text = "error reading grid dem.asc in row 3, col 2: 1e+300 is no usable value"},
    {.name = "zone grid with cell size 0",
     .mutations = {ReplaceText("zones.asc", "cellsize 100", "cellsize 0")},
     .code = 22,
     .fatal_text = "error reading zones.asc: the header's cellsize 0 is no finite number above 0"},
    {.name = "zone grid header declaring far more cells than the file holds",
     .mutations = {ReplaceText("zones.asc", "ncols 10", "ncols 60000"), ReplaceText("zones.asc", "nrows 8", "nrows 60000")},
     .code = 22,
     .fatal_text = "the header declares 60000 x 60000 cells as ASCII numbers"},
    // Output that cannot be written.
    {.name = "output folder missing",
     .mutations = {[](const std::filesystem::path& basin) { std::filesystem::remove_all(basin / "out"); }},
     .code = 26,
     .fatal_text = "error creating out/MPIRegions_0 for writing in text mode. (No such file or directory)"},
    {.name = "output on a full disk",
     .mutations = {[](const std::filesystem::path& basin) {
       std::filesystem::create_symlink("/dev/full", basin / "out" / "MPIRegions_0");
     }},
     .code = 18,
     .fatal_text = "cannot write out/MPIRegions_0: No space left on device"},
    // Points of the special output that do not fit, and point files that cannot be written.
    {.name = "point entity with more x than y coordinates",
     .mutations = {ReplaceText("basin.ctl", "Ycoords=5300450,5300150;", "Ycoords=5300450;")},
     .code = 1006,
     .fatal_text = "Error in section [special_output]: count of X coordinates dos not match the number of Y "
                   "coordinates for entity albedo"},
    {.name = "point entity with fewer levels than points",
     .mutations = {ReplaceText("basin.ctl", "Level=1,2,1;", "Level=1,2;")},
     .code = 1007,
     .fatal_text = "number of levels dos not match the number of X and Y coordinates for entity theta. EIther each "
                   "point has a level or none has."},
    {.name = "point on the left border of the grid",
     .mutations = {ReplaceText("basin.ctl", "Xcoords=3500250,3500850;", "Xcoords=3500000,3500850;")},
     .code = 1008,
     .fatal_text = "Error in section [special_output]: x-coordinate 3.5e+06, defined as point 0 for entity albedo, "
                   "is located outside the actual grid."},
    {.name = "point file in a missing folder",
     .mutations = {ReplaceText("basin.ctl", "filename=points_soil.txt;", "filename=none/points_soil.txt;")},
     .code = 1007,
     .fatal_text = "error opening file for special output of file"},
    {.name = "point file on a full disk",
     .mutations = {[](const std::filesystem::path& basin) {
       std::filesystem::create_symlink("/dev/full", basin / "out" / "points_surface.txt");
     }},
     .code = 18,
     .fatal_text = "write error out/points_surface.txt"},
    // The discharge routing reads its section on process 0 only.
    {.name = "routing table range with three values",
     .mutations = {ReplaceText("basin.ctl", "1 10000 40 4  qmin", "1 10000 40  qmin")},
     .code = 17,
     .fatal_text = "values for min/max specific discharge and/or discharge and time interval splitting"},
    {.name = "routing table range starting at 0",
     .mutations = {ReplaceText("basin.ctl", "1 10000 40 4  qmin", "0 10000 40 4  qmin")},
     .code = 17,
     .fatal_text = "(third line) in [routing_model]: qmin 0, qmax 10000, intervals 40, sub-intervals 4; expected "
                   "qmin > 0"},
    {.name = "gauge of a sub-basin the sub-basin grid lacks",
     .mutations = {ReplaceText("basin.ctl", "0     number column descriptors (gauges)",
                               "1     number column descriptors (gauges)\n3 1   sub-basin 3 in column 1")},
     .code = 17,
     .fatal_text = "the subbasin code 3 for column indexing in routing model is no subbasin code"},
    {.name = "routing a sub-basin into itself",
     .mutations = {ReplaceText("basin.ctl", " OL 1 (kh", " OL 2 (kh")},
     .code = 41,
     .fatal_text = "subbasin 2: code of tributary 1 (2) is equal to subbasin code!"},
    // A code above 255: the exit status keeps its low byte, the log the whole code.
    {.name = "invalid number of dump files",
     .mutations = {},
     .code = 1061,
     .fatal_text = "invalid number of max dumpfiles given in argument -dumpmode:x",
     .arguments = {"-dumpmode:x"}},
    // Meteorological inputs are read and positioned, but not yet interpolated: the run
    // stops at its first step.
    {.name = "list of ready grids that begins without a grid",
     .mutations = ReadyGridsWithoutFirstGrid(),
     .code = 1050,
     .fatal_text = "no valid grid name was found (-9999 as input)"},
    {.name = "station data file without the start date",
     .mutations = WithTemperatureInput("2020 1 1 2 2.0 3.0\n"),
     .code = 51,
     .fatal_text = "file temperature.txt dosnt contain date 1.1.2020, hour 1(feof)!"},
    // The soil model refuses its settings on every process alike.
    {.name = "soil method 4",
     .mutations = {ReplaceText("basin.ctl", "2     methode: finite differences", "4     methode: finite differences")},
     .code = 91,
     .fatal_text = "invalid method (4)"},
    {.name = "soil start divisor 0",
     .mutations = {ReplaceText("basin.ctl", "2     ini_gw_level", "0     ini_gw_level")},
     .code = 17,
     .fatal_text = " ini_gw_level   in [unsatzon_model]: 0; expected a positive divisor"},
    {.name = "soil control point without a column",
     .mutations = {ReplaceText("basin.ctl", "4 5   control_row/column", "4 0   control_row/column")},
     .code = 9,
     .fatal_text = "column index (0) for output-cell must be between 1 and 10"},
    {.name = "soil sub-basin block naming a code that is not a sub-basin",
     .mutations = {ReplaceText("basin.ctl", "1 2     sub-basin codes", "1 3     sub-basin codes")},
     .code = 10,
     .fatal_text = "error! there is no code 3"},
    {.name = "soil model without the evapotranspiration grids",
     .mutations = {ReplaceText("basin.ctl", "[evapotranspiration]\n1     on", "[evapotranspiration]\n0     off")},
     .code = 33,
     .fatal_text = "pot_transpiration0 not found in memory"},
};

class BrokenBasin : public ::testing::TestWithParam<BrokenBasinCase> {};

TEST_P(BrokenBasin, FailsWithItsCodeAndFatalEntryOnOneAndThreeProcesses) {
  for (const int processes : {1, 3}) CheckBrokenBasin(GetParam(), processes);
}

std::string CaseName(const ::testing::TestParamInfo<BrokenBasinCase>& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenBasin, ::testing::ValuesIn(kCases), CaseName);

}  // namespace
}  // namespace tolvo::test
