#pragma once
// Base of every object that takes part in a run: every sub-model, interpolator and the
// control-file reader. It carries what they share: the grid geometry and the process's
// strip of rows, the MPI rank and process count, the dates, the input and output
// directories and the output-format switches, and the positional reading of the control
// file with its uniform error entries, the generic raisers, the model log and a running
// statistic.

#include <string>
#include <string_view>
#include <vector>

#include "framework/control_file_stream.h"
#include "framework/date.h"
#include "framework/gif_grid.h"
#include "framework/grid_file_format.h"
#include "framework/memory_handling.h"
#include "framework/netcdf_grid.h"  // grid and stack files
#include "framework/run_context.h"
#include "framework/running_statistic.h"

namespace tolvo {

struct ModelSettings;

// Which output forms grids are written in.
struct OutputFormats {
  bool ascii = false;      // "WriteAsciiGrids"
  bool doubles = false;    // "WriteDoubleGrids": 64-bit binary
  bool netcdf = false;     // "WriteNetcdfGrids"
};

// Longest control-file line or file name.
inline constexpr std::size_t kMaxLineLength = 1200;

class modelobject : public memory_handling {
 public:
  modelobject(DiagnosticsLog& log, std::string control_file_name, OutputFormats formats = {},
              std::string input_directory = {}, std::string output_directory = {});

  // --- control file ------------------------------------------------------------------
  // Opens the named control file for the reading operations; false when it cannot be opened.
  bool OpenControlFile(const std::string& path);
  void CloseControlFile() { control_file_ = ControlFileStream(); }
  ControlFileStream& control_file() { return control_file_; }
  const std::string& control_file_name() const { return control_file_name_; }
  void set_control_file_name(std::string name) { control_file_name_ = std::move(name); }

  // Finds the line whose first token is `section` (brackets included), searching from the
  // start of the file; the stream is left at the next line. 1 when found. At the end of
  // the file: with fatal_at_end the item error "(EOF)" (17), else 0.
  int FindSection(std::string_view section, bool fatal_at_end);
  // Reads the first token of the next non-blank line as a value and drops the rest of the
  // line. A value that does not scan logs the "Next line" entries and fails with 17.
  int ReadItem(int& target, std::string_view description);
  // As ReadItem, but the rest of the line is left for the next read.
  int ReadItemKeepLine(int& target, std::string_view description);
  int ReadItem(long long& target, std::string_view description);
  int ReadItem(double& target, std::string_view description);
  // A text value of at most max_length characters; a longer one fails with 17.
  int ReadItem(std::string& target, std::string_view description, std::size_t max_length = kMaxLineLength);
  // Two values at the start of one line; fails with 17 unless both scan.
  int ReadItemPair(double& first, double& second, std::string_view description);
  int ReadItemPair(int& first, int& second, std::string_view description);
  // A word of at most kMaxLineLength characters and an integer on one line (a statistics
  // table's file name and code); fails with 17 unless both scan.
  int ReadItemPair(std::string& word, int& code, std::string_view description);

  // --- raisers -------------------------------------------------------------------------
  [[noreturn]] void ControlFileItemError(std::string_view item, std::string_view module);
  // A value that was read but cannot be used: logs "FATAL: error in control file, " + item
  // + " in " + section + ": " + value + "; expected " + expected, and fails with 17.
  [[noreturn]] void ControlFileValueError(std::string_view section, std::string_view item, std::string_view value,
                                          std::string_view expected);
  [[noreturn]] void ControlFileValueError(std::string_view section, std::string_view item, double value,
                                          std::string_view expected);
  [[noreturn]] void WriteError(std::string_view file_name, int code);
  [[noreturn]] void ReadError(std::string_view file_name, int code);

  // --- model log, dates, intervals ---------------------------------------------------
  // Appends the calendar time and the text to "modell_0.log" (process 0 only).
  void WriteModelLog(std::string_view text);
  void SetEndDate(long long year, long long month, long long day, long long hour);
  long long end_date_key() const { return end_date_key_; }
  const ModelDate& end_date() const { return end_date_; }
  void SetLogInterval(int hours) { log_interval_hours_ = hours; }
  int GetLogInterval() const { return log_interval_hours_; }
  double GetHourShift() const { return min_to_int_end_ / 60.0; }
  void set_min_to_int_end(double minutes) { min_to_int_end_ = minutes; }
  double min_to_int_end() const { return min_to_int_end_; }

  // --- running statistic -------------------------------------------------------------
  void ResetStatistics(double threshold) { statistic_.Reset(threshold); }
  void AddToStatistics(double value, double weight) { statistic_.Add(value, weight); }
  StatisticSummary GetStatistics() const { return statistic_.Get(); }

  // y at x on the line through (x1, y1) and (x2, y2); y1 when x1 == x2.
  static double LinearInterpolation(double x1, double y1, double x2, double y2, double x);

  // Releases what the object holds; every override ends by calling this one.
  virtual void DeleteModule();

  // --- grid table: lookup and registration ---------------------------------------------
  // The run's shared table of named grids (not owned); set before any lookup.
  void set_grid_table(grid_table* table) { context_.grids = table; }
  grid_table* grids() const { return context_.grids; }
  // Index 1..999 of the grid with the identifier, or 0. Without keep_searching the scan
  // ends at the first entry without values; with it, at the first unused entry.
  int FindGrid(std::string_view identifier, bool keep_searching);
  // Index of the grid with the identifier; a missing grid fails with 33.
  int RequireGrid(std::string_view identifier);
  // Index of the first of the identifiers present, tried in order; none fails with 33.
  int RequireOneOf3Grids(std::string_view a, std::string_view b, std::string_view c);
  int RequireOneOf4Grids(std::string_view a, std::string_view b, std::string_view c,
                         std::string_view d);
  // Publishes a grid (and stack) at entry index 1..999 and allocates the accumulators its
  // write code asks for; any other index fails with 12.
  void RegisterGrid(int index, std::string_view file_name, GridView values, StackView stack, int levels,
                    std::string_view identifier, int write_code, long long first_row, long long last_row);
  // Releases what the entry owns; the values and stack stay with their owner.
  void FreeGridEntry(int index);

 protected:
  // Write code 8: the current values are written at registration (output scheduling).
  void WriteFilledGridAtRegistration(int index);

 private:
  int ScanForGrid(std::string_view identifier) const;
  [[noreturn]] void NoneOfGridsFound(const std::string& alternatives);

 public:
  // --- end of grid table ---------------------------------------------------------------

  // --- run context: geometry, process, grid table, decomposition -------------------------
  // What the free functions of the framework take instead of the whole object.
  const RunContext& context() const { return context_; }
  const GridGeometry& geometry() const { return context_.geometry; }
  void set_geometry(const GridGeometry& geometry) { context_.geometry = geometry; }
  RowRange strip() const { return context_.strip; }
  void set_strip(RowRange strip) { context_.strip = strip; }
  int rank() const { return context_.rank; }
  int process_count() const { return context_.process_count; }
  RowRange strip_with_halo() const { return context_.strip_with_halo(); }
  RowRange held_rows() const { return context_.held_rows(); }
  RowRange held_rows_or_none() const { return context_.held_rows_or_none(); }
  // How the grid is shared among the processes (none until the set-up has decomposed the
  // domain); the grid distribution and the halo exchange walk it. Not owned.
  const DomainLayout* domain_layout() const { return context_.domain_layout; }
  void set_domain_layout(const DomainLayout* layout) { context_.domain_layout = layout; }
  // Takes what every model object of a run shares from the set-up: the grid table, the
  // geometry, the own rows and the decomposition, the data-hour offset, the log interval
  // and the start and end dates.
  void AdoptRunSettings(const ModelSettings& settings);

 private:
  RunContext context_;

 public:
  // --- end of run context --------------------------------------------------------------

  // --- grid file reading (framework/grid_reader.h, stack_reader.h) ------------------------
  // The object as a grid or stack read needs it: its run, input directory, name and header.
  GridInput grid_input() { return {context_, input_directory_, name(), grid_file_header_, gif_}; }
  // Header of the last grid or stack file read or written.
  GridFileHeader& grid_file_header() { return grid_file_header_; }
  const GridFileHeader& grid_file_header() const { return grid_file_header_; }
  // Places the GIF images (and netCDF grids of another raster) that the object reads:
  // (x_origin, y_origin) and cell_size as GifGeoreference describes them, 9999 for all
  // three for none; `mask` (not owned, the model grid's shape, or empty) marks the cells
  // that keep their mask value of -9999 or lower.
  void SetGifGeoreference(ConstGridView mask, double x_origin, double y_origin, double cell_size) {
    gif_.georeference = {x_origin, y_origin, cell_size, mask};
  }
  const GifGeoreference& gif_georeference() const { return gif_.georeference; }
  // The class-to-value mapping of the GIF images the object reads.
  GifMappingParameters& gif_mapping_parameters() { return gif_.mapping; }

 private:
  GridFileHeader grid_file_header_;
  GifGridSettings gif_;

 public:
  // --- end of grid file reading ------------------------------------------------------------

  // --- grid and stack files (framework/grid_writer.cpp, stack_reader.cpp, stack_writer.cpp)
  // The switches choose the form: netCDF when set, else ASCII, else binary with 64-bit
  // values when `doubles` is set and 32-bit values otherwise. Paths are relative to the
  // output directory (writers) or the input directory (reader) unless they begin with
  // "/" or "~".
  // Writes a grid held by the calling process alone (rows it does not hold as nodata).
  void WriteGridFile(std::string_view name, ConstGridView grid, bool ascii, bool doubles, bool netcdf);
  // As WriteGridFile, but first sets to nodata, in `grid`, every cell outside its row's
  // zone-column range (ASCII and binary forms).
  void WriteGridFileInRange(std::string_view name, GridView grid, bool ascii, bool doubles, bool netcdf);
  // Collective: writes levels 0..highest_level of a stack (binary: every process its own
  // cells; ASCII and netCDF: process 0 from a whole stack).
  void WriteStackFile(std::string_view name, ConstStackView stack, int highest_level, bool ascii,
                      bool doubles, bool netcdf);
  // netCDF files of the object, kept for the whole run (later writes append time steps).
  NetCDFGridWriter& netcdf_writer() { return netcdf_writer_; }
  NetCDFGridReader& netcdf_reader() { return netcdf_reader_; }
  // "RelCellArea": the weights of the cells in the header statistics of binary grids; none
  // until the set-up gives it. Not owned.
  ConstGridView rel_cell_area() const { return rel_cell_area_; }
  void set_rel_cell_area(ConstGridView values) { rel_cell_area_ = values; }

 private:
  NetCDFGridWriter netcdf_writer_{log()};
  NetCDFGridReader netcdf_reader_{log()};
  ConstGridView rel_cell_area_;

 public:
  // --- end of grid and stack files ---------------------------------------------------------

  // --- output scheduling (framework/output_scheduling.cpp) ---------------------------------
  // Carries out the write code of grid-table entry `index` for this call: accumulates the
  // sums, minima, maxima and vegetation-period sums and writes what is due by the current
  // date (see output_scheduling.h). Distributed: only the process's own cells count and
  // outputs are gathered to process 0, which writes them. With skip_accumulation_outputs
  // the minimum, maximum and sum or mean files due now are not written and the sums go on.
  // Collective: every process calls it for the same entries in the same order.
  virtual void WriteGridOutputs(int index, bool distributed, bool skip_accumulation_outputs);
  // The current-value outputs of the entry's stack (ones digit 1 to 5). Collective.
  void WriteStackOutputs(int index);
  // --- end of output scheduling ------------------------------------------------------------

  ModelDate& current_date() { return current_date_; }
  const ModelDate& current_date() const { return current_date_; }
  ModelDate& start_date() { return start_date_; }

  const OutputFormats& output_formats() const { return formats_; }
  void set_output_formats(const OutputFormats& formats) { formats_ = formats; }
  void set_directories(std::string input_directory, std::string output_directory) {
    input_directory_ = std::move(input_directory);
    output_directory_ = std::move(output_directory);
  }
  const std::string& input_directory() const { return input_directory_; }
  const std::string& output_directory() const { return output_directory_; }

 protected:
  [[noreturn]] void ItemScanError(std::string_view description, const std::string& token);

 private:
  template <typename T, typename Parse>
  int ReadValue(T& target, std::string_view description, Parse parse, bool skip_rest = true);

  std::string control_file_name_;
  ControlFileStream control_file_;
  OutputFormats formats_;
  std::string input_directory_;
  std::string output_directory_;
  double min_to_int_end_ = 0;
  ModelDate current_date_;
  ModelDate start_date_;
  ModelDate end_date_;
  long long end_date_key_ = 0;
  int log_interval_hours_ = 0;
  RunningStatistic statistic_;
};

}  // namespace tolvo
