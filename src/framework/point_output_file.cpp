#include "framework/point_output_file.h"

#include <mpi.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"
#include "framework/point_output_text.h"
#include "framework/signals.h"

namespace tolvo {
namespace {

// Memory budget of one file's row buffer.
constexpr std::size_t kBufferBytes = 2097152;
// What a process puts where it does not compute the point's cell.
constexpr double kNotMine = std::numeric_limits<double>::lowest();

// Grids whose values are fluxes of a soil sub-step: with several sub-steps a point shows
// their sum over the step instead of the value after the step.
constexpr std::array<std::string_view, 22> kSummedGrids = {"baseflow",
                                                           "irrigation_amounts",
                                                           "macropore_infiltration",
                                                           "groundwater_recharge",
                                                           "Capillar_Uprise",
                                                           "Percolation",
                                                           "DirectRunoffSiltingUp",
                                                           "directflow",
                                                           "interflow",
                                                           "infiltration_excess",
                                                           "total_infiltration",
                                                           "drainage_flow",
                                                           "river_infiltration",
                                                           "river_exfiltration",
                                                           "q_down",
                                                           "SurfaceRoutingFluxes",
                                                           "SurfaceRoutingHead",
                                                           "SurfaceRoutingQIn",
                                                           "SurfaceRoutingQOut",
                                                           "gw_flow_x_",
                                                           "gw_flow_y_",
                                                           "gw_leakage_"};

[[noreturn]] void SectionError(modelobject& owner, std::string_view what) {
  owner.log() << "FATAL: Error in section [special_output]: " << std::string(what) << "[end-entry]";
  RaiseError(kPointOutputError);
}

// A required text or integer item of the section.
template <typename T>
void RequireItem(modelobject& owner, std::string_view text, std::string_view key, T& value, std::string_view where) {
  switch (GetKeyValue(text, key, value)) {
    case KeyStatus::kFound: return;
    case KeyStatus::kAbsent: SectionError(owner, "item " + std::string(key) + "=...; missing " + std::string(where));
    case KeyStatus::kNotANumber:
      SectionError(owner, "item " + std::string(key) + " is no whole number " + std::string(where));
  }
}

template <typename T>
void ReadList(modelobject& owner, std::string_view text, std::string_view key, std::vector<T>& values,
              std::string_view where) {
  if (GetKeyValue(text, key, values) == KeyStatus::kNotANumber) {
    SectionError(owner, "item " + std::string(key) + " holds a value that is no number " + std::string(where));
  }
}

}  // namespace

SpecialOutputEntity::SpecialOutputEntity(std::string_view text, modelobject& owner, ConstGridView regions,
                                         int sub_steps) {
  const std::string where = "in an entity group";
  RequireItem(owner, text, "ID", identifier_, where);
  const std::string of_entity = "for entity " + identifier_;
  RequireItem(owner, text, "Symbol", symbol_, of_entity);
  ReadList(owner, text, "Xcoords", x_, of_entity);
  ReadList(owner, text, "Ycoords", y_, of_entity);
  ReadList(owner, text, "Level", levels_, of_entity);

  DiagnosticsLog& log = owner.log();
  if (y_.size() != x_.size()) {
    log << "FATAL: Error in section [special_output]: count of X coordinates dos not match the number of Y "
           "coordinates for entity "
        << identifier_ << "[end-entry]";
    RaiseError(kPointCountMismatch);
  }
  if (!levels_.empty() && levels_.size() != x_.size()) {
    log << "FATAL: Error in section [special_output]: number of levels dos not match the number of X and Y "
           "coordinates for entity "
        << identifier_ << ". EIther each point has a level or none has."
        << "[end-entry]";
    RaiseError(kPointLevelsOrFileError);
  }
  // A point on the border between two columns belongs to the left one, a point on the
  // border between two rows to the upper one. The range is checked before the conversion
  // to int, so that no coordinate, however far off, overflows it.
  const GridGeometry& grid = owner.geometry();
  const auto outside = [&](const char* axis, double value, std::size_t i) {
    log << "FATAL: Error in section [special_output]: " << axis << "-coordinate " << value << ", defined as point "
        << static_cast<long long>(i) << " for entity " << identifier_ << ", is located outside the actual grid."
        << "[end-entry]";
    RaiseError(kPointOutsideGrid);
  };
  for (std::size_t i = 0; i < x_.size(); ++i) {
    const double column = std::ceil((x_[i] - grid.xllcorner) / grid.cellsize);
    if (!(column >= 1 && column <= grid.ncols)) outside("x", x_[i], i);
    columns_.push_back(static_cast<int>(column));
  }
  for (std::size_t i = 0; i < y_.size(); ++i) {
    const double row = grid.nrows - std::floor((y_[i] - grid.yllcorner) / grid.cellsize);
    if (!(row >= 1 && row <= grid.nrows)) outside("y", y_[i], i);
    rows_.push_back(static_cast<int>(row));
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const int r = rows_[i];
    bool mine = false;
    if (!regions.empty() && regions.rows().contains(r)) {
      const double region = regions(r, columns_[i]);
      mine =
          std::isfinite(region) && region >= INT_MIN && region <= INT_MAX && static_cast<int>(region) == owner.rank();
    }
    owned_.push_back(mine ? 1 : 0);
  }
  // The search runs past stacks without a grid of values (the soil model registers such
  // stacks before many of its grids), so that every registered grid and stack is found.
  grid_index_ = owner.FindGrid(identifier_, true);
  if (sub_steps > 1) {
    summed_ = std::any_of(kSummedGrids.begin(), kSummedGrids.end(),
                          [&](std::string_view name) { return identifier_.find(name) != std::string::npos; });
  }
}

std::size_t SpecialOutputFile::Capacity(std::size_t values_per_row) {
  return std::max<std::size_t>(1, kBufferBytes / (8 * (values_per_row + 1) + 32));
}

SpecialOutputFile::SpecialOutputFile(std::string_view block, modelobject& owner, ConstGridView regions, int sub_steps)
    : owner_(&owner) {
  RequireItem(owner, block, "header", header_, "in a file block");
  RequireItem(owner, block, "filename", file_name_, "in a file block");
  if (!file_name_.starts_with('/') && !file_name_.starts_with('~')) file_name_ = owner.output_directory() + file_name_;

  // Each entity group is the text between the "{" that follows the word "entity" and the
  // next "}" (included), so that the items of the file block stay outside it.
  for (std::size_t at = FindEntityWord(block, 0); at != std::string_view::npos; at = FindEntityWord(block, at)) {
    std::size_t open = at + 6;
    while (open < block.size() &&
           (block[open] == ' ' || block[open] == '\t' || block[open] == '\r' || block[open] == '\n')) {
      ++open;
    }
    if (open >= block.size() || block[open] != '{') {
      SectionError(owner, "the word entity is not followed by \"{\" in the block of file " + file_name_);
    }
    const std::size_t close = block.find('}', open);
    const std::size_t end = close == std::string_view::npos ? block.size() : close + 1;
    entities_.emplace_back(block.substr(open + 1, end - open - 1), owner, regions, sub_steps);
    at = end;
  }
  for (const SpecialOutputEntity& entity : entities_) values_per_row_ += static_cast<std::size_t>(entity.point_count());
  capacity_ = Capacity(values_per_row_);
  dates_.resize(capacity_ + 1);
  values_.resize((capacity_ + 1) * (values_per_row_ + 1));
  if (owner.rank() == 0) WriteHeadLines();
}

void SpecialOutputFile::WriteHeadLines() {
  IgnoreCtrlC();
  std::FILE* file = std::fopen(file_name_.c_str(), "w");
  if (file == nullptr) {
    owner_->log() << "FATAL: error opening file for special output of file\n"
                  << file_name_ << "\n-> check file name, disk space or user rights"
                  << "[end-entry]";
    ArmCtrlCHandler();
    RaiseError(kPointLevelsOrFileError);
  }
  std::fputs("YY\tMM\tDD\tHH", file);
  for (const SpecialOutputEntity& e : entities_) {
    for (int i = 0; i < e.point_count(); ++i) {
      std::fprintf(file, "\t%s/%d/%d", e.symbol().c_str(), e.column(i), e.row(i));
      if (e.has_levels()) std::fprintf(file, "/%d", e.level(i));
    }
  }
  std::fprintf(file, "\n%s\nYY\tMM\tDD\tHH", header_.c_str());
  for (const SpecialOutputEntity& e : entities_) {
    for (int i = 0; i < e.point_count(); ++i) {
      std::fprintf(file, "\t%s/%lg/%lg", e.symbol().c_str(), e.x(i), e.y(i));
      if (e.has_levels()) std::fprintf(file, "/%d", e.level(i));
    }
  }
  std::fputs("\n", file);
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) {
    ArmCtrlCHandler();
    owner_->WriteError(file_name_, 1);
  }
  ArmCtrlCHandler();
}

std::optional<double> SpecialOutputFile::Sample(const SpecialOutputEntity& e, int i) const {
  if (!e.owned(i) || e.grid_index() == 0) return std::nullopt;
  const grid_entry& grid = (*owner_->grids())[e.grid_index()];
  const int r = e.row(i);
  const int c = e.column(i);
  if (!owner_->strip().contains(r) || c < 1 || c > owner_->geometry().ncols) return std::nullopt;
  if (!grid.stack.empty() && e.has_levels()) {
    // Stack levels are numbered from 1; a level outside them has no value.
    const int l = e.level(i);
    if (l < 1 || l > grid.levels || l > grid.stack.level_count() || !grid.stack.rows().contains(r) ||
        c > grid.stack.last_col()) {
      return std::nullopt;
    }
    return e.factor() * grid.stack(r, c, l);
  }
  if (!grid.values.rows().contains(r) || c > grid.values.ncols()) return std::nullopt;
  return e.factor() * grid.values(r, c);
}

void SpecialOutputFile::ScaleGrid(std::string_view identifier, double factor) {
  for (SpecialOutputEntity& e : entities_) {
    if (e.identifier() == identifier) e.set_factor(factor);
  }
}

void SpecialOutputFile::Collect(const ModelDate& date, int in_substep, int substep) {
  if (new_row_) {
    ++rows_held_;
    dates_[rows_held_] = date;
    new_row_ = false;
  }
  double* row = values_.data() + rows_held_ * (values_per_row_ + 1);
  std::size_t p = 1;
  for (const SpecialOutputEntity& e : entities_) {
    // Summed entities take the values of the sub-steps, the others the value after the step.
    const bool takes = e.summed() ? in_substep == 1 : in_substep == 0;
    for (int i = 0; i < e.point_count(); ++i, ++p) {
      if (!takes) continue;
      const std::optional<double> v = Sample(e, i);
      if (!v) {
        row[p] = e.owned(i) ? kNodata : kNotMine;
      } else if (e.summed() && substep > 1) {
        row[p] += *v;
      } else {
        row[p] = *v;
      }
    }
  }
  if (substep == 0) {
    if (rows_held_ >= capacity_) Flush();
    new_row_ = true;
  }
}

void SpecialOutputFile::Flush() {
  IgnoreCtrlC();
  const bool root = owner_->rank() == 0;
  FilePtr file;
  if (root) {
    owner_->log() << "write " << file_name_ << "[end-entry]";
    file.reset(std::fopen(file_name_.c_str(), "a+"));
    if (file == nullptr) {
      owner_->log() << "FATAL: \nerror opening file " << file_name_ << "[end-entry]";
      ArmCtrlCHandler();
      RaiseError(kPointFileAppendError);
    }
  }
  // Rows 1..rows held lie together in the buffer: one reduction carries them all.
  const std::size_t stride = values_per_row_ + 1;
  double* first = values_.data() + stride;
  std::size_t remaining = rows_held_ * stride;
  for (double* chunk = first; remaining > 0;) {
    const int count = static_cast<int>(std::min<std::size_t>(remaining, INT_MAX));
    MPI_Reduce(root ? MPI_IN_PLACE : chunk, root ? chunk : nullptr, count, MPI_DOUBLE, MPI_MAX, 0, MPI_COMM_WORLD);
    chunk += count;
    remaining -= static_cast<std::size_t>(count);
  }
  if (root) {
    for (std::size_t k = 1; k <= rows_held_; ++k) {
      const ModelDate& d = dates_[k];
      std::fprintf(file.get(), "%ld\t%ld\t%ld\t%ld", static_cast<long>(d.year), static_cast<long>(d.month),
                   static_cast<long>(d.day), static_cast<long>(d.hour));
      const double* row = values_.data() + k * stride;
      // A position no process computes (or whose value is no number) is nodata.
      for (std::size_t p = 1; p <= values_per_row_; ++p)
        std::fprintf(file.get(), "\t%g", row[p] > kNotMine ? row[p] : kNodata);
      std::fputc('\n', file.get());
    }
    const bool failed = std::ferror(file.get()) != 0;
    if (std::fclose(file.release()) != 0 || failed) {
      ArmCtrlCHandler();
      owner_->WriteError(file_name_, 2);
    }
    owner_->log() << "(" << static_cast<long>((values_per_row_ + 4) * rows_held_ * 8) << " of "
                  << static_cast<long>(kBufferBytes) << " buffer-bytes)"
                  << "[end-entry]";
  }
  rows_held_ = 0;
  ArmCtrlCHandler();
}

}  // namespace tolvo
