#include "surface/snow_settings.h"

#include <optional>

#include "framework/control_file_stream.h"
#include "framework/diagnostics_log.h"
#include "framework/error_code.h"
#include "framework/modelobject.h"

namespace tolvo {
namespace {

constexpr const char* kFatalBox = "FATAL: \n------------- Fatal Error: -------------\n";
constexpr const char* kWarningBox = "WARNING: \n------------- warning: -------------\n";

void ReadGrid(modelobject& reader, GridOutputName& grid, std::string_view name_text, std::string_view code_text) {
  reader.ReadItem(grid.file, name_text);
  reader.ReadItem(grid.write_code, code_text);
}

void ReadStatistic(modelobject& reader, StatisticName& statistic, std::string_view text) {
  reader.ReadItemPair(statistic.file, statistic.code, text);
}

// Reads `count` numbers from the next tokens (a line read with a scanf format); false
// when one of them does not scan. The rest of the line is dropped either way.
template <typename... T>
bool ReadNumbers(modelobject& reader, T&... targets) {
  ControlFileStream& file = reader.control_file();
  bool ok = true;
  const auto one = [&](auto& target) {
    if (!ok) return;
    const std::optional<std::string> token = file.ReadToken();
    if (!token) {
      ok = false;
      return;
    }
    using V = std::remove_reference_t<decltype(target)>;
    if constexpr (std::is_same_v<V, int>) {
      const std::optional<int> v = ParseIntPrefix(*token);
      if (v)
        target = *v;
      else
        ok = false;
    } else {
      const std::optional<double> v = ParseDoublePrefix(*token);
      if (v)
        target = *v;
      else
        ok = false;
    }
  };
  (one(targets), ...);
  file.SkipLine();
  return ok;
}

[[noreturn]] void Fail(modelobject& reader, int code, std::string_view text, double value) {
  reader.log() << std::string(text) << value << "[end-entry]";
  RaiseError(code);
}

void ReadAdditionalBlock(modelobject& reader, SnowSettings& s) {
  ControlFileStream& file = reader.control_file();
  bool had_line_end = false;
  const std::optional<std::string> line = file.ReadLine(had_line_end);
  const std::size_t length = line ? line->size() + (had_line_end ? 1 : 0) : 0;
  if (!line || length < 3) {
    reader.log() << "FATAL: cannot read additional parameters for snow model methods 5 to 11 from "
                 << reader.control_file_name() << "[end-entry]";
    RaiseError(kSnowAdditionalBlockMissing);
  }
  const std::size_t start = line->find_first_not_of(" \t\r");
  const std::size_t end = start == std::string::npos ? start : line->find_first_of(" \t\r", start);
  s.snow_temperature.file = start == std::string::npos ? "" : line->substr(start, end - start);
  reader.ReadItem(s.snow_temperature.write_code, "Writegrid of the snow pack temperature grid for ");
  ReadStatistic(reader, s.snow_temperature_statistic, "Name of the snow pack temperature statistics for ");
  ReadGrid(reader, s.surface_temperature, "Name of the snow surface temperature grid for ",
           "Writegrid of the snow surface temperature grid for ");
  ReadStatistic(reader, s.surface_temperature_statistic, "Name of the snow surface temperature statistics for ");
  ReadGrid(reader, s.input_mass, "Name of the input mass grid for ", "Writegrid of the input mass grid for ");
  ReadStatistic(reader, s.input_mass_statistic, "Name of the input mass statistics for ");
  ReadGrid(reader, s.mobile_mass, "Name of the mobile mass grid for ", "Writegrid of the mobile mass grid for ");
  ReadStatistic(reader, s.mobile_mass_statistic, "Name of the mobile mass statistics for ");
  ReadGrid(reader, s.deposition, "Name of the deposition grid for ", "Writegrid of the deposition grid for ");
  ReadStatistic(reader, s.deposition_statistic, "Name of the deposition statistics for ");

  reader.ReadItem(s.maxDepositionSlope, "maximum slope for deposition for ");
  if (s.maxDepositionSlope < 0 || s.maxDepositionSlope > 90) {
    Fail(reader, kDepositionSlopeOutOfRange,
         "FATAL: maxDepositionSlope not within parameter bounds of [0...90] Here: ", s.maxDepositionSlope);
  }
  reader.ReadItem(s.maxDepositionFactor, "maximum deposition factor for ");
  if (!(s.maxDepositionFactor > 0)) {
    Fail(reader, kDepositionFactorOutOfRange,
         "FATAL: maxDepositionFactor not within parameter bounds of (0...inf). Here: ", s.maxDepositionFactor);
  }
  reader.ReadItem(s.minSlideSlope, "minimum slope for slides for ");
  if (!(s.minSlideSlope >= 0 && s.minSlideSlope <= 90)) {
    Fail(reader, kSlideSlopeOutOfRange,
         "FATAL: minSlideSlope not within parameter bounds of [0...90]. Here: ", s.minSlideSlope);
  }
  reader.ReadItem(s.slideMassFrac, "slide mass fraction for ");
  if (!(s.slideMassFrac > 0 && s.slideMassFrac <= 1)) {
    Fail(reader, kSnowParameterOutOfRange,
         "FATAL: slideMassFrac not within parameter bounds of (0...1.0]. Here: ", s.slideMassFrac);
  }
  reader.ReadItem(s.LWINcorr, "incoming long wave radiation correction factor for ");
  if (!(s.LWINcorr > 0 && s.LWINcorr <= 3.0)) {
    Fail(reader, kSnowParameterOutOfRange,
         "FATAL: incoming long wave radiation correction factor LWINcorr not within parameter bounds of (0...3.0]. "
         "Here: ",
         s.LWINcorr);
  }
  reader.ReadItem(s.LWOUTcorr, "outgoing long wave radiation correction factor for ");
  if (!(s.LWOUTcorr > 0 && s.LWOUTcorr <= 3.0)) {
    Fail(reader, kSnowParameterOutOfRange,
         "FATAL: outgoing long wave radiation correction factor LWOUTcorr not within parameter bounds of (0...3.0]. "
         "Here: ",
         s.LWOUTcorr);
  }
  double scaling = 1;
  if (ReadNumbers(reader, scaling)) {
    s.EnBalScaling = scaling;
  } else {
    reader.log() << kWarningBox << "Could not read the optional parameter EnBalScaling (double),\n"
                 << "for snow melt methods with energy baöance that will be used for scaling the energy balance (i.e. "
                    "affect melt rates)\n"
                 << "Setting default values of 1.0"
                 << "[end-entry]";
  }
}

}  // namespace

SnowSettings ReadSnowModelSection(modelobject& reader) {
  SnowSettings s;
  reader.ReadItem(s.method, "method for ");
  s.traits = TraitsOfSnowMethod(s.method);
  reader.ReadItem(s.transzone, "transzone for ");
  reader.ReadItem(s.T0R, "T0R for ");
  reader.ReadItem(s.T0, "T0 for ");
  reader.ReadItem(s.CWH, "CWH for ");
  reader.ReadItem(s.CRFR, "CRFR for ");
  reader.ReadItem(s.C0, "C0 for ");
  reader.ReadItem(s.C1, "C1 for ");
  reader.ReadItem(s.C2, "C2 for ");
  reader.ReadItem(s.z0, "z0 for ");
  reader.ReadItem(s.RMFMIN, "RMFMIN for ");
  reader.ReadItem(s.RMFMAX, "RMFMAX for ");
  reader.ReadItem(s.ALBsnow_min, "ALBsnow_min for ");
  reader.ReadItem(s.ALBsnow_max, "ALBsnow_max for ");
  ReadGrid(reader, s.rain, "Name of the rain-grid for ", "Writegrid of rain-grid for ");
  ReadStatistic(reader, s.rain_statistic, "Name of the rain statistics for ");
  ReadGrid(reader, s.snow, "Name of the snow grid for ", "Writegrid of the snow grid for ");
  ReadStatistic(reader, s.snow_statistic, "Name of the snow statistics for ");
  ReadGrid(reader, s.snow_days, "Name of the snowdays grid for ", "Writegrid of the snowdays grid for ");
  ReadStatistic(reader, s.snow_days_statistic, "Name of the snowdays statistics for ");
  ReadGrid(reader, s.snow_age, "Name of the snow age grid for ", "Writegrid of the snow age grid for ");
  ReadStatistic(reader, s.snow_age_statistic, "Name of the snow age statistics for ");
  ReadStatistic(reader, s.albedo_statistic, "name of the albedo statistics for ");
  ReadGrid(reader, s.outflow, "Name of the snow outflow grid for ", "Writegrid of the snow outflow grid for ");
  ReadStatistic(reader, s.outflow_statistic, "Name of the snow outflow statistics for ");
  ReadGrid(reader, s.melt_only, "Name of the snow melt only outflow grid for ",
           "Writegrid of the snow melt only outflow grid for ");
  ReadStatistic(reader, s.melt_only_statistic, "Name of the snow melt only outflow statistics for ");
  ReadGrid(reader, s.solid, "Name of the snow storage grids for ", "Writegrid of the snow storage grids for ");
  ReadGrid(reader, s.liquid, "Name of the liquid storage grids for ", "Writegrid of the liquid storage grids for ");
  ReadStatistic(reader, s.storage_statistic, "Name of the total snow storage statistics for ");
  ReadGrid(reader, s.total, "name of the total snow storage grid for ",
           "Writegrid of the total snow storage grid for ");
  reader.ReadItem(s.storage_read_code, "readgrid forr storage grids for ");
  if (s.traits.reads_additional_block) ReadAdditionalBlock(reader, s);
  s.melt_factor = SeasonalFactor::FromRange(s.RMFMIN, s.RMFMAX);
  return s;
}

int ReadGlacierMethod(modelobject& reader) {
  int method = 0;
  reader.ReadItem(method, "Glacier-Method for ");
  if (method != 1 && method != 2 && method != 11 && method != 12 && method != 13) {
    reader.log() << "FATAL: \n-----------Fatal Error:----------\nMethod for glacier melt must be 1(resp 11 for dynamic "
                    "model; t-index)\n or 2 (resp. 12 for dynamic model; t-index with correction by radiation) or 13 "
                    "(dynamic glaciers with T-Index for ice and firn and the melt method used for snow as in the snow "
                    "model)"
                 << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  return method;
}

void ReadIceFirnSection(modelobject& reader, IceFirnSettings& s) {
  switch (s.method) {
    case 1: s.glacier = GlacierMethod::kTemperatureIndex; break;
    case 2: s.glacier = GlacierMethod::kRadiation; break;
    case 11: s.glacier = GlacierMethod::kDynamicTemperatureIndex; break;
    case 12: s.glacier = GlacierMethod::kDynamicRadiation; break;
    default: s.glacier = GlacierMethod::kDynamicSnowMethod; break;
  }
  reader.ReadItem(s.DDFice, "DDFice  for ");
  reader.ReadItem(s.DDFfirn, "DDFfirn for ");
  reader.ReadItem(s.DDFsnow, "DDFsnow for ");
  reader.ReadItem(s.MF, "MF  for ");
  reader.ReadItem(s.Aice_min, "Aice_min for ");
  reader.ReadItem(s.Aice_max, "Aice_max for ");
  reader.ReadItem(s.Asnow_min, "Asnow_min for ");
  reader.ReadItem(s.Asnow_max, "Asnow_max for ");
  reader.ReadItem(s.kice_els, "kice_els for ");
  reader.ReadItem(s.kfirn_els, "kfirn_els ");
  reader.ReadItem(s.ksnow_els, "ksnow_els for ");
  reader.ReadItem(s.Qice_initial, "initial Qice_els for ");
  reader.ReadItem(s.Qfirn_initial, "initial Qfirn_els ");
  reader.ReadItem(s.Qsnow_initial, "initial Qsnow_els for ");
  ReadGrid(reader, s.firn_melt, "name of the firn grid for ", "write code for firn grid for ");
  ReadStatistic(reader, s.firn_statistic, "name of the qfirn-statistic-file for ");
  ReadGrid(reader, s.ice_melt, "name of the ice grid for ", "write code for ice grid for ");
  ReadStatistic(reader, s.ice_statistic, "name of the qice-statistic-file for ");
  ReadStatistic(reader, s.total_statistic, "name of the qglac-statistic-file for ");
  s.Aice = SeasonalFactor::FromRange(s.Aice_min, s.Aice_max);
  s.Asnow = SeasonalFactor::FromRange(s.Asnow_min, s.Asnow_max);
  if (!s.dynamic()) {
    s.snow_on_ice_statistic = {SnowOnIceStatisticName(s.total_statistic.file), s.total_statistic.code};
    return;
  }
  ReadStatistic(reader, s.snow_on_ice_statistic, "name of the qSnowOnGlac-statistic-file for ");
  reader.ReadItem(s.read_code, "read grid parameter for glacier model ");
  if (!ReadNumbers(reader, s.firn_levels, s.firn_base, s.deltafirnper100m)) {
    reader.log() << kFatalBox << "Could not read the three parameters firn_levels (int),\n"
                 << "firn_base (double), and deltafirnper100m (double)  \n"
                 << "for dynamic glacier modelling "
                 << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  if (s.firn_levels < 1) {
    reader.log() << kFatalBox << "firn_levels must be at least 1 for dynamic glacier modelling. Here: " << s.firn_levels
                 << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  const bool date_read = ReadNumbers(reader, s.evaluation_month, s.evaluation_day);
  if (!date_read || s.evaluation_month < 1 || s.evaluation_month > 12 || s.evaluation_day < 1 ||
      s.evaluation_day > 31) {
    reader.log() << kFatalBox << "Could not read the two parameters GMBEvalDay (int 1...31)\n"
                 << "and GMBEvalMonth (int 1..12) for dynamic glacier modelling "
                 << "(given as month, then day; here: " << s.evaluation_month << " " << s.evaluation_day << ")"
                 << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  if (!ReadNumbers(reader, s.VAscaling, s.VAexponent, s.numElevBands, s.extraWeightFactorBand0)) {
    reader.log()
        << kFatalBox
        << "Could not read the four parameters VAscaling, VAexponent, numElevBands and extraWeightFactorBand0\n"
        << "for Volume-Area-Relation in dynamic glacier modelling "
        << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  ReadGrid(reader, s.firn_stack, "name of the firn stack for ", "write code for the firn stack in ");
  ReadStatistic(reader, s.firn_water_statistic, "name of the firn-statistic-file for ");
  ReadGrid(reader, s.mass_balance, "name of the glacier mass balance grid for ",
           "write code for glacier mass balance grid in ");
  ReadGrid(reader, s.old_mass_balance, "name of the glacier mass balance grid (old reference) for ",
           "write code for glacier mass balance grid (old reference) in ");
  ReadStatistic(reader, s.mass_balance_statistic, "name of the glacier mass balance statistics file (1) for ");
  ReadStatistic(reader, s.glacier_part_balance_statistic, "name of the glacier mass balance statistics file (2) for ");
  reader.ReadItem(s.debris_scaling, "global debris scaling factor (requirede when using a debris_on_glaciers grid) ");
  ReadStatistic(reader, s.snow_without_glaciers_statistic, "name of the sow statistics for snow on glacier for ");
  ReadGrid(reader, s.solid_on_glacier,
           "name of the snow storage grid (solid fraction of WE, glacierized fraction of cell) for ",
           "write code for snow storage grid (solid fraction of WE, glacierized fraction of cell) in ");
  ReadGrid(reader, s.liquid_on_glacier,
           "name of the snow storage grid (liquid fraction of WE, glacierized fraction of cell) for ",
           "write code for snow storage grid (liquid fraction of WE, glacierized fraction of cell) in ");
  ReadGrid(reader, s.total_on_glacier, "name of the snow storage grid (total on glacierized fraction of cell) for ",
           "write code for snow storage grid (total on glacierized fraction of cell) in ");
  ReadGrid(reader, s.melt_on_glacier,
           "name of the snow snow melt grid (incl. rain, total on glacierized fraction of cell) for ",
           "write code for snow melt grid (incl. rain, total on glacierized fraction of cell) in ");
  ReadGrid(reader, s.surface_temperature_on_glacier,
           "name of the snow surface temperature grid (incl. rain, total on glacierized fraction of cell) for ",
           "write code for snow surface temperature  (incl. rain, total on glacierized fraction of cell) in ");
  ReadGrid(reader, s.snow_temperature_on_glacier,
           "name of the snow temperature grid (incl. rain, total on glacierized fraction of cell) for ",
           "write code for snow temperature grid (incl. rain, total on glacierized fraction of cell) in ");
  ReadGrid(reader, s.evaporation_on_glacier,
           "name of the snow evaporation grid (incl. rain, total on glacierized fraction of cell) for ",
           "write code for snow evaporation grid (incl. rain, total on glacierized fraction of cell) in ");
  double max_pack = 1000;
  double new_size = 0.25;
  if (ReadNumbers(reader, max_pack, new_size)) {
    s.maxSnowPackToCreateGlacier = max_pack;
    s.relSizeNewGlacier = new_size;
  } else {
    reader.log() << kWarningBox << "Could not read the two optional parameters maxSnowPackToCreateGlacier (double),\n"
                 << "and relSizeNewGlacier (double) for dynamic glacier modelling that will be used for creating new "
                    "glaciers\n"
                 << "Setting default values of 1000 and 0.25, i.e. 1000 mm SWE will rmain on a cell that is partly "
                    "glacierized already, the rest is put into the glacier.\n"
                 << "For cells with no existing glacier, the amount > 1000 will be used to create a glacier that "
                    "encompasses 25% of the cell"
                 << "[end-entry]";
  }
}

PermafrostSettings ReadPermafrostSection(modelobject& reader) {
  PermafrostSettings s;
  reader.ReadItem(s.method, "Permafrost-Method for ");
  if (s.method != 1) {
    reader.log() << "FATAL: method for permafrost melt must be 1 (alpha*sqrt(time))"
                 << "[end-entry]";
    RaiseError(kSnowSettingsError);
  }
  reader.ReadItem(s.Min_Snow_Age_Refreeze, "Min_Snow_Age_Refreeze for ");
  reader.ReadItem(s.Max_SWE_SnowFree, "Max_SWE_SnowFree for ");
  ReadStatistic(reader, s.thaw_depth_statistic, "name of thaw depth statistics file ");
  reader.ReadItem(s.reduced_ksat, "reduced k_sat (in m/s)");
  return s;
}

void CheckSnowThresholds(modelobject& reader, SnowSettings& s) {
  if (!(s.T0 > s.T0R)) return;
  reader.log() << "ERROR: \n-----------------------------------------------------------------------\n"
               << "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"
               << "   because these thresholds are contradicting each other, T0R was set to T0!                    \n"
               << "-----------------------------------------------------------------------"
               << "[end-entry]";
  s.T0R = s.T0;
}

std::string SnowOnIceStatisticName(const std::string& total_statistic) {
  const std::size_t dot = total_statistic.rfind('.');
  const std::size_t slash = total_statistic.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return total_statistic + "_qsgl_";
  return total_statistic.substr(0, dot) + "_qsgl_" + total_statistic.substr(dot);
}

}  // namespace tolvo
