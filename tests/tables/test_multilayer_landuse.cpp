#include "tables/multilayer_landuse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

class MultilayerLanduseTest : public test::LogFixture {
 protected:
  // Reads a control file with the given text; the failure code, or 0.
  int Read(const std::string& control) {
    test::WriteFile(dir_.file("control.txt"), control);
    EXPECT_TRUE(reader_.OpenControlFile(dir_.file("control.txt")));
    try {
      table_ = ReadMultilayerLanduse(reader_);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }
  static std::vector<int> Codes(std::span<const int> codes) { return {codes.begin(), codes.end()}; }

  modelobject reader_{log_, "control.txt"};
  std::optional<MultilayerLanduseTable> table_;
};

TEST_F(MultilayerLanduseTest, NoSectionMeansNoTable) {
  ASSERT_EQ(Read("[landuse_table]\n0\n"), 0);
  EXPECT_FALSE(table_);
}

TEST_F(MultilayerLanduseTest, EntriesInOneAndSeveralLines) {
  ASSERT_EQ(Read("[multilayer_landuse]\n2 types\n"
                 "1 forest_grass { Landuse_Layers = 11, 3; k_extinct = 0.5; }\n"
                 "2 field { Landuse_Layers = 4,\n 5;\n  LAI_scale = 8;\n}\n"),
            0);
  ASSERT_TRUE(table_);
  EXPECT_EQ(table_->size(), 2);
  EXPECT_EQ((*table_)[0].GetCode(), 2);
  EXPECT_EQ(table_->layers(), 2);
  const MultilayerLanduseRecord& first = (*table_)[1];
  EXPECT_EQ(first.GetCode(), 1);
  EXPECT_EQ(first.GetCodeAsRead(), 1);
  EXPECT_EQ(first.GetName(), "forest_grass");
  EXPECT_EQ(first.GetLayers(), 2);
  EXPECT_EQ(Codes(first.GetLayerCodes()), (std::vector<int>{2, 11, 3}));
  EXPECT_EQ(Codes(first.GetLayerCodesAsRead()), (std::vector<int>{2, 11, 3}));
  EXPECT_DOUBLE_EQ(first.GetKExtinct(), 0.5);
  EXPECT_DOUBLE_EQ(first.GetLAIScale(), 10.0);
  const MultilayerLanduseRecord& second = (*table_)[2];
  EXPECT_EQ(Codes(second.GetLayerCodes()), (std::vector<int>{2, 4, 5}));
  EXPECT_DOUBLE_EQ(second.GetKExtinct(), 0.3);
  EXPECT_DOUBLE_EQ(second.GetLAIScale(), 8.0);
  // The code check rewrites the layer codes; the codes as read stay.
  (*table_)[1].SetLayerCode(1, 7);
  EXPECT_EQ(Codes(first.GetLayerCodes()), (std::vector<int>{2, 7, 3}));
  EXPECT_EQ(Codes(first.GetLayerCodesAsRead()), (std::vector<int>{2, 11, 3}));
}

TEST_F(MultilayerLanduseTest, FaultyTablesAreFatal) {
  struct Case {
    const char* what;
    const char* section;
    int code;
    const char* logged;
  };
  const Case cases[] = {
      // A section without entries gives the model no layer count: refused.
      {"no entry", "0\n", 110, "the section [multilayer_landuse] must hold at least one entry, its count is 0"},
      {"negative count", "-2\n", 110, "must hold at least one entry"},
      {"count not a number", "x\n", 17, "error in control file, number of multilayer landuse types"},
      {"first line without the key", "1\n1 a { k_extinct = 0.5;\n Landuse_Layers = 1; }\n", 112,
       "multiple landuse table: parameter Landuse_Layers not found 1 a { k_extinct = 0.5;\n"},
      {"blanks instead of commas", "2\n1 a { Landuse_Layers = 11, 3; }\n2 b { Landuse_Layers = 11 3; }\n", 111,
       "\nThe numbers of landuse layers has to be equal for all multilayer-landuse types\n(here: multilayer-landuse "
       "type 2: 1 layers, but multilayer-landuse type 1: 2 layers)\n\n"},
      {"third entry differs",
       "3\n1 a { Landuse_Layers = 1, 2; }\n2 b { Landuse_Layers = 1, 2; }\n3 c { Landuse_Layers = 1, 2, 3; }\n", 111,
       "(here: multilayer-landuse type 3: 3 layers, but multilayer-landuse type 2: 2 layers)"},
      {"no layer code", "1\n1 a { Landuse_Layers = x; }\n", 110,
       "multilayer_landuse_table code 1: some parameters could not be read\n1 a { Landuse_Layers = x; }\n"},
      {"no code", "1\na { Landuse_Layers = 1; }\n", 110, "multilayer_landuse_table code 1: some parameters"},
      {"file ends inside a block", "1\n1 a { Landuse_Layers = 1;\n", 110, "the control file ends inside entry 1"},
      {"file ends before the last entry", "2\n1 a { Landuse_Layers = 1; }\n", 110,
       "the control file ends before entry 2 of 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    EXPECT_EQ(Read(std::string("[multilayer_landuse]\n") + c.section), c.code);
    EXPECT_TRUE(Logged(c.logged)) << console_.str();
  }
}

TEST_F(MultilayerLanduseTest, ParserRefusesABlockWithoutTheLayerKey) {
  MultilayerLanduseRecord record(4);
  try {
    record.ParseBlock(log_, "4 a { k_extinct = 0.5; }\n");
    FAIL() << "no error";
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 110);
  }
  EXPECT_TRUE(Logged("multiple landuse table: parameter Landuse_Layers not found 4 a { k_extinct = 0.5; }"));
  EXPECT_TRUE(Logged("multilayer_landuse_table code 4: some parameters could not be read\n4 a {"));
}

}  // namespace
}  // namespace tolvo
