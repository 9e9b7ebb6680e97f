// The soil model's tracer set-up: file names, the start amounts of the storage stack, the
// first concentrations and the grids the column step fills; a run of rain moves the input
// concentration into the soil.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "subsurface/soil_model_fixture.h"

namespace tolvo::test {
namespace {

class SoilTracerSetUp : public SoilModelTest {
 protected:
  SoilTracerSetUp() {
    tracers_.resize(2);
    TracerSettingsRecord& t = tracers_[1];
    t.name = "chl";
    t.max_conc = 1e6;
    t.gwini = 1;
    t.soilini = 5;
    t.path = "out/";
    t.statext = "sta";
    t.gridext = "grd";
    t.statcode = 2001;
    std::filesystem::create_directories(dir_.path() / "out");
  }
  template <class Body>
  int InFolder(Body&& body) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const int code = CodeOf(body);
    std::filesystem::current_path(previous);
    return code;
  }
  std::string FileOf(const std::string& identifier) const {
    for (int i = 1; i < grid_table::size(); ++i) {
      if ((*table_)[i].identifier == identifier) return (*table_)[i].file_name.value_or("");
    }
    return "";
  }
  std::vector<TracerSettingsRecord> tracers_;
};

TEST_F(SoilTracerSetUp, FilesStartAmountsAndFirstConcentrations) {
  SoilSectionText s;
  s.control_point = "2 2";
  ASSERT_EQ(Build(s), 0);
  Add("concflux_tracer_1_input", 3);
  Add("precipitation", 0);
  ASSERT_EQ(InFolder([&] {
              model_->selectInfiltrationInput(false);
              model_->InitTracers(1, tracers_, registry_, StatisticsRegistry::kCapacity);
            }),
            0);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "out/chlunsat.sta"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "out/chlpoint.sta"));
  EXPECT_EQ(FileOf("concstor_tracer_1_unsatzon_model"), "out/chlunsat.grd");
  EXPECT_EQ(FileOf("_CONC_QD_1_"), "_CONC_QD_1_");
  EXPECT_EQ(FileOf("_CONC_QI_1_"), "_CONC_QI_1_");
  // Amounts: 1000 · θ · d · soilini above the water table, · gwini from it down.
  const int G = static_cast<int>(grid("groundwater_level")(2, 2));
  ASSERT_GT(G, 1);
  int index = 0;
  for (int i = 1; i < grid_table::size(); ++i) {
    if ((*table_)[i].identifier == std::string("concstor_tracer_1_unsatzon_model")) index = i;
  }
  ASSERT_GT(index, 0);
  const StackView storage = (*table_)[index].stack;
  int theta = 0;
  for (int i = 1; i < grid_table::size(); ++i) {
    if ((*table_)[i].identifier == std::string("theta")) theta = i;
  }
  const StackView th = (*table_)[theta].stack;
  EXPECT_NEAR(storage(2, 2, 1), 1000 * th(2, 2, 1) * 0.1 * 5, 1e-9);
  EXPECT_NEAR(storage(2, 2, G), 1000 * th(2, 2, G) * 0.1 * 1, 1e-9);
  EXPECT_NEAR((*table_)[index].values(2, 2), 1, 1e-12) << "first concentration from the water-table layer";
  EXPECT_EQ(model_->getQg()[1][2], 1.0) << "the base flow's concentration reaches the first runoff";
}

TEST_F(SoilTracerSetUp, NoInputConcentrationIsAMissingGrid) {
  ASSERT_EQ(Build(SoilSectionText()), 0);
  EXPECT_EQ(InFolder([&] { model_->InitTracers(1, tracers_, registry_, StatisticsRegistry::kCapacity); }), 33);
}

}  // namespace
}  // namespace tolvo::test
