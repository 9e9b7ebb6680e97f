#pragma once
// Tracer settings: the dissolved substances carried through the sub-models, defined once
// for the whole model in the control-file section "[substance_transport]".
//
// The section holds the number of tracers (at most 9; 0 or less: none) and then one line
// per tracer: its name (first word) and keywords in any order:
//   radioactive | non_radioactive, half_time = <days> d (radioactive only),
//   evaporating | non_evaporating, min_conc = <x>, max_conc = <x> [mg/l|g/l|kg/kg|Kg/Kg],
//   soilini = <x>, gwini = <x>, statcode = <n>, gridcode = <n>, path = <word>,
//   statext = <word>, gridext = <word>.

#include <span>
#include <string>
#include <vector>

#include "framework/modelobject.h"
#include "framework/tracer_settings_record.h"

namespace tolvo {

class tracer_ini_class : public modelobject {
 public:
  // Reads "[substance_transport]" from the (compiled) control file; throws the ErrorCode of
  // a failure after its entry. n_tracers and tracers (entries 0..n, entry 0 unused; empty
  // without tracers) are handed out only when the section has been read completely; the
  // table stays owned by this object.
  tracer_ini_class(DiagnosticsLog& log, std::string control_file_name, int unused, int& n_tracers,
                   std::span<TracerSettingsRecord>& tracers, OutputFormats formats = {},
                   std::string input_directory = {}, std::string output_directory = {});

  // Frees the table, then releases the base.
  void DeleteModule() override;

 private:
  void ReadSection();
  int ReadTracerCount();
  TracerSettingsRecord ReadTracer(const std::string& line, int i, int n) const;

  std::vector<TracerSettingsRecord> tracers_;
};

}  // namespace tolvo
