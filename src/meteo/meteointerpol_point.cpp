// The value of a meteorological input at a single point, and its regression parameters.

#include "meteo/lookup_stations.h"
#include "meteo/meteointerpol.h"
#include "meteo/regression_kernels.h"
#include "meteo/result_postprocess.h"

namespace tolvo {

int meteointerpol::PointScratchSize() const { return station_files_[0].n_stations + 1; }

double meteointerpol::InverseDistanceAt(std::span<double> scratch, double x, double y) const {
  const StationPoints s = rotated_stations(0);
  return idw_.ratio < 1 ? InverseDistanceAnisotropic(s, scratch, x, y, idw_) : InverseDistance(s, scratch, x, y, idw_);
}

double meteointerpol::InterpolateAtPoint(std::span<double> scratch, double x, double y, double z) {
  const double n = section_.nodata;
  const double missing = -n - 1;
  const double grid_nodata = geometry().nodata_value;
  const bool scenario_table = section_.szen_use == 1 && !section_.monthly_scenario_grids();
  if (scenario_table) UpdateScenarioDay(section_.scenario_table, current_date());

  double xi = x;
  double yi = y;
  if (section_.anisotropy_ratio < 1 && x != grid_nodata && y != grid_nodata) {
    const Point2 p = RotatePoint(rotation_frame(), x, y);
    xi = p.x;
    yi = p.y;
  }
  const RegressionParameters& regression = regression_.parameters;
  const auto both = [&](double first, double second) {
    return first < -n || second < -n ? missing : first + second * z;
  };

  double v = missing;
  switch (method_) {
    case InterpolationMethod::kInverseDistance:
      v = InverseDistanceAt(scratch, xi, yi);
      break;
    case InterpolationMethod::kRegression:
    case InterpolationMethod::kElevationRegression:
      v = RegressionAt(regression, n, grid_nodata, x, y, z);
      break;
    case InterpolationMethod::kInverseDistanceRegression:
    case InterpolationMethod::kInverseDistanceElevation: {
      const double w = InverseDistanceAt(scratch, xi, yi);
      const double r = RegressionAt(regression, n, grid_nodata, x, y, z);
      const double f = section_.idw_fraction;
      v = w >= -n && r >= -n ? f * w + (1 - f) * r : (w >= -n ? w : r);
      break;
    }
    case InterpolationMethod::kThiessen:
      v = ThiessenAt(stations(0), scratch, x, y, n);
      break;
    case InterpolationMethod::kBilinear:
    case InterpolationMethod::kBilinearResiduals: {
      const StationPoints first = rotated_stations(0);
      const CornerStations corners = CornersAround(first.x, first.y, xi, yi, spacing_);
      v = BilinearAt(first, corners, scratch, xi, yi, idw_);
      if (method_ == InterpolationMethod::kBilinearResiduals) {
        v = both(v, BilinearAt(rotated_stations(1), corners, scratch, xi, yi, idw_));
      }
      break;
    }
    case InterpolationMethod::kBicubicSpline:
      v = ThiessenAt(rotated_stations(0), scratch, xi, yi, n);
      break;
    case InterpolationMethod::kSplineResiduals:
      v = both(ThiessenAt(rotated_stations(0), scratch, xi, yi, n), ThiessenAt(rotated_stations(1), scratch, xi, yi, n));
      break;
    case InterpolationMethod::kReadGrids:
      v = missing;
      break;
    case InterpolationMethod::kThiessenLapseRate: {
      const LapseRateSettings& l = section_.lapse_rate;
      v = ThiessenLapseRateAt(stations(0), station_files_[0].altitude, x, y, z,
                              {l.lapse_rate, l.inversion_height, l.upper_lapse_rate, l.precipitation_type}, n);
      break;
    }
  }
  if (v < -n) return missing;
  v = ScaleAndLimit(v, section_);
  if (scenario_table) v = ApplyScenario(v, NearestScenarioValue(section_.scenario_table, x, y), section_.szen_meth);
  return v;
}

double meteointerpol::GetRegressionParameters(int set, RegressionBands& bands) const {
  const double missing = -section_.nodata - 1;
  const int m = section_.method;
  if (set != 1 || (m != 2 && m != 3 && m != 10 && m != 11)) {
    bands.lower_limit = missing;
    bands.upper_limit = missing;
    bands.intercepts.fill(missing);
    bands.gradients.fill(missing);
    return missing;
  }
  const RegressionParameters& p = regression_.parameters;
  bands.lower_limit = p[kL1];
  bands.upper_limit = p[kL2];
  bands.intercepts = {missing, p[kA1], p[kA2], p[kA3]};
  bands.gradients = {missing, p[kB1], p[kB2], p[kB3]};
  return p[kB3];
}

}  // namespace tolvo
