#pragma once
// GIF images as input grids, and the placement of a raster that is not the model's.
//
// The palette indices of such an image are classes of a quantity (radar reflectivity
// classes of precipitation, say), not colours: index 255 means "no value". The image is
// decoded into a source raster of palette indices, placed in the model's coordinates by a
// georeference (lower-left corner and cell size of the image), resampled bilinearly onto
// the model grid and its classes turned into values by a two-branch exponential mapping.
// A netCDF grid on a raster of its own is placed and resampled the same way, without the
// class mapping.
//
// Decoding uses the record-level reader of giflib (LZW decompression); the walk over the
// blocks of the file, which blocks are skipped and which are refused, is this reader's.
// Every malformed file ends the decoding with a GifDecodeError that carries the text the
// grid reader puts into its "FATAL: error reading GIF <path> (<text>)" entry; nothing in a
// file makes the reader wait, loop or write outside the source raster.

#include <string>

#include "framework/matrix.h"
#include "framework/run_context.h"

namespace tolvo {

// The value of all three numbers of a georeference that places nothing.
inline constexpr double kNoGeoreference = 9999.0;

// Where a raster lies in the model's coordinates. For a GIF image (x_origin, y_origin)
// is the lower-left corner of the image; for a netCDF grid the centre of its lower-left
// cell. The mask, when given, has the model grid's shape: a model cell whose mask value
// is -9999 or lower takes that value whatever the raster holds.
struct GifGeoreference {
  double x_origin = kNoGeoreference;
  double y_origin = kNoGeoreference;
  double cell_size = kNoGeoreference;
  ConstGridView mask;  // not owned; empty for none

  bool none() const {
    return x_origin == kNoGeoreference && y_origin == kNoGeoreference && cell_size == kNoGeoreference;
  }
};

// The class-to-value mapping of a GIF grid: class 0 gives 0, classes up to `threshold`
// f1 * exp(x1 * class), classes up to 250 f2 * exp(x2 * class), higher classes no value.
// The defaults are those the meteorological input names for precipitation classes.
struct GifMappingParameters {
  double f1 = 8.916787e-5;
  double x1 = 0.0767528404;
  int threshold = 127;
  double f2 = 6.00e-6;
  double x2 = 0.098;
};

// What a model object keeps for reading GIF images and foreign netCDF rasters.
struct GifGridSettings {
  GifGeoreference georeference;
  GifMappingParameters mapping;
};

// The palette index that marks a pixel without a value, and the highest class that the
// mapping turns into a value.
inline constexpr int kGifNodataIndex = 255;
inline constexpr double kHighestMappedClass = 250;

// A malformed GIF file; `text` says what is wrong.
struct GifDecodeError {
  std::string text;
};

struct GifScreenSize {
  int width = 0;
  int height = 0;
};

class GifGridReader {
 public:
  explicit GifGridReader(std::string path) : path_(std::move(path)) {}

  // The logical screen width and height of the file (little-endian 16-bit values after the
  // 6-byte signature). Throws GifDecodeError when the file is shorter than its screen
  // descriptor or the screen holds no pixel.
  GifScreenSize ReadScreenSize() const;

  // Decodes every image of the file into `target` (rows 1..height, columns 1..width of the
  // screen): a pixel of an image at (left, top) lands at row top + y + 1, column left + x + 1
  // of the screen, with interlaced images' rows put in their true order; pixels outside the
  // screen are dropped, and a later image overwrites an earlier one. Each pixel is stored
  // as its palette index, index 255 as -9999. Screen cells that no image covers are left as
  // they were. Graphic control, plain text, comment and application extensions are read
  // past; any other block is refused. Throws GifDecodeError on a malformed file.
  void Decode(GridView target) const;

  // Fills rows 1..geometry.nrows, columns 1..geometry.ncols of `target` from `source`
  // (every row and column of it, top row first) by bilinear interpolation. The source's
  // lower-left corner lies at `origin`'s (x_origin, y_origin) and its cells are
  // origin.cell_size wide; origin.mask, when given, marks model cells that keep the mask
  // value. Each model cell is sampled at its lower-left corner; four source neighbours
  // of which one is -9999 or lower give -9999; beyond the source's edges the edge values
  // are held (no extrapolation). Requires a positive, finite cell size and finite origins.
  static void Resample(ConstGridView source, const GifGeoreference& origin, const GridGeometry& geometry,
                       GridView target);

  // Turns the resampled classes of rows 1..nrows, columns 1..ncols into values in place;
  // cells at -9999 or lower keep their value.
  static void MapPixelClasses(GridView target, const GifMappingParameters& mapping);

 private:
  std::string path_;
};

// The text that refuses a georeference whose numbers cannot place a raster (an origin
// that is not a finite number, a cell size that is not a positive finite number), or an
// empty text when the georeference is usable.
std::string GeoreferenceFault(const GifGeoreference& georeference);

}  // namespace tolvo
