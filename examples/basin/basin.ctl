# Example basin: two sub-basins on an 8 x 10 grid of 100 m cells.
# Grids are read relative to the working directory; results go to out/.
$set $outpath = out/
$set $time = 60

[output_interval]
24       interval of the progress lines in hours
1        warn where no station is within the search radius
0        not used
0        minutes from the hour of the meteorological data to the end of the step
WriteAsciiGrids = 1
DefaultOutputDirectory = $outpath

[output_list]
2
1 first sub-basin of the output list (the count's line holds no text: the first code may follow it)
2 second

[coordinates]
47.5  geographic latitude
8.5   geographic longitude
15    reference meridian
0     time shift of the data time to local time

[meteo_data_count]
5 number of meteorological inputs (station data made by examples/make-station-data)

[meteo_names]
temperature
precipitation
air_humidity
wind_speed
global_radiation

[model_time]
1     start hour
1     start day
1     start month
2020  start year
24    end hour
31    end day
3     end month
2020  end year

[soil_surface_groundwater_substeps]
2 sub-steps

[zone_grid]
zones.asc

[elevation_model]
dem.asc

[standard_grids]
28 number of standard grids
landuse.asc landuse 0
soils.asc soil_types 0
albedo.asc albedo 0 readcode = 0 defaultValue = 0.2
zones.asc zonegrid_soilmodel 0
zones.asc HydrologicResponseUnits 0  # the sub-basins as response units of a spin-up
flow_times.asc flow_times 0 readcode = 0 defaultValue = 3600
river_depth.asc river_depth 0
river_width.asc river_width 0
river_links.asc river_links 0
kolmation.asc kolmation 0  # leakage of the river bed [1/s] along the river
SurfStorSiltingUp.asc SurfStorSiltingUp 0 readcode = 0 defaultValue = 0
lower_boundary_temperature.asc T_Lower_Boundary_Condition 0
lake_codes.asc lake_codes 0  # one lake cell at the outlet of sub-basin 2, the lake of its reservoir
max_ponding_storage.asc max_ponding_storage 0  # largest ponding depth [m]: 1 m on the lake cell
aquifer_thickness_1.asc aquifer_thickness_1 0 readcode = 0 defaultValue = 1  # replaced by the depth of the soil profile
aquifer_thickness_2.asc aquifer_thickness_2 0 readcode = 0 defaultValue = 20
gw_k_x_1.asc gw_k_x_1 0 readcode = 0 defaultValue = 1e-5
gw_k_y_1.asc gw_k_y_1 0 readcode = 0 defaultValue = 1e-5
gw_k_x_2.asc gw_k_x_2 0 readcode = 0 defaultValue = 1e-4
gw_k_y_2.asc gw_k_y_2 0 readcode = 0 defaultValue = 1e-4
gw_storage_coeff_1.asc gw_storage_coeff_1 0 readcode = 0 defaultValue = 0.1
gw_storage_coeff_2.asc gw_storage_coeff_2 0 readcode = 0 defaultValue = 0.05
gw_boundary_fix_h_1.asc gw_boundary_fix_h_1 0 readcode = 0 defaultValue = -9999
gw_fixed_heads.asc gw_boundary_fix_h_2 0  # the aquifer drains at the outlet
gw_boundary_fix_q_1.asc gw_boundary_fix_q_1 0 readcode = 0 defaultValue = -9999
gw_boundary_fix_q_2.asc gw_boundary_fix_q_2 0 readcode = 0 defaultValue = -9999
gw_kolmation_1.asc gw_kolmation_1 0 readcode = 0 defaultValue = 1e-7
irrigation_codes.asc irrigation_codes 0  # irrigation type 1 on the fields of sub-basin 1

[variable_grids]
0 number of variable grids

[region_transition_distance]
300   m over which neighbouring regression regions blend (the whole basin is one region here)

[substance_transport]
0 number of tracers

[landuse_table]
2 land uses
11 forest 0.2 70 70 70 70 70 70 70 70 70 70 70 70 1 100 250 366 1 3 3 1 0.01 0.05 0.05 0.01 0.5 0.9 0.9 0.5 0.2 0.4 0.4 0.2 0.5 3.45
3 field { method = VariableDayCount; JulDays = 1 100 250 366; Albedo = 0.2 0.2 0.2 0.2; rsc = 70 70 70 70;
          LAI = 1 3 3 1; Z0 = 0.01 0.05 0.05 0.01; VCF = 0.5 0.9 0.9 0.5; RootDepth = 0.2 0.4 0.4 0.2;
          AltDep = 0 0 0 0; RootDist = 0.5; TReduWet = 1; HReduDry = 3.45;
          SoilTillage = 100 280; }

[soil_table]
3 soil types
10 clay 20 30 1e-6 250 1 0.38 0.068 0.8 1.09 3 0.2 500 1
20 loam { method = MultipleHorizons; layers = 1 2;
          ksat = 1e-5 2e-6; theta_sat = 0.43; theta_res = 0.078;
          alpha = 3.6; Par_n = 1.56; thickness = 0.1 0.3; GrainSizeDist = 0.4 0.4 0.2 0 0 0 0; }
30 sand { method = MultipleHorizons; layers = 3; ksat = 8e-5; theta_sat = 0.43; theta_res = 0.045; alpha = 14.5; Par_n = 2.68; thickness = 0.1;
          GrainSizeDist = 0.9 0.05 0.05 0 0 0 0; }

[irrigation]
1     irrigation on
$time time step in minutes
irrigation_groundwater.stat 2001  table of the irrigation from groundwater: zone means of every step
irrigation_surface_water.stat 2001  table of the irrigation from surface water: zone means of every step

[irrigation_table]
1     irrigation type: code, name, method (2: a schedule), origin (2: surface water), two suctions, the schedule
1 field 2 2 80 30 starting from 01 10 with 4.8 mm 10 times every 2 days  # the fields of sub-basin 1, from its river

[RegionalSuperposition]
0     off
$time time step in minutes

[precipitation_correction]
1     on: the precipitation grid is corrected for the catch deficit of the gauges
0     threshold temperature in degrees C: rain above it, snow at or below it
1.05  rain: constant
0.02  rain: increase per m/s of wind speed
1.1   snow: constant
0.1   snow: increase per m/s of wind speed

[radiation_correction]
1     on
$time time step in minutes
2     method: terrain shading and temperature correction
corr_temperature.asc     corrected temperature grid
1     written every step
1.5   scaling of the temperature correction in K
radiation_correction.asc correction factor grid
1     written every step
shadow.asc               shade grid
1     written every step
1     computed every step
4     sub-steps of a step

[evapotranspiration]
1     on
$time time step in minutes
2     Methode fuer evapotranspiration: 1 Penman/Monteith, 2 HAMON, 3 WENDLING, 4 HAUDE
1 1 1 1 1 1 1 1 1 1 1 1
0.22 0.22 0.22 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.22 0.22
0.5   fk - Coastfactor (WENDLING) for; the lines above: PEC of HAMON and fh of HAUDE, January to December
pot_transpiration.asc Name of the ETP-Grids for
40    Writegrid ETP (daily sums)
pot_transpiration.txt 0  Name of ETP-stat.file for
real_transpiration.asc Name of the ETR-Grids for
0     Writegrid ETR for
real_transpiration.txt 4024  Name of the ETR-stat.file for (daily sums)
potential_evaporation.asc Name of the evaporation_potential-grid for
40    Writegrid EVAP (daily sums)
potential_evaporation.txt 0  Name of the evaporation_potential-stat.files for
real_evaporation.asc Name of the evaporation_real grid for
0     Writegrid evaporation real for
real_evaporation.txt 4024  Name of the evaporation_real-stat.files for (daily sums)
snow_evaporation.asc Name of the snow evaporation grid for
0     Writegrid snow evaporation for
snow_evaporation.txt 4024  Name of the snow evaporation-stat.files for (daily sums)
interception_evaporation_potential.asc Name of the EIP-Grids for
0     Writegrid EIP for
interception_evaporation_potential.txt 0  Name of EIP-stat.file for
corrected_radiation.txt 0  Name of the RGEX-stat.file for
0.23 0.52 0.25 0      a0 a1 a2 a3: global/clear-sky radiation from relative sunshine
0.072 -0.808 1.749 -0.239   CS0..CS3: relative sunshine from global/clear-sky radiation
0.7 0.1   transmissivity of the clear sky: mean and seasonal amplitude
10000     elevation length (m) of the daily temperature amplitude
5 6 7 8 9 10 10 10 9 8 6 5   clear-sky daily temperature amplitude (K), January to December
0.65 0.1  day share of the amplitude, its annual variability
cloudiness.txt 0

[snow_model]
1     on: snow builds up in the cold spell and melts in the thaw
$time time step in minutes
1     method for snow model: degree-day
1.0   transzone for snow model
0.5   T0R for snow model
0.0   T0 for snow model
0.1   CWH for snow model
0.25  CRFR for snow model
3.0   C0 for snow model
1.5   C1 for snow model
0.3   C2 for snow model
2.5   z0 for snow model
1.0   RMFMIN for snow model
3.0   RMFMAX for snow model
0.45  ALBsnow_min for snow model
0.9   ALBsnow_max for snow model
rain.asc      name of the rain grid
0     write code of the rain grid
rain.stat 4024   rain statistics: zone sums of every day
snow.asc      name of the snowfall grid
0     write code of the snowfall grid
snow.stat 4024   snowfall statistics: zone sums of every day
snowdays.asc  name of the snow-cover days grid
0     write code of the snow-cover days grid
snowdays.stat 0  snow-cover days statistics and code
snowage.asc   name of the snow age grid
0     write code of the snow age grid
snowage.stat 0   snow age statistics and code
albedo.stat 0    albedo statistics and code
snowout.asc   name of the snow-cover outflow grid
0     write code of the snow-cover outflow grid
snowout.stat 4001 snow-cover outflow statistics: zone sums of every step
snowmelt.asc  name of the melt-only outflow grid
0     write code of the melt-only outflow grid
snowmelt.stat 0  melt-only outflow statistics and code
snowsolid.asc name of the solid snow storage grid
0     write code of the solid snow storage grid
snowliquid.asc  name of the liquid snow storage grid
0     write code of the liquid snow storage grid
snowstorage.stat 2001  total snow storage statistics: zone means of every step
snowtotal.asc name of the total snow storage grid
0     write code of the total snow storage grid
0     read code of the snow storage grids: start without snow

[interception_model]
1     on
$time time step in minutes
1     interception method: after the snow, evaporating at the potential transpiration
throughfall.asc                name outflow grid
0                              write code outflow grids
throughfall.txt 4001           name outflow statistics file: zone sums of every step
interception_evaporation.asc   name interception evaporation grid
0                              write code interception evaporation grids
interception_evaporation.txt 4001   statistics of the interception evaporation: zone sums of every step
interception_storage.asc       name interception storage grid
0                              write code interception storage grids
interception_storage.txt 2001  statistics of the interception storage: zone means of every step
0.2                            h_max: mm of water held per unit of leaf area index
0                              readgrid: start from empty storages

[SiltingUpModel]
1     on
$time time step in minutes
3     method: the formulas below, which restate the built-in formulas of method 1
silting_disposition.txt 2001   statistics of the disposition: zone means of every step
silting_runoff.txt 4001        statistics of the direct runoff: zone sums of every step
silting_disposition.asc        silting-up disposition grid
1                              written every step
rain_pause.asc                 rain pause grid
1                              written every step
kinetic_energy.asc             kinetic energy grid
1                              written every step
tillage_time.asc               time since the last tillage
1                              written every step
silting_runoff.asc             direct runoff grid
11                             written every step, with its sum over the run
1 2                            sub-basin codes of the minimum rain pause
2 3                            minimum rain pause in days
0                              the state grids start at 0
SiltingUpExpressions
{
  X = 65;
  Y = 12.2 * K ^ 0.52 * (100 * L) ^ -0.64;
  W = (P > 0.05) * (11.89 + 8.73 * LOG10(P + (P <= 0.05)));
  Z = (O > 0) * 0.013 * (100 * L) ^ -1.03 * K ^ 0.7 * (O + (O <= 0)) ^ -0.19;
  V = (EXP(-Q * Z) * (X - Y) + Y) * R / 60;
}

[lake_model]
1     flow control parameter: lakes on
1     initialization method: no change of grids (the lake cell starts saturated)
0.08  Albedo_OpenWater
0.001 z0_OpenWater
0     readgrids: the lake starts with the reservoir's volume, not from the ponding grid

[unsatzon_model]
1     on
$time time step in minutes
2     methode: finite differences with a fixed time step
2     surface water interaction: exfiltration and re-infiltration; keep every river link on one process
1     pond parameter: ponding on cells with a largest ponding depth (the lake cell)
0     drainage parameter: no tile drainage
0     clay parameter: no clay layer
1e-8  k_sat. for clay in m/s
2     ini_gw_level: the lower half of the layers starts saturated
qdrain.stat 0 name of the QDRAINstatfiles in 
gwstand.stat 0 name of the GWSTANDstatfiles in 
gwn.stat 0 name of the GWNstatfiles in 
sb_1.stat 0 name of the SB_1_statfiles in 
sb_2.stat 0 name of the SB_2_statfiles in 
root.stat 0 name of the ROOTstatfiles in 
infex.stat 0 name of the INFEXstatfiles in 
pond.stat 0 name of the PONDstatfiles in 
qd.stat 2001 name of the QDstatfiles in 
qi.stat 2001 name of the QIstatfiles in 
qb.stat 2001 name of the QBstatfiles in 
qg.stat 2001 name of the Qgstatfiles in 
gwin.stat 0 name of the GWINstatfiles in 
gwex.stat 0 name of the GWEXstatfiles in 
macro.stat 0 name of the MACROstatfiles in 
infilt.stat 0 name of the INFILTstatfiles in 
sb05.asc  name of the SB05-Grids in
0     Writegrid SB05-Grid in
sb1_.asc  name of the SB1_-Grids in
0     Writegrid SB1_-Grid in
wurz.asc  name of the WURZ-Grids in
0     Writegrid WURZ-Grid in
theta.asc  name of the Theta_stacks in
0     Writecode Theta in
hh.asc  name of the hh-stacks in
0     Writecode hh in
hgeo.asc  name of the hgeo-stacks in
0     Writecode hgeo in
qu.asc  name of the q_unten-stacks in
0     Writecode qunten in
gwst.asc  name of the GWSTAND-Grids in
0     Writegrid GWSTAND-Grid in
gwth.asc  name of the GWtheta-Grids in
0     Writegrid GWtheta-Grid in
gwn.asc  name of the GWN-Grids in
0     Writegrid GWN-Grid in
gwlevel.asc  name of the GWLEVEL-Grids in
0     Writegrid GWLEVEL-Grid in
qdrain.asc  name of the QDRAIN-Grids in
0     Writegrid QDRAIN-Grid in
sat.asc  name of the saturation grid in
0     Writegrid Satt-Merker in
infex.asc  name of the infiltration excess grid in
0     Writegrid INFEX in
qd.asc  name of the QD-Grids in
0     Writegrid QD-Grid in
qi.asc  name of the QI-Grids in
0     Writegrid QI-Grid in
qb.asc  name of the DELTAGW-Grids in
13    Writegrid DELTAGW-Grid in: the groundwater model's hand-back summed over the run and at the end
gwin.asc  name of the GWIN-Grids in
0     Writegrid GWIN-Grid in
gwex.asc  name of the GWEX-Grids in
0     Writegrid GWEX-Grid in
pond.asc  name of the POND-Grids in
0     Writegrid POND-Grid in
uprs.asc  name of the GWN-Uprise-Grids in
0     Writegrid GWN-Uprise-Grid in
perc.asc  name of the GWN-PERCOL-Grids in
0     Writegrid GWN-PERCOL-Grid in
macr.asc  name of MACROPORE-Infiltration-Grids for
0     Writegrid MACROPORE-Infiltration-Grid in
irri.asc  name of the IRRIG-Grids in
0     Writegrid IRRIG-Grid in
4 5   control_row/column for control point
qbot.txt   Name of the Qbottom-file
theta.txt  Name of the Theta-file
hhyd.txt   Name of the hhyd-file
other.txt  Name of the Otherdata file
etr.txt    Name of the etr-detail file
interf.txt Name of the interflow file
1 2     sub-basin codes with parameters of their own (the two sub-basins of "zonegrid_soilmodel"), then one value per code:
5 5     kelsqd: recession constant of direct runoff [h]
50 50   kelsqi: recession constant of interflow [h]
1 1     channel network density
200 200 kelsqlat: recession constant of baseflow [h]
1 1     maximum baseflow
0.2 0.2 surface-runoff fraction of snowmelt
0     read control parameter for storage grids: compute the start state
storage.ste name of the storage content file

[heat_transfer]
1 heat transfer and frozen soil on
12 method: implicit conduction with the heat of the water
0
0
12 dTModLowBoundBase (the lower-boundary temperature comes from its grid)
-0.007 dTModLapseRate
800 dTModCDrySoil
1500 dTModRhoDrySoil
0.58 dTModLamDrySoil
1e-10 dTModKmin
0.5562 dTModLamWat
2.33 dTModLamIce
4187 dTModCWater
1940 dTModCIce20
2090 dTModCIce0
334000 dTModLatHeat
1000 dTModRhoWater
1.22 dTModFactor
0.5 dTModSEForStat
60 dTModShortestStep
1800 dTModLongestStep
1 dTModNFactorFreezing
1 dTModNFactorThawing
soil_temperature.txt
soil_temperature.stat 0
soil_temperature.stk
3 write code of the soil temperatures: at the end of the run
thaw_depth.asc
3 write code of the thaw depth: at the end of the run

[LayeredSnowModel]
1     on: the soil model carries the snow as a pack of layers over its columns
1     method of the layered snow model
500   largest density (not used)
0     (not used)
0.5   temperature offset of fresh snow (K)
10    drainage density of the snow layers (1/m)
0.1   water holding capacity: liquid water per solid water
1     effectiveness of ice in the snow layers
1     effectiveness of ice in the soil layers
snow_swes.stk
0     write code of the solid water per snow layer
snow_swel.stk
0     write code of the liquid water per snow layer
snow_temperature.stk
0     write code of the snow temperatures
snow_theta.stk
0     write code of the water content of the snow layers
snow_heads.stk
0     write code of the hydraulic heads of the snow layers
snow_heights.stk
0     write code of the geodetic heights of the snow layers
snow_qdown.stk
0     write code of the flux out of the snow layers
snow_thickness.stk
0     write code of the snow layer thicknesses
snow_density.stk
0     write code of the snow densities
snow_upper.asc
0     write code of the highest snow layer

[LayeredSnowProperties]
1     snow type
1 fresh_snow { method = MultipleHorizons; layers = 3; ksat = 1e-4; theta_sat = 0.9; theta_res = 0.01; alpha = 10; Par_n = 2; thickness = 0.1; DryDensity = 250; DryHeatCapacity = 0; DryThermalConduct = 0.1; }

[SurfaceRoutingModel]
1     on
$time time step in minutes
1     method for flowpath-calculation: aspect sector spread on concave cells, else by the drops
qdsr.txt 0   statistics of direct runoff from surface routing (QDSR): off
qisr.txt 0   statistics of interflow from surface routing (QISR): off
qbsr.txt 0   statistics of baseflow from surface routing (QBSR): off
qgsr.txt 0   statistics of total runoff from surface routing (QGSR): off
surface_velocity.stack  velocity stack: main direction, velocities towards the 8 neighbours, water surface
1     write code of the velocity stack: every step
surface_fluxes.stack  flux stack
0     write code of the flux stack: not written
0.01  maximum iteration error for A_NL [m]
10    maximum iteration steps for A_NL
0.001 maximum iteration error for the velocity [m/s]
20    maximum iteration steps for the velocity
60    minimum sub time step [s]
600   maximum sub time step [s]
0.05  minimum flow depth for the roughness of the crops [m]
1     concentration factor
0     storage grids are not read
surface_storage.txt 2001  statistics of the surface storage per sub-basin, every step

[groundwater_flow]
1     on
$time time step in minutes
1     method: point iteration with over-relaxation
200   maxiter
0.0001  maxerror_allowed [m]
1     alpha (fully implicit)
1.5   sor-parameter
0     heads start from the soil model's groundwater table
2     number of layers
0 0   control point: none
gw_point.txt  name of the control point file
gw_heads1.asc
1     write code of the heads of layer 1
gw_flowx1.asc
0
gw_flowy1.asc
0
gw_balance1.asc
10    write code of the cell balances of layer 1: summed over the run (at the fixed heads the water that leaves)
gw_heads2.asc
1     write code of the heads of layer 2
gw_flowx2.asc
0
gw_flowy2.asc
0
gw_balance2.asc
10    write code of the cell balances of layer 2: summed over the run (at the fixed heads the water that leaves)

[routing_model]
1     on
$time time step in minutes
1 10000 40 4  qmin and qmax [l/s/km2] and intervals of the waterlevel-discharge tables, sub-intervals of a step
Qstat.txt 2001  name of the Qstatfiles for the routed discharge, statistic code (all sub-basins, every step)
none  name of spec.discharge files with observed discharge (none: no comparison)
0     number column descriptors (gauges)
0     Zeitoffset fuer Beginn der R-square-Berechnung (steps)
TG 2 (AE=0.74 km2, scale=1.0)
 OL 1 (kh=1.0, kv=2.0, Bm=2.0, Bv=10.0, Tm=0.5, Mm=25, Mv=15, I=0.01, L=500, AE=0.37)
 ZL 1 = constant 0.02 (kh=1.0, kv=2.0, Bm=2.0, Bv=10.0, Tm=0.5, Mm=25, Mv=15, I=0.01, L=300, AE=0.37)
 AL 1 = extern abstraction_1.txt 0.005 0.3 0.01 m3/s
 SP 2 file = reservoir_2.txt V0 = 20000 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60
end of the routing description: sub-basin 1 flows into sub-basin 2, which receives a constant inflow of
0.02 m3/s from outside the basin; from its outlet, a reservoir, 30 % of the flow above 0.005 m3/s is
abstracted (at most 0.01 m3/s) and leaves the basin

[abstraction_rule_reservoir_2]
2     rows of the release table, one column for the whole year
0       0
100000  1     volume [m3] and release [m3/s]: a linear reservoir of 100000 s

[special_output]
1     on
$time time step in minutes (the points are written at every model step)
numfiles=2;
{
header=surface;
filename=points_surface.txt;
entity { ID=albedo; Symbol=alb; Xcoords=3500250,3500850; Ycoords=5300450,5300150; }
entity { ID=slope_angle; Symbol=slope; Xcoords=3500250,3500650; Ycoords=5300450,5300750; }
entity { ID=soil_types; Symbol=st; Xcoords=3500250; Ycoords=5300450; }
}
{
header=soil;
filename=points_soil.txt;
entity { ID=theta; Symbol=th; Xcoords=3500250,3500650,3500950; Ycoords=5300450,5300750,5300050; Level=1,2,1; }
entity { ID=baseflow; Symbol=qb; Xcoords=3500250,3500650,3500950; Ycoords=5300450,5300750,5300050; }
entity { ID=interflow; Symbol=qi; Xcoords=3500250; Ycoords=5300450; }
}

[temperature]
11   interpolation method: inverse distances and elevation regression
temperature.txt   station data file
1000 2000 100 0 50   lower and upper inversion height (m), tolerance, overlap, cluster range (m)
temperature.asc   result grid
80   write code of the result grid
1   scaling factor
temperature_stat.txt 2024   statistics file and code
9999   nodata value: station values beyond +-9999 are missing
2.0   weight of the inverse distances
0.5   share of inverse distance weighting in methods 3 and 11
30000   search radius (m)
0   slope of the anisotropy axis (degrees)
1   anisotropy ratio
-60   lower limit
-60   lower replacement
50   upper limit
50   upper replacement
0   SzenUse: no scenario

[precipitation]
1   interpolation method: inverse distances
precipitation.txt   station data file
none   no regression file
precipitation.asc   result grid
40   write code of the result grid
1   scaling factor
precipitation_stat.txt 4024   statistics file and code
9999   nodata value: station values beyond +-9999 are missing
2.0   weight of the inverse distances
0.5   share of inverse distance weighting in methods 3 and 11
30000   search radius (m)
0   slope of the anisotropy axis (degrees)
1   anisotropy ratio
0.05   lower limit: drizzle below 0.05 mm counts as dry
0   lower replacement
200   upper limit
200   upper replacement
0   SzenUse: no scenario

[air_humidity]
4   interpolation method: nearest station (Thiessen polygons)
air_humidity.txt   station data file
none   no regression file
air_humidity.asc   result grid
80   write code of the result grid
1   scaling factor
air_humidity_stat.txt 0   statistics file and code
9999   nodata value: station values beyond +-9999 are missing
2.0   weight of the inverse distances
0.5   share of inverse distance weighting in methods 3 and 11
30000   search radius (m)
0   slope of the anisotropy axis (degrees)
1   anisotropy ratio
0.01   lower limit
0.01   lower replacement
1   upper limit
1   upper replacement
0   SzenUse: no scenario

[wind_speed]
1   interpolation method: inverse distances
wind_speed.txt   station data file
none   no regression file
wind_speed.asc   result grid
80   write code of the result grid
1   scaling factor
wind_speed_stat.txt 0   statistics file and code
9999   nodata value: station values beyond +-9999 are missing
2.0   weight of the inverse distances
0.5   share of inverse distance weighting in methods 3 and 11
30000   search radius (m)
0   slope of the anisotropy axis (degrees)
1   anisotropy ratio
0   lower limit
0   lower replacement
60   upper limit
60   upper replacement
0   SzenUse: no scenario

[global_radiation]
1   interpolation method: inverse distances
global_radiation.txt   station data file
none   no regression file
global_radiation.asc   result grid
40   write code of the result grid
1   scaling factor
global_radiation_stat.txt 0   statistics file and code
9999   nodata value: station values beyond +-9999 are missing
2.0   weight of the inverse distances
0.5   share of inverse distance weighting in methods 3 and 11
30000   search radius (m)
0   slope of the anisotropy axis (degrees)
1   anisotropy ratio
0   lower limit
0   lower replacement
1400   upper limit
1400   upper replacement
0   SzenUse: no scenario
