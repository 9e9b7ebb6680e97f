#include "setup/zone_grid_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::TempDir;
using test::WriteFile;

template <typename T>
void WriteBinary(const std::string& path, const std::vector<T>& values) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(values.data(), sizeof(T), values.size(), file);
  std::fclose(file);
}

class ZoneGridHeaderTest : public test::LogFixture {
 protected:
  void SetUp() override {
    reader_.set_grid_table(&table_);
    reader_.set_directories(dir_.path().string() + "/", "");
    table_.zone_grid().file_name = "zone.grd";
  }
  int CodeOfRead() {
    try {
      ReadGridHeader(reader_);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }
  std::string path() const { return dir_.file("zone.grd"); }

  grid_table table_;
  modelobject reader_{log_, "control.txt"};
};

TEST_F(ZoneGridHeaderTest, AsciiHeadGivesTheGeometry) {
  // The words are not compared; counts with a fraction are cut down; any nodata value.
  WriteFile(path(), "ncols 4.7\nrows 3.2\nx 100.5\ny -20\ncellsize 25\nnodata -1\n1 2 3 4\n");
  reader_.grid_file_header().values.fill(42);
  const GridGeometry g = ReadGridHeader(reader_);
  EXPECT_EQ(g.ncols, 4);
  EXPECT_EQ(g.nrows, 3);
  EXPECT_EQ(g.xllcorner, 100.5);
  EXPECT_EQ(g.yllcorner, -20);
  EXPECT_EQ(g.cellsize, 25);
  EXPECT_EQ(g.nodata_value, -1);
  // Header values not read keep what they held.
  EXPECT_EQ(reader_.grid_file_header().values[6], 42);
}

TEST_F(ZoneGridHeaderTest, BinaryHeadsOfDoublesAndFloats) {
  const std::array<double, 12> head{5, 6, 1, 2, 10, -9999, 30, 0, 1, 2, 3, 4};
  WriteBinary(path(), std::vector<double>(head.begin(), head.end()));
  GridGeometry g = ReadGridHeader(reader_);
  EXPECT_EQ(g.ncols, 5);
  EXPECT_EQ(g.nrows, 6);
  EXPECT_EQ(g.cellsize, 10);
  EXPECT_EQ(reader_.grid_file_header().values, head);

  // Sixth float -9999 (its sixth double is not): a float head, widened value by value.
  WriteBinary(path(), std::vector<float>{7, 8, 0.5f, 1.5f, 50, -9999, 0, 0, 0, 0, 0, 9, 1, 1, 1, 1});
  g = ReadGridHeader(reader_);
  EXPECT_EQ(g.ncols, 7);
  EXPECT_EQ(g.nrows, 8);
  EXPECT_EQ(g.xllcorner, 0.5);
  EXPECT_EQ(g.nodata_value, -9999);
  EXPECT_EQ(reader_.grid_file_header().values[11], 9);
}

TEST_F(ZoneGridHeaderTest, UnreadableHeadsFail) {
  struct Case {
    const char* name;
    std::function<void()> write;
    int code;
    const char* entry;
  };
  const std::string p = path();
  const Case cases[] = {
      {"no file", [] {}, kGridOpenError, "error opening "},
      {"capital NCOLS", [&] { WriteFile(p, "NCOLS 4\nNROWS 3\nX 0\nY 0\nCELLSIZE 1\nNODATA -9999\n"); },
       kGridReadError, "could not recognise file format (ascii, binary double or binary float) for "},
      {"ascii head ends early", [&] { WriteFile(p, "ncols 4\nnrows 3\nxllcorner 0\n"); }, kGridReadError,
       "error reading "},
      {"binary nodata other than -9999",
       [&] { WriteBinary(p, std::vector<double>{4, 3, 0, 0, 1, -1, 0, 0, 0, 0, 0, 0}); }, kGridReadError,
       "could not recognise file format (ascii, binary double or binary float) for "},
      {"double head shorter than twelve", [&] { WriteBinary(p, std::vector<double>{4, 3, 0, 0, 1, -9999, 0}); },
       kGridReadError, "error reading double value from the header of "},
      {"float head shorter than twelve", [&] { WriteBinary(p, std::vector<float>{4, 3, 0, 0, 1, -9999, 0, 0}); },
       kGridReadError, "error reading double value #9 from the header of "},
      {"no rows", [&] { WriteFile(p, "ncols 4\nnrows 0\nx 0\ny 0\ncellsize 1\nnodata -9999\n"); },
       kGridReadError, "error reading "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(p.c_str());
    c.write();
    console_.str("");
    EXPECT_EQ(CodeOfRead(), c.code);
    EXPECT_NE(console_.str().find(std::string(c.entry) + p), std::string::npos) << console_.str();
  }
}

TEST_F(ZoneGridHeaderTest, HeadsThatPlaceNoGridFail) {
  struct Case {
    const char* name;
    const char* head;  // the lines after ncols and nrows
    const char* entry;
  };
  const Case cases[] = {
      {"cell size 0", "xllcorner 0\nyllcorner 0\ncellsize 0\n", "the header's cellsize 0 is no finite number above 0"},
      {"negative cell size", "xllcorner 0\nyllcorner 0\ncellsize -100\n", "the header's cellsize -100 is no"},
      {"cell size not a number", "xllcorner 0\nyllcorner 0\ncellsize nan\n", "the header's cellsize nan is no"},
      {"infinite corner", "xllcorner inf\nyllcorner 0\ncellsize 100\n", "the header's xllcorner inf is no finite number"},
  };
  const std::string p = path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(p, std::string("ncols 4\nnrows 3\n") + c.head + "nodata_value -9999\n");
    console_.str("");
    EXPECT_EQ(CodeOfRead(), kGridReadError);
    EXPECT_NE(console_.str().find("error reading " + p + ": " + c.entry), std::string::npos) << console_.str();
  }
}

}  // namespace
}  // namespace tolvo
