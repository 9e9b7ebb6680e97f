#pragma once
// The error code of a fatal error. The failing code writes its "FATAL: " entry to the
// diagnostics log and then throws an ErrorCode; the program entry turns it into the
// process's abort code. Codes may exceed 255: the log entry shows them whole.
//
// This file holds every error code of the program, each under one name.

#include <string_view>

namespace tolvo {

class DiagnosticsLog;

struct ErrorCode {
  int code;
};

[[noreturn]] inline void RaiseError(int code) { throw ErrorCode{code}; }

// For a catch-all handler, while its exception is being handled: writes the entry
// "FATAL: unexpected exception caught <where>: " with what() of a std::exception or
// "unknown exception" otherwise, and throws ErrorCode 103 in its place.
[[noreturn]] void RaiseOtherException(DiagnosticsLog& log, std::string_view where);

// Thrown on every process when the user chose to stop at once without saving: the program
// entry closes the diagnostics log and ends the process with the status, without ending
// MPI in order.
struct StopRequest {
  int status;
};

// --- program, control file and memory ----------------------------------------------------
inline constexpr int kGeneralError = 1;            // a matrix or name buffer cannot be allocated, or an
                                                   // output list names a zone the zone grid lacks
inline constexpr int kNoControlFile = 2;           // the command line names no control file
inline constexpr int kControlFileCloseError = 11;  // the control file or its compiled copy cannot be closed
inline constexpr int kMissingControlItem = 17;     // a control-file item is missing or cannot be read
inline constexpr int kControlFileOpenError = 28;   // the control file or its compiled copy cannot be opened
inline constexpr int kTimeStepTooShort = 63;       // a module's time step is shorter than the hour shift
inline constexpr int kMemoryErrorCode = 81;        // a sub-model's memory cannot be allocated
inline constexpr int kOutputListOrder = 97;        // the codes of [output_list] are not ascending
inline constexpr int kStopWithoutSaving = 98;      // the user chose to stop at once without saving
inline constexpr int kOtherExceptionCode = 103;    // an exception that is no error code, or a
                                                   // meteorological input or surface-routing method
                                                   // this build cannot provide
inline constexpr int kDiagnosticsFileError = 320;  // the diagnostics file cannot be opened
inline constexpr int kInvalidDumpFiles = 1061;     // -dumpmode: gives no number of dump files

// --- zones, regions and the grid table ---------------------------------------------------
inline constexpr int kInvalidZoneCode = 3;    // a zone or region grid holds a code outside its range
inline constexpr int kTooManyZones = 4;       // a zone or region grid holds more zones than allowed
inline constexpr int kAllNodata = 7;          // every cell of a zone grid is nodata
inline constexpr int kGridEntryError = 12;    // no free grid-table entry, a full statistics registry,
                                              // or a land-use parameter grid that is missing or
                                              // does not fit
inline constexpr int kMissingGrid = 33;       // a grid the model needs is not in the grid table
inline constexpr int kCellSizeErrorCode = 66;        // a grid whose cell size differs from the model's
inline constexpr int kTooManyStripsCode = 120;       // a grid row holds more strips than a row can describe
inline constexpr int kDecompositionErrorCode = 121;  // the domain cannot give every process a cell

// --- grid, stack and statistics files -----------------------------------------------------
inline constexpr int kModelLogOpenError = 5;        // the model log for filled holes cannot be opened
inline constexpr int kStatisticsOpenError = 15;     // a statistics table cannot be opened
inline constexpr int kStatisticsCloseError = 16;    // a statistics table cannot be written or closed
inline constexpr int kWriteErrorCode = 18;          // a file cannot be written
inline constexpr int kReadErrorCode = 19;           // a file cannot be read
inline constexpr int kGridOpenError = 21;           // a grid or stack file cannot be opened
inline constexpr int kGridReadError = 22;           // a grid or stack file cannot be read
inline constexpr int kGridCloseError = 23;          // a grid or stack file cannot be closed
inline constexpr int kGridGeometryError = 24;       // a grid or stack does not fit the model's geometry
inline constexpr int kGridHoleError = 25;           // a grid has a hole too big to fill
inline constexpr int kOutputOrNetCDFError = 26;     // an output file cannot be created, or a netCDF
                                                    // file cannot be read or written
inline constexpr int kOutputCloseError = 27;        // an output file cannot be closed
inline constexpr int kDatedStackNameClash = 34;     // two stacks whose dated output names coincide
inline constexpr int kNetCDFSpecificationError = 50;  // a netCDF input not given as file<variable>step
inline constexpr int kNetCDFTooManyFiles = 1100;      // more netCDF files open than allowed
inline constexpr int kTimeseriesLineError = 201;       // the first data line of a time-series table
                                                      // cannot be buffered
inline constexpr int kTimeseriesPositionError = 202;   // a position in a time-series table cannot be taken
inline constexpr int kTimeseriesBudgetTooSmall = 203;  // a time-series table's byte budget holds no record

// --- parameter tables ----------------------------------------------------------------------
inline constexpr int kTableEntryError = 29;     // an entry of the land-use, soil or irrigation
                                                // table cannot be read
inline constexpr int kSoilTableError = 30;      // the soil table cannot be read or its types differ
inline constexpr int kLanduseCodeError = 31;    // a land-use or irrigation code of a grid that is
                                                // not in its table
inline constexpr int kSoilCodeError = 32;       // a soil code of a grid that is not in the soil table
inline constexpr int kMultilayerEntryCode = 110;   // an entry of the multilayer land-use table cannot be read
inline constexpr int kMultilayerLayerCount = 111;  // multilayer land-use types with different layer counts
inline constexpr int kMultilayerNoLayers = 112;    // a multilayer land-use entry without "Landuse_Layers"
inline constexpr int kJulianDayOverflow = 150;  // a date whose day of year lies outside 0..366
inline constexpr int kFixpointDayRange = 152;   // a corrected fixpoint day outside -1..366
inline constexpr int kMonthRange = 154;         // a monthly value asked for a month outside 1..12
inline constexpr int kMultilayerCodeError = 311;  // a land-use code of a grid not in the multilayer table
inline constexpr int kLayerCodeError = 312;       // a layer code of the multilayer table that is not in
                                                  // the land-use table

// --- tracers ---------------------------------------------------------------------------------
inline constexpr int kTracerParameterError = 56;  // a tracer line that cannot be read
inline constexpr int kTooManyTracers = 58;        // more than 9 tracers
inline constexpr int kDuplicateTracerName = 59;   // two tracers whose names begin alike

// --- coupling, spin-up and the run ---------------------------------------------------------
inline constexpr int kCouplingSectionError = 10;          // [ExternalCoupling] cannot be read
inline constexpr int kCouplingControlFileOpenError = 14;  // the control file cannot be opened for the coupling
inline constexpr int kExternalReadError = 1001;  // an external grid cannot be read, or the wait file
                                                 // cannot be deleted
inline constexpr int kExternalFileError = 1002;  // a read external grid cannot be renamed or deleted
inline constexpr int kUnknownReadGrid = 1003;    // a coupling read grid that is not in the grid table
inline constexpr int kUnknownWriteGrid = 1004;   // a coupling write grid that is not in the grid table
inline constexpr int kUnknownStatistic = 1005;   // a coupling statistic that is not registered
inline constexpr int kHruGridMissing = 1030;     // spin-up without the grid of hydrologic response units
inline constexpr int kHruClassTooLarge = 1031;   // a response-unit class too large for the spin-up
inline constexpr int kPreSpinUpWithoutTemperature = 1035;  // pre-spin-up whose first input is not the
                                                           // air temperature

// --- meteorological input ------------------------------------------------------------------
inline constexpr int kScenarioTableError = 48;      // a scenario table of a meteorological input that
                                                    // cannot be read or would multiply by 0
inline constexpr int kMeteoInputFileError = 49;     // a station, grid-list or regression file, or a
                                                    // method line of an input's section, that cannot be
                                                    // opened or read
inline constexpr int kMeteoFileCloseError = 50;     // a station, grid-list or regression file that cannot
                                                    // be closed (50 also stands for a netCDF input not
                                                    // named as file<variable>step)
inline constexpr int kMeteoStartDateMissing = 51;   // an input file without the run's start date
inline constexpr int kMeteoRegressionDateError = 52;  // a regression date that differs from the station date
inline constexpr int kInterpolationMethodRange = 53;  // an interpolation method outside 1..12
inline constexpr int kAnisotropyRange = 54;  // an anisotropy slope outside -90..90 degrees or a ratio outside (0, 1]
inline constexpr int kStationFilesDisagree = 73;    // the two station files of an input differ in stations
                                                    // or in date
inline constexpr int kRelCellAreaMissing = 74;      // no "RelCellArea" grid for the meteorological inputs
inline constexpr int kSuperpositionEntities = 133;  // [RegionalSuperposition] without "NumberOfEntities"
inline constexpr int kSuperpositionRegions = 134;   // an entity's region list that does not match the region grid
inline constexpr int kSuperpositionWeights = 135;   // an entity's weights that do not fit its regions or sum to 1
inline constexpr int kMeteoStepDateError = 52;      // an input whose current date differs from the step's
inline constexpr int kStationMeshError = 70;        // the stations of a spline input form mesh columns of
                                                    // different lengths
inline constexpr int kSplineAbscissaError = 82;     // two nodes of one spline at the same coordinate
inline constexpr int kNoReadyGrid = 1050;           // a grid list that begins with "-9999"
// --- soil model ------------------------------------------------------------------------------
inline constexpr int kControlRowError = 8;      // the row of a sub-model's control point is outside the grid
inline constexpr int kControlColumnError = 9;   // the column of a sub-model's control point is outside the
                                                // grid, or 0 with a row given
inline constexpr int kSubbasinBlockError = 10;  // the sub-basin parameter block of [unsatzon_model] cannot
                                                // be read (the same number as kCouplingSectionError)
inline constexpr int kStackLevelError = 13;     // a state stack holds another number of levels than the soil
inline constexpr int kPointFileOpenError = 62;  // a control-point file cannot be created
inline constexpr int kInvalidSoilMethod = 91;   // a soil method other than 2 or 3
// --- discharge routing ---------------------------------------------------------------------
inline constexpr int kRoutingDescriptionError = 38;  // the routing description ends before its closing line
inline constexpr int kRoutingLineTooLong = 40;       // a line or block of the routing description is too long
inline constexpr int kRoutingEntryError = 41;        // a code or value of the routing description is unusable
inline constexpr int kRoutingInflowError = 42;       // an inflow code or mode of the routing description
inline constexpr int kNoRoutingRunoff = 43;          // the discharge routing is handed no runoff
inline constexpr int kObservedDischargeError = 203;  // the observed-discharge file cannot be analysed or read
inline constexpr int kReservoirConnectionError = 29;  // a hydraulic connection between reservoirs that
                                                      // cannot be read or has no reservoir to connect to
inline constexpr int kReservoirRuleSectionError = 34;  // a reservoir's rule section is missing or unusable
inline constexpr int kReservoirEntryError = 35;        // a reservoir entry lacks "file", "V0" or "C0"
inline constexpr int kReservoirFileCreateError = 37;   // a reservoir output file cannot be created
inline constexpr int kReservoirFileAppendError = 65;   // a reservoir output file cannot be opened for appending
inline constexpr int kLakeLevelMismatch = 213;         // the cells of a lake differ in terrain plus ponding depth
inline constexpr int kLakeOutsideSubbasin = 224;       // a lake cell outside the sub-basin of its routing object
inline constexpr int kLevelVolumeFileError = 225;      // a lake's waterlevel-volume file cannot be written
inline constexpr int kAbstractionModeError = 44;       // an abstraction mode word that is none of the six
inline constexpr int kAbstractionFileError = 37;       // an abstraction or inflow file cannot be opened or created
inline constexpr int kTimeSeriesSearchError = 38;      // an inflow or abstraction file lacks the start row,
                                                       // the start date or the columns it must give
inline constexpr int kInflowDateMismatch = 36;         // an inflow file row whose date is not the step's
inline constexpr int kInflowFileEnded = 39;            // an inflow file without a row for the step
inline constexpr int kAbstractionAppendError = 65;     // an abstraction output file cannot be opened for appending
inline constexpr int kAbstractionRuleError = 34;       // an abstraction's rule section is missing or unusable
inline constexpr int kInflowAlreadyConnected = 300;    // an internal inflow fed by two abstractions
inline constexpr int kInflowSameSubbasin = 301;        // an internal abstraction into its own object's inflow
inline constexpr int kInflowNotConnected = 302;        // an internal inflow without an abstraction
inline constexpr int kAbstractionNotConnected = 303;   // an internal abstraction without an inflow
inline constexpr int kIrrigationWithoutRouting = 60;   // irrigation on without the discharge routing's arrays
inline constexpr int kStorageFileOpenError = 64;       // the storage content file cannot be opened
inline constexpr int kStorageSectionError = 71;        // the routing section of the storage content file does
                                                       // not fit the routing network or does not read
// --- silting-up of the soil surface --------------------------------------------------------
inline constexpr int kSiltingUpWithGlaciers = 2;         // silting-up together with the glacier grids
inline constexpr int kRainPauseBlockError = 10;          // the minimum rain pause block of [SiltingUpModel]
                                                         // cannot be read or names no sub-basin
inline constexpr int kExpressionOpeningBracket = 400;    // "SiltingUpExpressions" is not followed by "{"
inline constexpr int kExpressionClosingBracket = 401;    // the expression block has no "}"
inline constexpr int kNoSiltingUpExpressions = 402;      // method 3 without a "SiltingUpExpressions" block
inline constexpr int kExpressionEvaluationError = 403;   // a silting-up formula fails on a cell

// --- special point output ------------------------------------------------------------------
inline constexpr int kPointFileAppendError = 65;   // a point-output file cannot be opened for appending
inline constexpr int kPointOutputError = 104;      // [special_output] lacks an item or holds an unusable one
inline constexpr int kPointCountMismatch = 1006;   // an entity with different counts of x and y coordinates
inline constexpr int kPointLevelsOrFileError = 1007;  // an entity's level count fits neither none nor every
                                                      // point, or a point-output file cannot be created
inline constexpr int kPointOutsideGrid = 1008;     // a point of an entity lies outside the model grid

// --- surface routing ------------------------------------------------------------------------
inline constexpr int kGlacierWithSurfaceRouting = 2;     // surface routing with glacier grids present
inline constexpr int kInvalidSurfaceRoutingMethod = 10;  // a flow-path method outside 1..6
inline constexpr int kMissingSubbasinRunoff = 57;        // sub-basin runoff asked for before it is allocated
inline constexpr int kNoFlowTimes = 6;                   // a sub-basin without any usable flow time
inline constexpr int kFirstFlowTimeZoneEmpty = 61;       // the first flow-time zone of a sub-basin has no cells
inline constexpr int kSurfaceStateMismatch = 71;         // the stored flow-time zones do not fit the set-up
inline constexpr int kSurfaceRoutingDumpAbort = 199;     // a non-finite head was dumped with -closeAfterDump

// --- soil model ----------------------------------------------------------------------------
inline constexpr int kRiverLinkError = 199;  // a river link whose code has no sub-basin of the routing
inline constexpr int kStorageFileMismatch = 71;   // the storage content file does not fit the current set-up
inline constexpr int kGroundwaterLakeSettings = 214;  // groundwater lakes without pond use or with an
                                                      // initialization method other than 1 or 2
inline constexpr int kSoilLakeSettingsError = 215;  // lakes without ponding, or a lake method other than 1 or 2
inline constexpr int kSoilDumpAbort = 199;          // a soil column was dumped with -closeAfterDump

// --- snow model -------------------------------------------------------------------------------
inline constexpr int kSnowSettingsError = 80;            // a glacier or permafrost setting that cannot be used
inline constexpr int kSnowAdditionalBlockMissing = 404;  // methods above 4 without their block of parameters
inline constexpr int kDepositionSlopeOutOfRange = 405;   // maxDepositionSlope outside 0..90 degrees
inline constexpr int kDepositionFactorOutOfRange = 406;  // maxDepositionFactor not above 0
inline constexpr int kSlideSlopeOutOfRange = 407;        // minSlideSlope outside 0..90 degrees
inline constexpr int kSnowParameterOutOfRange = 408;     // slideMassFrac or a long-wave factor out of range
inline constexpr int kGlacierInTwoSubbasins = 84;        // the cells of one glacier lie in two sub-basins
inline constexpr int kSnowDumpAbort = 199;               // a snow cell was dumped with -closeAfterDump

// --- evapotranspiration ---------------------------------------------------------------------
inline constexpr int kEvapotranspirationSettingsError = 10;  // a radiation, sunshine or temperature-amplitude
                                                             // setting of [evapotranspiration] out of range
inline constexpr int kLayeredSingleLayerMethod = 44;  // Hamon, Wendling or Haude with more than one
                                                      // land-use layer
inline constexpr int kMonthlyValuesMissing = 45;      // fewer than 12 monthly Hamon or Haude coefficients
inline constexpr int kEvapotranspirationInputMissing = 46;  // no radiation or no humidity input for the method
inline constexpr int kLakeInitializationMethod = 211;       // a lake initialization method other than 1 or 2
inline constexpr int kUnknownResponseUnit = 1036;  // a cell whose hydrologic response unit is not in the unit list
inline constexpr int kPreSpinUpWithoutHeat = 1040;  // a pre-spin-up without heat transfer or air temperature
inline constexpr int kLayeredSnowWithoutHeat = 1041;  // the layered snow model without heat transfer

}  // namespace tolvo
