#include "routing/wq_table_file.h"

#include <cmath>
#include <cstdio>

#include "framework/file_handle.h"

namespace tolvo {

double WrittenRetentionConstant(double factor) {
  if (factor <= 0) return -9999;
  if (factor == 1) return 0;
  return -1 / std::log(factor);
}

bool WriteWQTableFile(const std::string& path, const std::string& title, const Channel& channel, int n_sub_intervals) {
  FilePtr file(std::fopen(path.c_str(), "wt"));
  if (!file) return false;
  std::FILE* f = file.get();
  const ChannelParameters& p = channel.parameters;
  const WQTable& table = channel.table;
  std::fprintf(f, "%s\n", title.c_str());
  std::fprintf(f, "input parameters from the control file:\n");
  std::fprintf(f, "------------------------------------------\n");
  std::fprintf(f, "storage constant mean channel [h] : %7.2f\n", WrittenRetentionConstant(p.kh_h));
  std::fprintf(f, "storage constant flood plain [h]  : %7.2f\n", WrittenRetentionConstant(p.kv_h));
  std::fprintf(f, "width of the mean channel [m]     : %7.2f\n", p.bm_m);
  std::fprintf(f, "width of flood plains  [m]        : %7.2f\n", p.bf_m);
  std::fprintf(f, "depth of mean channel  [m]        : %7.2f\n", p.d_m);
  std::fprintf(f, "Manning-coef. mean chan[m^(1/3)/s]: %7.2f\n", p.mm_m13s);
  std::fprintf(f, "Manning-ceof. flood pl.[m^(1/3)/s]: %7.2f\n", p.mf_m13s);
  std::fprintf(f, "slope angle            [1/1]      : %7.4f\n", p.sqrt_slope * p.sqrt_slope);
  std::fprintf(f, "channel length         [m]        : %7.1f\n", p.length_m);
  std::fprintf(f, "catchment area         [km^2]     : %7.2f\n", p.catchment_km2);
  std::fprintf(f, "min. spec. discharge   [l/s/km^2] : %7.1f\n", channel.range.qmin);
  std::fprintf(f, "max. spec. discharge   [l/s/km^2] : %7.1f\n", channel.range.qmax);
  std::fprintf(f, "intervals for w-q-table[-]        : %7.0f\n", channel.range.intervals + 1);
  std::fprintf(f, "sub-intervals (time)   [-]        : %7d  \n", n_sub_intervals);
  std::fprintf(f, "number of sub-channels            : %7.0f\n", static_cast<double>(table.reach_count));
  std::fprintf(f, "total number of storage elements  : %7d  \n", n_sub_intervals + table.cascade_length);
  const std::string dashes(79, '-');
  std::fprintf(f, "%s\n", dashes.c_str());
  std::fprintf(f, "  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n");
  std::fprintf(f, "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n");
  std::fprintf(f, "%s\n", dashes.c_str());
  const int n_rows = static_cast<int>(table.q.size()) - 1;
  for (int r = 1; r <= n_rows; ++r) {
    std::fprintf(f, "%3d  %5.3f %6.1f %7.2f  %5.2f %5.2f %5.2f  %5.2f  %5.2f  %5.2f  %3d   %5.3f\n", r, table.q_step[r],
                 table.q[r], table.Q[r], table.dm[r], table.df[r], table.v[r], table.vm[r], table.vf[r], table.t[r],
                 table.element_count[r], 1 - table.flood_plain_share[r]);
  }
  return true;
}

}  // namespace tolvo
