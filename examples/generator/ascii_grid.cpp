#include "ascii_grid.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace basin_generator {

AsciiGrid SameGeometry(const AsciiGrid& like, int nrows, int ncols, double fill) {
  AsciiGrid grid = like;
  grid.nrows = nrows;
  grid.ncols = ncols;
  grid.values.assign(static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols), fill);
  return grid;
}

AsciiGrid ReadAsciiGrid(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open the grid " + path);
  AsciiGrid grid;
  const char* keys[] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize", "nodata_value"};
  double header[6] = {};
  for (int i = 0; i < 6; ++i) {
    std::string key;
    if (!(in >> key >> header[i])) throw std::runtime_error("malformed header line " + std::string(keys[i]) + " in " + path);
  }
  grid.ncols = static_cast<int>(header[0]);
  grid.nrows = static_cast<int>(header[1]);
  grid.xllcorner = header[2];
  grid.yllcorner = header[3];
  grid.cellsize = header[4];
  grid.nodata = header[5];
  if (grid.ncols < 1 || grid.nrows < 1) throw std::runtime_error("no cells in " + path);
  grid.values.resize(static_cast<std::size_t>(grid.nrows) * static_cast<std::size_t>(grid.ncols));
  for (double& v : grid.values) {
    if (!(in >> v)) throw std::runtime_error("fewer values than rows x columns in " + path);
  }
  return grid;
}

void WriteAsciiGrid(const AsciiGrid& grid, const std::string& path, int digits) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!file) throw std::runtime_error("cannot write the grid " + path);
  std::FILE* f = file.get();
  std::fprintf(f, "ncols %d\nnrows %d\nxllcorner %.10g\nyllcorner %.10g\ncellsize %.10g\nNODATA_value %.10g\n",
               grid.ncols, grid.nrows, grid.xllcorner, grid.yllcorner, grid.cellsize, grid.nodata);
  for (int r = 1; r <= grid.nrows; ++r) {
    for (int c = 1; c <= grid.ncols; ++c) std::fprintf(f, c == 1 ? "%.*g" : " %.*g", digits, grid.at(r, c));
    std::fputc('\n', f);
  }
  if (std::ferror(f)) throw std::runtime_error("error writing the grid " + path);
}

AsciiGrid Stretch(const AsciiGrid& source, int nrows, int ncols) {
  AsciiGrid grid = SameGeometry(source, nrows, ncols, source.nodata);
  for (int r = 1; r <= nrows; ++r) {
    // The source cell whose span (in relative position) holds the centre of cell r.
    const int sr = static_cast<int>((r - 0.5) * source.nrows / nrows) + 1;
    for (int c = 1; c <= ncols; ++c) {
      const int sc = static_cast<int>((c - 0.5) * source.ncols / ncols) + 1;
      grid.at(r, c) = source.at(sr, sc);
    }
  }
  return grid;
}

}  // namespace basin_generator
