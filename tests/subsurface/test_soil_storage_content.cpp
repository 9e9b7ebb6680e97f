#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

class SoilStorageTest : public SoilModelTest {
 protected:
  // Builds the model with flow times of 1 to 3 steps, sets it up and runs `steps` hours of
  // rain, so that every queue and storage holds water.
  void BuildAndRun(int steps, const SoilSectionText& section = {}) {
    MakeBasin();
    Add("precipitation", 40);
    GridView t = Add("flow_times", 1);
    t(1, 2) = 3601;
    t(2, 2) = 3601;
    t(2, 3) = 7201;
    ASSERT_EQ(Build(section), 0);
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(0, {}, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
    for (int h = 0; h < steps; ++h) {
      const ModelDate d{2020, 6, 1, h};
      ASSERT_EQ(InFolder([&] {
                  model_->prepareTimeStep(d);
                  model_->SubStep(d);
                  model_->concentrateSubbasinRunoff(d);
                }),
                0);
    }
  }
  // Ends the run: the section goes to the storage file; its text.
  std::string Finish(bool append = false) {
    model_->SetInitialised(1);
    bool wrote = false;
    EXPECT_EQ(InFolder([&] { wrote = model_->finishModel(append); }), 0);
    EXPECT_TRUE(wrote);
    model_.reset();
    return ReadFile(dir_.file("storage.ste_0"));
  }
};

// The section written at the end of a run and read by the next one gives back every
// queue record and storage outflow to the last bit: writing the restored state again
// gives the same file.
TEST_F(SoilStorageTest, SectionRestoresTheQueuesAndOutflowsExactly) {
  BuildAndRun(4);
  const std::vector<std::vector<double>> qdd(model_->getQDd().begin(), model_->getQDd().end());
  const std::vector<std::vector<double>> qii(model_->getQIi().begin(), model_->getQIi().end());
  const std::string first = Finish();
  EXPECT_EQ(first.rfind("[unsatzon_model]\n2 (number of subasins)\n1\t2\t(code)\n120 120 (kelsqd in min)\n", 0), 0u)
      << first;
  EXPECT_NE(first.find("1 2 (zone 1 and maxzeit)\n"), std::string::npos);
  EXPECT_NE(first.find("2 3 (zone 2 and maxzeit)\n"), std::string::npos);
  EXPECT_TRUE(first.ends_with(" (QIi[0][2])\n\n"));

  BuildAndRun(0);
  ASSERT_EQ(InFolder([&] { model_->ReadStorageContent(); }), 0);
  for (int s = 1; s <= 2; ++s) {
    EXPECT_EQ(model_->getQDd()[0][s], qdd[0][s]);
    EXPECT_EQ(model_->getQIi()[0][s], qii[0][s]);
  }
  EXPECT_GT(qdd[0][2], 0);
  EXPECT_EQ(Finish(), first);

  // Appending keeps what an earlier writer put in front; otherwise the file starts anew.
  WriteFile(dir_.file("storage.ste_0"), "[routing_model]\n\n");
  BuildAndRun(0);
  EXPECT_EQ(Finish(true).rfind("[routing_model]\n\n[unsatzon_model]\n", 0), 0u);
  BuildAndRun(0);
  EXPECT_EQ(Finish(false).rfind("[unsatzon_model]\n", 0), 0u);

  // A file that cannot be written stops the run instead of losing the state unnoticed.
  std::filesystem::remove(dir_.file("storage.ste_0"));
  std::filesystem::create_directory(dir_.file("storage.ste_0"));
  BuildAndRun(0);
  model_->SetInitialised(1);
  EXPECT_EQ(InFolder([&] { model_->finishModel(false); }), kWriteErrorCode);
  EXPECT_TRUE(Logged("error opening storage content file " + dir_.file("storage.ste_0") + " for writing"));
}

TEST_F(SoilStorageTest, StoredStructureMustFitTheControlFile) {
  BuildAndRun(2);
  const std::string good = Finish();
  const auto replace = [&](const std::string& pattern, const std::string& by) {
    return std::regex_replace(good, std::regex(pattern), by, std::regex_constants::format_first_only);
  };
  struct Case {
    std::string what, text;
    int code;
    std::string entry;
  };
  const std::string zone_line = "[^\\n]*\\(zoneFZT_QD";
  const Case cases[] = {
      {"kelsqi off by 1e-4", replace("\\n3000 3000 \\(kelsqi", "\n3000.3 3000 (kelsqi"), kStorageFileMismatch,
       "reading kelsqi:\nvalue in actual control is:   "},
      {"kelsqi off by 5e-6", replace("\\n3000 3000 \\(kelsqi", "\n3000.015 3000 (kelsqi"), 0, ""},
      {"kelsqd", replace("\\n120 120 \\(kelsqd", "\n121 120 (kelsqd"), kStorageFileMismatch,
       "error in storage file content reading m:\nvalue in actual control is:   "},
      {"stored 0 against 1e-12", replace("[^ \\n]+ [^ \\n]+ \\(surface", "0.2 0 (surface"), kStorageFileMismatch,
       "reading SR_Anteil"},
      {"zone line of four numbers", replace(zone_line, "1 2 3 4 (zoneFZT_QD"), kStorageFileMismatch,
       "number of fields for zonal statistics QD:\nvalue in actual control is:   5\nbut value in storage file is: 4"},
      {"tracer count", replace("0 \\(number of tracers", "1 (number of tracers"), kStorageFileMismatch,
       "number of tracers"},
      {"zone count", replace("2 3 \\(zone 2", "2 4 (zone 2"), kStorageFileMismatch, "maxzeit of actual subbasin"},
      {"unreadable QDd", replace("\\n[^\\n]*\\(QDd\\[0\\]\\[1\\]", "\nx (QDd[0][1]"), kStorageFileMismatch,
       "QDd"},
      {"no section", "[routing_model]\n\n", kStorageFileMismatch, "error locking for the section [unsatzon_model]"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // A parameter that the file stores as 0 is compared with a tiny current value.
    SoilSectionText section;
    if (k.what == "stored 0 against 1e-12") section.block = "1 2\n2 2\n50 50\n1 1\n200 200\n1 1\n0.2 1e-12\n";
    BuildAndRun(0, section);
    WriteFile(dir_.file("storage.ste_0"), k.text);
    console_.str("");
    EXPECT_EQ(InFolder([&] { model_->ReadStorageContent(); }), k.code);
    if (!k.entry.empty()) {
      EXPECT_TRUE(Logged(k.entry)) << console_.str();
    }
  }
  std::filesystem::remove(dir_.file("storage.ste_0"));
  EXPECT_EQ(InFolder([&] { model_->ReadStorageContent(); }), kStorageFileOpenError);
}

}  // namespace
}  // namespace tolvo::test
