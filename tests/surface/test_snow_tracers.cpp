// Tracers of the snow pack: the kernels of a cell (decay, mixing, capped release), the
// snow step on the small snow basin, where every cell closes its tracer balance per step,
// and snow slides, which move the tracer with the snow.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "framework/tracer_settings_record.h"
#include "snow_basin_fixture.h"
#include "surface/snow_tracers.h"

namespace tolvo::test {
namespace {

SnowTracer Kind(bool radioactive, bool evaporating, double decay_factor, double max_conc) {
  SnowTracer t;
  t.radioactive = radioactive;
  t.evaporating = evaporating;
  t.decay_factor = decay_factor;
  t.max_conc = max_conc;
  return t;
}

TracerSettingsRecord Settings(const char* name, int radioactive, int evaporating, double max_conc, double half_time) {
  TracerSettingsRecord s;
  s.name = name;
  s.radioactive = radioactive;
  s.evaporating = evaporating;
  s.max_conc = max_conc;
  s.half_time = half_time;
  return s;
}

TEST(SnowTracerKernels, DecayMixingAndRelease) {
  const SnowTracer conservative = Kind(false, false, 1, 1e6);
  const SnowTracer decaying = Kind(true, false, 0.5, 1e6);
  const SnowTracer evaporating = Kind(false, true, 1, 0);
  // Input: a decay factor of 0.5 halves the pack before the input is added.
  EXPECT_DOUBLE_EQ(SnowTracerIn(conservative, 4, 2, 3, 10), 10);
  EXPECT_DOUBLE_EQ(SnowTracerIn(decaying, 4, 2, 3, 10), 8);
  EXPECT_DOUBLE_EQ(SnowTracerIn(decaying, 4, 0, 3, 10), 2);
  // An evaporating tracer mixes concentrations by water amount; no water gives 0.
  EXPECT_DOUBLE_EQ(SnowTracerIn(evaporating, 1, 2, 4, 6), (2 * 4 + 6 * 1) / 8.0);
  EXPECT_DOUBLE_EQ(SnowTracerIn(evaporating, 1, 0, 4, 6), 1);

  // Decay over a step follows the half-life: one day in hourly steps.
  EXPECT_NEAR(SnowDecayFactor(1, 60), 0.971532, 1e-6);
  EXPECT_NEAR(std::pow(SnowDecayFactor(1, 60), 24), 0.5, 1e-12);
  EXPECT_EQ(SnowDecayFactor(-9999, 60), 1);

  // Release: the outflow's share of the pack's mass.
  double stored = 12;
  EXPECT_DOUBLE_EQ(SnowTracerOut(conservative, stored, 2, 4), 2.0);  // 12 * 2/6 over 2 mm
  EXPECT_DOUBLE_EQ(stored, 8);
  // A small max_conc caps the mass at outflow * max_conc.
  const SnowTracer capped = Kind(false, false, 1, 0.5);
  stored = 12;
  EXPECT_DOUBLE_EQ(SnowTracerOut(capped, stored, 2, 4), 0.5);
  EXPECT_DOUBLE_EQ(stored, 11);
  // A pack that melts away entirely lets go of all of its tracer, without a residue.
  stored = 0.1 + 0.2;
  EXPECT_DOUBLE_EQ(SnowTracerOut(conservative, stored, 0.7, 0), (0.1 + 0.2) / 0.7);
  EXPECT_EQ(stored, 0);
  // No outflow, or no water at all: nothing leaves.
  stored = 12;
  EXPECT_EQ(SnowTracerOut(conservative, stored, 0, 4), 0);
  EXPECT_EQ(SnowTracerOut(conservative, stored, 0, 0), 0);
  EXPECT_EQ(stored, 12);
  // An evaporating tracer leaves at the pack's concentration.
  stored = 3;
  EXPECT_EQ(SnowTracerOut(evaporating, stored, 2, 0), 3);
  EXPECT_EQ(stored, 3);
}

class SnowTracerStepTest : public LogFixture {};

double Temperature(int h) { return h < 72 ? -6 + 3 * std::sin(h * 0.26) : 4 + 3 * std::sin(h * 0.26); }
double Precipitation(int h, int r) { return (h % 5 == 0 || (h > 100 && h < 110)) ? 0.4 + 0.1 * r : 0; }

// Over a cold spell and a thaw, methods 1 and 5: a non-evaporating tracer (conservative
// and radioactive) closes stored(before) * decay + P * c = stored(after) + outflow * c_out
// in every cell and step; an evaporating tracer mixes by water amount and leaves at the
// pack's concentration.
TEST_F(SnowTracerStepTest, EveryCellClosesItsTracerBalancePerStep) {
  for (int method : {1, 5}) {
    SCOPED_TRACE(method);
    SnowBasin basin(log_, dir_);
    basin.Add("snow_evaporation", basin.NewGrid(0));
    std::vector<Grid*> inputs;
    for (int t = 1; t <= 3; ++t) {
      Grid& input = basin.NewGrid(0);
      basin.Add("concflux_tracer_" + std::to_string(t) + "_input", input);
      inputs.push_back(&input);
    }
    ASSERT_EQ(basin.Build(method == 5 ? SnowSection(5) + SnowBlock() : SnowSection(1)), 0);
    schneemodellklasse& model = basin.model();
    model.SetWaterInput(false);
    std::vector<TracerSettingsRecord> tracers(4);
    tracers[1] = Settings("cl_", 0, 0, 1e9, -9999);
    tracers[2] = Settings("rn_", 1, 0, 1e9, 1);
    tracers[3] = Settings("o18", 0, 1, 0, -9999);
    ASSERT_EQ(CodeOf([&] { model.InitTracers(3, tracers, basin.registry(), StatisticsRegistry::kCapacity); }), 0);
    // The snow model's own decay over its hourly step.
    const double decay = std::pow(0.5, 1.0 / 24);
    tracers[2].decay_factor = 0.1;  // another model's factor does not reach the snow

    const auto grid = [&](const std::string& id) { return basin.Entry(id).values; };
    GridView P = grid("precipitation"), T = grid("temperature");
    GridView solid = grid("snowstorage_solid"), liquid = grid("snowstorage_liquid"), out = grid("snowcover_outflow");
    for (const char* id : {"air_humidity", "cloudiness", "wind_speed"}) {
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) grid(id)(r, c) = 0.6;
      }
    }
    std::vector<GridView> stored, conc;
    for (int t = 1; t <= 3; ++t) {
      stored.push_back(grid("concstor_tracer_" + std::to_string(t) + "_snow_model"));
      conc.push_back(grid("concflux_tracer_" + std::to_string(t) + "_snow_model"));
    }
    double worst = 0, worst_mix = 0, released = 0;
    Grid before(1, kSnowRows, kSnowCols, kSnowRows);
    std::vector<Grid> mass;
    for (int t = 0; t < 3; ++t) mass.emplace_back(1, kSnowRows, kSnowCols, kSnowRows);
    for (int h = 0; h < 200; ++h) {
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          T(r, c) = Temperature(h) + 0.3 * c;
          P(r, c) = Precipitation(h, r);
          for (int t = 0; t < 3; ++t) (*inputs[static_cast<std::size_t>(t)])(r, c) = 1 + t + 0.1 * r + 0.01 * h;
          before(r, c) = solid(r, c) + liquid(r, c);
          for (std::size_t t = 0; t < 3; ++t) mass[t](r, c) = stored[t](r, c);
        }
      }
      model.SnowTimeStep({2020, 1, 1 + h / 24, 1 + h % 24});
      for (int r = 1; r <= kSnowRows; ++r) {
        for (int c = 1; c <= kSnowCols; ++c) {
          if (basin.zone()(r, c) == kNodata) continue;
          for (int t = 0; t < 2; ++t) {
            const std::size_t k = static_cast<std::size_t>(t);
            const double in = mass[k](r, c) * (t == 1 ? decay : 1) + P(r, c) * (*inputs[k])(r, c);
            const double after = stored[k](r, c) + out(r, c) * conc[k](r, c);
            worst = std::max(worst, std::fabs(in - after) / std::max(1.0, in));
            released += out(r, c) * conc[k](r, c);
          }
          const double water = before(r, c) + P(r, c);
          const double mixed =
              P(r, c) > 0 ? (P(r, c) * (*inputs[2])(r, c) + before(r, c) * mass[2](r, c)) / water : mass[2](r, c);
          worst_mix = std::max(worst_mix, std::fabs(stored[2](r, c) - mixed));
          worst_mix = std::max(worst_mix, std::fabs(conc[2](r, c) - stored[2](r, c)));
        }
      }
    }
    EXPECT_LT(worst, 1e-12);
    EXPECT_LT(worst_mix, 1e-12);
    EXPECT_GT(released, 10);  // tracer left the cover in the thaw
  }
}

// A slide pass (method 6, 10 % released from every cell steeper than 30 degrees, shares
// to all four neighbours) moves tracer with the snow: every zone keeps its tracer mass
// (mm times concentration; for an evaporating tracer the concentration times the pack),
// and a pack of one concentration everywhere keeps that concentration in every cell.
TEST_F(SnowTracerStepTest, SlidingSnowCarriesItsTracerAndCreatesNone) {
  SnowBasin basin(log_, dir_);
  const auto fill = [&](const std::string& id, double v) {
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) basin.Entry(id).values(r, c) = v;
    }
  };
  fill("slope_angle", 40);
  for (int k = 1; k <= 4; ++k) fill("slidefraction" + std::to_string(k), 0.25);
  basin.Add("snow_evaporation", basin.NewGrid(0));
  for (int t = 1; t <= 4; ++t) basin.Add("concflux_tracer_" + std::to_string(t) + "_input", basin.NewGrid(0));
  ASSERT_EQ(basin.Build(SnowSection(6) + SnowBlock("55\n1\n30\n0.1\n1\n1\n1\n")), 0);
  schneemodellklasse& model = basin.model();
  model.SetWaterInput(false);
  std::vector<TracerSettingsRecord> tracers(5);
  tracers[1] = Settings("cl_", 0, 0, 1e9, -9999);
  tracers[2] = Settings("o18", 0, 1, 0, -9999);
  tracers[3] = Settings("br_", 0, 0, 1e9, -9999);
  tracers[4] = Settings("h2_", 0, 1, 0, -9999);
  ASSERT_EQ(CodeOf([&] { model.InitTracers(4, tracers, basin.registry(), StatisticsRegistry::kCapacity); }), 0);

  const auto grid = [&](const std::string& id) { return basin.Entry(id).values; };
  const auto stored = [&](int t) { return grid("concstor_tracer_" + std::to_string(t) + "_snow_model"); };
  GridView total = grid("snow_storage_total");
  const auto in_zone = [&](int r, int c) { return basin.zone()(r, c) != kNodata; };
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      if (!in_zone(r, c)) continue;
      grid("snowstorage_solid")(r, c) = 10 + r;
      grid("snowstorage_liquid")(r, c) = 0.1 * c;
      total(r, c) = 10 + r + 0.1 * c;
      stored(1)(r, c) = total(r, c) * (1 + 0.3 * r + c);  // a mass
      stored(2)(r, c) = 2 + 0.5 * r - 0.2 * c;             // a concentration
      stored(3)(r, c) = 3 * total(r, c);
      stored(4)(r, c) = 5;
    }
  }
  // Tracer mass per zone (the zone code as the key).
  const auto masses = [&] {
    std::map<double, std::array<double, 2>> m;
    for (int r = 1; r <= kSnowRows; ++r) {
      for (int c = 1; c <= kSnowCols; ++c) {
        if (!in_zone(r, c)) continue;
        m[basin.zone()(r, c)][0] += stored(1)(r, c);
        m[basin.zone()(r, c)][1] += stored(2)(r, c) * total(r, c);
      }
    }
    return m;
  };
  const auto before = masses();
  const double total_before = grid("snow_storage_total")(1, 1);
  model.SnowLateralStep({2020, 1, 2, 5});
  ASSERT_NE(grid("snow_storage_total")(1, 1), total_before);  // snow did slide
  const auto after = masses();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [zone, m] : before) {
    SCOPED_TRACE(zone);
    EXPECT_NEAR(after.at(zone)[0], m[0], 1e-10 * m[0]);
    EXPECT_NEAR(after.at(zone)[1], m[1], 1e-10 * m[1]);
  }
  for (int r = 1; r <= kSnowRows; ++r) {
    for (int c = 1; c <= kSnowCols; ++c) {
      if (!in_zone(r, c)) continue;
      SCOPED_TRACE(std::to_string(r) + " " + std::to_string(c));
      EXPECT_NEAR(stored(3)(r, c) / total(r, c), 3, 1e-12);
      EXPECT_NEAR(stored(4)(r, c), 5, 1e-12);
    }
  }
}

}  // namespace
}  // namespace tolvo::test
