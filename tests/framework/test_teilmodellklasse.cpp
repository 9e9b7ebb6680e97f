#include "framework/teilmodellklasse.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace tolvo {
namespace {

using test::CodeOf;
using test::WriteFile;

// A sub-model's section in a control file of its own: module switch, time step and the
// sub-step count and shift it is built with.
class SubmodelSectionTest : public test::LogFixture {
 protected:
  // The code the constructor raises, or 0; the module switch after a built module.
  int Build(const std::string& text, int sub_steps = 1, double min_to_int_end = 0, bool required = true) {
    WriteFile(dir_.file("c.ctl.$$$"), text);
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    settings_.min_to_int_end = min_to_int_end;
    return CodeOf([&] {
      teilmodellklasse module(log_, "snow_model", settings_, sub_steps, required);
      switch_ = module.IsActive();
    });
  }
  ModelSettings settings_;
  int switch_ = -1;
};

TEST_F(SubmodelSectionTest, UnusableTimeStepsAndSubStepsNameTheirSection) {
  const struct {
    const char* label;
    std::string text;
    int sub_steps;
    double min_to_int_end;
    int code;
    std::string entry;
  } cases[] = {
      {"time step 0 of a module that computes", "[snow_model]\n1\n0\n", 1, 0, 17,
       "error in control file, time interval for snow_model in [snow_model]: 0; expected a time step from 1 to "
       "2147483647 minutes"},
      {"time step beyond a count of minutes", "[snow_model]\n1\n1e300\n", 1, 0, 17,
       "snow_model in [snow_model]: 1e+300; expected"},
      {"negative time step", "[snow_model]\n1\n-60\n", 1, 0, 17, "snow_model in [snow_model]: -60; expected"},
      {"time step below a minute", "[snow_model]\n1\n0.5\n", 1, 0, 17, "snow_model in [snow_model]: 0.5; expected"},
      {"time step not a number", "[snow_model]\n1\nnan\n", 1, 0, 17, "snow_model in [snow_model]: nan; expected"},
      {"more sub-steps than minutes", "[snow_model]\n1\n60\n", 61, 0, 17,
       "sub step counter in [soil_surface_groundwater_substeps]: 61; expected at most 60, the time step of "
       "snow_model in minutes"},
      {"shift longer than the step", "[snow_model]\n1\n60\n", 1, 120, 63,
       "Please check the fourth value in [output_interval]"},
      {"missing time step", "[snow_model]\n1\n", 1, 0, 17, "time interval for snow_model; snow_modelnot found!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Build(c.text, c.sub_steps, c.min_to_int_end), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
  EXPECT_FALSE(Logged("[program_output]"));
}

TEST_F(SubmodelSectionTest, ValidStepsAndSwitchedOffModulesAreAccepted) {
  const struct {
    const char* label;
    std::string text;
    int sub_steps;
    int module_switch;
  } cases[] = {
      {"one sub-step per minute", "[snow_model]\n1\n60\n", 60, 1},
      {"daily step", "[snow_model]\n1\n1440\n", 24, 1},
      {"switched off with time step 0", "[snow_model]\n0\n0\n", 1000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Build(c.text, c.sub_steps), 0);
    EXPECT_EQ(switch_, c.module_switch);
  }
}

TEST_F(SubmodelSectionTest, AMissingOptionalSectionSwitchesOffWithoutAFatalEntry) {
  EXPECT_EQ(Build("[other]\n1\n60\n", 1, 0, false), 0);
  EXPECT_EQ(switch_, 0);
  EXPECT_FALSE(Logged("error in control file"));
  EXPECT_TRUE(Logged("section [snow_model] not found in control file; module snow_model is switched off"));
  // A required section is still an error.
  EXPECT_EQ(Build("[other]\n1\n60\n"), 17);
  EXPECT_TRUE(Logged("error in control file, [snow_model]; (EOF)not found!"));
}

}  // namespace
}  // namespace tolvo
