#pragma once
// The geometry of the model: the number of columns and rows, the lower-left corner, the
// cell size and the nodata value, taken from the head of the zone grid file (grid-table
// entry 1, named in "[zone_grid]") before any grid is read. Every later grid is checked
// against it.
//
// The zone grid head is recognised more narrowly than a grid read: only a file that
// begins with the lower-case "ncol" is ASCII (its six header lines in the order
// ncols, nrows, xllcorner, yllcorner, cellsize, nodata_value; the words are not
// compared); otherwise it must be a binary grid of doubles or floats whose sixth header
// value is exactly -9999. GIF and netCDF files are not recognised, and the file is opened
// once, without retries.
//
// Failures write their "FATAL: " entry followed by the file name and raise: 21 the file
// cannot be opened, 22 the header cannot be read, is not recognised or gives no usable
// numbers of columns and rows, 23 the file cannot be closed.

#include "framework/modelobject.h"

namespace tolvo {

// Process 0 (or any single process): reads the head of the zone grid file, found under
// the input directory unless its name begins with "/" or "~". The values read (1 to 6 of
// an ASCII head, 1 to 12 of a binary one) also go into the object's GridFileHeader.
// ncols and nrows are the whole numbers below header values 1 and 2.
GridGeometry ReadGridHeader(modelobject& reader);

// Collective: process 0 reads the head, every process receives the geometry (ncols and
// nrows as ints, then xllcorner, yllcorner, cellsize and nodata_value as doubles). A
// failure on process 0 is raised with the same code on every process.
GridGeometry ReadZoneGridGeometry(modelobject& reader);

}  // namespace tolvo
