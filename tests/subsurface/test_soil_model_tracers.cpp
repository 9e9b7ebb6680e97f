// The soil model's tracer set-up: file names, the start amounts of the storage stack, the
// first concentrations and the grids the column step fills; a run of rain moves the input
// concentration into the soil.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
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
  static void Fill(GridView g, double v) {
    for (int r = 1; r <= kRows; ++r) {
      for (int c = 1; c <= kCols; ++c) g(r, c) = v;
    }
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

// Rain with two tracers (a conservative one carried as amounts, an evaporating one as
// concentrations) on a basin whose storages pass their inflow on, with one and with two
// soil sub-steps per step: every step the tracer that leaves the sub-basins' outlets with
// direct runoff, interflow and base flow is what entered the cells less what their columns
// gained; the evaporating tracer runs off at the rain's concentration.
TEST_F(SoilTracerSetUp, OutletsCarryTheTracerTheCellsReleaseEveryStep) {
  for (const int sub_steps : {1, 2}) {
    SCOPED_TRACE(sub_steps);
    MakeBasin();
    GridView rain = Add("precipitation", 0);
    Fill(grid("pot_transpiration1"), 0.1);
    Fill(grid("potential_evaporation"), 0.05);
    SoilSectionText text;
    text.control_point = "2 2";
    ASSERT_EQ(Build(text, "", sub_steps), 0);
    Add("concflux_tracer_1_input", 3);
    Add("concflux_tracer_2_input", 2);
    tracers_.resize(3);
    tracers_[2] = tracers_[1];
    tracers_[2].name = "o18";
    tracers_[2].evaporating = 1;
    tracers_[2].gwini = tracers_[2].soilini = 2;
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(2, tracers_, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
    model_->setSurfaceRoutingActive(1);  // the storages pass their inflow on
    const StackView A = stack("concstor_tracer_1_unsatzon_model");
    const auto stored = [&] {
      double sum = 0;
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
          if (r == 1 && c == 3) continue;
          for (int k = 0; k <= 5; ++k) sum += A(r, c, k);
        }
      }
      return sum;
    };
    const int cells[] = {0, 2, 9};
    double worst = 0, released = 0;
    for (int h = 0; h < 12; ++h) {
      SCOPED_TRACE(h);
      Fill(rain, h < 6 ? 20 : 0);  // the step's water input, shared by its sub-steps
      const double before = stored();
      ASSERT_EQ(InFolder([&] {
                  const ModelDate d{2020, 6, 1, h};
                  model_->prepareTimeStep(d);
                  for (int k = 0; k < sub_steps; ++k) model_->SubStep(d);
                  model_->concentrateSubbasinRunoff(d);
                }),
                0);
      double input = 0;
      for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) input += r == 1 && c == 3 ? 0 : rain(r, c) * 3;
      }
      double out = 0;
      for (int s = 1; s <= 2; ++s) {
        const std::size_t si = static_cast<std::size_t>(s);
        const double load = model_->getQDd()[0][si] * model_->getQDd()[1][si] +
                            model_->getQIi()[0][si] * model_->getQIi()[1][si] +
                            model_->getQBb()[0][si] * model_->getQBb()[1][si];
        EXPECT_NEAR(model_->getQg()[0][si] * model_->getQg()[1][si], load, 1e-9 * std::max(1.0, load));
        out += cells[s] * load;
        if (model_->getQD()[0][si] > 0) {
          EXPECT_NEAR(model_->getQD()[2][si], 2, 1e-12) << "evaporating tracer at the rain's concentration";
        }
      }
      released += out;
      const double balance = input - out - (stored() - before);
      worst = std::max(worst, std::fabs(balance) / std::max(1.0, input));
    }
    EXPECT_LT(worst, 1e-9);
    EXPECT_GT(released, 10);
    if (sub_steps > 1) continue;

    // The control cell's series: a header and one record per step, the layers'
    // concentrations of the conservative tracer.
    ASSERT_EQ(InFolder([&] { model_->FlushStatistics(); }), 0);
    std::istringstream lines(ReadFile((dir_.path() / "out/chlpoint.sta").string()));
    std::vector<std::string> records;
    for (std::string line; std::getline(lines, line);) records.push_back(line);
    ASSERT_EQ(records.size(), 13u);
    std::istringstream last(records.back());
    double year = 0, month = 0, day = 0, hour = 0, layer1 = 0;
    last >> year >> month >> day >> hour >> layer1;
    EXPECT_EQ(hour, 11);
    const double theta = stack("theta")(2, 2, 1);
    EXPECT_NEAR(layer1, A(2, 2, 1) / (theta * 0.1 * 1000), 1e-5 * layer1);
    EXPECT_GT(layer1, 1) << "the rain's tracer entered the top layer";
  }
}

// A floating-point error signalled before the soil sub-step is reported once, by the
// first call of the tracer transport in row order: cell (1, 1), layer 1, tracer 1; the
// next call clears the state, which lets the handler mark the next error. The entry is the
// same under 1 and 4 threads; without a pending signal nothing is written.
TEST_F(SoilTracerSetUp, ASignalledFloatingPointErrorIsReportedOnceByTheFirstCell) {
  struct Case {
    int state, threads;
    bool entry;
  };
  // The console shows the INFO entry without its prefix.
  const std::string head = "fpe in i1: 1, i2: 1, i3: 1, i4: 1\na1: ";
  std::vector<std::string> entries;
  for (const Case k : {Case{0, 4, false}, Case{1, 1, true}, Case{1, 4, true}, Case{2, 4, false}}) {
    SCOPED_TRACE(std::to_string(k.state) + " with " + std::to_string(k.threads) + " threads");
    console_.str("");
    tracers_.resize(2);
    MakeBasin();
    Fill(Add("precipitation", 0), 5);
    ASSERT_EQ(Build(SoilSectionText()), 0);
    Add("concflux_tracer_1_input", 3);
    ASSERT_EQ(InFolder([&] {
                model_->selectInfiltrationInput(false);
                model_->InitTracers(1, tracers_, registry_, StatisticsRegistry::kCapacity);
              }),
              0);
    model_->fpe_report_state() = k.state;
    omp_set_num_threads(k.threads);
    const int code = InFolder([&] {
      const ModelDate d{2020, 6, 1, 0};
      model_->prepareTimeStep(d);
      model_->SubStep(d);
    });
    omp_set_num_threads(2);
    ASSERT_EQ(code, 0);
    const std::string text = console_.str();
    const std::size_t at = text.find("fpe in i1");
    EXPECT_EQ(at != std::string::npos, k.entry);
    EXPECT_EQ(model_->fpe_report_state(), 0);
    if (at == std::string::npos) continue;
    EXPECT_EQ(text.find("fpe in i1", at + 1), std::string::npos) << "one signal, one report";
    const std::string entry = text.substr(at, text.find('\n', at + head.size()) - at);
    EXPECT_EQ(entry.substr(0, head.size()), head);
    EXPECT_NE(entry.find(" a5: 0 "), std::string::npos) << entry;
    entries.push_back(entry);
  }
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], entries[1]);
}

TEST_F(SoilTracerSetUp, NoInputConcentrationIsAMissingGrid) {
  ASSERT_EQ(Build(SoilSectionText()), 0);
  EXPECT_EQ(InFolder([&] { model_->InitTracers(1, tracers_, registry_, StatisticsRegistry::kCapacity); }), 33);
}

}  // namespace
}  // namespace tolvo::test
