#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "framework/gif_grid.h"
#include "framework/gif_test_image.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::GifHeader;
using test::GifImage;
using test::ImageBlock;
using test::kGifTrailer;
using test::TempDir;
using test::WriteFile;

constexpr double N = kNodata;
using Rows = std::vector<std::vector<double>>;

Rows Values(const Grid& grid) {
  Rows values;
  for (int r = grid.rows().first; r <= grid.rows().last; ++r) {
    values.emplace_back();
    for (int c = 1; c <= grid.ncols(); ++c) values.back().push_back(grid(r, c));
  }
  return values;
}

Grid Filled(int nrows, int ncols, double value) {
  Grid grid(1, nrows, ncols, nrows);
  grid.fill(value);
  return grid;
}

Grid FromRows(const Rows& rows) {
  Grid grid(1, static_cast<int>(rows.size()), static_cast<int>(rows.front().size()), static_cast<int>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c)
      grid(static_cast<int>(r) + 1, static_cast<int>(c) + 1) = rows[r][c];
  }
  return grid;
}

// Decodes `content` into a screen-sized grid set to `unset` beforehand; the error text
// when decoding fails.
struct Decoded {
  Grid grid;
  std::optional<std::string> error;
};

Decoded Decode(const TempDir& dir, const std::string& content, double unset = -1) {
  const std::string path = dir.file("image.gif");
  WriteFile(path, content);
  const GifGridReader reader(path);
  Decoded out;
  try {
    const GifScreenSize screen = reader.ReadScreenSize();
    out.grid = Filled(screen.height, screen.width, unset);
    reader.Decode(out.grid.view());
  } catch (const GifDecodeError& error) {
    out.error = error.text;
  }
  return out;
}

TEST(GifGridReader, DecodesPaletteIndicesAndReadsPastOtherBlocks) {
  TempDir dir;
  const GifImage image{
      .width = 4, .height = 3, .pixels = {0, 1, 2, 3, 127, 128, 250, 255, 4, 5, 6, 7}, .local_table = true};
  const std::string file = GifHeader(4, 3) + test::Extension(0xFE, {"a comment", "in two blocks"}) +
                           test::Extension(0xFF, {"NETSCAPE2.0", std::string("\x01\x00\x00", 3)}) +
                           test::GraphicControl() + ImageBlock(image) + test::Extension(0x01, {"text"}) + kGifTrailer;
  const Decoded decoded = Decode(dir, file);
  ASSERT_FALSE(decoded.error) << *decoded.error;
  EXPECT_EQ(Values(decoded.grid), (Rows{{0, 1, 2, 3}, {127, 128, 250, N}, {4, 5, 6, 7}}));
}

TEST(GifGridReader, ImagesLandWhereTheirDescriptorsPlaceThem) {
  struct Case {
    const char* label;
    int width, height;  // of the screen
    std::vector<GifImage> images;
    Rows expected;  // cells no image covers keep -1
  };
  const std::vector<Case> cases{
      // Rows of an interlaced image arrive as 0, 8, 4, 2, 6, 1, 3, 5, 7, 9.
      {"interlaced rows go to their true rows",
       1,
       10,
       {{.width = 1, .height = 10, .pixels = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}, .interlaced = true}},
       {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}}},
      {"an image smaller than the screen at an offset",
       3,
       3,
       {{.left = 1, .top = 1, .width = 2, .height = 1, .pixels = {7, 8}}},
       {{-1, -1, -1}, {-1, 7, 8}, {-1, -1, -1}}},
      {"pixels beyond the screen are dropped",
       2,
       2,
       {{.width = 3, .height = 3, .pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9}}},
       {{1, 2}, {4, 5}}},
      {"an image that starts beyond the screen adds nothing",
       2,
       1,
       {{.width = 2, .height = 1, .pixels = {1, 2}}, {.left = 5, .width = 1, .height = 1, .pixels = {9}}},
       {{1, 2}}},
      {"a second image overwrites the first where they meet",
       2,
       2,
       {{.width = 2, .height = 2, .pixels = {1, 2, 3, 4}}, {.left = 1, .width = 1, .height = 2, .pixels = {9, 255}}},
       {{1, 9}, {3, N}}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string file = GifHeader(c.width, c.height);
    for (const GifImage& image : c.images) file += ImageBlock(image);
    const Decoded decoded = Decode(dir, file + kGifTrailer);
    ASSERT_FALSE(decoded.error) << *decoded.error;
    EXPECT_EQ(Values(decoded.grid), c.expected);
  }
}

// An image encoded by giflib's encoder, with real LZW compression: the code width grows to
// 12 bits, the table is cleared when full, and the run of one colour in the first rows
// gives codes that name the entry they complete.
TEST(GifGridReader, DecodesAnImageCompressedByAnotherEncoder) {
  TempDir dir;
  const std::string path = dir.file("compressed.gif");
  constexpr int kWidth = 70;
  constexpr int kHeight = 60;
  std::vector<GifPixelType> pixels(kWidth * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      pixels[y * kWidth + x] = static_cast<GifPixelType>(y < 10 ? 7 : (x * x + 3 * y) % 256);
    }
  }
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  ASSERT_NE(gif, nullptr);
  ColorMapObject* colours = GifMakeMapObject(256, nullptr);
  ASSERT_EQ(EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, colours), GIF_OK);
  ASSERT_EQ(EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, nullptr), GIF_OK);
  for (int y = 0; y < kHeight; ++y) ASSERT_EQ(EGifPutLine(gif, &pixels[y * kWidth], kWidth), GIF_OK);
  ASSERT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  GifFreeMapObject(colours);

  const GifGridReader reader(path);
  const GifScreenSize screen = reader.ReadScreenSize();
  ASSERT_EQ(screen.width, kWidth);
  ASSERT_EQ(screen.height, kHeight);
  Grid grid = Filled(kHeight, kWidth, -1);
  reader.Decode(grid.view());
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int index = pixels[y * kWidth + x];
      ASSERT_EQ(grid(y + 1, x + 1), index == 255 ? N : index) << "row " << y + 1 << ", col " << x + 1;
    }
  }
}

TEST(GifGridReader, MalformedFilesEndWithTheirText) {
  const GifImage two{.width = 2, .height = 1, .pixels = {1, 2}};
  const std::string header = GifHeader(2, 1);
  const std::string image = ImageBlock(two);
  const std::string whole = header + image + kGifTrailer;
  struct Case {
    const char* label;
    std::string content;
    std::string text;  // the whole text, or its start when `prefix`
    bool prefix = false;
  };
  const std::vector<Case> cases{
      {"extension label 0x02", header + test::Extension(0x02, {"x"}) + image + kGifTrailer,
       "invalid extension type ID \"0x2\" found"},
      {"a stray byte where a block begins", header + image + std::string(1, '\0') + kGifTrailer,
       "invalid extension type ID \"0x0\" found"},
      {"graphic control block without its end",
       header + "!" + std::string("\xF9\x04\x00\x00\x00\x00\x07", 7) + image + kGifTrailer,
       "Graphics COntrol extension found, but block end not found as 0x00 after 4 bytes\n"},
      {"trailer missing", header + image, "the file ends after ", true},
      {"file cut inside the image data", whole.substr(0, header.size() + 14), "the file ends after ", true},
      {"file cut inside the colour table", whole.substr(0, 200), "the file ends after 200 bytes, in its header"},
      {"file cut inside an extension", header + "!\xFE\x09" + "abc", "the file ends after ", true},
      {"a code beyond the table",
       header + ImageBlock(two, {test::kGifClearCode, 1, 400, test::kGifEndCode}) + kGifTrailer,
       "invalid LZW code 400 in the data of image 1 after ", true},
      {"a code other than a root code right after a clear code",
       header + ImageBlock(two, {test::kGifClearCode, 1, 2, test::kGifClearCode, 258, test::kGifEndCode}) + kGifTrailer,
       "invalid LZW code 258 in the data of image 1 after ", true},
      {"end code before the last pixel",
       header + ImageBlock(two, {test::kGifClearCode, 1, test::kGifEndCode}) + kGifTrailer,
       "the LZW data of image 1 end before its last pixel", true},
      {"screen without cells", GifHeader(0, 5) + kGifTrailer, "the logical screen of 0 x 5 pixels holds no cell"},
      {"shorter than the screen descriptor", "GIF89a\x04", "the file ends before its logical screen descriptor"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Decoded decoded = Decode(dir, c.content);
    ASSERT_TRUE(decoded.error);
    if (c.prefix) {
      EXPECT_EQ(decoded.error->substr(0, c.text.size()), c.text) << *decoded.error;
    } else {
      EXPECT_EQ(*decoded.error, c.text);
    }
  }
}

// A 3 x 3 source with origin (0, 0) and cells of 10 m, source(r, c) = 10 r + c.
const Rows kSource{{11, 12, 13}, {21, 22, 23}, {31, 32, 33}};

TEST(GifGridReader, ResampleSamplesCellCornersBilinearly) {
  const Grid source = FromRows(kSource);
  struct Case {
    const char* label;
    GridGeometry model;
    Rows expected;  // by hand: corners of model cells against centres of source cells
  };
  const std::vector<Case> cases{
      // Same raster: a cell's lower-left corner lies between four source centres, so it
      // gets their mean; in the bottom row and the left column the corner lies beyond the
      // outer centres and the edge values are held along that axis.
      {"model raster equal to the source",
       {3, 3, 0, 0, 10, N},
       {{(11 + 21) / 2.0, (11 + 12 + 21 + 22) / 4.0, (12 + 13 + 22 + 23) / 4.0},
        {(21 + 31) / 2.0, (21 + 22 + 31 + 32) / 4.0, (22 + 23 + 32 + 33) / 4.0},
        {31, (31 + 32) / 2.0, (32 + 33) / 2.0}}},
      // Far beyond every edge the nearest edge or corner value is held, not extrapolated.
      {"model far beyond the source", {2, 2, 1000, -1000, 5000, N}, {{13, 13}, {33, 33}}},
      // The corner (7.5, 17.5) lies a quarter of a cell east of the centre of column 1 and
      // a quarter north of that of row 2: 0.25 (0.75 * 11 + 0.25 * 12) + 0.75 (0.75 * 21 + 0.25 * 22).
      {"quarter offsets", {1, 1, 7.5, 17.5, 10, N}, {{18.75}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Grid target = Filled(c.model.nrows, c.model.ncols, -1);
    GifGridReader::Resample(source.view(), {0, 0, 10, {}}, c.model, target.view());
    const Rows got = Values(target);
    for (std::size_t r = 0; r < got.size(); ++r) {
      for (std::size_t k = 0; k < got[r].size(); ++k) EXPECT_DOUBLE_EQ(got[r][k], c.expected[r][k]) << r << "," << k;
    }
  }
}

TEST(GifGridReader, NodataNeighboursAndTheMaskWin) {
  Rows with_gap = kSource;
  with_gap[0][0] = N;  // the top-left source cell
  const Grid source = FromRows(with_gap);
  const Grid mask = FromRows({{1, 1, -99999}, {1, N, 1}, {1, 1, 1}});
  Grid target = Filled(3, 3, -1);
  GifGridReader::Resample(source.view(), {0, 0, 10, mask.view()}, {3, 3, 0, 0, 10, N}, target.view());
  EXPECT_EQ(target(1, 1), N);       // the gap is one of its four neighbours
  EXPECT_EQ(target(2, 1), 26);      // (21 + 31) / 2: the gap is not among them
  EXPECT_EQ(target(1, 3), -99999);  // mask values of -9999 or lower are taken as they are
  EXPECT_EQ(target(2, 2), N);
  EXPECT_EQ(target(2, 3), (22 + 23 + 32 + 33) / 4.0);
}

TEST(GifGridReader, ClassesMapToValuesWithTheDefaultParameters) {
  // f1 exp(x1 v) up to class 127, f2 exp(x2 v) up to 250, with f1 = 8.916787e-5,
  // x1 = 0.0767528404, f2 = 6e-6, x2 = 0.098 (values by hand calculation).
  Grid grid = FromRows({{0, 127, 128, 250}, {251, N, -99999, 1}});
  GifGridReader::MapPixelClasses(grid.view(), GifMappingParameters{});
  EXPECT_EQ(grid(1, 1), 0);
  EXPECT_NEAR(grid(1, 2), 1.52596, 5e-6);
  EXPECT_NEAR(grid(1, 3), 1.68245, 5e-6);
  EXPECT_NEAR(grid(1, 4), 262039.07, 0.01);
  EXPECT_EQ(grid(2, 1), N);
  EXPECT_EQ(grid(2, 2), N);
  EXPECT_EQ(grid(2, 3), -99999);
  EXPECT_NEAR(grid(2, 4), 9.6281e-5, 1e-9);
}

TEST(GifGridReader, GeoreferencesThatCannotPlaceARasterAreNamed) {
  EXPECT_EQ(GeoreferenceFault({0, 0, 10, {}}), "");
  for (const GifGeoreference& bad : {GifGeoreference{0, 0, 0, {}}, GifGeoreference{0, 0, -5, {}},
                                     GifGeoreference{std::nan(""), 0, 1, {}}, GifGeoreference{0, HUGE_VAL, 1, {}}}) {
    EXPECT_NE(GeoreferenceFault(bad).find("cannot place the raster"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolvo
