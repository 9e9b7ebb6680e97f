// Building the soil model on one process: what it registers, the start state of its
// columns, its control-point files, option tag and model-log lines, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "framework/modelobject.h"
#include "subsurface/soil_model_fixture.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

using test::ReadFile;
using test::SoilModelTest;
using test::SoilSectionText;
using test::WriteFile;

// An ASCII grid of the fixture's size with every value `v`.
std::string AsciiGrid(double v) {
  std::string text = "ncols 3\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nNODATA_value -9999\n";
  for (int r = 0; r < 4; ++r) text += std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v) + "\n";
  return text;
}

TEST_F(SoilModelTest, SwitchedOffRegistersNothingAndHandsOverNothing) {
  const int used = CountUsed();
  SoilSectionText section;
  section.module_switch = 0;
  section.block = "not a block\n";
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(CountUsed(), used);
  EXPECT_TRUE(model_->getStorageFileName().empty());
  EXPECT_TRUE(model_->getKelsqd().empty());
  EXPECT_TRUE(model_->getKelsqi().empty());
  EXPECT_EQ(model_->getRiverflowTable(), nullptr);
  EXPECT_EQ(model_->getSubbasinTable(), nullptr);
}

// L = 5 layers of 0.1 m, ini_gw_level 2: n = floor(4 / 2) + 1 = 3 unsaturated layers in
// hydrostatic equilibrium with the middle of layer 4; layers 4 and 5 saturated.
TEST_F(SoilModelTest, ComputedStartStateHasItsWaterTableInTheFourthLayer) {
  SoilSectionText section;
  section.block = "1 2\n0.0005 2\n1 1\n1 1\n20 -1\n1 1\n0 0\n";
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(model_->soil_layer_count(), 5);
  const SoilRecord& soil = soils_[1];
  const StackView theta = stack("theta");
  const StackView g = stack("geodetic_heads");
  const StackView h = stack("hydraulic_heads");
  const int r = 2, c = 2;
  for (int k = 0; k <= 5; ++k) EXPECT_NEAR(g(r, c, k), kElevation - 0.1 * k, 1e-12) << k;
  // Suctions of the layer middles above the middle of layer 4: 0.3, 0.2 and 0.1 m.
  const double suction[] = {0, 0.3, 0.2, 0.1};
  for (int k = 1; k <= 3; ++k) {
    EXPECT_NEAR(theta(r, c, k), soil.ThetaForSuction(k, suction[k]), 1e-12) << k;
    EXPECT_LT(theta(r, c, k), 0.43);
  }
  EXPECT_LT(theta(r, c, 1), theta(r, c, 2));
  EXPECT_LT(theta(r, c, 2), theta(r, c, 3));
  EXPECT_DOUBLE_EQ(theta(r, c, 0), 0.43);
  EXPECT_DOUBLE_EQ(theta(r, c, 4), 0.43);
  EXPECT_DOUBLE_EQ(theta(r, c, 5), 0.43);
  EXPECT_NEAR(h(r, c, 1), kElevation - 0.05 - soil.SuctionForTheta(1, theta(r, c, 1)), 1e-12);
  EXPECT_EQ(grid("groundwater_level")(r, c), 4);
  EXPECT_NEAR(grid("groundwater_distance")(r, c), -0.3, 1e-12);
  EXPECT_DOUBLE_EQ(grid("Theta_in_GWLEVEL")(r, c), theta(r, c, 3));
  EXPECT_NEAR(grid("tangens_beta")(r, c), 45 * 3.141592653 / 180, 1e-15);
  // SB_1: the water of the upper 0.25 m over 0.25 m.
  EXPECT_EQ(grid("SB_1_grid")(r, c), 0);
  EXPECT_EQ(grid("directflow")(r, c), 0);
  // A cell without sub-basin keeps nodata.
  EXPECT_EQ(grid("groundwater_level")(1, 3), kNodata);
  EXPECT_EQ(theta(1, 3, 2), kNodata);
  // The sub-basin parameters in minutes, handed over per sub-basin.
  ASSERT_EQ(model_->getKelsqd().size(), 3u);
  EXPECT_DOUBLE_EQ(model_->getKelsqd()[1], 0.06);
  EXPECT_DOUBLE_EQ(model_->getKelsqd()[2], 120);
  ASSERT_NE(model_->getSubbasinTable(), nullptr);
  EXPECT_EQ(model_->getSubbasinTable()->zone_count, 2);
  EXPECT_EQ(model_->getStorageFileName(), "storage.ste_0");
}

TEST_F(SoilModelTest, StartProfilesAtTheEdgesOfTheColumn) {
  const struct {
    const char* label;
    int read_code;
    std::string ini_gw_level;
    double distance;      // groundwater distance file value for read code 2
    int first_saturated;  // 6: none
  } cases[] = {
      {"water table within the first layer saturates every layer", 2, "2", -0.05, 1},
      {"ini_gw_level 1: every layer unsaturated above the column bottom", 0, "1", 0, 6},
      {"ini_gw_level below 1 keeps n within the column", 0, "0.3", 0, 6},
      {"water table below the column", 2, "2", -3, 6},
      {"water table in the third layer", 2, "2", -0.25, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    WriteFile(dir_.file("gwst.asc"), AsciiGrid(c.distance));
    SoilSectionText section;
    section.storage_read_code = c.read_code;
    section.ini_gw_level = c.ini_gw_level;
    ASSERT_EQ(Build(section), 0) << console_.str();
    const StackView theta = stack("theta");
    for (int k = 1; k <= 5; ++k) {
      if (k >= c.first_saturated) {
        EXPECT_DOUBLE_EQ(theta(3, 1, k), 0.43) << k;
      } else {
        EXPECT_GT(theta(3, 1, k), 0.078) << k;
        EXPECT_LT(theta(3, 1, k), 0.43) << k;
      }
    }
    // The bottom layer of an unsaturated column stands 0.05 m above the water table.
    if (c.first_saturated == 6) {
      EXPECT_NEAR(theta(3, 1, 5), soils_[1].ThetaForSuction(5, 0.05), 1e-12);
    }
    // Read code 2 keeps the distance it read.
    if (c.read_code == 2) {
      EXPECT_DOUBLE_EQ(grid("groundwater_distance")(3, 1), c.distance);
    }
  }
}

}  // namespace
}  // namespace tolvo

namespace tolvo {
namespace {

using test::ReadFile;
using test::SoilModelTest;
using test::SoilSectionText;
using test::WriteFile;

// Interaction 2, drainage and ponding on, flow times given, no irrigation, no clay.
TEST_F(SoilModelTest, OptionalInputsShapeTheOptionTagAndTheirGrids) {
  Add("flow_times", 3600);
  Add("drainage_depth", 0.005);
  Add("drainage_distance", 10);
  GridView ponding = Add("max_ponding_storage", 0.02);
  SoilSectionText section;
  section.interaction = 2;
  section.drainage = 1;
  section.pond = 1;
  section.statistic_code = 2001;
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(model_->option_tag(), "+ft,+srf2,+dr,+po,");
  // A drain 0.005 m deep lies above the first layer's bottom less 0.01 m: level 0.
  EXPECT_EQ(grid("drainage_level")(2, 2), 0);
  EXPECT_EQ(grid("drainage_flow")(2, 2), 0);
  EXPECT_EQ(grid("ponding_storage")(2, 2), 0);
  // The ponding capacity is converted from m to mm in the cells of a sub-basin.
  EXPECT_DOUBLE_EQ(ponding(2, 2), 20);
  EXPECT_DOUBLE_EQ(ponding(1, 3), 0.02);
  EXPECT_FALSE(Logged("There was no flow travel time grid"));
  // Every table of the model writes its header; the river exchange tables come later.
  for (const char* name : {"GWSTAND", "GWN", "SB_1_", "SB_2_", "ROOT", "INFEX", "QD", "QI", "QB", "Qg", "MACRO",
                           "INFILT", "QDRAIN", "POND"}) {
    EXPECT_TRUE(std::filesystem::exists(dir_.file(std::string(name) + ".stat"))) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("GWIN.stat")));
  EXPECT_NE(ReadFile(dir_.file("GWSTAND.stat")).find("groundwater level [m below surface] (GWSTAND)"),
            std::string::npos);
}

// The registrations take consecutive entries in their fixed order.
TEST_F(SoilModelTest, RegistrationsTakeConsecutiveEntriesInTheirOrder) {
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  const char* order[] = {"groundwater_distance",
                         "geodetic_heads",
                         "theta",
                         "hydraulic_heads",
                         "baseflow",
                         "groundwater_level",
                         "Theta_in_GWLEVEL",
                         "q_down",
                         "q_downext",
                         "SB_1_grid",
                         "MeanThetaInRootZone",
                         "GWTableExtern",
                         "Balance",
                         "tangens_beta",
                         "SB_2_grid",
                         "macropore_infiltration",
                         "ROOTgrid",
                         "groundwater_recharge",
                         "Capillar_Uprise",
                         "Percolation",
                         "directflow",
                         "interflow",
                         "infiltration_excess",
                         "total_infiltration",
                         "infiltration_saturation"};
  const int first = IndexOf(order[0]);
  ASSERT_GT(first, 0);
  for (int k = 0; k < static_cast<int>(std::size(order)); ++k) EXPECT_EQ(IndexOf(order[k]), first + k) << order[k];
  EXPECT_EQ((*table_)[IndexOf("theta")].levels, 5);
  EXPECT_EQ((*table_)[IndexOf("theta")].file_name, "theta.asc");
  EXPECT_EQ((*table_)[IndexOf("MeanThetaInRootZone")].file_name, "MeanThetaInRootZone");
  for (const char* absent : {"irrigation_amounts", "Max_Pumping", "SBLOW_grid", "SBHIGH_grid", "ETR2ETP",
                             "number_of_substeps", "ponding_storage", "drainage_level"}) {
    EXPECT_EQ(IndexOf(absent), 0) << absent;
  }
  EXPECT_EQ(model_->option_tag(), "");
  EXPECT_TRUE(Logged("Warning! There was no flow travel time grid for surface runoff read in"));
}

TEST_F(SoilModelTest, ControlPointFilesAndModelLogStartLines) {
  SoilSectionText section;
  ASSERT_EQ(Build(section), 0) << console_.str();
  // No control point: no file, and only process 0's mean lines in the model log.
  EXPECT_FALSE(std::filesystem::exists(dir_.file("hhyd.txt")));
  const std::string log0 = ReadFile(dir_.file("modell_0.log"));
  EXPECT_EQ(log0.find("for control point"), std::string::npos);
  EXPECT_TRUE(model_->point_series().empty());

  section.control_point = "2 3";
  MakeBasin();
  std::filesystem::remove(dir_.file("modell_0.log"));
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(ReadFile(dir_.file("hhyd.txt")), "YY\tMM\tDD\tHH\thhyd[2][3][1]\t[2]\t[3]\t[4]\t[5]\t\n");
  EXPECT_EQ(ReadFile(dir_.file("etr.txt")),
            "YY\tMM\tDD\tHH\tetr[2][3](etr[0] is evaporation from first layer)[0]\t[1]\t[2]\t[3]\t[4]\t[5]\t\n");
  EXPECT_EQ(ReadFile(dir_.file("other.txt")),
            "YY\tMM\tDD\tHH\totherdata[2][3]QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\t"
            "ACT_POND\tINFEX\tGWST\tGWLEVEL\tROOT\tAlbedo\tRSE\tLAI_1\tVCF_1\tRSC_1\tRSI_1\tROOT_1\tZ0_1\n");
  for (const char* name : {"theta.txt", "qbot.txt", "interf.txt"})
    EXPECT_TRUE(std::filesystem::exists(dir_.file(name)));
  // Series buffers of about 2 MiB: 5 layers and index 0 take 2097152 / (6 * 8 + 32)
  // records, the other data of one land-use layer 2097152 / (25 * 8 + 32).
  ASSERT_EQ(model_->point_series().size(), 6u);
  EXPECT_EQ(model_->point_series()[0].capacity(), 26214);
  EXPECT_EQ(model_->point_series()[1].capacity(), 9039);
  EXPECT_EQ(model_->point_series()[1].width(), 25);
  EXPECT_TRUE(model_->point_series()[4].empty());

  // Every column holds the same profile: W = sum of theta d over the layers.
  const StackView theta = stack("theta");
  double w = 0;
  for (int k = 1; k <= 5; ++k) w += theta(2, 3, k) * 0.1;
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "soil water content (for control point r=2 c=3) at model-start: %lf mm\n"
                "mean soil water content for all cells at model-start: %lf m^3/m^2\n"
                "mean soil water content for unglacierized or only partly unglacierized cells at model-start: %lf "
                "m^3/m^2\n"
                "mean soil water content for partly or completely glacierized cells at model-start: 0.000000 m^3/m^2\n",
                w * 1000, w, w);
  EXPECT_EQ(ReadFile(dir_.file("modell_0.log")), expected);

  // A control cell outside the sub-basins has no column whose water could be summed.
  section.control_point = "1 3";
  MakeBasin();
  std::filesystem::remove(dir_.file("modell_0.log"));
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_EQ(ReadFile(dir_.file("modell_0.log")).find("for control point"), std::string::npos);
}

TEST_F(SoilModelTest, RefusalsOfTheConstruction) {
  const auto fill_table_to = [this](int used) {
    while (CountUsed() < used) Add("filler" + std::to_string(CountUsed()), 0);
  };
  const struct {
    const char* label;
    std::function<void()> edit;
    int drainage;
    int code;
    std::string entry;
  } cases[] = {
      {"a required grid missing", [this] { (*table_)[IndexOf("real_evaporation")].identifier = "other"; }, 0, 33,
       "real_evaporation not found in memory"},
      {"no free grid-table entry", [&] { fill_table_to(999); }, 0, 12, "no more free grids in memeory, (max. 1000)!"},
      {"grid table full during the registrations", [&] { fill_table_to(990); }, 0, 12,
       "no more free grids in memeory, (max. 1000)!"},
      {"drainage without its grids", [] {}, 1, 33, "drainage_depth not found in memory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    c.edit();
    SoilSectionText section;
    section.drainage = c.drainage;
    EXPECT_EQ(Build(section), c.code);
    EXPECT_TRUE(Logged(c.entry)) << console_.str();
  }
}

TEST_F(SoilModelTest, StateIsReadBackFromTheFilesOfItsOutputNames) {
  SoilSectionText section;
  section.ini_gw_level = "1";
  ASSERT_EQ(Build(section), 0) << console_.str();
  // Write the computed state as an earlier run would have left it.
  modelobject writer(log_, "c", {.ascii = true}, dir_.path().string() + "/", dir_.path().string() + "/");
  writer.set_geometry(settings_.geometry);
  writer.set_strip(settings_.strip);
  const auto write_state = [&](int theta_levels) {
    writer.WriteStackFile("theta.asc", stack("theta"), theta_levels, true, false, false);
    writer.WriteStackFile("hgeo.asc", stack("geodetic_heads"), 5, true, false, false);
    writer.WriteStackFile("hh.asc", stack("hydraulic_heads"), 5, true, false, false);
    for (const auto& [file, id] : {std::pair{"gwst.asc", "groundwater_distance"},
                                   {"gwlv.asc", "groundwater_level"},
                                   {"gwth.asc", "Theta_in_GWLEVEL"},
                                   {"qb.asc", "baseflow"}}) {
      writer.WriteGridFile(file, grid(id), true, false, false);
    }
  };
  write_state(5);
  const double theta_read = stack("theta")(3, 2, 5);
  MakeBasin();
  section.ini_gw_level = "2";  // not used when the state is read
  section.storage_read_code = 3;
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_NEAR(stack("theta")(3, 2, 5), theta_read, 1e-6);
  EXPECT_LT(stack("theta")(3, 2, 5), 0.43);
  EXPECT_EQ(grid("groundwater_level")(3, 2), 0);
  EXPECT_NEAR(stack("geodetic_heads")(3, 2, 5), kElevation - 0.5, 1e-12);

  // A theta stack of L - 1 levels does not fit the soil.
  write_state(4);
  MakeBasin();
  EXPECT_EQ(Build(section), 13);
  EXPECT_TRUE(Logged("wrong number of levels in stack theta.asc (there are 4 level, it must be 5")) << console_.str();
}

}  // namespace
}  // namespace tolvo

namespace tolvo {
namespace {

using test::ReadFile;
using test::SoilModelTest;
using test::SoilSectionText;

// Irrigation thresholds from the second soil horizon: demand control by suction ends at
// psi_wet, demand control by the evapotranspiration ratio at the land use's HReduDry.
TEST_F(SoilModelTest, IrrigationGridsTakeTheirThresholdsFromTheMethod) {
  IrrigationTable irrigation(3);
  irrigation[1].method = IrrigationMethod::DemandByEtRatio;
  irrigation[1].psi_dry = 20;
  irrigation[1].psi_wet = 3.45;
  irrigation[2].method = IrrigationMethod::DemandBySuction;
  irrigation[2].psi_dry = 10;
  irrigation[2].psi_wet = 2;
  settings_.irrigation = &irrigation;
  LanduseTable landuse(1);
  landuse[1].ParseBlock(log_,
                        "11 lu11 { method = VariableDayCount; RootDist = 1; TReduWet = 1; HReduDry = 50; JulDays = 30 "
                        "120 250 300; Albedo = 0.2 0.2 0.2 0.2; rsc = 50 50 50 50; LAI = 1 1 1 1; Z0 = 0.1 0.1 0.1 "
                        "0.1; VCF = 0.5 0.5 0.5 0.5; RootDepth = 1 1 1 1; AltDep = 0 0 0 0; }\n",
                        "VariableDayCount");
  ASSERT_EQ(landuse[1].GetHReduDry(), 50);
  settings_.landuse = &landuse;
  GridView codes = Add("irrigation_codes", 1);
  for (int c = 1; c <= kCols; ++c) {
    codes(3, c) = 2;
    codes(4, c) = kNodata;
  }
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  const SoilRecord& soil = soils_[1];
  EXPECT_DOUBLE_EQ(grid("SBLOW_grid")(2, 1), soil.ThetaForSuction(2, 20));
  EXPECT_DOUBLE_EQ(grid("SBHIGH_grid")(2, 1), soil.ThetaForSuction(2, 50));
  EXPECT_DOUBLE_EQ(grid("SBLOW_grid")(3, 1), soil.ThetaForSuction(2, 10));
  EXPECT_DOUBLE_EQ(grid("SBHIGH_grid")(3, 1), soil.ThetaForSuction(2, 2));
  EXPECT_EQ(grid("SBHIGH_grid")(4, 1), kNodata);
  // The root zone reaches 0.25 m: layers 1 and 2 whole, half of layer 3.
  const StackView theta = stack("theta");
  const double sb1 = (0.1 * theta(4, 1, 1) + 0.1 * theta(4, 1, 2) + 0.05 * theta(4, 1, 3)) / 0.25;
  EXPECT_NEAR(grid("SB_1_grid")(4, 1), sb1, 1e-14);
  EXPECT_DOUBLE_EQ(grid("MeanThetaInRootZone")(4, 1), soil.SuctionForTheta(1, grid("SB_1_grid")(4, 1)));
  EXPECT_EQ(grid("ETR2ETP")(2, 2), 1);
  EXPECT_EQ(grid("irrigation_amounts")(2, 2), 0);
  EXPECT_EQ(model_->option_tag(), "+ir,");

  // A ratio grid that another sub-model registered is used, not registered again.
  MakeBasin();
  settings_.irrigation = &irrigation;
  Add("irrigation_codes", 1);
  const int given = IndexOf("irrigation_codes") + 1;
  Add("ETR2ETP", 0.5);
  ASSERT_EQ(Build(SoilSectionText()), 0) << console_.str();
  EXPECT_EQ(IndexOf("ETR2ETP"), given);
  EXPECT_EQ(grid("ETR2ETP")(2, 2), 0.5);
}

TEST_F(SoilModelTest, HeatTransferPreparesTheSoilTableAndTheLowerBoundary) {
  const std::string heat =
      "[heat_transfer]\n1\n0\n0\n0\n10 base\n-0.01 lapse\n700\n1400\n0.5\n1e-11\n0.56\n2.3\n4180\n1900\n2000\n"
      "330000\n1000\n1.3\n0.5\n60\n1800\n1\n1\ntemper.txt\ntemper.stat 0\ntemper.asc\n0\nthaw.asc\n0\n";
  Add("temperature", 5);
  ASSERT_EQ(soils_[1].DryDensity[1], -1);
  ASSERT_EQ(Build(SoilSectionText(), heat), 0) << console_.str();
  EXPECT_TRUE(model_->isHeatTransferActive());
  EXPECT_EQ(soils_[1].DryDensity[1], 1400);
  EXPECT_EQ(soils_[1].DryHeatCapacity[3], 700);
  EXPECT_EQ(soils_[1].KMinFrozenSoil, 1e-11);
  // 500 m above sea level with -0.01 K/m from 10 °C at 0 m.
  EXPECT_DOUBLE_EQ(grid("T_Lower_Boundary_Condition")(2, 2), 5);
  EXPECT_TRUE(std::filesystem::exists(dir_.file("T_Lower_Boundary_Condition_000")));
  EXPECT_EQ(stack("Soil_Temperature_Stack")(2, 2, 3), 0);
  EXPECT_EQ(grid("ThawDepthTMod")(2, 2), 0);
}

}  // namespace
}  // namespace tolvo

namespace tolvo {
namespace {

using test::ReadFile;
using test::SoilModelTest;
using test::SoilSectionText;

// Glacier records per sub-basin: fractions limited to 0..1, the cells of sub-basin 1 in
// row 1 (two cells), those of sub-basin 2 in rows 2-4 (nine cells).
TEST_F(SoilModelTest, GlacierRecordsAndTheResizingTable) {
  const struct {
    const char* label;
    bool resizing;  // "GlacierMassBalance" with "GlacierizedCells"
    std::string sb2_file;
    std::string immo_file;  // "" for none
  } cases[] = {
      {"ice and firn grid", false, "SB_2_.stat", ""},
      {"resized glaciers", true, "soil.moisture.stat", "soil.moisture_immo.stat"},
      {"resized glaciers, a name without extension", true, "sb2", "sb2_immo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MakeBasin();
    GridView glacier = Add(c.resizing ? "GlacierizedCells" : "ice_firn", 0);
    if (c.resizing) {
      Add("GlacierizedCellsOld", 0);
      Add("GlacierMassBalance", 0);
    }
    glacier(1, 1) = 1.5;
    glacier(2, 1) = 0.25;
    glacier(3, 1) = -1;
    SoilSectionText section;
    section.statistic_code = 2001;
    std::string text = section.Render();
    text.replace(text.find("SB_2_.stat"), 10, c.sb2_file);
    test::WriteFile(dir_.file("c.ctl.$$$"), text);
    settings_.compiled_control_file = dir_.file("c.ctl.$$$");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    ASSERT_EQ(test::CodeOf([&] { model_ = std::make_unique<unsatzonmodellklasse>(log_, registry_, settings_, 1); }), 0)
        << console_.str();
    std::filesystem::current_path(previous);
    const std::span<const GlacierSubbasinRecord> records = model_->glacier_records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[1].hasGlacier);
    EXPECT_DOUBLE_EQ(records[1].glacierArea, 1);
    EXPECT_DOUBLE_EQ(records[1].nonGlacierArea, 1);
    EXPECT_TRUE(records[2].hasGlacier);
    EXPECT_DOUBLE_EQ(records[2].glacierArea, 0.25);
    EXPECT_DOUBLE_EQ(records[2].nonGlacierArea, 8.75);
    EXPECT_FALSE(records[0].hasGlacier);
    if (!c.immo_file.empty()) {
      EXPECT_NE(ReadFile(dir_.file(c.immo_file)).find("immobilised or mobilised soil water by glacier resizing"),
                std::string::npos);
    }
    // Glacier water: the saturated profile (0.43 x 0.5 m) times the fractions 1 and 0.25,
    // over the weights of the 11 cells (each 1 without "RelCellArea"): 0.26875 / 11.
    const std::string log0 = ReadFile(dir_.file("modell_0.log"));
    EXPECT_NE(log0.find("partly or completely glacierized cells at model-start: 0.024432 m^3/m^2"), std::string::npos)
        << log0;
    std::filesystem::remove(dir_.file("modell_0.log"));
  }
}

}  // namespace
}  // namespace tolvo

namespace tolvo {
namespace {

using test::SoilModelTest;
using test::SoilSectionText;

// A model log that cannot be opened loses its lines and leaves a warning; the model is
// built all the same.
TEST_F(SoilModelTest, AnUnwritableModelLogIsAWarning) {
  std::filesystem::create_directory(dir_.file("modell_0.log"));
  SoilSectionText section;
  section.control_point = "2 2";
  ASSERT_EQ(Build(section), 0) << console_.str();
  EXPECT_TRUE(Logged("the model log modell_0.log cannot be written; its start line is skipped")) << console_.str();
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("modell_0.log")));
}

// Without heat transfer the permafrost grids bring the reduced conductivity of
// "[permafrost]"; with any of them missing the section is not read.
TEST_F(SoilModelTest, PermafrostConductivityNeedsItsThreeGrids) {
  const std::string permafrost = "[permafrost]\n1\n0.5\n0.5\nthaw.stat 0\n2e-10 reduced k_sat\n";
  ASSERT_EQ(Build(SoilSectionText(), permafrost), 0) << console_.str();
  EXPECT_DOUBLE_EQ(model_->soil_settings().permafrost_ksat, 1e-9);
  for (const char* id : {"PermafrostThawDepth", "SnowFreeDaysGrid", "ThawCoeffPermaFrost"}) Add(id, 0);
  ASSERT_EQ(Build(SoilSectionText(), permafrost), 0) << console_.str();
  EXPECT_DOUBLE_EQ(model_->soil_settings().permafrost_ksat, 2e-10);
  EXPECT_EQ(Build(SoilSectionText(), "[permafrost]\n1\n0.5\n0.5\nthaw.stat 0\nx\n"), 17);
  EXPECT_TRUE(Logged("reduced k_sat (in m/s); unsatzon_modelnot found!"));
}

}  // namespace
}  // namespace tolvo
