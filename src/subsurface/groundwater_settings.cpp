#include "subsurface/groundwater_settings.h"

#include "framework/error_code.h"
#include "framework/grid_file_format.h"
#include "subsurface/tuning_section.h"

namespace tolvo {

std::string OldHeadsName(const std::string& heads_name) {
  // Only a dot of the file's own name counts: one in a folder name is no extension.
  const std::size_t slash = heads_name.rfind('/');
  const std::size_t dot = heads_name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return heads_name + "_old";
  return heads_name.substr(0, dot) + "_old" + heads_name.substr(dot);
}

namespace {

LayerOutput ReadLayerOutput(modelobject& reader, const std::string& name_item, const std::string& code_item) {
  LayerOutput out;
  reader.ReadItem(out.name, name_item);
  reader.ReadItem(out.write_code, code_item);
  return out;
}

void CheckControlPoint(modelobject& reader, const std::string& section, int row, int col) {
  const GridGeometry& g = reader.geometry();
  if (row < 0 || row > g.nrows) {
    reader.log() << "FATAL: in modul " << section << ":\n"
                 << "row index (" << row << ") for output-cell must be between " << 1 << " and " << g.nrows
                 << " (Input as row col) or 0 0 "
                 << "[end-entry]";
    RaiseError(kControlRowError);
  }
  if (col < 0 || col > g.ncols) {
    reader.log() << "FATAL: in modul " << section << ":\n"
                 << "column index (" << col << ") for output-cell must be between " << 1 << " and " << g.ncols
                 << " (Input as row col) "
                 << "[end-entry]";
    RaiseError(kControlColumnError);
  }
}

}  // namespace

void ReadGroundwaterSection(modelobject& reader, const std::string& section, GroundwaterSettings& s) {
  const std::string in = " " + section;
  reader.ReadItem(s.method_number, "method in" + in);
  s.method = s.method_number == 1   ? HeadSolver::kPointIteration
             : s.method_number == 2 ? HeadSolver::kRowImplicit
                                    : HeadSolver::kNone;
  reader.ReadItem(s.max_iterations, "maxiter in" + in);
  reader.ReadItem(s.max_error, "maxerror_allowed in" + in);
  reader.ReadItem(s.alpha, "alpha in" + in);
  reader.ReadItem(s.sor_parameter, "sor-parameter in" + in);
  s.adaptive_relaxation = s.sor_parameter <= 0;
  reader.ReadItem(s.grid_read_code, "grid read parameter in" + in);
  reader.ReadItem(s.n_layers, "number of layers in" + in);
  if (s.n_layers < 0) {
    reader.ControlFileValueError("[" + section + "]", "number of layers in" + in, s.n_layers,
                                 "0 or more aquifer layers");
  }
  reader.ReadItemPair(s.control_row, s.control_col, "control_row/column for control point fluxes in" + in);
  reader.ReadItem(s.control_file, "name of the control point file  ");
  s.control_file = PrefixPath(reader.output_directory(), s.control_file);
  CheckControlPoint(reader, section, s.control_row, s.control_col);

  // The optional flag line counts only when its first token is exactly 0 or 1; any other
  // line is the first heads name.
  const std::optional<std::string> flag = reader.control_file().PeekToken();
  s.pond_flag_given = flag && (*flag == "0" || *flag == "1");
  s.use_pond_flag = s.pond_flag_given && *flag == "1" ? 1 : 0;
  if (s.pond_flag_given) {
    reader.control_file().ReadToken();
    reader.control_file().SkipLine();
  }

  s.layers.assign(static_cast<std::size_t>(s.n_layers) + 1, AquiferLayerOutputs());
  for (int n = 1; n <= s.n_layers; ++n) {
    AquiferLayerOutputs& l = s.layers[static_cast<std::size_t>(n)];
    l.heads =
        ReadLayerOutput(reader, "name of grid with hydraulic heads in" + in, "Writegrid (hydraulic heads) in" + in);
    l.flow_x =
        ReadLayerOutput(reader, "name of grid with x-transmissivities in" + in, "Writegrid x-transmissivities in" + in);
    l.flow_y =
        ReadLayerOutput(reader, "name of grid with y-transmissivities in" + in, "Writegrid y-transmissivities in" + in);
    l.balance = ReadLayerOutput(reader, "name of grid with balances in" + in, "Writegrid balances in" + in);
    l.old_heads_name = OldHeadsName(l.heads.name);
  }
}

void ReadGroundwaterTuning(modelobject& reader, GroundwaterSettings& s) {
  ReadTuningLines(reader, [&](const std::string& line) {
    if (line.find("frozenDepthScaling") != std::string::npos)
      s.frozen_depth_scaling = TuningValue(reader, line, "[groundwater_tuning]", "frozenDepthScaling");
  });
}

}  // namespace tolvo
