// generate-basin: writes a synthetic basin of n x n cells into a folder, ready to run with
// the program's control file basin.ctl there.
//
//   generate-basin N FOLDER [--hours H] [--soil-layers L] [--keep-grid-writes] [--example DIR]
//
// The basin is the example basin (examples/basin, or DIR) stretched onto n x n cells of
// the same size, with a terrain, sub-basins, river and outlet lake of its own (see
// basin_layout.h), the example's station series with the stations moved apart like the
// grids, and the example's control file adapted to it (see control_file.h): every
// sub-model the example runs is on. H hourly steps from the example's start (default: the
// example's model time, which its station data cover); L layers in every soil column
// (default: the example's).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ascii_grid.h"
#include "basin_layout.h"
#include "control_file.h"

namespace fs = std::filesystem;
using namespace basin_generator;

namespace {

struct Options {
  int n = 0;
  fs::path folder;
  fs::path example = TOLVO_EXAMPLE_BASIN;
  ControlSettings control;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "generate-basin: " << problem << "\n"
            << "usage: generate-basin N FOLDER [--hours H] [--soil-layers L] [--keep-grid-writes] [--example DIR]\n";
  std::exit(2);
}

int PositiveInteger(const std::string& text, const std::string& what) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > 100000) Usage(what + " must be a positive integer, not \"" + text + "\"");
  return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hours" && i + 1 < argc) {
      options.control.hours = PositiveInteger(argv[++i], "the number of hours");
    } else if (arg == "--soil-layers" && i + 1 < argc) {
      options.control.soil_layers = PositiveInteger(argv[++i], "the number of soil layers");
    } else if (arg == "--keep-grid-writes") {
      options.control.keep_grid_writes = true;
    } else if (arg == "--example" && i + 1 < argc) {
      options.example = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      Usage("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) Usage("expected the number of cells per side and the folder");
  options.n = PositiveInteger(positional[0], "N");
  options.folder = positional[1];
  return options;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A station series whose third and fourth lines ("YY MM DD HH" and the stations' x and y)
// get the stretched coordinates; any other text file is copied as it is.
std::string StretchedStations(const std::string& text, const ControlSettings& s) {
  std::istringstream in(text);
  std::string out;
  int n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    if ((n == 2 || n == 3) && line.rfind("YY MM DD HH", 0) == 0) {
      std::istringstream values(line.substr(11));
      std::string stretched = "YY MM DD HH";
      for (double v; values >> v;) {
        const double w = n == 2 ? s.x_origin + (v - s.x_origin) * s.stretch_x : s.y_origin + (v - s.y_origin) * s.stretch_y;
        char number[32];
        std::snprintf(number, sizeof number, " %.0f", w);
        stretched += number;
      }
      line = stretched;
    }
    out += line + '\n';
  }
  return out;
}

void Generate(Options& options) {
  const AsciiGrid example_zones = ReadAsciiGrid((options.example / "zones.asc").string());
  const BasinLayout basin =
      LayOutBasin(options.n, example_zones, ReadAsciiGrid((options.example / "river_width.asc").string()));
  ControlSettings& control = options.control;
  control.stretch_x = static_cast<double>(options.n) / example_zones.ncols;
  control.stretch_y = static_cast<double>(options.n) / example_zones.nrows;
  control.x_origin = example_zones.xllcorner;
  control.y_origin = example_zones.yllcorner;
  control.cellsize = example_zones.cellsize;

  fs::create_directories(options.folder);
  const std::pair<const char*, const AsciiGrid*> own[] = {
      {"dem.asc", &basin.dem},           {"zones.asc", &basin.zones},
      {"river_depth.asc", &basin.river_depth}, {"river_width.asc", &basin.river_width},
      {"lake_codes.asc", &basin.lake_codes},   {"max_ponding_storage.asc", &basin.max_ponding}};
  for (const auto& [name, grid] : own) WriteAsciiGrid(*grid, (options.folder / name).string());

  for (const fs::directory_entry& entry : fs::directory_iterator(options.example)) {
    if (!entry.is_regular_file()) continue;
    const fs::path& source = entry.path();
    const std::string name = source.filename().string();
    const fs::path target = options.folder / name;
    bool generated = false;
    for (const auto& item : own) generated = generated || name == item.first;
    if (generated || source.extension() == ".ctl") continue;
    if (source.extension() == ".asc") {
      // Every other grid of the example (land use, soils, ...) keeps its pattern, stretched;
      // cells outside the basin stay nodata like the zone grid's.
      AsciiGrid grid = Stretch(ReadAsciiGrid(source.string()), options.n, options.n);
      for (int r = 1; r <= options.n; ++r) {
        for (int c = 1; c <= options.n; ++c) {
          if (!basin.mask.valid(r, c)) grid.at(r, c) = grid.nodata;
        }
      }
      WriteAsciiGrid(grid, target.string());
    } else if (source.extension() == ".txt") {
      WriteText(target, StretchedStations(ReadText(source), control));
    } else {
      fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    }
  }

  WriteText(options.folder / "basin.ctl",
            GeneratedControlFile(ReadText(options.example / "basin.ctl"), basin, control));
  long long cells = 0;
  for (std::size_t k = 1; k < basin.zone_cells.size(); ++k) cells += basin.zone_cells[k];
  std::printf("generated basin: %d x %d grid, %lld cells in %d sub-basins, in %s\n", options.n, options.n, cells,
              basin.n_zones, options.folder.string().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  try {
    Generate(options);
  } catch (const std::exception& error) {
    std::cerr << "generate-basin: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
