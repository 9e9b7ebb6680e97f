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
0 number of meteorological inputs

[meteo_names]

[model_time]
1     start hour
1     start day
1     start month
2020  start year
24    end hour
31    end day
1     end month
2020  end year

[soil_surface_groundwater_substeps]
2 sub-steps

[zone_grid]
zones.asc

[elevation_model]
dem.asc

[standard_grids]
7 number of standard grids
landuse.asc landuse 0
soils.asc soil_types 0
albedo.asc albedo 0 readcode = 0 defaultValue = 0.2
zonegrid_soilmodel.asc zonegrid_soilmodel 0 readcode = 0 defaultValue = 1
zones.asc HydrologicResponseUnits 0  # the sub-basins as response units of a spin-up
precipitation.asc precipitation 0 readcode = 0 defaultValue = 60  # mm per step: the water input of the silting-up model
SurfStorSiltingUp.asc SurfStorSiltingUp 0 readcode = 0 defaultValue = 0

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
0     irrigation off
$time time step in minutes

[RegionalSuperposition]
0     off
$time time step in minutes

[precipitation_correction]
0     off
$time time step in minutes

[radiation_correction]
1     on
$time time step in minutes

[evapotranspiration]
1     on
$time time step in minutes

[snow_model]
1     on
$time time step in minutes

[interception_model]
1     on
$time time step in minutes
1     interception method

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

[unsatzon_model]
1     on
$time time step in minutes
1     method
2     river links: keep every link on one process

[SurfaceRoutingModel]
0     off
$time time step in minutes

[groundwater_flow]
0     off
$time time step in minutes

[routing_model]
1     on
$time time step in minutes

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
