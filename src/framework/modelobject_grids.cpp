// Grid lookup and registration of the model object: the operations on the shared grid
// table through which objects publish their grids and find the grids of others.

#include <cassert>
#include <string>

#include "framework/error_code.h"
#include "framework/grid_table.h"
#include "framework/modelobject.h"

namespace tolvo {

namespace {

bool IdentifierIs(const grid_entry& entry, std::string_view identifier) {
  return entry.identifier && *entry.identifier == identifier;
}

}  // namespace

int modelobject::FindGrid(std::string_view identifier, bool keep_searching) {
  assert(grids() != nullptr);
  const grid_table& table = *grids();
  if (IdentifierIs(table.zone_grid(), identifier)) return kZoneGridIndex;
  for (int i = 2; i <= kLastGridIndex; ++i) {
    const grid_entry& entry = table[i];
    // Without keep-searching the scan ends at the first entry without values (a stack,
    // or a grid whose values are not attached yet); with it, at the first unused entry.
    if (!entry.file_name) return 0;
    if (!keep_searching && !entry.has_values()) return 0;
    if (IdentifierIs(entry, identifier)) return i;
  }
  return 0;
}

int modelobject::ScanForGrid(std::string_view identifier) const {
  assert(grids() != nullptr);
  const grid_table& table = *grids();
  for (int i = 1; i <= kLastGridIndex; ++i) {
    const grid_entry& entry = table[i];
    if (i >= 2 && !entry.identifier) return 0;
    if (IdentifierIs(entry, identifier)) return i;
  }
  return 0;
}

int modelobject::RequireGrid(std::string_view identifier) {
  if (const int index = ScanForGrid(identifier); index > 0) return index;
  const std::string id(identifier);
  log() << "FATAL: \n---------------- !!! ERROR !!!  --------------------------\n" << id
        << " not found in memory,\nThese data are needed within " << name()
        << " \nif they are interpolated data, please specify an interpolator for\n" << id
        << " in the control file or read it in as a standardfile,\n"
           "-----------------------------------------------------------\n"
        << "[end-entry]";
  RaiseError(kMissingGrid);
}

void modelobject::NoneOfGridsFound(const std::string& alternatives) {
  log() << "FATAL: \n---------------- !!! ERROR !!!  ------------------------------------\n"
        << "Wether " << alternatives << " \nwhere found in memory,\n"
        << "One of these data sets has to be present within " << name() << " \n"
        << "If the data are to be interpolated, please specify an interpolatior for\n" << alternatives
        << " in the control file,\n"
        << "or read it as a standard grid \n"
        << "-----------------------------------------------------------------------\n"
        << "[end-entry]";
  RaiseError(kMissingGrid);
}

int modelobject::RequireOneOf3Grids(std::string_view a, std::string_view b, std::string_view c) {
  for (const std::string_view identifier : {a, b, c}) {
    if (const int index = ScanForGrid(identifier); index > 0) return index;
  }
  NoneOfGridsFound(std::string(a) + ", " + std::string(b) + " or " + std::string(c));
}

int modelobject::RequireOneOf4Grids(std::string_view a, std::string_view b, std::string_view c,
                                    std::string_view d) {
  for (const std::string_view identifier : {a, b, c, d}) {
    if (const int index = ScanForGrid(identifier); index > 0) return index;
  }
  NoneOfGridsFound(std::string(a) + ", " + std::string(b) + ", " + std::string(c) + " or " + std::string(d));
}

void modelobject::RegisterGrid(int index, std::string_view file_name, GridView values, StackView stack,
                               int levels, std::string_view identifier, int write_code, long long first_row,
                               long long last_row) {
  assert(grids() != nullptr);
  // Only entries 1..999 can hold a grid; anything else would lie outside the table or
  // where no lookup finds it.
  if (index < 1 || index > kLastGridIndex) {
    log() << "FATAL: no free grid in memory,(max. " << kLastGridIndex + 1 << ")!" << "[end-entry]";
    RaiseError(kGridEntryError);
  }
  grid_entry& entry = (*grids())[index];
  // An entry is registered when it is free or already holds this grid (a set-up list
  // places a grid before its values are read); another grid's entry is never taken over.
  assert(!entry.identifier || *entry.identifier == identifier);
  // A re-registration keeps the names the entry already has.
  if (!entry.file_name) entry.file_name = std::string(file_name);
  if (!entry.outname) {
    entry.outname = std::string(file_name);
    entry.outname_owned = 1;
  }
  if (!entry.identifier) entry.identifier = std::string(identifier);

  entry.values = values;
  entry.stack = stack;
  entry.levels = levels;
  entry.step_count = 0;
  entry.min_max_started = 0;

  entry.ones = write_code % 10;
  entry.tens = (write_code % 100) / 10;
  const int hundreds = (write_code % 1000) / 100;
  entry.thousands = (write_code % 10000) / 1000;
  entry.minimum_flag = (hundreds == 1 || hundreds == 3) ? 1 : 0;
  entry.maximum_flag = (hundreds == 2 || hundreds == 3) ? 1 : 0;
  entry.first_row = first_row;
  entry.last_row = last_row;

  const int first = static_cast<int>(first_row);
  const int last = static_cast<int>(last_row);
  const int ncols = geometry().ncols;
  const int nrows = geometry().nrows;
  if (entry.tens != 0) {
    entry.sum = matrix(first, last, 1, ncols, nrows);
    entry.sum_name = *entry.file_name;
  }
  if (entry.minimum_flag != 0) {
    entry.minimum = matrix(first, last, 1, ncols, nrows);
    entry.minimum_name = *entry.file_name;
  }
  if (entry.maximum_flag != 0) {
    entry.maximum = matrix(first, last, 1, ncols, nrows);
    entry.maximum_name = *entry.file_name;
  }
  if (entry.thousands != 0) {
    entry.vegetation_period = matrix(first, last, 1, ncols, nrows);
    entry.vegetation_period_name = *entry.file_name;
  }
  if (entry.ones == 8) WriteFilledGridAtRegistration(index);
}

void modelobject::WriteFilledGridAtRegistration(int index) {
  // Write code 8: the current values are written at once, as filled at set-up.
  WriteGridOutputs(index, true, false);
}

void modelobject::FreeGridEntry(int index) {
  assert(grids() != nullptr);
  if (index < 0 || index >= grid_table::size()) return;
  grid_entry& entry = (*grids())[index];
  entry.file_name.reset();
  entry.identifier.reset();
  entry.ones = 0;
  entry.levels = 0;
  entry.values = {};
  entry.stack = {};
  entry.step_count = 0;
  // The accumulators and their names belong to the entry; the values and the stack
  // belong to their owner and stay.
  entry.sum = {};
  entry.sum_name.clear();
  entry.minimum = {};
  entry.minimum_name.clear();
  entry.maximum = {};
  entry.maximum_name.clear();
  entry.vegetation_period = {};
  entry.vegetation_period_name.clear();
  if (entry.outname_owned == 1) {
    entry.outname.reset();
    entry.outname_owned = 0;
  }
}

}  // namespace tolvo
