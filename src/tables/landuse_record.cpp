// Reading of land-use entries (one-line and block form) and the plain accessors.

#include "tables/landuse_record.h"

#include <array>
#include <optional>

#include "framework/error_code.h"
#include "tables/parameter_block.h"

namespace tolvo {

namespace {

constexpr int kMonthlyTableSize = 14;
constexpr int kOneLineFixpoints = 4;
constexpr int kOneLineItems = 37;

// Defaults of the block keys that may be absent.
constexpr double kDefaultInterceptionResistance = 20.0;
constexpr double kDefaultEvaporationResistance = 200.0;
constexpr double kDefaultStemDiameter = 0.01;
constexpr double kDefaultResidueCover = 0.01;
constexpr std::array<double, 4> kDefaultRoughCoeff = {0.0, 0.0198, 0.712, 0.142};
constexpr int kNoTillageDay = -9999;

struct MethodWord {
  std::string_view word;
  LanduseMethod method;
};
// In the order in which a first line is tested for them.
constexpr std::array<MethodWord, 5> kMethodWords = {{
    {"VariableDayCount", LanduseMethod::VariableDayCount},
    {"DynamicPhenology_1", LanduseMethod::DynamicPhenology_1},
    {"DynamicPhenology_2", LanduseMethod::DynamicPhenology_2},
    {"DynamicPhenology_3", LanduseMethod::DynamicPhenology_3},
    {"DynamicPhenology_4", LanduseMethod::DynamicPhenology_4},
}};

// A whole token as an integer or a number; a token with anything after the number fails.
int WholeInteger(std::string_view token) {
  std::string_view rest = token;
  const std::optional<int> value = ScanInteger(rest);
  if (!value || !rest.empty()) throw BlockReadFailure{};
  return *value;
}

double WholeNumber(std::string_view token) {
  std::string_view rest = token;
  const std::optional<double> value = ScanNumber(rest);
  if (!value || !rest.empty()) throw BlockReadFailure{};
  return *value;
}

// A fixpoint table of n+1 values read from `key`, or `fallback` everywhere when absent.
std::vector<double> OptionalList(std::string_view text, std::string_view key, int n, double fallback) {
  std::vector<double> table(static_cast<std::size_t>(n) + 1, fallback);
  if (HasKey(text, key)) ReadBlockValueList(text, key, table);
  return table;
}

std::vector<double> RequiredList(std::string_view text, std::string_view key, int n) {
  std::vector<double> table(static_cast<std::size_t>(n) + 1, 0.0);
  ReadBlockValueList(text, key, table);
  return table;
}

double OptionalValue(std::string_view text, std::string_view key, double fallback) {
  return HasKey(text, key) ? ReadBlockValue(text, key) : fallback;
}

int OptionalInteger(std::string_view text, std::string_view key, int fallback) {
  return HasKey(text, key) ? ReadBlockInteger(text, key) : fallback;
}

// Character k (1..8) of the flag text adds 128 / 2^(k-1) when it is "1".
int FlagsFromText(std::string_view flags) {
  int value = 0;
  for (std::size_t k = 0; k < 8 && k < flags.size(); ++k) {
    if (flags[k] == '1') value += 128 >> k;
  }
  return value;
}

}  // namespace

LanduseRecord::LanduseRecord() = default;

LanduseRecord::LanduseRecord(int code) : TableEntry(code) {}

void LanduseRecord::FailEntry(DiagnosticsLog& log, std::string_view text) const {
  log << "FATAL: landuse table code " << GetCode() << ": some values could not be read\n"
      << std::string(text) << "[end-entry]";
  RaiseError(kTableEntryError);
}

// ---------------------------------------------------------------------------------------
// One-line entry

void LanduseRecord::ParseLine(DiagnosticsLog& log, std::string_view line) {
  try {
    const std::vector<std::string_view> items = SplitTokens(line, " \t");
    const auto item = [&items](int k) -> std::string_view {
      if (static_cast<int>(items.size()) < k) throw BlockReadFailure{};
      return items[static_cast<std::size_t>(k) - 1];
    };
    SetCode(WholeInteger(item(1)));
    const std::string_view name = item(2);
    if (name.size() > kMaxEntryNameLength) throw BlockReadFailure{};
    SetName(std::string(name));
    const double albedo = WholeNumber(item(3));
    // The items after the third must all stand: a missing one would shift the rest.
    item(kOneLineItems);

    method = LanduseMethod::MonthlyValues;
    count = kOneLineFixpoints;
    const std::size_t n = kOneLineFixpoints + 1;
    Albedo.assign(n, albedo);
    rsc.assign(kMonthlyTableSize, 0.0);
    for (int m = 1; m <= 12; ++m) rsc[m] = WholeNumber(item(3 + m));
    rsc[0] = rsc[12];
    rsc[13] = rsc[1];
    rs_evaporation = rsc;
    rs_interception.assign(kMonthlyTableSize, kDefaultInterceptionResistance);

    JulDays.assign(n, 0);
    LAI.assign(n, 0.0);
    Z0.assign(n, 0.0);
    VCF.assign(n, 0.0);
    RootDepth.assign(n, 0.0);
    for (int k = 1; k <= kOneLineFixpoints; ++k) {
      JulDays[k] = WholeInteger(item(15 + k));
      LAI[k] = WholeNumber(item(19 + k));
      Z0[k] = WholeNumber(item(23 + k));
      VCF[k] = WholeNumber(item(27 + k));
      RootDepth[k] = WholeNumber(item(31 + k));
    }
    JulDays[0] = JulDays[kOneLineFixpoints] - 366;
    LAI[0] = LAI[kOneLineFixpoints];
    Z0[0] = Z0[kOneLineFixpoints];
    VCF[0] = VCF[kOneLineFixpoints];
    RootDepth[0] = RootDepth[kOneLineFixpoints];
    RootDist = WholeNumber(item(36));
    HReduDry = WholeNumber(item(37));
    TReduWet = 0.95;
    LimitReduWet = 0.0;
    AltDep = {-0.025, 0.025, 0.025, -0.025, -0.025};

    // One-line entries define no surface-routing tables and no n-factor: consumers that
    // ask for them get the defaults of the block form (the cultivation type stays 0, which
    // surface routing treats like "other").
    SR_StemDiameter.assign(n, kDefaultStemDiameter);
    SR_ResidCovrg.assign(n, kDefaultResidueCover);
    SR_rough_coeff1.assign(kDefaultRoughCoeff.begin(), kDefaultRoughCoeff.end());
    SR_rough_coeff2 = SR_rough_coeff1;
    SR_CropDistX = 0.3;
    SR_CropDistY = 0.3;
    SR_K_ST = 10.0;
    SR_C_WR = 1.5;
    nFactor.assign(n, kNotGiven);
    tillageCount = 0;
    tillageDays = {kNoTillageDay};
  } catch (const BlockReadFailure&) {
    FailEntry(log, line);
  } catch (const ErrorCode&) {
    FailEntry(log, line);
  }
}

// ---------------------------------------------------------------------------------------
// Parameter block

void LanduseRecord::ParseBlock(DiagnosticsLog& log, std::string_view block_text, std::string_view method_word) {
  const std::string_view text = BlockBody(block_text);
  try {
    method = LanduseMethod::None;
    for (const MethodWord& known : kMethodWords) {
      if (method_word == known.word) method = known.method;
    }
    if (method == LanduseMethod::None) throw BlockReadFailure{};
    phenologyFlag = false;
    fallbackStartDay = -1;
    const BlockHead head = ReadBlockHead(block_text);
    SetCode(head.code);
    SetName(head.name);
    ParseBlockKeys(log, text);
  } catch (const BlockReadFailure& failure) {
    if (!failure.detail.empty()) {
      log << "FATAL: landuse table code " << GetCode() << ": " << failure.detail << "[end-entry]";
    }
    FailEntry(log, text);
  } catch (const ErrorCode&) {
    FailEntry(log, text);
  }
}

void LanduseRecord::ParseBlockKeys(DiagnosticsLog& log, std::string_view text) {
  RootDist = ReadBlockValue(text, "RootDist");
  TReduWet = ReadBlockValue(text, "TReduWet");
  if (HasKey(text, "useInternalParameters")) {
    const std::string_view value = BlockValueText(text, "useInternalParameters");
    const std::size_t first = value.find_first_of("01");
    if (first == std::string_view::npos) throw BlockReadFailure{};
    useInternalParameters = std::string(value.substr(first));
    parameterFlags = FlagsFromText(useInternalParameters);
  } else {
    useInternalParameters = "11111111";
    parameterFlags = 255;
  }
  LimitReduWet = OptionalValue(text, "LimitReduWet", 0.0);
  HReduDry = ReadBlockValue(text, "HReduDry");
  StartVegetationPeriodForBalance = OptionalInteger(text, "StartVegetationPeriodForBalance", 0);
  StopVegetationPeriodForBalance = OptionalInteger(text, "StopVegetationPeriodForBalance", 0);
  JDVegetationResetForBalance = OptionalInteger(text, "JDVegetationResetForBalance", -1);
  JDVegetationWriteForBalance = OptionalInteger(text, "JDVegetationWriteForBalance", -1);
  IntercepCap = OptionalValue(text, "IntercepCap", -1.0);
  phenology.StressFactorDynPhen = OptionalValue(text, "StressFactorDynPhen", 0.0);
  ReadJulDays(log, text);
  ReadPhenologyKeys(log, text);
  ReadValueTables(log, text);
}

void LanduseRecord::ReadPhenologyKeys(DiagnosticsLog& log, std::string_view text) {
  const auto require = [&](std::string_view key) {
    if (!HasKey(text, key)) {
      log << "FATAL: parameter \"" << std::string(key) << "\" not found for land use " << GetCode() << "[end-entry]";
      throw BlockReadFailure{};
    }
  };
  const auto number = [&](std::string_view key) {
    require(key);
    return ReadBlockValue(text, key);
  };
  const auto integer = [&](std::string_view key) {
    require(key);
    return ReadBlockInteger(text, key);
  };
  const auto with_default = [&](std::string_view key, double fallback) {
    if (HasKey(text, key)) return ReadBlockValue(text, key);
    log << "INFO: parameter \"" << std::string(key) << "\" not found for land use " << GetCode()
        << "; Using default of " << fallback << "[end-entry]";
    return fallback;
  };

  PhenologyParameters& p = phenology;
  switch (method) {
    case LanduseMethod::None:
    case LanduseMethod::MonthlyValues:
    case LanduseMethod::VariableDayCount:
      return;
    case LanduseMethod::DynamicPhenology_3:
      p.DP1_t1_dorm = integer("DP1_t1_dorm");
      p.DP1_T_Bf = number("DP1_T_Bf");
      p.JDReset_TStart = integer("JDReset_TStart");
      p.maxStartJDforDP1 = integer("maxStartJDforDP1");
      return;
    case LanduseMethod::DynamicPhenology_1:
    case LanduseMethod::DynamicPhenology_2:
    case LanduseMethod::DynamicPhenology_4:
      break;
  }
  fallbackStartDay = -1;
  startFixpoint = -1;
  p.FStar = number("F*");
  p.DP1_t1_dorm = integer("DP1_t1_dorm");
  p.DP1_T_Bf = number("DP1_T_Bf");
  p.JDReset_TStart = integer("JDReset_TStart");
  p.maxStartJDforDP1 = integer("maxStartJDforDP1");
  // The placeholder of the phenology start: never the last fixpoint.
  for (int k = 1; k <= count - 1; ++k) {
    if (JulDays[k] < 0) {
      startFixpoint = k;
      break;
    }
  }
  if (method == LanduseMethod::DynamicPhenology_2) {
    p.DP2_t0_dorm = integer("DP2_t0_dorm");
    p.DP2_t1_dorm = integer("DP2_t1_dorm");
    p.DP2_T_Bf = number("DP2_T_Bf");
    p.DP2_T_Bc = number("DP2_T_Bc");
    p.DP2_Par_a = number("DP2_Par_a");
    p.DP2_Par_b = number("DP2_Par_b");
    p.DP2_Offset_1 = with_default("DP2_Offset_1", -3.4);
    p.DP2_Offset_2 = with_default("DP2_Offset_2", 12.0);
  } else if (method == LanduseMethod::DynamicPhenology_4) {
    p.DP4_t0_dorm = integer("DP4_t0_dorm");
    p.DP4_t1_dorm = integer("DP4_t1_dorm");
    p.DP4_T0 = number("DP4_T0");
    p.DP4_T1 = number("DP4_T1");
    p.DP4_Par_a = number("DP4_Par_a");
    p.DP4_Par_b = number("DP4_Par_b");
    p.DP4_T_xylstop = number("DP4_T_xylstop");
    p.DP4_t_xs1 = integer("DP4_t_xs1");
    p.DP4_SPSLF = integer("DP4_SPSLF");
  }
}

void LanduseRecord::ReadValueTables(DiagnosticsLog& log, std::string_view text) {
  const int n = count;
  if (method == LanduseMethod::DynamicPhenology_3) ForcingThreshold = RequiredList(text, "ForcingThreshold", n);
  Albedo = RequiredList(text, "Albedo", n);
  rsc = RequiredList(text, "rsc", n);
  LAI = RequiredList(text, "LAI", n);
  Z0 = RequiredList(text, "Z0", n);
  VCF = RequiredList(text, "VCF", n);
  RootDepth = RequiredList(text, "RootDepth", n);
  AltDep = RequiredList(text, "AltDep", n);
  rs_interception = OptionalList(text, "rs_interception", n, kDefaultInterceptionResistance);
  rs_evaporation = OptionalList(text, "rs_evaporation", n, kDefaultEvaporationResistance);
  ReadTillageDays(log, text);

  SR_cultivation = 3;
  if (HasKey(text, "SR_cultivation")) {
    const std::string_view word = BlockValueText(text, "SR_cultivation");
    if (word.find("other") != std::string_view::npos) {
      SR_cultivation = 3;
    } else if (word.find("nonconserving") != std::string_view::npos) {
      SR_cultivation = 2;
    } else if (word.find("conserving") != std::string_view::npos) {
      SR_cultivation = 1;
    } else {
      log << "FATAL: no valid value for parameter \"SR_cultivation\" for land use " << GetCode() << "[end-entry]";
      throw BlockReadFailure{};
    }
  }
  SR_CropDistX = OptionalValue(text, "SR_CropDistX", 0.3);
  SR_CropDistY = OptionalValue(text, "SR_CropDistY", 0.3);
  SR_K_ST = OptionalValue(text, "SR_K_ST", 10.0);
  SR_C_WR = OptionalValue(text, "SR_C_WR", 1.5);
  SR_rough_coeff1.assign(kDefaultRoughCoeff.begin(), kDefaultRoughCoeff.end());
  if (HasKey(text, "SR_rough_coeff1")) ReadBlockValueList(text, "SR_rough_coeff1", SR_rough_coeff1);
  SR_rough_coeff2.assign(kDefaultRoughCoeff.begin(), kDefaultRoughCoeff.end());
  if (HasKey(text, "SR_rough_coeff2")) ReadBlockValueList(text, "SR_rough_coeff2", SR_rough_coeff2);
  SR_StemDiameter = OptionalList(text, "SR_StemDiameter", n, kDefaultStemDiameter);
  SR_ResidCovrg = OptionalList(text, "SR_ResidCovrg", n, kDefaultResidueCover);
  nFactor = OptionalList(text, "n-factor", n, kNotGiven);
  nf_freezing = OptionalValue(text, "nf_freezing", kNotGiven);
  nf_thawing = OptionalValue(text, "nf_thawing", kNotGiven);
}

void LanduseRecord::ReadJulDays(DiagnosticsLog& log, std::string_view text) {
  std::vector<int> days = ReadBlockDayList(text, "JulDays");
  if (days.empty()) throw BlockReadFailure{"parameter \"JulDays\" holds no day"};
  count = static_cast<int>(days.size()) - 1;
  JulDays = std::move(days);
  if (method != LanduseMethod::DynamicPhenology_3) return;
  if (JulDays[1] != 1) {
    log << "FATAL: Error in Landuse Table (Code: " << GetCode()
        << "): for Method DynamicPhenology_3 the first sample day (JulDay) must be 1 and not " << JulDays[1]
        << "[end-entry]";
    throw BlockReadFailure{};
  }
  if (JulDays[count] != 366) {
    log << "FATAL: Error in Landuse Table (Code: " << GetCode()
        << "): for Method DynamicPhenology_3 the last sample day (JulDay) must be 366 and not " << JulDays[count]
        << "[end-entry]";
    throw BlockReadFailure{};
  }
}

void LanduseRecord::ReadTillageDays(DiagnosticsLog&, std::string_view text) {
  std::vector<int> days;
  if (HasKey(text, "SoilTillage")) days = ReadBlockDayList(text, "SoilTillage");
  if (days.empty()) {
    tillageCount = 0;
    tillageDays = {kNoTillageDay};
    return;
  }
  tillageCount = static_cast<int>(days.size()) - 1;
  tillageDays = std::move(days);
}

// ---------------------------------------------------------------------------------------
// Plain accessors

void LanduseRecord::GetSRRoughCoeff1(double& a, double& b, double& c) const {
  a = SR_rough_coeff1.at(1);
  b = SR_rough_coeff1.at(2);
  c = SR_rough_coeff1.at(3);
}

void LanduseRecord::GetSRRoughCoeff2(double& a, double& b, double& c) const {
  a = SR_rough_coeff2.at(1);
  b = SR_rough_coeff2.at(2);
  c = SR_rough_coeff2.at(3);
}

double LanduseRecord::GetForcingThreshold(int index) const {
  if (method != LanduseMethod::DynamicPhenology_3 || index < 0 || index > count) return -1.0;
  return ForcingThreshold[static_cast<std::size_t>(index)];
}

double LanduseRecord::GetAltDep(int index) const {
  if (index < 0 || index > count || static_cast<std::size_t>(index) >= AltDep.size()) return 0.0;
  return AltDep[static_cast<std::size_t>(index)];
}

int LanduseRecord::GetJulDay(int index) const {
  if (index < 0 || index > count || static_cast<std::size_t>(index) >= JulDays.size()) return -1;
  return JulDays[static_cast<std::size_t>(index)];
}

std::optional<std::string_view> LanduseMethodWordIn(std::string_view line) {
  for (const MethodWord& known : kMethodWords) {
    if (line.find(known.word) != std::string_view::npos) return known.word;
  }
  return std::nullopt;
}

}  // namespace tolvo
