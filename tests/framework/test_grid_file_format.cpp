#include "framework/grid_file_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tolvo {
namespace {

// The first bytes of a binary file whose header is `header` in numbers of type T.
template <typename T>
std::vector<std::byte> BinaryHead(std::vector<double> header) {
  std::vector<std::byte> bytes(header.size() * sizeof(T));
  for (std::size_t i = 0; i < header.size(); ++i) {
    const T value = static_cast<T>(header[i]);
    std::memcpy(bytes.data() + i * sizeof(T), &value, sizeof(T));
  }
  return bytes;
}

std::vector<std::byte> TextHead(std::string_view text) {
  std::vector<std::byte> bytes(text.size());
  std::memcpy(bytes.data(), text.data(), text.size());
  return bytes;
}

TEST(GridFileFormat, RecognisesGridFilesInTheirOrder) {
  const std::vector<double> header{4, 3, 0, 0, 100, -9999, 0, 0, 0, 0, 0, 0};
  std::vector<double> other_nodata = header;
  other_nodata[5] = -9998;
  // A float header whose bytes 40..47 also form -9999 as a double: the double test wins.
  std::vector<std::byte> both = BinaryHead<float>(header);
  const std::vector<std::byte> double_nodata = BinaryHead<double>({-9999});
  std::memcpy(both.data() + 40, double_nodata.data(), sizeof(double));

  struct Case {
    const char* label;
    std::vector<std::byte> head;
    std::optional<GridFileFormat> expected;
  };
  const std::vector<Case> cases{
      {"lower-case ascii", TextHead("ncols\t4\nnrows\t3\n"), GridFileFormat::Ascii},
      {"upper-case ascii", TextHead("NCOLS 4\nNROWS 3\n"), GridFileFormat::Ascii},
      {"mixed-case ascii", TextHead("Ncols 4\nNrows 3\n"), std::nullopt},
      {"other header words", TextHead("ncolumns 4\nlines 3\n"), GridFileFormat::Ascii},
      {"classic netCDF", TextHead("CDF\x01rest of the file"), GridFileFormat::NetCdf},
      {"HDF5-based netCDF", TextHead("\x89HDF\r\n\x1a\n"), GridFileFormat::NetCdf},
      {"GIF", TextHead("GIF89a and some more bytes"), GridFileFormat::Gif},
      {"double grid", BinaryHead<double>(header), GridFileFormat::DoubleBinary},
      {"float grid", BinaryHead<float>(header), GridFileFormat::FloatBinary},
      {"double grid, nodata -9998", BinaryHead<double>(other_nodata), std::nullopt},
      {"float grid, nodata -9998", BinaryHead<float>(other_nodata), std::nullopt},
      {"fits double and float", both, GridFileFormat::DoubleBinary},
      {"float nodata cut off", BinaryHead<float>({4, 3, 0, 0, 100}), std::nullopt},
      {"three bytes", TextHead("nco"), std::nullopt},
      {"empty file", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(RecogniseGridFile(c.head), c.expected);
  }
}

TEST(GridFileFormat, RecognisesStackFiles) {
  const std::vector<double> header{4, 3, 0, 0, 100, -9999, 0, 0, 0, 0, 0, 2};
  EXPECT_EQ(RecogniseStackFile(TextHead("stack_ncols\t4\n")), StackFileFormat::Ascii);
  EXPECT_EQ(RecogniseStackFile(BinaryHead<double>(header)), StackFileFormat::DoubleBinary);
  EXPECT_EQ(RecogniseStackFile(BinaryHead<float>(header)), StackFileFormat::FloatBinary);
  EXPECT_EQ(RecogniseStackFile(TextHead("ncols\t4\n")), std::nullopt);
}

TEST(GridFileFormat, RowOffsetsFollowTheHeader) {
  // Row r begins at (12 + (r - 1) * ncols) * s bytes.
  EXPECT_EQ(GridRowOffset(1, 4, sizeof(float)), 48);
  EXPECT_EQ(GridRowOffset(1, 4, sizeof(double)), 96);
  EXPECT_EQ(GridRowOffset(3, 10, sizeof(double)), (12 + 2 * 10) * 8);
  // A stack row holds ncols * (numlevels + 1) values.
  EXPECT_EQ(StackRowOffset(2, 3, 1, sizeof(float)), (12 + 1 * 3 * 2) * 4);
  // A 2000 x 2000 double grid passes 2^31 bytes without overflow.
  EXPECT_EQ(GridRowOffset(20000, 20000, sizeof(double)), (12 + 19999LL * 20000) * 8);
}

class AsciiScannerTest : public ::testing::Test {
 protected:
  std::FILE* Open(const std::string& text) {
    test::WriteFile(dir_.file("values.txt"), text);
    file_ = std::fopen(dir_.file("values.txt").c_str(), "rb");
    return file_;
  }
  ~AsciiScannerTest() override {
    if (file_ != nullptr) std::fclose(file_);
  }
  test::TempDir dir_;
  std::FILE* file_ = nullptr;
};

TEST_F(AsciiScannerTest, ReadsNumbersAsPercentLfDoes) {
  AsciiScanner scanner(Open("ncols\t3\n 1.5 +2\n\n-3e2\t-9999\r\n.25 12abc"));
  EXPECT_TRUE(scanner.SkipWord());
  EXPECT_EQ(scanner.Number(), 3.0);
  std::vector<double> values(6);
  // "12abc" gives 12 and leaves "abc", which is no number.
  EXPECT_EQ(scanner.Numbers(values), 6u);
  EXPECT_EQ(values, (std::vector<double>{1.5, 2, -300, -9999, 0.25, 12}));
  EXPECT_EQ(scanner.Number(), std::nullopt);
  EXPECT_TRUE(scanner.SkipWord());
  EXPECT_EQ(scanner.Number(), std::nullopt);
  EXPECT_FALSE(scanner.SkipWord());
}

TEST_F(AsciiScannerTest, NumbersCrossingTheBufferEndAreWhole) {
  // With the smallest buffer the numbers straddle many refills.
  std::string text;
  std::vector<double> expected;
  for (int i = 0; i < 5000; ++i) {
    expected.push_back(i * 1.25 - 1000);
    text += std::to_string(i * 1.25 - 1000) + (i % 7 == 0 ? "\n" : "\t");
  }
  AsciiScanner scanner(Open(text), 1);
  std::vector<double> values(expected.size() + 1);
  EXPECT_EQ(scanner.Numbers(values), expected.size());
  values.pop_back();
  EXPECT_EQ(values, expected);
}

}  // namespace
}  // namespace tolvo
