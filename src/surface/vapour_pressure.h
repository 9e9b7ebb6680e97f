#pragma once
// Vapour pressure of moist air near the ground: saturation vapour pressure over water,
// the slope of the saturation curve and the psychrometric constant, as the
// evapotranspiration and snow models use them.
//
// Units: temperatures T in degrees Celsius, pressures in hPa, slopes and the
// psychrometric constant in hPa/K. The saturation curve is the Magnus formula with the
// coefficients of Tetens (1930): 6.1078·exp(17.269·T/(237.3 + T)); its slope is written
// with the rounded factor 25029 = 6.1078·17.27·237.3 of the Penman-Monteith literature
// (e.g. Allen et al. 1998, FAO-56, eq. 13, there in kPa). The psychrometric constant is
// cp·p/(0.622·λ) with cp = 1.005 kJ/(kg·K) and the latent heat λ = 2500.8 − 2.372·T kJ/kg.

#include <cmath>

namespace tolvo {

// Saturation vapour pressure over water, hPa.
inline double SaturationVapourPressure(double t_c) { return 6.1078 * std::exp(17.269 * t_c / (237.3 + t_c)); }

// Slope of the saturation vapour-pressure curve, hPa/K.
inline double SaturationSlope(double t_c) {
  const double d = 237.3 + t_c;
  return 25029.0 * std::exp(17.26 * t_c / d) / (d * d);
}

// Psychrometric constant at air pressure p_hpa, hPa/K.
inline double PsychrometricConstant(double p_hpa, double t_c) { return 1.6158 * p_hpa / (2500.8 - 2.372 * t_c); }

// Air pressure at elevation z_m from the standard pressure 1013 hPa with a scale height
// that grows with the temperature (29.33 m/K·T + 7991 m), hPa.
inline double AirPressureAtElevation(double z_m, double t_c) { return 1013.0 * std::exp(-z_m / (29.33 * t_c + 7991.0)); }

}  // namespace tolvo
