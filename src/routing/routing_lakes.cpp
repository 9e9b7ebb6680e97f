// The discharge routing's side of the lake model: its values of "[lake_model]", the lake
// grids, the lake cells of every process, and the exchange that brings the lake cells'
// values to process 0 before the routing and their ponding back to the owners after it.
#include <mpi.h>

#include <string>

#include "framework/grid_distribution.h"
#include "framework/grid_table.h"
#include "routing/abflussmodellklasse.h"

namespace tolvo {

void abflussmodellklasse::ReadLakeModel(const std::string& section) {
  if (FindGrid("lake_codes", true) == 0) {
    log() << "INFO: no LAKE-grid was found in " << name() << "\n"
          << "Lake modelling is switched off for " << name() << ".\n"
          << "[end-entry]";
    return;
  }
  FindSection(section, true);
  ReadItem(lake_flow_control_, "flow control parameter for ");
  // Hydrologic response units have no lake cells.
  if (settings().spin_up != 0) {
    lake_flow_control_ = 0;
    readgrids_ = 0;
  }
  if (lake_flow_control_ == 0) {
    readgrids_ = 0;
    return;
  }
  for (int i = 0; i < 3; ++i) control_file().SkipLine();
  ReadItem(readgrids_, "readgrids for ");
}

void abflussmodellklasse::LinkLakeGrids(bool interception_first) {
  interception_first_ = interception_first;
  const bool routing_requested = rank() == 0 || SwitchAsRead != 0;
  if (!routing_requested) return;
  if (rank() != 0) {
    OpenControlFile(settings().compiled_control_file);
    ReadLakeModel("[lake_model]");
    CloseControlFile();
  }
  if (lake_flow_control_ == 0) return;
  lakeCellsPerMPIRank.assign(static_cast<std::size_t>(process_count()), 0);
  if (FindGrid("lake_codes", true) == 0) return;

  lake_codes_index_ = RequireGrid("lake_codes");
  // A soil model with a layered surface store keeps the lake water in its top layer.
  ponding_index_ = FindGrid("ponding_storage", true);
  if (ponding_index_ == 0) ponding_index_ = RequireGrid("ponding_storage_top");
  transpiration_index_ = RequireGrid("real_transpiration0");
  q_downext_index_ = FindGrid("q_downext", true);
  baseflow_index_ = FindGrid("baseflow", true);
  water_input_index_ = interception_first ? RequireOneOf3Grids("snowcover_outflow", "throughfall0", "precipitation")
                                          : RequireOneOf3Grids("throughfall0", "snowcover_outflow", "precipitation");
  tracer_storage_indices_.assign(static_cast<std::size_t>(n_tracers_) + 1, 0);
  for (int k = 1; k <= n_tracers_; ++k) {
    tracer_storage_indices_[static_cast<std::size_t>(k)] =
        RequireGrid("concstor_tracer_" + std::to_string(k) + "_unsatzon_model");
  }

  // The lake cells this process computes, walked as the exchange walks them.
  const grid_table& table = *grids();
  const ConstGridView lake_codes = table[lake_codes_index_].values;
  const DomainLayout* layout = domain_layout();
  const double nodata = geometry().nodata_value;
  const RowRange rows = layout != nullptr ? layout->own_rows : strip();
  long long own = 0;
  for (int r = rows.first; r <= rows.last; ++r) {
    ColumnRange range{1, geometry().ncols};
    if (layout != nullptr && static_cast<std::size_t>(r) < layout->column_ranges.size()) {
      range = layout->column_ranges[static_cast<std::size_t>(r)];
    }
    for (int c = std::max(range.first, 1); c <= std::min(range.last, geometry().ncols); ++c) {
      const bool mine = layout == nullptr || layout->regions.empty() || static_cast<int>(layout->regions(r, c)) == rank();
      if (mine && lake_codes(r, c) > nodata) ++own;
    }
  }
  lakeCellsPerMPIRank[static_cast<std::size_t>(rank())] = own;
  if (process_count() > 1) {
    std::vector<long long> total(lakeCellsPerMPIRank.size(), 0);
    MPI_Reduce(lakeCellsPerMPIRank.data(), total.data(), process_count(), MPI_LONG_LONG, MPI_SUM, 0,
               MPI_COMM_WORLD);
    lakeCellsPerMPIRank = total;
    MPI_Bcast(lakeCellsPerMPIRank.data(), process_count(), MPI_LONG_LONG, 0, MPI_COMM_WORLD);
  }
  for (int i = 0; i < process_count(); ++i) {
    log() << "DEBUG: lakeCellsPerMPIRank[" << i << "] " << lakeCellsPerMPIRank[static_cast<std::size_t>(i)]
          << "[end-entry]";
  }
  lake_grids_bound_ = true;
  ScatterLakePonding();
}

void abflussmodellklasse::GatherLakeCells() {
  grid_table& table = *grids();
  const ConstGridView mask = table[lake_codes_index_].values;
  const auto gather = [&](int index, GridView target = {}) {
    GatherMaskedCells(context(), table[index].values, mask, lakeCellsPerMPIRank, target);
  };
  gather(ponding_index_);
  gather(transpiration_index_);
  if (q_downext_index_ > 0) gather(q_downext_index_);
  if (baseflow_index_ > 0) gather(baseflow_index_);
  // Process 0 keeps the water input of every lake cell apart, in "PrecOnLakes".
  const ConstGridView input = table[water_input_index_].values;
  GridView lakes;
  if (rank() == 0 && prec_on_lakes_index_ > 0) {
    lakes = prec_on_lakes_.view();
    const double nodata = geometry().nodata_value;
    for (int r = 1; r <= geometry().nrows; ++r) {
      for (int c = 1; c <= geometry().ncols; ++c) {
        if (mask(r, c) > nodata) lakes(r, c) = input(r, c);
      }
    }
  }
  gather(water_input_index_, lakes);
  for (int k = 1; k <= n_tracers_; ++k) gather(tracer_storage_indices_[static_cast<std::size_t>(k)]);
}

void abflussmodellklasse::ScatterLakePonding() {
  grid_table& table = *grids();
  ScatterMaskedCells(context(), table[ponding_index_].values, table[lake_codes_index_].values, lakeCellsPerMPIRank);
}

}  // namespace tolvo
