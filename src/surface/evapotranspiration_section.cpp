// Reading of the section [evapotranspiration] after its module switch and time step, and
// the checks of its radiation, sunshine and temperature-amplitude settings.

#include <cmath>
#include <sstream>
#include <string>

#include "framework/control_file_stream.h"
#include "framework/error_code.h"
#include "surface/potential_evaporation.h"
#include "surface/verdunstungsmodellklasse.h"

namespace tolvo {
namespace {

constexpr const char* kRule = "\n\n-----------------------------------------------------------------------\n";

// January..December into entries 1..12; December again at 0, January at 13.
void WrapMonths(std::array<double, 14>& months) {
  months[0] = months[12];
  months[13] = months[1];
}

}  // namespace

void verdunstungsmodellklasse::ReadSection() {
  EvapotranspirationSettings& s = settings_;
  ReadItem(s.method_number, "Methode fuer ");
  if (s.method_number > 1 && n_layers_ > 1) {
    log() << "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n\n"
          << "Modelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\n"
          << "for unlayered Vegetation. Actual parameters: method: " << s.method_number
          << ", number of layers: " << n_layers_ << kRule << "[end-entry]";
    RaiseError(kLayeredSingleLayerMethod);
  }
  if (s.method_number > 1 && TimeStep < 1440) {
    log() << "WARNING: \n---------------------- error in evapotranspiration model ------------------- \n\n"
          << "Modelling evapotranspiration after HAMON, WENDLING or HAUDE should only be used\n"
          << "for daily time steps or larger. The actual time step is less than 1440 min.\n"
          << "actual parameters: method: " << s.method_number << ", timestep: " << TimeStep << " minutes" << kRule
          << "[end-entry]";
  }
  ReadPecFhAndCoastFactor();
  ReadItem(s.pot_transpiration.grid_file, "Name of the ETP-Grids for ");
  ReadItem(s.pot_transpiration.write_code, "Writegrid ETP for ");
  ReadStatisticPair(s.pot_transpiration.statistic_file, s.pot_transpiration.statistic_code,
                    "Name of ETP-stat.file for ");
  ReadOutput(s.real_transpiration, "Name of the ETR-Grids for ", "Writegrid ETR for    ",
             "Name of the ETR-stat.file for ");
  ReadOutput(s.potential_evaporation, "Name of the evaporation_potential-grid for ", "Writegrid EVAP for    ",
             "Name of the evaporation_potential-stat.files for ");
  ReadOutput(s.real_evaporation, "Name of the evaporation_real grid for ", "Writegrid evaporation real for    ",
             "Name of the evaporation_real-stat.files for ");
  ReadOutput(s.snow_evaporation, "Name of the snow evaporation grid for ", "Writegrid snow evaporation for    ",
             "Name of the snow evaporation-stat.files for ");
  ReadOutput(s.interception, "Name of the EIP-Grids for ", "Writegrid EIP for    ", "Name of EIP-stat.file for ");
  ReadStatisticPair(s.corrected_radiation.statistic_file, s.corrected_radiation.statistic_code,
                    "Name of the RGEX-stat.file for ");
  ReadNumbers(s.radiation, "radiation coefficients a0 a1 a2 a3 for ");
  ReadNumbers(s.sunshine, "sunshine duration coefficients CS[0] CS[1] CS[2] CS[3] for ");
  std::array<double, 2> tau{};
  ReadNumbers(tau, "transmissivity (mean and amplitude) for ");
  s.tau0 = tau[0];
  s.tau1 = tau[1];
  std::array<double, 1> z_a{};
  ReadNumbers(z_a, "elevation length of the temperature amplitude for ");
  s.elevation_length_m = z_a[0];
  ReadNumbers(std::span<double>(s.amplitude).subspan(1, 12), "monthly temperature amplitudes for ");
  WrapMonths(s.amplitude);

  const std::optional<std::string> fd = control_file().ReadToken();
  const std::optional<double> fd_value = fd ? ParseDoublePrefix(*fd) : std::nullopt;
  const std::optional<std::string> v = fd_value ? control_file().ReadToken() : std::nullopt;
  const std::optional<double> v_value = v ? ParseDoublePrefix(*v) : std::nullopt;
  if (!v_value) {
    log() << "FATAL: error reading fraction for temperature amplitude for day/night\n"
          << "or the annual variability\n" << "[end-entry]";
    RaiseError(kEvapotranspirationSettingsError);
  }
  s.day_share = *fd_value;
  s.day_share_variability = *v_value;
  control_file().SkipLine();
  ReadCloudinessStatistic();
}

void verdunstungsmodellklasse::ReadPecFhAndCoastFactor() {
  EvapotranspirationSettings& s = settings_;
  const auto read_months = [&](std::array<double, 14>& months, const char* parameter, const char* method) {
    for (int m = 1; m <= 12; ++m) {
      const std::optional<std::string> token = control_file().ReadToken();
      const std::optional<double> value = token ? ParseDoublePrefix(*token) : std::nullopt;
      if (!value) {
        log() << "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n"
              << "there have to be 12 (monthly) values for the " << parameter << "-parameter for \n"
              << method << "-evaporation in the control file." << kRule << "[end-entry]";
        RaiseError(kMonthlyValuesMissing);
      }
      months[static_cast<std::size_t>(m)] = *value;
    }
    WrapMonths(months);
  };
  read_months(s.pec, "PEC", "HAMON");
  read_months(s.fh, "fh", "HAUDE");
  ReadItem(s.coast_factor, "fk - Coastfactor (WENDLING) for");
}

void verdunstungsmodellklasse::ReadOutput(EvapotranspirationOutput& output, const char* grid_label,
                                          const char* write_label, const char* statistic_label) {
  ReadItem(output.grid_file, grid_label);
  ReadItem(output.write_code, write_label);
  ReadStatisticPair(output.statistic_file, output.statistic_code, statistic_label);
}

void verdunstungsmodellklasse::ReadStatisticPair(std::string& file, int& code, std::string_view label) {
  const std::optional<std::string> a = control_file().ReadToken();
  const std::optional<std::string> b = a ? control_file().ReadToken() : std::nullopt;
  const std::optional<int> number = b ? ParseIntPrefix(*b) : std::nullopt;
  if (!number || a->size() > kMaxLineLength) ControlFileItemError(label, name());
  file = *a;
  code = *number;
  control_file().SkipLine();
}

void verdunstungsmodellklasse::ReadNumbers(std::span<double> values, std::string_view label) {
  // A number that cannot be read would leave the coefficient at 0 and the model running
  // with a radiation or temperature relation nobody chose.
  for (double& value : values) {
    const std::optional<std::string> token = control_file().ReadToken();
    const std::optional<double> number = token ? ParseDoublePrefix(*token) : std::nullopt;
    if (!number) ControlFileItemError(label, name());
    value = *number;
  }
  control_file().SkipLine();
}

void verdunstungsmodellklasse::ReadCloudinessStatistic() {
  bool had_line_end = false;
  const std::string line = control_file().ReadLine(had_line_end).value_or("");
  EvapotranspirationOutput& cloudiness = settings_.cloudiness;
  if (line.size() < 3) {
    cloudiness.statistic_file = "cloudiness";
    cloudiness.statistic_code = 0;
    return;
  }
  std::istringstream fields(line);
  std::string file;
  std::string code;
  fields >> file >> code;
  const std::optional<int> number = ParseIntPrefix(code);
  if (file.empty() || !number) ControlFileItemError("Name of the cloudiness-stat.file for ", name());
  cloudiness.statistic_file = file;
  cloudiness.statistic_code = *number;
}

void verdunstungsmodellklasse::CheckSettings() {
  EvapotranspirationSettings& s = settings_;
  const auto fail = [&](const std::string& message) {
    log() << message << "[end-entry]";
    RaiseError(kEvapotranspirationSettingsError);
  };
  if (s.day_share < 0 || s.day_share > 1) {
    std::ostringstream m;
    m << "FATAL: \n---------------------------- error in control file --------------------\n\n"
      << "The splitting of the temperature amplitude between day and night\n"
      << "has to be done in a way that the fraction for the bright day is between 0..1\n"
      << "read: amplitude_fraction_day: " << s.day_share << kRule;
    fail(m.str());
  }
  const std::array<double, 4>& a = s.radiation;
  if (a[0] < 0.05) {
    std::ostringstream m;
    m << "FATAL: fraction of diffuse radiation is too small: " << a[0] << " (should be 0.05 ... 0.5)\n";
    fail(m.str());
  }
  if (a[0] > 0.5) {
    std::ostringstream m;
    m << "FATAL: fraction of diffuse radiation is too large: " << a[0] << " (should be 0.05 ... 0.5)\n";
    fail(m.str());
  }
  const double sum = a[0] + a[1] + a[2] + a[3];
  if (std::fabs(sum - 1) > 0.01) {
    std::ostringstream m;
    m << "FATAL: die Koeffizienten fuer die Modellierung der Globalstrahlung muessen in ihrer Summe 1 ergeben\n"
      << " derzeitige Summe: " << a[0] << " + " << a[1] << " + " << a[2] << " + " << a[3] << " = " << sum;
    fail(m.str());
  }
  const std::array<double, 4>& cs = s.sunshine;
  std::ostringstream values;
  values << "CS[0]=" << cs[0] << ", CS[1]=" << cs[1] << ", CS[2]=" << cs[2] << ", CS[3]=" << cs[3];
  const SunshineThreshold threshold = SunshineThresholdFromCoefficients(cs);
  switch (threshold.outcome) {
    case SunshineThreshold::Outcome::kFound:
      s.sunshine_threshold = threshold.x0;
      break;
    case SunshineThreshold::Outcome::kNoRootInRange:
      fail("FATAL: \n----------------------------!! Error !! -----------------------\n"
           "The coefficients for sunshine duration modelling are wrong!\n"
           "No null point (root) was found between 0 and 1!\n" +
           values.str() +
           "\n\nuse e.g.: CS[0]=0.072, CS[1]=-0.808, CS[2]=1.749, CS[3]=-0.239\n"
           "----------------------------------------------------------------");
      break;
    case SunshineThreshold::Outcome::kNotEvenLinear:
      fail("FATAL: The coefficients for sunshine duration modelling are wrong!\n"
           "There must be at minimum a linear relationship\n"
           "between radiation and sunshine duration\n" +
           values.str() + "\n\n");
      break;
  }
}

}  // namespace tolvo
