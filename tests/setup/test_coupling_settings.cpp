#include "setup/coupling_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "support/test_support.h"

namespace tolvo {
namespace {

constexpr int kRows = 3;
constexpr int kCols = 4;

// A section with every kind of entry; `period` is the line of the period letter.
std::string FullSection(const std::string& period = "D") {
  return "[ExternalCoupling]\n"
         "1 coupling on\n"
         "to_model.cmd name of the wait file\n"
         "1500 wait interval\n" +
         period +
         "  period of the exchange\n"
         "60 external time step\n"
         "2 grids to read\n"
         "gw.asc GWTableExtern 1 0\n"
         "moist.asc\n  soil_moisture 2 1 rest of the line\n"
         "4 grids to write\n"
         "a.asc theta Sum b.asc theta\n"
         "Mean c.asc theta SumTotal_DMY\n"
         "d.asc theta current\n"
         "1 statistics to write\n"
         "q.txt runoff_total Mean\n"
         "from_model.cmd inform file\n"
         "Command=StepDone; inform text\n";
}

class CouplingSettingsTest : public test::LogFixture {
 protected:
  CouplingSettingsTest() {
    reader_.set_name("defaults");
    reader_.set_geometry({.ncols = kCols, .nrows = kRows, .cellsize = 100, .nodata_value = kNodata});
    reader_.set_strip({1, kRows});
    // Row 2 has one cell outside the zones.
    zone_ = Grid(1, kRows, kCols, kRows);
    zone_.fill(1);
    zone_(2, 3) = kNodata;
  }

  CouplingSettings Read(const std::string& text) {
    test::WriteFile(dir_.file("run.ctl"), "[model_time]\n1\n" + text);
    return GetCouplingParameters(reader_, dir_.file("run.ctl"), std::as_const(zone_).view());
  }
  int ErrorOf(const std::string& text) {
    try {
      Read(text);
    } catch (const ErrorCode& error) {
      return error.code;
    }
    return 0;
  }

  modelobject reader_{log_, "run.ctl"};
  Grid zone_;
};

TEST_F(CouplingSettingsTest, WithoutTheSectionCouplingIsOffWithThePresets) {
  for (const std::string& text : {std::string("[other]\n1\n"), std::string("[ExternalCoupling]\n0 off\nnot read\n")}) {
    SCOPED_TRACE(text);
    const CouplingSettings settings = Read(text);
    EXPECT_FALSE(settings.on());
    EXPECT_EQ(settings.wait_interval_ms, 100);
    EXPECT_EQ(PeriodLetter(settings.period), 'I');
    EXPECT_TRUE(settings.read_grids.empty());
    EXPECT_FALSE(settings.HasExternalGroundwaterTable());
    EXPECT_TRUE(reader_.control_file().is_open());  // left open for the set-up's final close
  }
}

TEST_F(CouplingSettingsTest, ReadsEveryValueAndListsSpreadOverLines) {
  const CouplingSettings s = Read(FullSection());
  EXPECT_TRUE(s.on());
  EXPECT_EQ(s.wait_file, "to_model.cmd");
  EXPECT_EQ(s.wait_interval_ms, 1500);
  EXPECT_EQ(PeriodLetter(s.period), 'D');
  EXPECT_EQ(s.external_time_step_min, 60);

  ASSERT_EQ(s.read_grids.size(), 2u);
  EXPECT_EQ(s.read_grids[0].file_name, "gw.asc");
  EXPECT_EQ(s.read_grids[0].identifier, "GWTableExtern");
  EXPECT_EQ(s.read_grids[0].fill_code, 1);
  EXPECT_EQ(s.read_grids[0].rename_code, 0);
  EXPECT_EQ(s.read_grids[1].file_name, "moist.asc");
  EXPECT_EQ(s.read_grids[1].identifier, "soil_moisture");
  EXPECT_EQ(s.read_grids[1].fill_code, 2);
  EXPECT_EQ(s.read_grids[1].rename_code, 1);
  EXPECT_TRUE(s.HasExternalGroundwaterTable());

  ASSERT_EQ(s.write_grids.size(), 4u);
  const ExchangeKind kinds[] = {ExchangeKind::Sum, ExchangeKind::Mean, ExchangeKind::SumTotal, ExchangeKind::Current};
  const char* files[] = {"a.asc", "b.asc", "c.asc", "d.asc"};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.write_grids[i].file_name, files[i]);
    EXPECT_EQ(s.write_grids[i].identifier, "theta");
    EXPECT_EQ(s.write_grids[i].code.kind, kinds[i]);
    // Only the accumulated codes get an accumulation matrix.
    EXPECT_EQ(s.write_grids[i].accumulator.empty(), kinds[i] == ExchangeKind::Current);
  }
  EXPECT_EQ(s.write_grids[2].code.text, "SumTotal_DMY");

  ASSERT_EQ(s.statistics.size(), 1u);
  EXPECT_EQ(s.statistics[0].file_name, "q.txt");
  EXPECT_EQ(s.statistics[0].name, "runoff_total");
  EXPECT_EQ(s.statistics[0].code.kind, ExchangeKind::Mean);
  EXPECT_EQ(s.inform_file, "from_model.cmd");
  EXPECT_EQ(s.inform_text, "Command=StepDone;");
}

TEST_F(CouplingSettingsTest, AccumulatorsStartAtZeroOnZoneCellsAndNodataElsewhere) {
  const CouplingSettings s = Read(FullSection());
  const Grid& sums = s.write_grids[0].accumulator;
  ASSERT_EQ(sums.rows().first, 1);
  ASSERT_EQ(sums.rows().last, kRows);
  for (int r = 1; r <= kRows; ++r) {
    for (int c = 1; c <= kCols; ++c) EXPECT_EQ(sums(r, c), r == 2 && c == 3 ? kNodata : 0.0) << r << "," << c;
  }
}

TEST_F(CouplingSettingsTest, OnlyTheCapitalPeriodLettersAtTheStartOfTheLine) {
  const struct {
    const char* line;
    int error;
  } cases[] = {{"I", 0}, {"H", 0}, {"D", 0}, {"M", 0}, {"Y", 0}, {" D", 10}, {"d", 10}, {"X", 10}, {"", 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.line + "'");
    EXPECT_EQ(ErrorOf(FullSection(c.line)), c.error);
  }
  EXPECT_TRUE(Logged("-----------------error------------\nerror reading Coupling Mode (I, H, D, M or Y) for "
                     "external gw table grid defaults\npossible reason: parameter missing or a linefeed \nbefore "
                     "the end of the parameter block"));
}

TEST_F(CouplingSettingsTest, MalformedEntriesFail) {
  const std::string head = "[ExternalCoupling]\n1\nw.cmd\n100\nI\n60\n";
  const struct {
    std::string text;
    int error;
    const char* message;
  } cases[] = {
      {head + "1\ngw.asc GWTableExtern x 0\n", 10, "error reading external (read) grid name/entity/fill code/rename "
                                                  "code defaults"},
      {head + "1\ngw.asc GWTableExtern 1\n", 10, "rename code defaults"},
      {head + "0\n1\na.asc theta\n", 10, "error reading external (write) grid name/entity/Writecodedefaults"},
      {head + "0\n0\n1\nq.txt runoff\n", 10, "error reading external (write) Statfile name/entity/writecodedefaults"},
      {head + "0\n0\n1\nq.txt runoff " + std::string(50, 'S') + "\n", 10, "Statfile"},  // write code too long
      {"[ExternalCoupling]\n1\nw.cmd\nsoon\n", 17, "wait interval for scanning for external grids"},
      {head + "0\n0\n0\ninform.cmd\n", 17, "semaphore Content for informing the external model"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ErrorOf(c.text), c.error);
    EXPECT_TRUE(Logged(c.message));
  }
}

TEST_F(CouplingSettingsTest, OtherModesReadTheSectionButStayOff) {
  std::string text = FullSection();
  text[text.find("1 coupling on")] = '2';
  const CouplingSettings s = Read(text);
  EXPECT_FALSE(s.on());
  EXPECT_EQ(s.inform_text, "Command=StepDone;");
}

TEST_F(CouplingSettingsTest, TheControlFileMustOpen) {
  try {
    GetCouplingParameters(reader_, dir_.file("missing.ctl"), std::as_const(zone_).view());
    ADD_FAILURE();
  } catch (const ErrorCode& error) {
    EXPECT_EQ(error.code, 14);
  }
  EXPECT_TRUE(Logged("error opening " + dir_.file("missing.ctl")));
}

TEST(CouplingWriteCode, KindAndDatedFiles) {
  const struct {
    const char* text;
    ExchangeKind kind;
    bool day, month, year;
  } cases[] = {
      {"Sum", ExchangeKind::Sum, false, false, false},
      {"Mean", ExchangeKind::Mean, false, false, false},
      {"sum", ExchangeKind::Current, false, false, false},
      {"Sums", ExchangeKind::Current, false, false, false},
      {"SumTotal", ExchangeKind::SumTotal, false, false, false},
      {"SumTotal_D", ExchangeKind::SumTotal, true, false, false},
      {"SumTotal_M", ExchangeKind::SumTotal, false, true, false},
      {"SumTotal_DM", ExchangeKind::SumTotal, true, true, false},
      {"SumTotal_Y", ExchangeKind::SumTotal, false, false, true},
      {"SumTotal_MY", ExchangeKind::SumTotal, false, true, true},
      {"SumTotal_DMY", ExchangeKind::SumTotal, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const WriteCode code = ParseWriteCode(c.text);
    EXPECT_EQ(code.kind, c.kind);
    EXPECT_EQ(code.day_file, c.day);
    EXPECT_EQ(code.month_file, c.month);
    EXPECT_EQ(code.year_file, c.year);
  }
}

}  // namespace
}  // namespace tolvo
