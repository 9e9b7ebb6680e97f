#include "setup/tracer_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace tolvo {
namespace {

// A complete tracer line with the given name and decay and max_conc parts.
std::string TracerLine(const std::string& name, const std::string& decay = "non_radioactive",
                       const std::string& max_conc = "max_conc = 5 mg/l") {
  return name + " " + decay + " evaporating min_conc = 0.5 " + max_conc +
         " soilini = 1.5 gwini = 2.5 statcode = 2001 gridcode = 11 path = out/ statext = .stat gridext = .grd";
}

class TracerSettingsTest : public test::LogFixture {
 protected:
  // Reads a control file whose "[substance_transport]" section has the count line and the
  // tracer lines; the error code.
  int Read(const std::string& count, const std::vector<std::string>& lines) {
    std::string text = "[model_time]\n1\n[substance_transport]\n" + count + " number of tracers\n";
    for (const std::string& line : lines) text += line + "\n";
    test::WriteFile(dir_.file("run.ctl"), text);
    n_ = -1;
    tracers_ = {};
    object_.reset();
    return test::CodeOf(
        [&] { object_ = std::make_unique<tracer_ini_class>(log_, dir_.file("run.ctl"), 0, n_, tracers_); });
  }

  int n_ = -1;
  std::span<TracerSettingsRecord> tracers_;
  std::unique_ptr<tracer_ini_class> object_;
};

TEST_F(TracerSettingsTest, ReadsEveryFieldOfATracerLine) {
  ASSERT_EQ(Read("2", {TracerLine("Cl"), "NITRATE gridcode = 12 radioactive half_time = 12.5 d non_evaporating "
                                         "min_conc = 0 soilini = 0 gwini = 0 statcode = 0 path = p/ "
                                         "statext = s gridext = g max_conc = 3"}),
            0);
  ASSERT_EQ(n_, 2);
  ASSERT_EQ(tracers_.size(), 3u);
  const TracerSettingsRecord& cl = tracers_[1];
  EXPECT_EQ(cl.name, "cl_");
  EXPECT_EQ(cl.radioactive, 0);
  EXPECT_EQ(cl.half_time, -9999);
  EXPECT_EQ(cl.evaporating, 1);
  EXPECT_EQ(cl.min_conc, 0.5);
  EXPECT_EQ(cl.max_conc, 5);
  EXPECT_EQ(cl.soilini, 1.5);
  EXPECT_EQ(cl.gwini, 2.5);
  EXPECT_EQ(cl.statcode, 2001);
  EXPECT_EQ(cl.gridcode, 11);
  EXPECT_EQ(cl.path, "out/");
  EXPECT_EQ(cl.statext, ".stat");
  EXPECT_EQ(cl.gridext, ".grd");
  EXPECT_EQ(cl.decay_factor, 0);
  const TracerSettingsRecord& nit = tracers_[2];
  EXPECT_EQ(nit.name, "nit");
  EXPECT_EQ(nit.radioactive, 1);
  EXPECT_EQ(nit.half_time, 12.5);
  EXPECT_EQ(nit.evaporating, 0);
  EXPECT_EQ(nit.max_conc, 3);  // no unit: kg/kg
  EXPECT_EQ(nit.gridcode, 12);
  EXPECT_TRUE(Logged("reading parameters for tracer 2 ..."));
  EXPECT_TRUE(Logged("done."));
  object_->DeleteModule();
}

TEST_F(TracerSettingsTest, CountsAreReadAsCIntegersAndLimitedToNine) {
  EXPECT_EQ(Read("0", {}), 0);
  EXPECT_EQ(n_, 0);
  EXPECT_TRUE(tracers_.empty());
  EXPECT_EQ(Read("-2", {}), 0);
  EXPECT_EQ(n_, 0);

  std::vector<std::string> lines;
  for (const char* name : {"aa", "bb", "cc", "dd", "ee", "ff", "gg", "hh", "ii", "jj"}) lines.push_back(TracerLine(name));
  // 010 is octal: 8 tracers.
  EXPECT_EQ(Read("010", lines), 0);
  EXPECT_EQ(n_, 8);
  EXPECT_EQ(Read("9", lines), 0);
  EXPECT_EQ(n_, 9);
  EXPECT_EQ(Read("10", lines), 58);
  EXPECT_EQ(n_, -1);  // nothing handed out
  EXPECT_TRUE(Logged("not more than 9 tracer species are allowed at one time (they need a very lot of memory!)"));
  EXPECT_EQ(Read("x", lines), 17);
  EXPECT_TRUE(Logged("error in control file,  number of tracers in ; tracer_ininot found!"));
}

TEST_F(TracerSettingsTest, SectionMustExist) {
  test::WriteFile(dir_.file("run.ctl"), "[model_time]\n1\n");
  EXPECT_EQ(test::CodeOf([&] { tracer_ini_class object(log_, dir_.file("run.ctl"), 0, n_, tracers_); }), 17);
  EXPECT_EQ(test::CodeOf([&] { tracer_ini_class missing(log_, dir_.file("absent.ctl"), 0, n_, tracers_); }), 28);
  EXPECT_TRUE(Logged("error opening " + dir_.file("absent.ctl")));
}

TEST_F(TracerSettingsTest, NamesAreThreeLowerCaseCharactersAndMustDiffer) {
  EXPECT_EQ(Read("2", {TracerLine("Nitrate"), TracerLine("nitrogen")}), 59);
  EXPECT_TRUE(Logged("substance #2 and substance #1 have the same\nfirst 3 chars (lowercase) in its name (nit <-> nit)"));
}

TEST_F(TracerSettingsTest, KeywordVariantsThatAreAccepted) {
  ASSERT_EQ(Read("4", {TracerLine("a1", "radioactive non_radioactive"), TracerLine("a2", "non_radioactive", "max_conc = 5 g/l"),
                       TracerLine("a3", "non_radioactive", "max_conc = 5 Kg/Kg"),
                       "a4 non_radioactive evaporating non_evaporating min_conc = 0 max_conc = 1 kg/kg soilini = 0 "
                       "gwini = 0 statcode = 1 gridcode = 1 path = p statext = s gridext = g"}),
            0);
  EXPECT_EQ(tracers_[1].radioactive, 0);  // "non_radioactive" wins
  EXPECT_EQ(tracers_[4].evaporating, 0);  // "non_evaporating" wins
}

TEST_F(TracerSettingsTest, FaultyTracerLinesFailWith56AndTheirEntry) {
  const struct {
    const char* label;
    std::string line;
    std::string entry;
  } cases[] = {
      {"no decay keyword", "aa evaporating", "error reading parameters for tracer 1:\n need a key word \"radioactive\" or "
                                              "\"non_radioactive\"\n(may be, the number of tracers (1) is wrong?\n"},
      {"missing line", "", "need a key word \"radioactive\""},
      {"radioactive without half time", TracerLine("aa", "radioactive"),
       "error in tracer_info_table tracer 1: need a \"half_time = xxxx d\" sequence!"},
      {"half time without =", TracerLine("aa", "radioactive half_time 3 d").substr(0, 40),
       "error reading half_time for tracer 1: no \"half_time =\" found!"},
      {"half time in days", TracerLine("aa", "radioactive half_time = 12.5 days"),
       "error reading half_time for tracer 1: no \"d\" for measure found!"},
      {"half time 0", TracerLine("aa", "radioactive half_time = 0 d"), "error in half_time for tracer 1: must be greater than 0!"},
      {"half time not a number", TracerLine("aa", "radioactive half_time = x d"), "error reading half_time for tracer 1"},
      {"no evaporation keyword", "aa non_radioactive min_conc = 1",
       "need a key word \"evaporating\" or \"non_evaporating\"\n(may be, the number of tracers (1) is wrong?"},
      {"max_conc followed by another keyword", TracerLine("aa", "non_radioactive", "max_conc = 5"),
       "wrong measure (only mg/l, g/l or kg/kg resp. no measure are allowed!)\nread here: soilini"},
      {"max_conc not a number", TracerLine("aa", "non_radioactive", "max_conc = much"), "error reading max_conc for tracer 1"},
      {"max_conc without =", "aa non_radioactive evaporating min_conc = 0 max_conc",
       "error reading max_conc for tracer 1: no \"max_conc =\" found!"},
      {"min_conc missing", "aa non_radioactive evaporating max_conc = 1",
       "error reading parameters for tracer 1:\nneed a key word \"min_conc = xxxx\""},
      {"soilini not a number", "aa non_radioactive evaporating min_conc = 0 max_conc = 1 mg/l soilini = x",
       "error reading soilini for tracer 1!"},
      {"statcode missing", "aa non_radioactive evaporating min_conc = 0 max_conc = 1 mg/l soilini = 0 gwini = 0",
       "error reading statcode for tracer 1:\nneed a key word \"statcode = xxxx\""},
      {"gridcode not a number",
       "aa non_radioactive evaporating min_conc = 0 max_conc = 1 mg/l soilini = 0 gwini = 0 statcode = 1 gridcode = y",
       "error reading gridcode for tracer 1!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Read("1", {c.line}), 56);
    EXPECT_EQ(n_, -1);
    EXPECT_TRUE(Logged(c.entry));
  }
  // A word longer than 299 characters is refused, not cut.
  std::string line = TracerLine("aa");
  line.replace(line.find("out/"), 4, std::string(300, 'p'));
  EXPECT_EQ(Read("1", {line}), 56);
  EXPECT_TRUE(Logged("error reading path for tracer 1!"));
  // A line of 1200 characters would be split; it is refused instead.
  EXPECT_EQ(Read("1", {TracerLine("aa") + std::string(1200, ' ')}), 56);
  EXPECT_TRUE(Logged("the line is longer than 1199 characters"));
}

}  // namespace
}  // namespace tolvo
