// Blocks of the routing description read into their entries, and the entries refused
// with their codes.
#include <gtest/gtest.h>

#include "framework/error_code.h"
#include "routing/routing_network.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;

constexpr const char* kValues = " (kh=1, kv=2, bm=3, bf=4, d=5, Mm=6, Mf=7, I=0.008, L=9, Ac=10)";

// Sub-basins with the codes 1..15 (indices equal to the codes) and 20 (index 16).
class BlockTest : public test::LogFixture {
 protected:
  BlockTest() : code_index_(21, 0) {
    for (int code = 1; code <= 15; ++code) code_index_[static_cast<std::size_t>(code)] = code;
    code_index_[20] = 16;
  }
  BlockEntries Read(const std::string& text, int n_inflows = 2) {
    return ReadBlock(text, 3, {.code_index = code_index_, .n_subbasins = 16, .largest_code = 20}, n_inflows, log_);
  }
  std::vector<int> code_index_;
};

TEST_F(BlockTest, EntriesAreNumberedTributariesGroupsThenInflows) {
  const std::string text = std::string("TG 20 (A=12.5, scale=2)") + " ZL 2 (mode= constant 1.5" + kValues + ")" +
                           " SUMTRIB 12&13&14 (" + kValues + ")" + " OL 5" + kValues + " SUMTRIB 6 &7" + kValues;
  const BlockEntries b = Read(text);
  EXPECT_EQ(b.own_code, 20);
  EXPECT_EQ(b.area_km2, 12.5);
  EXPECT_EQ(b.scale_factor, 2);
  EXPECT_EQ(b.counts.ol, 1);
  EXPECT_EQ(b.counts.sumtrib, 2);
  EXPECT_EQ(b.counts.ampersand, 3);  // the "&" after a blank still counts
  EXPECT_EQ(b.counts.zl, 1);
  ASSERT_EQ(b.channels.size(), 4u);
  EXPECT_EQ(b.channels[0].kind, ChannelKind::kTributary);
  EXPECT_EQ(b.channels[0].source_code, 5);
  EXPECT_EQ(b.channels[1].kind, ChannelKind::kGroup);
  EXPECT_EQ(b.channels[1].source_code, 12);
  EXPECT_EQ(b.channels[1].code_list, (std::vector<int>{13, 14}));
  EXPECT_EQ(b.channels[2].source_code, 6);
  EXPECT_TRUE(b.channels[2].code_list.empty());  // the blank ends the list
  EXPECT_EQ(b.channels[3].kind, ChannelKind::kInflow);
  EXPECT_EQ(b.channels[3].inflow.code, 2);
  EXPECT_EQ(b.channels[3].inflow.kind, InflowKind::kConstant);
  EXPECT_EQ(b.channels[3].inflow.constant_m3s, 1.5);
  const ChannelValues& v = b.channels[0].values;
  EXPECT_EQ((std::vector<double>{v.kh_h, v.kv_h, v.bm_m, v.bf_m, v.d_m, v.mm_m13s, v.mf_m13s, v.slope, v.length_m,
                                 v.catchment_km2}),
            (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 0.008, 9, 10}));
}

TEST_F(BlockTest, ExternalAndInternalInflowsAndKeywordsInsideWords) {
  // The "SP" inside the file name is taken for a reservoir entry, as keywords are plain
  // substrings.
  const BlockEntries b = Read(std::string("TG 1 (A=1, s=1) ZL 1 (=extern inSPut.txt 3 2") + kValues +
                              ") ZL 2 (=intern" + kValues + ")");
  ASSERT_EQ(b.channels.size(), 2u);
  EXPECT_EQ(b.channels[0].inflow.kind, InflowKind::kExternal);
  EXPECT_EQ(b.channels[0].inflow.file, "inSPut.txt");
  EXPECT_EQ(b.channels[0].inflow.start_row, 3);
  EXPECT_EQ(b.channels[0].inflow.first_column, 2);
  EXPECT_EQ(b.channels[1].inflow.kind, InflowKind::kInternal);
  EXPECT_EQ(b.reservoir_at.size(), 1u);
}

TEST_F(BlockTest, WrongEntriesFailWithTheirCodeAndEntry) {
  const std::string tg = "TG 20 (A=1, scale=1) ";
  const struct {
    const char* what;
    std::string text;
    int code;
    std::string message;
  } cases[] = {
      {"own code no sub-basin", "TG 16 (A=1, s=1)", kRoutingEntryError, "there is no subbasin with code 16"},
      {"tributary no sub-basin", tg + "OL 17" + kValues, kRoutingEntryError,
       "there cant be a tributary with code 17 for no subbasin (according to zones)"},
      {"tributary is the block itself", tg + "OL 20" + kValues, kRoutingEntryError,
       "subbasin 20: code of tributary 1 (20) is equal to subbasin code!"},
      {"group member no sub-basin", tg + "SUMTRIB 1&17" + kValues, kRoutingEntryError,
       "routing description 3, entry SUMTRIB 1: \"&17\" names no sub-basin"},
      {"ten \"&\" codes", tg + "SUMTRIB 1&2&3&4&5&6&7&8&9&10&11" + kValues, kRoutingEntryError,
       "entry SUMTRIB 1: more than 9 \"&\" codes"},
      {"value without \"=\"", tg + "OL 1 (kh 1)", kRoutingEntryError,
       "entry OL 1: no number after a \"=\" for the retention constant of the main channel"},
      {"value no number", tg + "OL 1 (kh=1, kv=x" + kValues, kRoutingEntryError,
       "entry OL 1: no number after a \"=\" for the retention constant of the flood plain"},
      {"area 0", "TG 20 (A=0, scale=1)", kRoutingEntryError, "entry TG 20: the area is 0"},
      {"negative scale factor", "TG 20 (A=1, scale=-2)", kRoutingEntryError, "entry TG 20: the scale factor is -2"},
      {"inflow 3 of 2", tg + "ZL 3 (=constant 1" + kValues, kRoutingInflowError,
       "there is/are only 2 inflow(s) for the entire basin,\n but the codes ranges from 1 to at least 3! in "
       "routing_model"},
      {"inflow 0", tg + "ZL 0 (=constant 1" + kValues, kRoutingInflowError,
       "but the codes ranges from 1 to at least 0!"},
      {"mode with a capital", tg + "ZL 1 (=Constant 1" + kValues, kRoutingInflowError,
       "the modus \"Constant\" is not supported for inflow 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    console_.str("");
    EXPECT_EQ(CodeOf([&] { Read(c.text); }), c.code);
    EXPECT_TRUE(Logged(c.message)) << console_.str();
  }
}

}  // namespace
}  // namespace tolvo
