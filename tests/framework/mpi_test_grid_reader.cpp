// Grid reading under 1, 2 and 3 processes: the own rows of every process hold the values
// of the file whether they were read directly or sent by process 0.
#include <gtest/gtest.h>
#include <mpi.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/gif_test_image.h"
#include "framework/grid_distribution.h"
#include "framework/grid_reader.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::RowBand;
using test::RowBandLayout;
using test::TextOfProcess0;
using test::WorldRank;
using test::WorldSize;

constexpr int kCols = 5;
constexpr int kRows = 6;

// v(r, c) = 10 r + c + 0.25: exact in binary32.
double Value(int r, int c) { return 10.0 * r + c + 0.25; }


class GridReaderMpiTest : public ::testing::Test {
 protected:
  GridReaderMpiTest() : rank_(WorldRank()), size_(WorldSize()), bands_(rank_, size_, kRows, kCols) {
    object_.set_name("mpi_test");
    object_.set_geometry({kCols, kRows, 0, 0, 10, kNodata});
    object_.set_strip(RowBand(rank_, size_, kRows));
    object_.set_domain_layout(&bands_.layout());
    zone_ = Grid(1, kRows, kCols, kRows);
    zone_.fill(1);
    table_.zone_grid().values = zone_.view();
    table_.zone_grid().file_name = "zone.asc";
    object_.set_grid_table(&table_);

    // Process 0 writes the files into its folder; every process learns its name.
    if (rank_ == 0) folder_ = std::make_unique<test::TempDir>();
    path_ = TextOfProcess0(rank_ == 0 ? folder_->path().string() : std::string()) + "/";
  }
  ~GridReaderMpiTest() override { MPI_Barrier(MPI_COMM_WORLD); }

  // Process 0 writes the float grid of v(r, c), without its last `cut_values` values.
  std::string WriteFloatGrid(const std::string& name, int cut_values = 0) {
    if (rank_ == 0) {
      std::vector<float> numbers{kCols, kRows, 0, 0, 10, -9999, 0, 0, 0, 0, 0, 0};
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) numbers.push_back(static_cast<float>(Value(r, c)));
      }
      numbers.resize(numbers.size() - static_cast<std::size_t>(cut_values));
      test::WriteFile(path_ + name,
                      std::string(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(float)));
    }
    MPI_Barrier(MPI_COMM_WORLD);
    return path_ + name;
  }

  int Read(const std::string& path, Grid& grid, const GridReadOptions& options) {
    try {
      ReadGrid(object_.grid_input(), path, grid, options);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }

  // Every cell of the rows equals v(r, c).
  void ExpectFileValues(const Grid& grid, RowRange rows) {
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= kCols; ++c) EXPECT_EQ(grid(r, c), Value(r, c)) << "rank " << rank_ << " cell " << r << "/" << c;
    }
  }

  RowRange WithHalo() const {
    const RowRange band = RowBand(rank_, size_, kRows);
    return {std::max(1, band.first - 1), std::min(kRows, band.last + 1)};
  }

  int rank_;
  int size_;
  RowBandLayout bands_;
  std::ostringstream console_;
  DiagnosticsLog log_{"", 0, console_};
  modelobject object_{log_, "control.txt"};
  grid_table table_;
  Grid zone_;
  std::unique_ptr<test::TempDir> folder_;
  std::string path_;
};

TEST_F(GridReaderMpiTest, OwnRowsReadDirectlyEqualThoseSentByProcessZero) {
  const std::string path = WriteFloatGrid("g.flt");
  // Fill mode 0, not whole on process 0: every process reads its rows from the file.
  Grid direct;
  ASSERT_EQ(Read(path, direct, {.allocate = true, .halo_rows = true}), 0);
  // Fill mode 2: process 0 reads the whole grid and sends each process its rows.
  Grid sent;
  ASSERT_EQ(Read(path, sent, {.fill_mode = kFillWithDefault, .allocate = true, .halo_rows = true}), 0);

  const RowRange rows = WithHalo();
  for (const Grid* grid : {&direct, &sent}) {
    EXPECT_EQ(grid->rows().first, rows.first);
    EXPECT_EQ(grid->rows().last, rows.last);
    // Own rows and, after the halo exchange, the halo rows hold the file's values.
    ExpectFileValues(*grid, rows);
  }
  const GridFileHeader& header = object_.grid_file_header();
  EXPECT_EQ(header.ncols(), kCols);
  EXPECT_EQ(header.nrows(), kRows);
  EXPECT_EQ(header.nodata_value(), -9999);
}

TEST_F(GridReaderMpiTest, WholeOnProcessZeroKeepsEveryRowThere) {
  const std::string path = WriteFloatGrid("g.flt");
  Grid grid;
  ASSERT_EQ(Read(path, grid, {.allocate = true, .whole_on_process0 = true}), 0);
  const RowRange rows = rank_ == 0 ? RowRange{1, kRows} : RowBand(rank_, size_, kRows);
  EXPECT_EQ(grid.rows().first, rank_ == 0 ? 1 : rows.first);
  ExpectFileValues(grid, rows);
}

TEST_F(GridReaderMpiTest, ShortFileFailsOnEveryProcess) {
  // The last value of the southern row is missing: only process 0 reads a short row,
  // and every process fails with it instead of going on with part of the grid.
  const std::string path = WriteFloatGrid("short.flt", 1);
  Grid grid;
  EXPECT_EQ(Read(path, grid, {.allocate = true}), kGridReadError);
}

TEST_F(GridReaderMpiTest, GifImageReachesEveryProcessAsProcessZeroMapsIt) {
  // A kCols x kRows image of classes (r + 2 c) mod 7 with one pixel of no value, on the
  // model raster.
  if (rank_ == 0) {
    test::GifImage image{.width = kCols, .height = kRows};
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) image.pixels.push_back(r == 3 && c == 2 ? 255 : (r + 2 * c) % 7);
    }
    test::WriteFile(path_ + "g.gif", test::GifHeader(kCols, kRows) + test::ImageBlock(image) + test::kGifTrailer);
    test::WriteFile(path_ + "bad.gif", test::GifHeader(kCols, kRows) + test::Extension(0x02, {"x"}) +
                                           test::ImageBlock(image) + test::kGifTrailer);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  object_.SetGifGeoreference(zone_.view(), 0, 0, 10);

  Grid whole;
  ASSERT_EQ(Read(path_ + "g.gif", whole, {.allocate = true, .whole_on_process0 = true}), 0);
  // Process 0's whole grid, as every process learns it.
  std::vector<double> reference(static_cast<std::size_t>(kRows * kCols));
  if (rank_ == 0) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) reference[static_cast<std::size_t>((r - 1) * kCols + c - 1)] = whole(r, c);
    }
  }
  MPI_Bcast(reference.data(), kRows * kCols, MPI_DOUBLE, 0, MPI_COMM_WORLD);

  Grid sent;
  ASSERT_EQ(Read(path_ + "g.gif", sent, {.allocate = true, .halo_rows = true}), 0);
  const RowRange rows = WithHalo();
  EXPECT_EQ(sent.rows().first, rows.first);
  EXPECT_EQ(sent.rows().last, rows.last);
  for (int r = rows.first; r <= rows.last; ++r) {
    for (int c = 1; c <= kCols; ++c) {
      EXPECT_EQ(sent(r, c), reference[static_cast<std::size_t>((r - 1) * kCols + c - 1)])
          << "rank " << rank_ << " cell " << r << "/" << c;
    }
  }
  // The pixel without a value leaves the cells that use it without one.
  EXPECT_EQ(reference[static_cast<std::size_t>((3 - 1) * kCols + 2 - 1)], kNodata);

  // A malformed image fails on every process, not on process 0 alone.
  Grid bad;
  EXPECT_EQ(Read(path_ + "bad.gif", bad, {.allocate = true}), kGridReadError);
}

}  // namespace
}  // namespace tolvo
