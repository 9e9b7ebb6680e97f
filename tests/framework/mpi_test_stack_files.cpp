// Stack files under 1, 2 and 3 processes: a binary stack written by all processes
// together is the file one process writes (built here by hand), and reads back the same
// whether every process reads its own rows or process 0 reads and distributes them.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_distribution.h"
#include "framework/grid_file_format.h"
#include "framework/modelobject.h"
#include "framework/stack_reader.h"
#include "support/row_bands.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::TextOfProcess0;
using test::WorldRank;
using test::WorldSize;

constexpr int kCols = 10;
constexpr int kRows = 7;
constexpr int kLevels = 2;
constexpr double N = kNodata;

// Rows 1 and 2 lie outside the domain, and so do a few cells at the edges of other rows.
bool InDomain(int r, int c) {
  if (r <= 2) return false;
  return !((r == 3 && c == 1) || (r == 4 && c == 10) || (r == 5 && c == 1) || (r == 7 && c >= 9));
}

// v(r, c, l): exact in binary32 and printed exactly by "%g".
double Value(int r, int c, int l) { return 100.0 * r + c + 0.25 * l; }
// What the file holds: the values of domain cells, nodata elsewhere.
double FileValue(int r, int c, int l) { return InDomain(r, c) ? Value(r, c, l) : N; }

// The decomposition as the set-up makes it: domain cells dealt out in row-major order in
// runs of nearly equal size, the highest rank first; bands may share rows. The region
// grid, the strip grid ("MPIHelper") and the halo rows of this process.
class CellLayout {
 public:
  CellLayout(int rank, int size) : rank_(rank), size_(size) {
    owner_.assign(static_cast<std::size_t>(kRows + 1) * (kCols + 1), static_cast<int>(N));
    int cells = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) cells += InDomain(r, c);
    }
    // Chunk k (k = 0 for the highest rank) holds cells_per_chunk cells, the first
    // chunks one more.
    int dealt = 0;
    int k = 0;
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (!InDomain(r, c)) continue;
        while (dealt >= ChunkEnd(k, cells)) ++k;
        SetOwner(r, c) = size - 1 - k;
        ++dealt;
      }
    }
    band_ = Band(rank);
    held_ = rank == 0 ? RowRange{1, kRows} : RowRange{std::max(1, band_.first - 1), std::min(kRows, band_.last + 1)};
    regions_ = Grid(held_.first, held_.last, kCols, kRows);
    helper_ = Grid(held_.first, held_.last, kCols, kRows);
    helper_.fill(0);
    for (int r = held_.first; r <= held_.last; ++r) {
      for (int c = 1; c <= kCols; ++c) regions_(r, c) = Owner(r, c);
      if (rank == 0) {
        FillRootStripRow(r);
      } else if (band_.contains(r)) {
        FillOwnStripRow(r);
      }
    }
    layout_.own_rows = band_;
    layout_.regions = std::as_const(regions_).view();
    layout_.helper = std::as_const(helper_).view();
  }

  const DomainLayout& layout() const { return layout_; }
  RowRange band() const { return band_; }
  RowRange held() const { return held_; }
  int Owner(int r, int c) const { return owner_[static_cast<std::size_t>(r) * (kCols + 1) + c]; }

 private:
  int& SetOwner(int r, int c) { return owner_[static_cast<std::size_t>(r) * (kCols + 1) + c]; }
  int ChunkEnd(int k, int cells) const {
    const int base = cells / size_;
    const int extra = cells % size_;
    return (k + 1) * base + std::min(k + 1, extra);
  }
  RowRange Band(int rank) const {
    if (size_ == 1) return {1, kRows};
    RowRange band{kRows + 1, 0};
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        if (Owner(r, c) == rank) band = {std::min(band.first, r), std::max(band.last, r)};
      }
    }
    return band;
  }
  // Process 0: (owner, length) pairs from the first domain column on; the leading run
  // outside the domain stands in column 0.
  void FillRootStripRow(int r) {
    int first = 1;
    while (first <= kCols && !InDomain(r, first)) ++first;
    if (first > kCols) return;
    helper_(r, 0) = first - 1;
    int k = 0;
    for (int c = first; c <= kCols;) {
      int end = c;
      while (end + 1 <= kCols && Owner(r, end + 1) == Owner(r, c)) ++end;
      ++k;
      helper_(r, 2 * k - 1) = Owner(r, c);
      helper_(r, 2 * k) = end - c + 1;
      c = end + 1;
    }
  }
  // Every other process: (first column, length) of its own runs.
  void FillOwnStripRow(int r) {
    int k = 0;
    for (int c = 1; c <= kCols; ++c) {
      if (Owner(r, c) != rank_ || (c > 1 && Owner(r, c - 1) == rank_)) continue;
      int end = c;
      while (end + 1 <= kCols && Owner(r, end + 1) == rank_) ++end;
      ++k;
      helper_(r, 2 * k - 1) = c;
      helper_(r, 2 * k) = end - c + 1;
    }
  }
  int rank_;
  int size_;
  std::vector<int> owner_;
  RowRange band_;
  RowRange held_;
  Grid regions_;
  Grid helper_;
  DomainLayout layout_;
};

class StackFilesMpiTest : public ::testing::Test {
 protected:
  StackFilesMpiTest() : rank_(WorldRank()), size_(WorldSize()), cells_(rank_, size_) {
    object_.set_name("mpi_stacks");
    object_.set_geometry({kCols, kRows, 1000, 2000, 50, N});
    object_.set_strip(cells_.band());
    object_.set_domain_layout(&cells_.layout());
  }
  ~StackFilesMpiTest() override { MPI_Barrier(MPI_COMM_WORLD); }

  // The stack a process computes: its own cells hold v, cells outside the domain nodata,
  // and the cells of other processes a value no file may show.
  Stack ComputedStack() const {
    const RowRange held = cells_.held();
    Stack stack(held.first, held.last, kCols, kLevels, kRows);
    for (int r = held.first; r <= held.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        for (int l = 0; l <= kLevels; ++l) {
          stack(r, c, l) = !InDomain(r, c) ? N : cells_.Owner(r, c) == rank_ ? Value(r, c, l) : -1.0;
        }
      }
    }
    return stack;
  }

  template <typename T>
  static std::string ExpectedBinaryStack() {
    std::vector<T> numbers{kCols, kRows, 1000, 2000, 50, -9999, 0, 0, 0, 0, 0, kLevels};
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        for (int l = 0; l <= kLevels; ++l) numbers.push_back(static_cast<T>(FileValue(r, c, l)));
      }
    }
    return std::string(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(T));
  }

  int Read(const std::string& name, Stack& target, bool whole, int* levels = nullptr) {
    try {
      const int n = ReadStack(object_.grid_input(), name, target, {.whole_on_process0 = whole});
      if (levels != nullptr) *levels = n;
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }

  // Every cell of the rows (all cells, or only this process's own ones) holds the file's
  // values; with `others_nodata` the cells of other processes hold nodata.
  void ExpectFileValues(const Stack& stack, RowRange rows, bool own_only, bool others_nodata) {
    ASSERT_LE(stack.rows().first, rows.first);
    ASSERT_GE(stack.rows().last, rows.last);
    for (int r = rows.first; r <= rows.last; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        const bool own = cells_.Owner(r, c) == rank_;
        for (int l = 0; l <= kLevels; ++l) {
          if (!own_only || own) {
            EXPECT_EQ(stack(r, c, l), FileValue(r, c, l)) << "rank " << rank_ << " cell " << r << "/" << c << "/" << l;
          } else if (others_nodata) {
            EXPECT_EQ(stack(r, c, l), N) << "rank " << rank_ << " cell " << r << "/" << c << "/" << l;
          }
        }
      }
    }
  }

  // Process 0 makes the folder of the files; every process learns its name.
  static std::string SharedFolder(int rank, std::unique_ptr<test::TempDir>& folder) {
    if (rank == 0) folder = std::make_unique<test::TempDir>();
    return TextOfProcess0(rank == 0 ? folder->path().string() : std::string()) + "/";
  }

  int rank_;
  int size_;
  CellLayout cells_;
  std::unique_ptr<test::TempDir> folder_;
  std::string path_ = SharedFolder(rank_, folder_);
  test::TempDir diagnostics_;  // this process's own folder for the diagnostics file
  std::ostringstream console_;
  DiagnosticsLog log_{diagnostics_.file("diag.xml"), 0, console_};
  modelobject object_{log_, "control.txt", {}, path_, path_};
};

TEST_F(StackFilesMpiTest, BinaryStackWrittenTogetherIsTheOneProcessFile) {
  const Stack stack = ComputedStack();
  object_.WriteStackFile("s.dbl", stack.view(), kLevels, false, true, false);
  object_.WriteStackFile("s.flt", stack.view(), kLevels, false, false, false);
  if (rank_ == 0) {
    EXPECT_TRUE(test::ReadFile(path_ + "s.dbl") == ExpectedBinaryStack<double>());
    EXPECT_TRUE(test::ReadFile(path_ + "s.flt") == ExpectedBinaryStack<float>());
  }

  // Every process reads its own rows directly.
  Stack direct;
  int levels = -1;
  ASSERT_EQ(Read("s.dbl", direct, false, &levels), 0);
  EXPECT_EQ(levels, kLevels);
  EXPECT_EQ(direct.rows().first, cells_.band().first);
  EXPECT_EQ(direct.rows().last, cells_.band().last);
  ExpectFileValues(direct, cells_.band(), false, false);

  // Process 0 reads the whole stack, keeps every row and sends the others their cells.
  Stack whole;
  ASSERT_EQ(Read("s.flt", whole, true), 0);
  if (rank_ == 0) {
    ExpectFileValues(whole, {1, kRows}, false, false);
  } else {
    ExpectFileValues(whole, cells_.band(), true, true);
  }
}

TEST_F(StackFilesMpiTest, AsciiStackIsWrittenByProcessZeroAndDistributed) {
  // Process 0 writes from a whole stack (gathered before, here made whole).
  Stack gathered;
  if (rank_ == 0) {
    gathered = Stack(1, kRows, kCols, kLevels, kRows);
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) {
        for (int l = 0; l <= kLevels; ++l) gathered(r, c, l) = FileValue(r, c, l);
      }
    }
  }
  object_.WriteStackFile("s.stk", gathered.view(), kLevels, true, false, false);
  Stack read;
  ASSERT_EQ(Read("s.stk", read, false), 0);
  EXPECT_EQ(read.rows().first, cells_.band().first);
  EXPECT_EQ(read.rows().last, cells_.band().last);
  ExpectFileValues(read, cells_.band(), true, rank_ != 0);
}

TEST_F(StackFilesMpiTest, ShortFileFailsOnEveryProcess) {
  // The last value of the southern row is missing: only process 0 reads a short row, and
  // every process fails with it instead of going on with part of the stack.
  if (rank_ == 0) {
    std::string bytes = ExpectedBinaryStack<double>();
    bytes.resize(bytes.size() - sizeof(double));
    test::WriteFile(path_ + "short.dbl", bytes);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  Stack stack;
  EXPECT_EQ(Read("short.dbl", stack, false), kGridReadError);
  if (rank_ == 0) {
    EXPECT_NE(console_.str().find("short.dblat row 7"), std::string::npos) << console_.str();
  }
}

}  // namespace
}  // namespace tolvo
