#include "application/modell_application.h"

#include <mpi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "framework/error_code.h"
#include "framework/output_scheduling.h"
#include "framework/point_output.h"
#include "meteo/expokorrklasse.h"
#include "meteo/meteointerpol.h"
#include "meteo/precicorrclass.h"
#include "meteo/regional_superposition.h"
#include "routing/abflussmodellklasse.h"
#include "routing/irrigationclass.h"
#include "runoff/siltingupclass.h"
#include "runoff/surfaceroutingclass.h"
#include "setup/tracer_settings.h"
#include "subsurface/gwflowclass.h"
#include "subsurface/unsatzonmodellklasse.h"
#include "surface/interzeptionsmodellklasse.h"
#include "surface/verdunstungsmodellklasse.h"

namespace tolvo {
namespace {

constexpr int kRegistryCapacity = 200;

// Runs a step of the set-up: its failures reach the caller as their ErrorCode; any other
// exception is logged, with `where`, and becomes 103.
template <typename Work>
decltype(auto) Guarded(DiagnosticsLog& log, std::string_view where, Work&& work) {
  try {
    return work();
  } catch (const ErrorCode&) {
    throw;
  } catch (...) {
    RaiseOtherException(log, where);
  }
}

// Builds a sub-model (every sub-model takes the log first).
template <typename T, typename... Args>
std::unique_ptr<T> Build(DiagnosticsLog& log, Args&&... args) {
  return Guarded(log, "while building a sub-model",
                 [&] { return std::make_unique<T>(log, std::forward<Args>(args)...); });
}

}  // namespace

DumpOptions ReadDumpOptions(DiagnosticsLog& log, int argc, char** argv) {
  DumpOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i] != nullptr ? argv[i] : "";
    if (argument.find("-dumpmode") != std::string::npos) {
      const std::size_t colon = argument.find(':');
      if (colon != std::string::npos) {
        const char* text = argument.c_str() + colon + 1;
        char* end = nullptr;
        errno = 0;
        const long long count = std::strtoll(text, &end, 10);
        if (end == text || errno == ERANGE) {
          log << "FATAL: Error in argument list: invalid number of max dumpfiles given in argument " << argument
              << "[end-entry]";
          RaiseError(kInvalidDumpFiles);
        }
        options.max_dump_files = count;
        log << "INFO: max dumpfiles given in argument " << argument << " read as " << count
            << " (0 stands for no limit)" << "[end-entry]";
      }
      options.dump_mode = true;
    } else if (argument.find("-closeAfterDump") != std::string::npos) {
      options.close_after_dump = true;
    } else if (argument.find("-repairAfterDump") != std::string::npos) {
      options.repair_after_dump = true;
    }
  }
  return options;
}

ModellApplication::ModellApplication(DiagnosticsLog& log, int argc, char** argv, int position,
                                     MeteoInputFactory make_input, CallTrace trace)
    : memory_handling(log, "ModellApplication"),
      make_input_(make_input ? std::move(make_input)
                             : MeteoInputFactory([this](DiagnosticsLog& input_log, const std::string& name,
                                                        const ModelSettings& settings, int grid_index, int) {
                                 return std::make_unique<meteointerpol>(input_log, registry_, kRegistryCapacity,
                                                                        name, settings, grid_index);
                               })),
      trace_(std::move(trace)) {
  try {
    init(argc, argv, position);
  } catch (const ErrorCode&) {
    log << "FATAL: exceptions in ModellApplication::init() caught!" << "[end-entry]";
    throw;
  }
}

ModellApplication::~ModellApplication() { SetCurrentApplication(nullptr); }

void ModellApplication::init(int argc, char** argv, int position) {
  log() << "file " << "modapuzr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
  InterruptState = 0;
  end_of_input_ = false;
  control_file_ = argv[position];

  reader_ = Build<defaultini>(log(), control_file_, registry_, kRegistryCapacity, 2, grids_);
  while (!reader_->InitializeStep()) {
  }
  reader_->InitGridStatistics();
  reader_->SetInitialised(1);
  spin_up_ = reader_->InitSpinUp();
  // The settings include what the spin-up set-up adds (its switch and the response units).
  settings_ = reader_->GetSettings();

  const OutputSettings& output = reader_->output_settings();
  for (std::size_t i = 0; i < output.meteo_names.size(); ++i) {
    const int free_entry = grids_.TakeFreeEntries(1, {.taken_by = grid_table::TakenBy::kIdentifier}, log(),
                                                  "no more free grids in memory, (max. 1000)!");
    const std::string& name = output.meteo_names[i];
    std::unique_ptr<MeteoInput> input =
        Guarded(log(), "while building the meteorological input " + name,
                [&] { return make_input_(log(), name, settings_, free_entry, static_cast<int>(i) + 1); });
    input->SetSearchRadiusWarning(output.search_radius_warning);
    input->SetHourShift(settings_.min_to_int_end / 60);
    if (name.find("irrigation_amounts") != std::string::npos) input->SetSearchRadiusWarning(0);
    inputs_.push_back(std::move(input));
  }
  BuildSubmodels(argc, argv);
}

void ModellApplication::BuildSubmodels(int argc, char** argv) {
  tracer_settings_ = Build<tracer_ini_class>(log(), settings_.compiled_control_file, 0, n_tracers_, tracers_,
                                             settings_.formats, settings_.input_directory,
                                             settings_.output_directory);
  tracer_settings_->SetInitialised(1);

  superposition_ = std::make_unique<RegionalSuperposition>(log(), registry_, settings_);
  std::vector<MeteoInput*> input_list;
  for (auto& input : inputs_) input_list.push_back(input.get());
  precipitation_correction_ = Build<precicorrclass>(log(), std::span<MeteoInput* const>(input_list), settings_);
  precipitation_correction_->SetMaxElevation(reader_->GetMaxElevation());
  precipitation_correction_->SetInitialised(1);

  radiation_correction_ = Build<expokorrklasse>(log(), registry_, settings_);
  radiation_correction_->SetInitialised(1);
  evapotranspiration_ = Build<verdunstungsmodellklasse>(log(), registry_, settings_);
  evapotranspiration_->SetCorrectedRadiation(radiation_correction_->CorrectedRadiation());
  snow_ = Build<schneemodellklasse>(log(), registry_, settings_);
  snow_->SetCorrectedRadiation(radiation_correction_->CorrectedRadiation());
  evapotranspiration_->SetSnowStorageGrid(snow_->GetSolidSnowStorage());
  evapotranspiration_->SetSnowMethod(snow_->GetMethod());
  evapotranspiration_->SetInitialised(1);

  interception_ = Build<interzeptionsmodellklasse>(log(), registry_, settings_);
  interception_method_ = interception_->GetMethod();
  interception_first_ = interception_method_ > 10;
  snow_->SetWaterInput(interception_first_);
  silting_up_ = Build<siltingupclass>(log(), registry_, settings_);
  silting_up_->SelectWaterInput(interception_first_);

  const int sub_steps = reader_->ReadSubsteps();
  soil_ = Build<unsatzonmodellklasse>(log(), registry_, settings_, sub_steps);
  soil_->updateMaxPumping();
  soil_->selectInfiltrationInput(interception_first_);
  dump_options_ = ReadDumpOptions(log(), argc, argv);
  soil_->setDumpOptions(dump_options_);
  evapotranspiration_->ReadLakeModel("[lake_model]");
  snow_->ReadLakeModel("[lake_model]");
  snow_->SetLayeredSnowFlag(soil_->isHeatTransferActive());
  // The soil model hands no layered-snow table while its layered snow is off; otherwise
  // the layers of its first snow type.
  LayeredSnowProperties snow_layers;
  if (soil_->isLayeredSnowActive() && soil_->getLayeredSnowTable().size() > 1) {
    const SoilRecord& type = soil_->getLayeredSnowTable()[1];
    snow_layers = {.n = soil_->snow_layer_count(), .thickness = type.thickness, .dry_density = type.DryDensity};
  }
  snow_->LinkLayeredSnow(soil_->isLayeredSnowActive(), snow_layers, soil_->getFreshSnowTemperatureOffset());
  snow_->SetDumpOptions(dump_options_);

  surface_routing_ = Build<surfaceroutingclass>(log(), registry_, settings_, sub_steps);
  surface_routing_->SetDumpOptions(dump_options_);
  irrigation_ = Build<irrigationclass>(log(), registry_, settings_);
  groundwater_ = Build<gwflowclass>(log(), registry_, settings_, sub_steps);
  evapotranspiration_->SetSubSteps(sub_steps);
  soil_->groundwater_coupling = groundwater_->IsActive() != 0 ? 1 : 0;
  LinkSubmodels(sub_steps);
}

void ModellApplication::LinkSubmodels(int sub_steps) {
  const auto init_tracers = [&](teilmodellklasse& model) {
    Guarded(log(), "while setting up the tracers of " + model.section(),
            [&] { model.InitTracers(n_tracers_, tracers_, registry_, kRegistryCapacity); });
  };
  init_tracers(*irrigation_);
  init_tracers(*snow_);
  init_tracers(*interception_);
  interception_->SetInitialised(1);
  init_tracers(*silting_up_);
  silting_up_->SetInitialised(1);
  init_tracers(*groundwater_);
  init_tracers(*soil_);
  soil_->SetInitialised(1);
  init_tracers(*surface_routing_);
  surface_routing_->SetInitialised(1);

  routing_ = Build<abflussmodellklasse>(log(), registry_, settings_, soil_->storage_read_code(), n_tracers_,
                                        tracers_);
  if (surface_routing_->IsActive() > 0) {
    surface_routing_->ReadStorageContent(soil_->getStorageFileName(), soil_->storage_read_code());
    // The soil model's baseflow joins the routed runoff, and its recession constants drain
    // the surface routing's storages of direct runoff and interflow.
    surface_routing_->SetBaseflowInput(soil_->getQBb());
    surface_routing_->SetDirectRunoffRecession(soil_->getKelsqd());
    surface_routing_->SetInterflowRecession(soil_->getKelsqi());
    soil_->setSurfaceRoutingActive(1);
  }
  if (routing_->IsActive() > 0) {
    // The discharge routing takes the total runoff of the surface routing when that routes
    // the surface water, else the soil model's.
    Guarded(log(), "while handing the runoff to the discharge routing", [&] {
      if (surface_routing_->IsActive() > 0) {
        routing_->SetRunoffInput(*surface_routing_->GetQg());
      } else {
        routing_->SetRunoffInput(soil_->getTotalRunoff());
      }
    });
  }
  routing_->LinkLakeGrids(interception_first_);
  if (routing_->IsActive() > 0) {
    routing_->InitRouting(routing_->IsActive());
    // With the groundwater model the routing fills the rivers the soil cells draw on.
    if (std::vector<RiverflowRecord>* rivers = soil_->getRiverflowTable()) routing_->SetRiverCellRecords(*rivers);
    routing_->ReadStorageContent(soil_->getStorageFileName(), soil_->storage_read_code());
    routing_->SetInitialised(1);
  }
  routing_->HandStoredLakesToCells(soil_->getStorageFileName(), soil_->storage_read_code());
  // The irrigation's surface-water demand is withdrawn by the routing, which tells it what
  // rivers and reservoirs hold.
  if (routing_->IsActive() > 0) routing_->SetIrrigationDemand(irrigation_->GetSurfaceWaterDemand());
  // Surface-water irrigation lowers the discharge of the rivers the soil cells draw on.
  if (std::vector<RiverflowRecord>* rivers = soil_->getRiverflowTable()) irrigation_->SetRiverCellRecords(*rivers);
  irrigation_->SetRunoffInput(soil_->getTotalRunoff());
  irrigation_->LinkSoilTracerGrids();
  irrigation_->SetMaxIrrigation(routing_->GetMaxIrrig(), routing_->GetMaxIrrigFromReservoirs());
  irrigation_->SetRoutingTarget(routing_->GetRoutingTarget());
  irrigation_->SetAbfrel(routing_->GetAbfrel());
  irrigation_->SetInitialised(1);
  groundwater_->SetInitialised(1);
  if (snow_->IsActive() > 0) {
    snow_->SetSubbasinRunoffArray(soil_->getTotalRunoffForGlaciers());
    snow_->ReadStorageContent(soil_->getStorageFileName(), soil_->storage_read_code());
    snow_->SetInitialised(1);
  }
  special_output_ = Build<SpecialOutputClass>(log(), registry_, settings_, sub_steps);
  if (groundwater_->IsActive() > 0) {
    // The groundwater model hands its top layer's loss back through "baseflow" as a rate in
    // m/s, where the soil model leaves mm per sub-step: the points show mm per sub-step, as
    // the soil's other fluxes, and their sum over a step is mm per step.
    special_output_->ScaleGrid("baseflow", groundwater_->GetTimeStep() * 60.0 / sub_steps * 1000);
  }
  if (soil_->IsActive() > 0) {
    log() << "initializing re-infiltration in-order-processing..." << "[end-entry]";
    soil_->prepareMPIReinfiltration();
  }
  reader_->ResolveCouplingNames(registry_, kRegistryCapacity);
  // Two stacks whose dated output names would coincide are refused before the run.
  CheckDatedStackOutputNames(*reader_);

  signal_targets_.interrupt_state = &InterruptState;
  signal_targets_.fpe_report_states = {&soil_->fpe_report_state(),        &radiation_correction_->fpe_report_state(),
                                       &evapotranspiration_->fpe_report_state(), &snow_->fpe_report_state(),
                                       &interception_->fpe_report_state(), &irrigation_->fpe_report_state(),
                                       &groundwater_->fpe_report_state(),  &routing_->fpe_report_state()};
  log() << "end of initialization reached..." << "[end-entry]";
  SetInitialised(1);
}

ModelDate ModellApplication::DateOfStep() const {
  if (inputs_.empty()) return {-9999, -9999, -9999, -9999};
  return inputs_.front()->GetDate();
}

void ModellApplication::AgreeOnInterrupt() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  int state = InterruptState;
  int agreed = 0;
  MPI_Allreduce(&state, &agreed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  state = 0;
  if (agreed == 1 && rank == 0) {
    log() << "SKIP: \n\nCtrl-C: cancel the model? \n0 = no (continue)\n1 = cancel with next interval (writing all "
             "grids and buffers)\n2 = cancel now without saving buffers!\n3 = flush buffers and go on\n\nchoose one "
             "of the above options: "
          << "[end-entry]";
    const int ch = std::getchar();
    state = (ch >= '0' && ch <= '9') ? ch - '0' : 0;
  }
  MPI_Reduce(&state, &agreed, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
  MPI_Bcast(&agreed, 1, MPI_INT, 0, MPI_COMM_WORLD);
  InterruptState = agreed;
}

void ModellApplication::SetEndDateEverywhere(const ModelDate& d) {
  for (modelobject* object : std::initializer_list<modelobject*>{
           radiation_correction_.get(), superposition_.get(), evapotranspiration_.get(), snow_.get(),
           interception_.get(), silting_up_.get(), irrigation_.get(), soil_.get(), surface_routing_.get(),
           groundwater_.get(), routing_.get(), reader_.get(), special_output_.get()}) {
    object->SetEndDate(d.year, d.month, d.day, d.hour);
  }
}

void ModellApplication::ActOnInterrupt() {
  const int state = InterruptState;
  if (state <= 0) return;
  if (state > 3) {
    InterruptState = 0;
    ArmCtrlCHandler();
  } else if (state == 1) {
    for (auto& input : inputs_) input->EndAtCurrentDate();
    SetEndDateEverywhere(DateOfStep());
    InterruptState = kFinishHandled;
    ArmCtrlCHandler();
  } else if (state == 2) {
    log() << "WARNING: program manually killed by pressing Ctrl-C and selecting 2!" << "[end-entry]";
    throw StopRequest{kStopWithoutSaving};
  } else {
    FlushAll();
    InterruptState = 0;
    ArmCtrlCHandler();
  }
}

void ModellApplication::FlushAll() {
  for (auto& input : inputs_) input->FlushStatistics();
  superposition_->FlushStatistics();
  evapotranspiration_->FlushStatistics();
  snow_->FlushStatistics();
  interception_->FlushStatistics();
  silting_up_->FlushStatistics();
  irrigation_->FlushStatistics();
  soil_->FlushStatistics();
  surface_routing_->FlushStatistics();
  groundwater_->FlushStatistics();
  routing_->FlushStatistics();
  reader_->FlushGridStatistics();
  special_output_->FlushAll();
  Trace("flush");
}

int ModellApplication::run() {
  try {
    return RunSteps();
  } catch (const ErrorCode&) {
    log() << "FATAL: Exception in Modellapplication::run() caught!" << "[end-entry]";
    throw;
  }
}

int ModellApplication::RunSteps() {
  if (spin_up_.spin_up > 0) {
    if (spin_up_.do_temperature_pre_spin_up > 0) RunTemperaturePreSpinUp();
    if (spin_up_.repeat_count <= 0) {
      end_of_input_ = true;
      return InterruptState;
    }
  }
  if (end_of_input_) return InterruptState;
  int repetition = 1;
  for (;;) {
    RunOneStep();
    // A finish request ends the run after its step, also during spin-up repetitions.
    const bool finishing = InterruptState == kFinishHandled;
    const bool repeats = spin_up_.spin_up == 1 && end_of_input_ && spin_up_.repeat_count > repetition && !finishing;
    if (reader_->IsExternalCouplingOn()) SynchroniseAtStepEnd(end_of_input_ && !repeats);
    if (repeats) {
      log() << "INFO: SpinUp reached end of defined time range for run #" << repetition
            << ", resetting inputs and starting again now (repetition " << repetition + 1 << " of "
            << spin_up_.repeat_count << ")" << "[end-entry]";
      ++repetition;
      end_of_input_ = false;
      for (auto& input : inputs_) {
        input->RewindInput();
        input->ReadNextRecord();
      }
      continue;
    }
    if (end_of_input_) return InterruptState;
  }
}

void ModellApplication::RunOneStep() {
  AgreeOnInterrupt();
  ModelDate date = DateOfStep();
  if (reader_->IsExternalCouplingOn()) SynchroniseAtStepStart(date);
  ActOnInterrupt();
  if (InterruptState == kFinishHandled) date = DateOfStep();

  for (auto& input : inputs_) {
    if (input->method() == 10 || input->method() == 11) input->ComputeElevationRegression(0);
  }
  if (superposition_->IsActive() == 0) precipitation_correction_->CorrectStationData();
  for (auto& input : inputs_) {
    input->Interpolate(date);
    Trace("meteo.Interpolate");
  }
  superposition_->RunStep(date.hour, date.day, date.month, date.year);
  if (superposition_->IsActive() != 0 || precipitation_correction_->CorrectsGrid()) {
    precipitation_correction_->CorrectPrecipitationGrid();
  }
  const int step_minutes = evapotranspiration_->IsActive() != 0 ? evapotranspiration_->GetTimeStep() : 1440;
  reader_->UpdatePeriodicGrids(date, step_minutes);
  reader_->UpdateLanduseParameters(date, step_minutes);
  for (auto& input : inputs_) input->WriteResultGrid();
  superposition_->WriteSuperpositionOutputs();

  radiation_correction_->RunStep(date.hour, date.day, date.month, date.year);
  Trace("radiation_correction.RunStep");
  evapotranspiration_->PotentialEvapotranspiration(date);
  Trace("evapotranspiration.PotentialEvapotranspiration");
  irrigation_->RunStep(date.hour, date.day, date.month, date.year);
  Trace("irrigation.RunStep");
  evapotranspiration_->SnowEvaporation(date);
  Trace("evapotranspiration.SnowEvaporation");
  if (interception_first_) {
    interception_->RunStep(date.hour, date.day, date.month, date.year);
    Trace("interception.RunStep");
    snow_->SnowTimeStep(date);
    Trace("snow.SnowTimeStep");
  } else {
    snow_->SnowTimeStep(date);
    Trace("snow.SnowTimeStep");
    interception_->RunStep(date.hour, date.day, date.month, date.year);
    Trace("interception.RunStep");
  }
  soil_->keepSnowOutflow();
  silting_up_->RunStep(date.hour, date.day, date.month, date.year);
  Trace("silting_up.RunStep");
  soil_->prepareTimeStep(date);
  Trace("soil.prepareTimeStep");
  surface_routing_->BeginStep(date);
  Trace("surface_routing.BeginStep");
  evapotranspiration_->BeginRealEvapotranspiration(date);
  Trace("evapotranspiration.BeginRealEvapotranspiration");
  groundwater_->BeginStep(date);
  Trace("groundwater.BeginStep");

  const int sub_steps = soil_->GetSubSteps();
  for (int k = 1; k <= sub_steps; ++k) {
    soil_->SubStep(date);
    Trace("soil.RunStep");
    surface_routing_->SubStep(date);
    Trace("surface_routing.RunStep");
    evapotranspiration_->SubStep();
    Trace("evapotranspiration.SubStep");
    groundwater_->SubStep(date);
    Trace("groundwater.RunStep");
    special_output_->CollectAll(date, 1, k);
    Trace("special_output.CollectAll");
  }

  snow_->SnowLateralStep(date);
  Trace("snow.SnowLateralStep");
  soil_->updateMaxPumping();
  soil_->concentrateSubbasinRunoff(date);
  Trace("soil.concentrateSubbasinRunoff");
  surface_routing_->EndStep(date);
  Trace("surface_routing.EndStep");
  evapotranspiration_->EndOfStepTotals(date);
  Trace("evapotranspiration.EndOfStepTotals");
  groundwater_->EndStep(date);
  Trace("groundwater.EndStep");
  routing_->RunStep(date.hour, date.day, date.month, date.year);
  Trace("routing.RunStep");

  reader_->WriteStandardGrids(date);
  reader_->WriteVariableGrids(date);
  reader_->ResetGridStatistics();
  reader_->AccumulateGridStatistics();
  reader_->FinishGridStatistics(date);
  special_output_->CollectAll(date, 0, 0);
  Trace("outputs");

  for (auto& input : inputs_) input->ReadNextRecord();
  end_of_input_ = true;
  for (auto& input : inputs_) {
    if (!input->EndOfData()) end_of_input_ = false;
  }
}

void ModellApplication::RunTemperaturePreSpinUp() {
  if (inputs_.empty() || inputs_.front()->input_name() != "temperature") {
    log() << "FATAL: temperature interpolation not found. This is required for pre-SpinUp! (no regions should be "
             "used for pre-SpinUp)"
          << "[end-entry]";
    RaiseError(kPreSpinUpWithoutTemperature);
  }
  MeteoInput& temperature = *inputs_.front();
  while (!end_of_input_) {
    AgreeOnInterrupt();
    ActOnInterrupt();
    const ModelDate date = temperature.GetDate();
    if (temperature.method() == 10 || temperature.method() == 11) temperature.ComputeElevationRegression(0);
    if (static_cast<double>(date.hour) + settings_.min_to_int_end / 60 == 24) {
      log() << "temperature pre-SpinUp " << date.day << "." << date.month << "." << date.year << " " << date.hour
            << ". h " << "[end-entry]";
    }
    temperature.Interpolate(date);
    temperature.WriteResultGrid();
    soil_->accumulatePreSpinUp(date);
    Trace("soil.accumulatePreSpinUp");
    temperature.ReadNextRecord();
    if (temperature.EndOfData()) end_of_input_ = true;
  }
  log() << "INFO: pre-SpinUp reached end of defined time range. Soil-temperatures are going to be set now."
        << "[end-entry]";
  soil_->finishPreSpinUp();
  end_of_input_ = false;
  temperature.RewindInput();
  temperature.ReadNextRecord();
}

void ModellApplication::ClearMemory() {
  try {
    log() << "reached end of simulation sucessfully" << "[end-entry]";
    for (auto& input : inputs_) input->FlushStatistics();
    superposition_->FlushStatistics();
    evapotranspiration_->FlushStatistics();
    snow_->FlushStatistics();
    interception_->FlushStatistics();
    irrigation_->FlushStatistics();
    silting_up_->FlushStatistics();
    soil_->FlushStatistics();
    surface_routing_->FlushStatistics();
    groundwater_->FlushStatistics();
    routing_->FlushStatistics();
    special_output_->FlushAll();
    reader_->FlushGridStatistics();
    for (auto it = inputs_.rbegin(); it != inputs_.rend(); ++it) (*it)->DeleteModule();

    snow_->ReleaseTracers();
    interception_->ReleaseTracers();
    silting_up_->ReleaseTracers();
    irrigation_->ReleaseTracers();
    groundwater_->ReleaseTracers();
    superposition_->ReleaseTracers();

    // Storage content: the first writer that writes creates the file, the later ones
    // append to it, so a file of an earlier run is never extended.
    routing_->DeleteModule();
    bool append = routing_->wrote_storage_content();
    if (soil_->finishModel(append)) append = true;
    silting_up_->DeleteModule();
    surface_routing_->FinishModel(append);
    snow_->SetStorageAppend(append);

    for (modelobject* object : std::initializer_list<modelobject*>{
             interception_.get(), irrigation_.get(), snow_.get(), evapotranspiration_.get(),
             radiation_correction_.get(), superposition_.get(), precipitation_correction_.get(), groundwater_.get(),
             tracer_settings_.get(), special_output_.get(), reader_.get()}) {
      object->DeleteModule();
    }
    log() << "o.k.\n" << "[end-entry]";
    log() << "deleting modules..." << "[end-entry]";
    SetCurrentApplication(nullptr);
    while (!inputs_.empty()) inputs_.pop_back();
    tracer_settings_.reset();
    routing_.reset();
    groundwater_.reset();
    irrigation_.reset();
    silting_up_.reset();
    surface_routing_.reset();
    soil_.reset();
    interception_.reset();
    snow_.reset();
    evapotranspiration_.reset();
    radiation_correction_.reset();
    superposition_.reset();
    precipitation_correction_.reset();
    special_output_.reset();
    reader_.reset();
  } catch (const ErrorCode&) {
    log() << "FATAL: Exception in Modellapplication::ClearMemory() caught!" << "[end-entry]";
    throw;
  }
}

}  // namespace tolvo
