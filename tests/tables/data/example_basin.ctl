# A small basin of three soil types, two land uses stacked in two multilayer types and
# two irrigation types; its code grids are given in the tests.
[multilayer_landuse]
2 multilayer types
7 forest { Landuse_Layers = 11, 3; k_extinct = 0.5; }
8 meadow { Landuse_Layers = 3, -9999; }
[landuse_table]
2 land uses
11 forest 0.2 70 70 70 70 70 70 70 70 70 70 70 70 1 100 250 366 1 3 3 1 0.01 0.05 0.05 0.01 0.5 0.9 0.9 0.5 0.2 0.4 0.4 0.2 0.5 3.45
3 grass 0.2 70 70 70 70 70 70 70 70 70 70 70 70 1 100 250 366 1 3 3 1 0.01 0.05 0.05 0.01 0.5 0.9 0.9 0.5 0.2 0.4 0.4 0.2 0.5 3.45
[soil_table]
3 soil types
10 clay 20 30 1e-6 250 1 0.38 0.068 0.8 1.09 3 0.2 500 1
20 loam { method = MultipleHorizons; layers = 1 2;
          ksat = 1e-5 2e-6; theta_sat = 0.43; theta_res = 0.078;
          alpha = 3.6; Par_n = 1.56; thickness = 0.1 0.3; }
30 sand { method = MultipleHorizons; layers = 3; ksat = 8e-5; theta_sat = 0.43; theta_res = 0.045; alpha = 14.5; Par_n = 2.68; thickness = 0.1; }
[irrigation]
1 irrigation on
[irrigation_table]
2 irrigation types
2 beet 3 1 80 30
1 potato 2 1 80 30 starting from 04 15 with 10 mm to 06 30 with 30 mm every 5 day
