#include "tables/soil_table.h"

#include <cctype>
#include <cmath>
#include <optional>
#include <string>

#include "framework/error_code.h"
#include "framework/modelobject.h"
#include "tables/parameter_block.h"

namespace tolvo {

namespace {

// The soil model's conversion of the macropore rates from mm/h to m/s.
constexpr double kMillimetresPerHourToMetresPerSecond = 3600000.0;
// ln of the smallest conductivity of frozen soil when "KMinFrozenSoil" is 0 or less.
constexpr double kLogKMinFrozenSoilFloor = -27.631;
// Thickness (m) of the top layer of a one-line entry.
constexpr double kOneLineTopLayer = 0.05;
// Most layers a soil type may have: every layer carries freezing tables of about 24 kB,
// so a count beyond this is a typing error, not a soil column.
constexpr int kMaxSoilLayers = 10000;

bool IsWordChar(char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '_'; }

// Position of an assignment of `key` in `text`: the key standing as a whole word,
// followed after blanks by "=". Keys of the soil table therefore never match inside a
// longer word ("ksat" is not found in "ksat_topmodel = ...") nor in free text. With
// `last` the last such assignment, otherwise the first.
std::optional<std::size_t> FindAssignment(std::string_view text, std::string_view key, bool last) {
  std::optional<std::size_t> found;
  for (std::size_t p = text.find(key); p != std::string_view::npos; p = text.find(key, p + 1)) {
    if (p > 0 && IsWordChar(text[p - 1])) continue;
    std::size_t after = p + key.size();
    if (after < text.size() && IsWordChar(text[after])) continue;
    while (after < text.size() && (text[after] == ' ' || text[after] == '\t' || text[after] == '\r' ||
                                   text[after] == '\n')) {
      ++after;
    }
    if (after >= text.size() || text[after] != '=') continue;
    found = p;
    if (!last) break;
  }
  return found;
}

// The value text of an assignment of `key`: from after its "=" to the first ";" (or the
// "}" that closes the block, or the end of the text). Nothing when the key is not
// assigned.
std::optional<std::string_view> AssignedValue(std::string_view text, std::string_view key, bool last = false) {
  const std::optional<std::size_t> position = FindAssignment(text, key, last);
  if (!position) return std::nullopt;
  const std::size_t equals = text.find('=', *position);
  const std::string_view rest = text.substr(equals + 1);
  return rest.substr(0, rest.find_first_of(";}"));
}

double ValueOr(std::string_view text, std::string_view key, double default_value) {
  const std::optional<std::string_view> value = AssignedValue(text, key);
  return value ? ReadNumber(*value) : default_value;
}

// Reads the whole of `token` as a number; nothing when any character is left over.
std::optional<double> WholeNumber(std::string_view token) {
  std::string_view rest = token;
  const std::optional<double> value = ScanNumber(rest);
  if (!value || !rest.empty()) return std::nullopt;
  return value;
}

std::optional<int> WholeInteger(std::string_view token) {
  std::string_view rest = token;
  const std::optional<int> value = ScanInteger(rest);
  if (!value || !rest.empty()) return std::nullopt;
  return value;
}

void Fill(std::vector<double>& values, double value) { values.assign(values.size(), value); }

}  // namespace

// --- parameter blocks ----------------------------------------------------------------------

void SoilRecord::ParseBlock(DiagnosticsLog& log, std::string_view block_text) {
  if (block_text.find("MultipleHorizons") == std::string_view::npos) {
    log << "FATAL: soil table definition method unknown " << std::string(block_text) << "[end-entry]";
    RaiseError(kTableEntryError);
  }
  const std::string_view searched = BlockBody(block_text);
  try {
    ParseBlockBody(log, block_text, searched);
  } catch (const BlockReadFailure& failure) {
    if (!failure.detail.empty()) log << "FATAL: " << failure.detail << "[end-entry]";
    log << "FATAL: Soil table code " << GetCode() << ": some values could not be read\n"
        << std::string(searched) << "[end-entry]";
    RaiseError(kTableEntryError);
  }
}

void SoilRecord::ParseBlockBody(DiagnosticsLog& log, std::string_view block_text, std::string_view searched) {
  // The code first, so that an entry whose name cannot stand is reported by its own code.
  std::string_view head_text = block_text;
  if (const std::optional<int> code = ScanInteger(head_text)) SetCode(*code);
  const BlockHead head = ReadBlockHead(block_text);
  // A name written against the brace ("loam{") ends before it.
  SetName(head.name.substr(0, head.name.find('{')));
  if (block_text.find('{') == std::string_view::npos) throw BlockReadFailure{"the entry has no \"{\""};
  method = 0;

  layerCount = ReadHorizonLayers(searched);
  AllocateLayerArrays();
  for (const auto& [key, values] : {std::pair<const char*, std::vector<double>*>{"ksat", &ksat},
                                    {"theta_sat", &theta_sat},
                                    {"theta_res", &theta_res},
                                    {"alpha", &alpha},
                                    {"Par_n", &Par_n},
                                    {"thickness", &thickness}}) {
    if (!ReadHorizonValues(searched, key, *values)) throw BlockReadFailure{};
  }

  EvapMaxDepth = ValueOr(searched, "EvapMaxDepth", thickness[1]);
  ThicknessScaling = ValueOr(searched, "ThicknessScaling", 1);
  if (ThicknessScaling != 1) {
    log << "INFO: Soil layers for soil type " << GetCode() << " will be scaled by a factor of " << ThicknessScaling
        << "[end-entry]";
  }
  totalDepth = 0;
  for (int l = 0; l <= layerCount; ++l) thickness[l] *= ThicknessScaling;
  for (int l = 1; l <= layerCount; ++l) totalDepth += thickness[l];

  ReadGrainSizeDist(log, searched);
  double* const su_par[] = {&SU_PAR00, &SU_PAR01, &SU_PAR02, &SU_PAR03, &SU_PAR04, &SU_PAR05,
                            &SU_PAR06, &SU_PAR07, &SU_PAR08, &SU_PAR09, &SU_PAR10};
  for (int k = 0; k <= 10; ++k) {
    const std::string key = (k < 10 ? "SU_PAR0" : "SU_PAR") + std::to_string(k);
    *su_par[k] = ValueOr(searched, key, 0);
  }
  if (!ReadHorizonValues(searched, "Par_tau", Par_tau)) Fill(Par_tau, 0.5);
  if (!ReadHorizonValues(searched, "k_recession", k_recession)) Fill(k_recession, 1);

  PMacroThresh = ValueOr(searched, "PMacroThresh", 1000);
  MacroCapacity = ValueOr(searched, "MacroCapacity", 0);
  CapacityRedu = ValueOr(searched, "CapacityRedu", 1.0);
  MacroDepth = ValueOr(searched, "MacroDepth", 1.0);
  if (!ReadHorizonValues(searched, "DryHeatCapacity", DryHeatCapacity)) Fill(DryHeatCapacity, -1);
  if (!ReadHorizonValues(searched, "DryDensity", DryDensity)) Fill(DryDensity, -1);
  if (!ReadHorizonValues(searched, "DryThermalConduct", DryThermalConduct)) Fill(DryThermalConduct, -1);
  if (const std::optional<std::string_view> value = AssignedValue(searched, "KMinFrozenSoil")) {
    KMinFrozenSoil = ReadNumber(*value);
    logKMinFrozenSoil = KMinFrozenSoil > 0 ? std::log(KMinFrozenSoil) : kLogKMinFrozenSoilFloor;
  }
  PMacroThresh /= kMillimetresPerHourToMetresPerSecond;
  MacroCapacity /= kMillimetresPerHourToMetresPerSecond;

  maxratio = ValueOr(searched, "maxratio", 1000);
  FCap = ValueOr(searched, "FCap", 25);
  mSB = ValueOr(searched, "mSB", 35);
  ksat_topmodel = ValueOr(searched, "ksat_topmodel", 0.00001);
  suction = ValueOr(searched, "suction", 300);
  storageRange = (mSB - FCap) * 0.01;
  if (!ReadHorizonValues(searched, "Par_m", Par_m)) {
    for (int l = 0; l <= layerCount; ++l) Par_m[l] = Par_n[l] == 0 ? 0 : 1 - 1 / Par_n[l];
  }
  MaxInterflowDepth = ValueOr(searched, "MaxInterflowDepth", 2);

  BuildLayerTables();
  ReduceConductivityWithDepth();
}

int SoilRecord::ReadHorizonLayers(std::string_view searched) {
  const std::optional<std::string_view> value = AssignedValue(searched, "layers", true);
  if (!value) throw BlockReadFailure{};
  const std::vector<std::string_view> tokens = SplitTokens(*value, " \t\r\n;,");
  if (tokens.empty()) throw BlockReadFailure{"\"layers\" of soil type " + std::to_string(GetCode()) + " is empty"};
  horizonCount = static_cast<int>(tokens.size());
  layersPerHorizon.assign(static_cast<std::size_t>(horizonCount) + 1, 0);
  long long total = 0;
  for (int h = 1; h <= horizonCount; ++h) {
    const std::optional<int> count = WholeInteger(tokens[static_cast<std::size_t>(h - 1)]);
    if (!count || *count < 1) {
      throw BlockReadFailure{"\"layers\" of soil type " + std::to_string(GetCode()) + ": \"" +
                             std::string(tokens[static_cast<std::size_t>(h - 1)]) +
                             "\" is not a number of layers (a whole number of at least 1 per horizon)"};
    }
    layersPerHorizon[static_cast<std::size_t>(h)] = *count;
    total += *count;
  }
  if (total > kMaxSoilLayers) {
    throw BlockReadFailure{"soil type " + std::to_string(GetCode()) + " has more than " +
                           std::to_string(kMaxSoilLayers) + " layers"};
  }
  layersPerHorizon[0] = static_cast<int>(total);
  return layersPerHorizon[0];
}

bool SoilRecord::ReadHorizonValues(std::string_view searched, std::string_view key,
                                   std::vector<double>& per_layer) const {
  const std::optional<std::string_view> value = AssignedValue(searched, key, true);
  if (!value) return false;
  per_layer.assign(static_cast<std::size_t>(layerCount) + 1, 0.0);
  std::string_view rest = *value;
  double number = 0;
  bool ended = false;
  int l = 1;
  for (int h = 1; h <= horizonCount; ++h) {
    // Once the list is used up (blanks and line ends at its end included) its last number
    // holds for the remaining horizons; a text that is not a number reads as 0.
    if (!ended) {
      number = ScanNumber(rest).value_or(0.0);
      ended = rest.find_first_not_of(" \t\r\n") == std::string_view::npos;
    }
    for (int k = 0; k < layersPerHorizon[static_cast<std::size_t>(h)]; ++k) per_layer[static_cast<std::size_t>(l++)] = number;
  }
  if (layerCount >= 1) per_layer[0] = per_layer[1];
  return true;
}

void SoilRecord::ReadGrainSizeDist(DiagnosticsLog& log, std::string_view searched) {
  if (!AssignedValue(searched, "GrainSizeDist")) return;
  std::vector<double> fractions(8, 0.0);
  std::string_view rest = *AssignedValue(searched, "GrainSizeDist");
  for (std::size_t k = 1; k <= 7; ++k) {
    const std::optional<double> value = ScanNumber(rest);
    if (!value) throw BlockReadFailure{"parameter \"GrainSizeDist\" holds " + std::to_string(k - 1) + " numbers, 7 expected"};
    fractions[k] = *value;
  }
  const auto refuse = [&](const char* text) {
    log << "FATAL: Grainsize distribution: " << text << GetCode() << "\n" << std::string(searched) << "[end-entry]";
    throw BlockReadFailure{};
  };
  if (fractions[1] <= 0) refuse("fraction of sand must be > 0 \nsoil type: ");
  double sum = 0;
  for (std::size_t k = 1; k <= 7; ++k) {
    if (fractions[k] < 0) refuse("all grain size fractions must be >= 0 (sand must be >0)\nsoil type: ");
    sum += fractions[k];
  }
  if (std::fabs(sum - 1.0) > 0.0001) {
    refuse("sum of all fractions (sand, silt, clay, stones1..4) must be 1.0\n soil type: ");
  }
  sand = fractions[1];
  silt = fractions[2];
  clay = fractions[3];
  stones1 = fractions[4];
  stones2 = fractions[5];
  stones3 = fractions[6];
  stones4 = fractions[7];
}

void SoilRecord::AllocateLayerArrays() {
  const std::size_t n = static_cast<std::size_t>(layerCount) + 1;
  for (std::vector<double>* values : {&ksat, &thickness, &theta_sat, &theta_res, &Par_n, &Par_m, &alpha, &Par_tau,
                                      &k_recession, &DryHeatCapacity, &DryDensity, &DryThermalConduct}) {
    values->assign(n, 0.0);
  }
}

void SoilRecord::BuildLayerTables() {
  conductivityTableSize = kSuctionStepCount;
  retentionTableSize = kSuctionStepCount;
  thetaTable = {};
  for (int l = 0; l <= layerCount; ++l) BuildHydraulicTables(l);
  liquidFractionTable = LayerTables(layerCount, freezingSteps + 1);
  liquidFractionSlopeTable = LayerTables(layerCount, freezingSteps + 1);
  freezingShiftTable = LayerTables(layerCount, freezingSteps + 1);
}

void SoilRecord::ReduceConductivityWithDepth() {
  // z: depth (m) of the layer's centre below the soil surface; d: below the top of its
  // horizon. Layers whose centre lies deeper than MaxInterflowDepth keep their ksat.
  double z = 0;
  int l = 1;
  for (int h = 1; h <= horizonCount; ++h) {
    double d = 0;
    for (int k = 0; k < layersPerHorizon[static_cast<std::size_t>(h)]; ++k, ++l) {
      const double step = l == 1 ? thickness[1] / 2 : (thickness[l - 1] + thickness[l]) / 2;
      d = k == 0 ? thickness[l] / 2 : d + step;
      z += step;
      if (z > MaxInterflowDepth) continue;
      ksat[l] *= std::pow(k_recession[l], d);
    }
  }
}

// --- one-line entries ----------------------------------------------------------------------

void SoilRecord::ParseOneLineEntry(DiagnosticsLog& log, std::string_view line) {
  const auto fail = [&]() {
    log << "FATAL: soil table code " << GetCode() << ": some values could not be read\n" << std::string(line)
        << "[end-entry]";
    RaiseError(kSoilTableError);
  };
  const std::vector<std::string_view> tokens = SplitTokens(line, " \t\r\n");
  const auto integer = [&](std::size_t k) {
    const std::optional<int> value = k < tokens.size() ? WholeInteger(tokens[k]) : std::nullopt;
    if (!value) fail();
    return *value;
  };
  const auto number = [&](std::size_t k) {
    const std::optional<double> value = k < tokens.size() ? WholeNumber(tokens[k]) : std::nullopt;
    if (!value) fail();
    return *value;
  };
  SetCode(integer(0));
  if (tokens.size() < 2) fail();
  if (tokens[1].size() > kMaxEntryNameLength) {
    log << "FATAL: the name of soil type " << GetCode() << " is longer than " << static_cast<int>(kMaxEntryNameLength)
        << " characters" << "[end-entry]";
    fail();
  }
  SetName(std::string(tokens[1]));
  FCap = number(2);
  mSB = number(3);
  ksat_topmodel = number(4);
  suction = number(5);
  method = integer(6);
  if (method != 1) {
    log << "FATAL: error reading soil parameters for soil type " << GetCode()
        << ": only old method 1 (van-Genuchten Parameter) is supported in Tolvo newer than 6.4.\n"
        << "Use the new soil type table format instead." << "[end-entry]";
    fail();
  }
  const double saturated = number(7);
  const double residual = number(8);
  const double vg_alpha = number(9);
  const double vg_n = number(10);
  layerCount = integer(11);
  const double u = number(12);
  maxratio = number(13);
  kReduction = number(14);
  storageRange = (mSB - FCap) * 0.01;
  if (layerCount < 2 || layerCount > kMaxSoilLayers) {
    log << "FATAL: soil type " << GetCode() << ": a one-line entry needs 2 to " << kMaxSoilLayers
        << " layers (here " << layerCount << ")" << "[end-entry]";
    fail();
  }
  if (u < 0.1) {
    log << "FATAL: \nerror soil type " << GetCode() << ":\nthickness of single layers (here " << u
        << " m)\nhas to be at minimum twice as thick as the\nthickness of the top layer (here " << kOneLineTopLayer
        << " m)" << "[end-entry]";
    fail();
  }

  horizonCount = 1;
  layersPerHorizon = {layerCount, layerCount};
  AllocateLayerArrays();
  Fill(theta_sat, saturated);
  Fill(theta_res, residual);
  Fill(alpha, vg_alpha);
  Fill(Par_n, vg_n);
  Fill(Par_m, vg_n == 0 ? 0 : 1 - 1 / vg_n);
  Fill(Par_tau, 0.5);
  Fill(k_recession, 1);
  Fill(DryHeatCapacity, -1);
  Fill(DryDensity, -1);
  Fill(DryThermalConduct, -1);
  MaxInterflowDepth = 2;
  ThicknessScaling = 1;

  thickness[1] = kOneLineTopLayer;
  thickness[2] = u - kOneLineTopLayer;
  for (int l = 3; l <= layerCount; ++l) thickness[l] = u;
  thickness[0] = thickness[1];
  totalDepth = 0;
  for (int l = 1; l <= layerCount; ++l) totalDepth += thickness[l];

  ksat[1] = ksat_topmodel * std::pow(kReduction, 0.025);
  ksat[2] = ksat_topmodel * std::pow(kReduction, u / 2);
  for (int l = 3; l <= layerCount; ++l) {
    const double d = (l - 1.5) * u;
    ksat[l] = d <= 2 ? ksat_topmodel * std::pow(kReduction, d) : ksat[l - 1];
  }
  ksat[0] = ksat[1];

  BuildLayerTables();
}

// --- the table -----------------------------------------------------------------------------

SoilTable ReadSoilTable(modelobject& reader) {
  DiagnosticsLog& log = reader.log();
  reader.FindSection("[soil_table]", true);
  int count = 0;
  reader.ReadItem(count, "[soil_table]: number of soil types");
  if (count < 0) {
    log << "FATAL: [soil_table]: the number of soil types must not be negative (here " << count << ")"
        << "[end-entry]";
    RaiseError(kSoilTableError);
  }
  SoilTable table;
  // Each soil type is appended as it is read, so a count that the control file does not
  // hold never asks for memory.
  table.emplace_back(count);

  ControlFileStream& file = reader.control_file();
  for (int j = 1; j <= count; ++j) {
    const std::optional<std::string> line = ReadControlLine(file);
    if (!line) {
      log << "FATAL: [soil_table]: the control file ends before soil type " << j << " of " << count
          << "[end-entry]";
      RaiseError(kSoilTableError);
    }
    SoilRecord& record = table.emplace_back(j);
    const bool block = line->find("MultipleHorizons") != std::string::npos ||
                       line->find("method") != std::string::npos || line->find('{') != std::string::npos;
    if (block) {
      const std::optional<std::string> text = CollectBlockText(file, *line);
      if (!text) {
        log << "FATAL: Soil table code " << j << ": the control file ends inside the parameter block (no \"}\")\n"
            << QuotedExcerpt(*line) << "[end-entry]";
        RaiseError(kTableEntryError);
      }
      record.ParseBlock(log, *text);
    } else {
      record.ParseOneLineEntry(log, *line);
    }
    if (j >= 2) {
      const SoilRecord& previous = table[static_cast<std::size_t>(j - 1)];
      if (record.layerCount != previous.layerCount) {
        log << "FATAL: the numbers of soil layers has to be equal for all soil types\n(here: soil type "
            << record.GetCode() << ": " << record.layerCount << " layers, but soil type " << previous.GetCode()
            << ": " << previous.layerCount << " layers)\n\n" << "[end-entry]";
        RaiseError(kSoilTableError);
      }
    }
  }
  return table;
}

}  // namespace tolvo
