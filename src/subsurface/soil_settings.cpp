#include "subsurface/soil_settings.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "framework/grid_file_format.h"
#include "framework/modelobject.h"
#include "subsurface/tuning_section.h"

namespace tolvo {
namespace {

constexpr std::array<std::string_view, kSoilStatisticCount> kStatisticTexts = {
    "name of the QDRAINstatfiles in ", "name of the GWSTANDstatfiles in ", "name of the GWNstatfiles in ",
    "name of the SB_1_statfiles in ",  "name of the SB_2_statfiles in ",   "name of the ROOTstatfiles in ",
    "name of the INFEXstatfiles in ",  "name of the PONDstatfiles in ",    "name of the QDstatfiles in ",
    "name of the QIstatfiles in ",     "name of the QBstatfiles in ",      "name of the Qgstatfiles in ",
    "name of the GWINstatfiles in ",   "name of the GWEXstatfiles in ",    "name of the MACROstatfiles in ",
    "name of the INFILTstatfiles in ",
};

struct OutputTexts {
  std::string_view name;
  std::string_view code;
};
constexpr std::array<OutputTexts, kSoilOutputCount> kOutputTexts = {{
    {"name of the SB05-Grids in ", "Writegrid SB05-Grid in   "},
    {"name of the SB1_-Grids in ", "Writegrid SB1_-Grid in   "},
    {"name of the WURZ-Grids in ", "Writegrid WURZ-Grid in   "},
    {"name of the Theta_stacks in ", "Writecode Theta in "},
    {"name of the hh-stacks in ", "Writecode hh in "},
    {"name of the hgeo-stacks in ", "Writecode hgeo  in "},
    {"name of the q_unten-stacks in ", "Writecode qunten in "},
    {"name of the GWSTAND-Grids in ", "Writegrid GWSTAND-Grid in   "},
    {"name of the GWtheta-Grids in ", "Writegrid GWtheta-Grid in   "},
    {"name of the GWN-Grids in ", "Writegrid GWN-Grid in   "},
    {"name of the GWLEVEL-Grids in ", "Writegrid GWLEVEL-Grid in   "},
    {"name of the QDRAIN-Grids in ", "Writegrid QDRAIN-Grid in   "},
    {"name of the saturation grid in ", "Writegrid Satt-Merker in "},
    {"name of the infiltration excess grid in ", "Writegrid INFEX in "},
    {"name of the QD-Grids in ", "Writegrid QD-Grid in   "},
    {"name of the QI-Grids in ", "Writegrid QI-Grid in   "},
    {"name of the DELTAGW-Grids in ", "Writegrid DELTAGW-Grid in   "},
    {"name of the GWIN-Grids in ", "Writegrid GWIN-Grid in   "},
    {"name of the GWEX-Grids in ", "Writegrid GWEX-Grid in   "},
    {"name of the POND-Grids in ", "Writegrid POND-Grid in   "},
    {"name of the GWN-Uprise-Grids in ", "Writegrid GWN-Uprise-Grid in   "},
    {"name of the GWN-PERCOL-Grids in ", "Writegrid GWN-PERCOL-Grid in   "},
    {"name of MACROPORE-Infiltration-Grids for ", "Writegrid MACROPORE-Infiltration-Grid in   "},
    {"name of the IRRIG-Grids in ", "Writegrid IRRIG-Grid in   "},
}};

constexpr std::array<std::string_view, kPointFileCount> kPointFileTexts = {
    "Name of the Qbottom-file in ",   "Name of the Theta-file in ",      "Name of the hhyd-file in ",
    "Name of the Otherdata file in ", "Name of the etr-detail file in ", "Name of the interflow file in ",
};

constexpr std::string_view kBlockHelp =
    "\npossible error by using the same parameters\nfor groups of subbasins:\nat least the first AND the last "
    "subbasin code have\nto be specified with all their parameters like this:\n(if the smallest code is 1 and the "
    "largest code is 8)\n1\t8\n3\t3\n8\t8\n14\t14\n0.4\t0.4\n0.01\t0.01\n0.1\t0.1\n..\t..\nThen, to all "
    "subcatchments with zone-codes ranging from 1 to 7 the \nparameters of subbasin 1 will be assigned!";
constexpr std::string_view kBlockHead = "FATAL: \n-----------------error------------\n";
constexpr int kMaxNameLength = 1200;

// A word followed on the same line by an integer: a statistics table's file and code.
StatisticsTableSetting ReadStatisticsPair(modelobject& reader, std::string_view description) {
  ControlFileStream& file = reader.control_file();
  const std::optional<std::string> word = file.ReadToken();
  const std::optional<std::string> code_token =
      word && word->size() <= kMaxNameLength ? file.ReadToken() : std::nullopt;
  const std::optional<int> code = code_token ? ParseIntPrefix(*code_token) : std::nullopt;
  if (!code) reader.ControlFileItemError(description, reader.name());
  file.SkipLine();
  return {*word, *code};
}

OutputGridSetting ReadOutputGrid(modelobject& reader, std::string_view name_text, std::string_view code_text) {
  OutputGridSetting out;
  reader.ReadItem(out.name, name_text);
  reader.ReadItem(out.write_code, code_text);
  return out;
}

// The recession constants are given in hours and kept in minutes; a vanishing constant
// would empty the storage at once and is held at 0.06 minutes.
double RecessionMinutes(double hours) { return hours < 0.001 ? 0.06 : hours * 60; }
double InverseRecession(double value) { return value < 0 ? 0 : 1 / value; }

[[noreturn]] void BlockError(modelobject& reader, const std::string& text) {
  reader.log() << std::string(kBlockHead) << text << std::string(kBlockHelp) << "[end-entry]";
  RaiseError(kSubbasinBlockError);
}

// The code line: every listed code carries its own column of parameter values; an
// unlisted sub-basin takes the column of the listed code below it (the first column
// for those below the first listed code). code[i] > 0 marks the sub-basins with a
// column of their own.
std::vector<int> ReadBlockCodes(modelobject& reader, const ZoneRanking& subbasins) {
  ControlFileStream& file = reader.control_file();
  const int n = subbasins.zone_count;
  std::vector<int> code(static_cast<std::size_t>(n) + 1, 0);
  int previous = 0;
  int last_value = 0;
  for (;;) {
    const std::optional<std::string> token = file.ReadToken();
    const std::optional<int> c = token ? ParseIntPrefix(*token) : std::nullopt;
    if (!c) BlockError(reader, "error reading code[" + std::to_string(last_value) + "] for " + reader.name());
    last_value = *c;
    const bool known =
        *c >= 1 && *c <= subbasins.largest_code && subbasins.code_index[static_cast<std::size_t>(*c)] > 0;
    if (!known) {
      BlockError(reader, "error! there is no code " + std::to_string(*c) + " (from " + reader.control_file_name() +
                             ") for a subbasin in " + reader.name());
    }
    const int i = subbasins.code_index[static_cast<std::size_t>(*c)];
    if (previous == 0) {
      code[1] = static_cast<int>(subbasins.zones[1].zonenwert);
      for (int k = 2; k <= i; ++k) code[static_cast<std::size_t>(k)] = -1;
    } else {
      code[static_cast<std::size_t>(i)] = *c;
      for (int k = previous + 1; k < i; ++k) code[static_cast<std::size_t>(k)] = -1;
    }
    previous = i;
    if (*c == subbasins.largest_code) break;
  }
  file.SkipLine();
  return code;
}

template <typename Convert>
std::vector<double> ReadBlockLine(modelobject& reader, const ZoneRanking& subbasins, const std::vector<int>& code,
                                  std::string_view label, Convert convert) {
  ControlFileStream& file = reader.control_file();
  std::vector<double> values(code.size(), 0.0);
  for (std::size_t i = 1; i < code.size(); ++i) {
    if (code[i] > 0) {
      const std::optional<std::string> token = file.ReadToken();
      const std::optional<double> v = token ? ParseDoublePrefix(*token) : std::nullopt;
      if (!v) {
        BlockError(reader, "error reading " + std::string(label) + "[" +
                               std::to_string(static_cast<int>(subbasins.zones[i].zonenwert)) + "] for " +
                               reader.name());
      }
      values[i] = convert(*v);
    } else {
      values[i] = values[i - 1];
    }
  }
  file.SkipLine();
  return values;
}

void CheckControlPoint(modelobject& reader, int row, int col) {
  const GridGeometry& g = reader.geometry();
  const std::string head = "FATAL: in modul " + reader.name() + ":\n";
  if (row < 0 || row > g.nrows) {
    reader.log() << head << "row index (" << row << ") for output-cell must be between " << 1 << " and " << g.nrows
                 << " (Input as row col) or 0 0 "
                 << "[end-entry]";
    RaiseError(kControlRowError);
  }
  // A control point needs both its row and its column: row r with column 0 names no cell.
  if (col < 0 || col > g.ncols || (col == 0 && row > 0)) {
    reader.log() << head << "column index (" << col << ") for output-cell must be between " << 1 << " and " << g.ncols
                 << " (Input as row col) "
                 << "[end-entry]";
    RaiseError(kControlColumnError);
  }
}

SoilMethod CheckMethod(modelobject& reader, int method) {
  if (method == 2) return SoilMethod::FixedStep;
  if (method == 3) return SoilMethod::DynamicStep;
  reader.log() << "FATAL: in modul " << reader.name() << ":\n"
               << "invalid method (" << method << ")\n"
               << "possible values are:\n 2 for Finite Differences with fixed timestep\n 3 for Finite "
                  "Differences with dynamically calculated timestep\n"
               << "[end-entry]";
  RaiseError(kInvalidSoilMethod);
}

}  // namespace

SubbasinParameters ReadSubbasinBlock(modelobject& reader, const ZoneRanking& subbasins) {
  SubbasinParameters p;
  std::vector<int> code = ReadBlockCodes(reader, subbasins);
  const auto as_read = [](double v) { return v; };
  p.kelsqd = ReadBlockLine(reader, subbasins, code, "kelsqd", RecessionMinutes);
  p.kelsqi = ReadBlockLine(reader, subbasins, code, "kelsqi", RecessionMinutes);
  p.flussdichte = ReadBlockLine(reader, subbasins, code, "channel network density", as_read);
  p.kelsqlat = ReadBlockLine(reader, subbasins, code, "kelsqlat", InverseRecession);
  p.max_baseflow = ReadBlockLine(reader, subbasins, code, "QB-Red.Faktor", as_read);
  p.SR_Anteil = ReadBlockLine(reader, subbasins, code, "SnowRunoff_fraction", as_read);
  for (std::size_t i = 1; i < code.size(); ++i) code[i] = static_cast<int>(subbasins.zones[i].zonenwert);
  p.code = std::move(code);
  return p;
}

void ReadSoilSection(modelobject& reader, const ZoneRanking& subbasins, int rank, SoilSettings& s) {
  int method = 0;
  reader.ReadItem(method, " methode of ");
  reader.ReadItem(s.surface_water_interaction, " surface water interaction parameter of ");
  reader.ReadItem(s.pond, " pond parameter of ");
  reader.ReadItem(s.drainage, " drainage parameter of ");
  reader.ReadItem(s.clay, " clay parameter ");
  reader.ReadItem(s.ksat_clay, " k_sat. for clay  ");
  reader.ReadItem(s.ini_gw_level, " ini_gw_level  ");
  // The start profile divides the layer count by it: only a positive divisor gives a
  // number of unsaturated layers within the column.
  if (!(s.ini_gw_level > 0)) {
    reader.ControlFileValueError("[" + reader.name() + "]", " ini_gw_level  ", s.ini_gw_level,
                                 "a positive divisor of the number of soil layers");
  }
  for (int k = 0; k < kSoilStatisticCount; ++k) {
    s.statistics[static_cast<std::size_t>(k)] =
        ReadStatisticsPair(reader, kStatisticTexts[static_cast<std::size_t>(k)]);
  }
  for (int k = 0; k < kSoilOutputCount; ++k) {
    const OutputTexts& t = kOutputTexts[static_cast<std::size_t>(k)];
    s.outputs[static_cast<std::size_t>(k)] = ReadOutputGrid(reader, t.name, t.code);
  }
  reader.ReadItemPair(s.control_row, s.control_col, "control_row/column for control point in ");
  for (int k = 0; k < kPointFileCount; ++k) {
    std::string& file = s.point_files[static_cast<std::size_t>(k)];
    reader.ReadItem(file, kPointFileTexts[static_cast<std::size_t>(k)]);
    file = PrefixPath(reader.output_directory(), file);
  }
  CheckControlPoint(reader, s.control_row, s.control_col);
  s.method = CheckMethod(reader, method);
  s.subbasins = ReadSubbasinBlock(reader, subbasins);
  reader.ReadItem(s.storage_read_code, "read control parameter for storage grids for ");
  reader.ReadItem(s.storage_file, "name of the storage content file ");
  s.storage_file += '_';
  s.storage_file += std::to_string(rank);
  if (s.method == SoilMethod::DynamicStep) {
    reader.ReadItem(s.min_dynamic_step_s, "minimum dynamic time step in secounds ");
    s.substeps_statistics = ReadStatisticsPair(reader, "name of the SUBSTEPSstatfiles in ");
    s.substeps_grid = ReadOutputGrid(reader, "name of SUBSTEPS-Grids for ", "Writegrid SUBSTEPS-Grid in   ");
  }
}

void ReadHeatTransferSection(modelobject& reader, HeatTransferSettings& h) {
  reader.ReadItem(h.on, "");
  if (h.on <= 0) return;
  reader.ReadItem(h.method, " method of heat transfer modelling ");
  int ignored = 0;
  reader.ReadItem(ignored, "");
  reader.ReadItem(ignored, "");
  reader.ReadItem(h.low_bound_base, " dTModLowBoundBase ");
  reader.ReadItem(h.lapse_rate, " dTModLapseRate ");
  reader.ReadItem(h.c_dry_soil, " dTModCDrySoil ");
  reader.ReadItem(h.rho_dry_soil, " dTModRhoDrySoil ");
  reader.ReadItem(h.lam_dry_soil, " dTModLamDrySoil ");
  reader.ReadItem(h.k_min, " dTModKmin ");
  reader.ReadItem(h.lam_water, " dTModLamWat ");
  reader.ReadItem(h.lam_ice, " dTModLamIce ");
  reader.ReadItem(h.c_water, " dTModCWater ");
  reader.ReadItem(h.c_ice20, " dTModCIce20 ");
  reader.ReadItem(h.c_ice0, " dTModCIce0 ");
  reader.ReadItem(h.latent_heat, " dTModLatHeat ");
  reader.ReadItem(h.rho_water, " dTModRhoWater ");
  reader.ReadItem(h.factor, " dTModFactor ");
  reader.ReadItem(h.se_for_stat, " dTModSEForStat ");
  reader.ReadItem(h.shortest_step, " dTModShortestStep ");
  reader.ReadItem(h.longest_step, " dTModLongestStep ");
  reader.ReadItem(h.n_factor_freezing, " dTModNFactorFreezing ");
  reader.ReadItem(h.n_factor_thawing, " dTModNFactorThawing ");
  reader.ReadItem(h.point_file, "Name of the temperature-file in ");
  h.point_file = PrefixPath(reader.output_directory(), h.point_file);
  h.thaw_statistics = ReadStatisticsPair(reader, "name of the temperstatfiles in ");
  h.temperature_stack = ReadOutputGrid(reader, "name of the temper-stacks in ", "Writecode temper in ");
  h.thaw_depth =
      ReadOutputGrid(reader, "name of the thawdepth-grid (heat-tr.mod.) in ", "Writecode thawdepth (heat-tr.mod.) in ");
}

void ReadTuningSection(modelobject& reader, SoilSettings& s) {
  ReadTuningLines(reader, [&](const std::string& line) {
    const bool is_error = line.find("max_error") != std::string::npos;
    if (!is_error && line.find("max_iterations") == std::string::npos) return;
    const char* key = is_error ? "max_error" : "max_iterations";
    (is_error ? s.max_error : s.max_iterations) = TuningValue(reader, line, "[unsatzon_tuning]", key);
  });
}

}  // namespace tolvo
