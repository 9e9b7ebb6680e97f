#pragma once
// One file of the special point output and its entities.
//
// An entity is one grid of the grid table (found by its identifier), a label and a list of
// points given by map coordinates, optionally with one stack level per point. A file holds
// the entities of one block of "[special_output]" and writes one tab-separated row per
// model step: the date and the value of every point, in entity order and within an entity
// in point order. Rows are kept in a buffer of 2 MiB and appended to the file when it is
// full and at the end of the run.
//
// Every process keeps every file and every point and samples at the same calls; a process
// puts the lowest double where it does not compute the point's cell, so that the maximum
// over the processes, taken on process 0 when the rows are written, is the value of the
// process that computes the cell. A point no process computes is written as -9999.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/date.h"
#include "framework/matrix.h"

namespace tolvo {

class modelobject;

class SpecialOutputEntity {
 public:
  // Reads the items of one entity group ("ID", "Symbol", "Xcoords", "Ycoords" and the
  // optional "Level") and locates its points on the model grid of `owner`. Fails with
  // 1006, 1007 or 1008 (points that do not fit the grid) and 104 (missing or unreadable
  // items), each after its FATAL entry.
  SpecialOutputEntity(std::string_view text, modelobject& owner, ConstGridView regions, int sub_steps);

  int point_count() const { return static_cast<int>(columns_.size()); }
  const std::string& identifier() const { return identifier_; }
  const std::string& symbol() const { return symbol_; }
  bool summed() const { return summed_; }
  // What the points show per unit of the grid's value (1 unless set).
  double factor() const { return factor_; }
  void set_factor(double factor) { factor_ = factor; }
  bool has_levels() const { return !levels_.empty(); }
  int grid_index() const { return grid_index_; }
  // The cell of point i (1-based, row 1 at the top), its coordinates and level.
  int column(int i) const { return columns_[static_cast<std::size_t>(i)]; }
  int row(int i) const { return rows_[static_cast<std::size_t>(i)]; }
  double x(int i) const { return x_[static_cast<std::size_t>(i)]; }
  double y(int i) const { return y_[static_cast<std::size_t>(i)]; }
  int level(int i) const { return levels_[static_cast<std::size_t>(i)]; }
  // Whether this process computes the cell of point i.
  bool owned(int i) const { return owned_[static_cast<std::size_t>(i)] != 0; }

 private:
  [[noreturn]] void Fail(modelobject& owner, std::string_view what);

  std::string identifier_;
  std::string symbol_;
  std::vector<double> x_;
  std::vector<double> y_;
  std::vector<int> levels_;
  std::vector<int> columns_;
  std::vector<int> rows_;
  std::vector<char> owned_;
  int grid_index_ = 0;
  bool summed_ = false;
  double factor_ = 1;
};

class SpecialOutputFile {
 public:
  // Rows of the buffer: floor(2 MiB / (8 (n + 1) + 32)) for n values per row, at least 1.
  static std::size_t Capacity(std::size_t values_per_row);

  // Reads a file block (its header, file name and entity groups), sets up the row buffer
  // and, on process 0, creates the file with its three head lines (1007 when it cannot).
  SpecialOutputFile(std::string_view block, modelobject& owner, ConstGridView regions, int sub_steps);

  // Samples the points: inside the sub-step loop (in_substep 1, sub-step k from 1) the
  // entities summed over the sub-steps, at the end of the step (0, 0) the others; the
  // end-of-step call closes the row and writes the buffer when it is full.
  void Collect(const ModelDate& date, int in_substep, int substep);
  // Collective: appends the rows held to the file (process 0) and empties the buffer.
  void Flush();
  // The points of the entities on the grid `identifier` show `factor` times its values.
  void ScaleGrid(std::string_view identifier, double factor);

  std::size_t rows_held() const { return rows_held_; }
  std::size_t capacity() const { return capacity_; }
  const std::string& file_name() const { return file_name_; }

 private:
  // The value of point i as this process sees it now; nothing where it has none (a cell it
  // does not compute, a missing grid, a level or cell outside the grid's values).
  std::optional<double> Sample(const SpecialOutputEntity& entity, int i) const;
  void WriteHeadLines();

  modelobject* owner_;
  std::string header_;
  std::string file_name_;
  std::vector<SpecialOutputEntity> entities_;
  std::size_t values_per_row_ = 0;
  std::size_t capacity_ = 1;
  std::size_t rows_held_ = 0;
  // Row records 1..capacity: the dates, and n + 1 values per row (position 0 unused).
  std::vector<ModelDate> dates_;
  std::vector<double> values_;
  bool new_row_ = true;
};

}  // namespace tolvo
