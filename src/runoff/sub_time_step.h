#pragma once
// The adaptive sub time step of surface routing. A soil sub-step of T seconds is cut into
// sub time steps no longer than the Courant limit cellsize / velocity of the fastest cell,
// each an integer fraction of T and kept between the shortest and longest sub time step
// of the section, which are themselves integer fractions of T.

namespace tolvo {

// T / k with k = (int)(T / bound) when k >= 1, else T: the integer fraction of T nearest
// to the bound from above or below.
double IntegerFractionOf(double t, double bound);

// The sub time step [s] for a Courant limit [s]: T / (int(T / courant) + 1), the shortest
// sub time step when T / courant does not fit an int, then raised to the shortest and
// lowered to the longest.
double CourantSubTimeStep(double t, double courant, double dt_min, double dt_max);

// After a first sub-step of `first` seconds, the length of the fewest equal sub-steps no
// longer than `bound` that cover the rest of T; `bound` when nothing is left.
double RemainingSubTimeStep(double t, double first, double bound);

// int(T / sub time step) + 1.
int SubStepCount(double t, double sub_time_step);

// The next sub-step at which flow-path weights that stopped changing are computed anew:
// about once per longest sub time step.
int NextRefreshIndex(int refresh, int n_sub_steps, double t, double dt_max);

}  // namespace tolvo
