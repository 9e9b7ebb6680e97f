// The control-point files of the soil model (one header line each, written by the process
// that owns the control cell) and the option tag of the soil model's step line.

#include <cstdio>
#include <string>

#include "framework/error_code.h"
#include "framework/file_handle.h"
#include "subsurface/unsatzonmodellklasse.h"

namespace tolvo {
namespace {

// "YY\tMM\tDD\tHH\t<quantity>[r][c]".
std::string Head(const std::string& quantity, int r, int c) {
  return "YY\tMM\tDD\tHH\t" + quantity + "[" + std::to_string(r) + "][" + std::to_string(c) + "]";
}

// The head followed by "[k]\t" for each layer k = first..last, and the line end.
std::string LayerHeader(const std::string& head, int first, int last) {
  std::string text = head;
  for (int k = first; k <= last; ++k) {
    text += '[';
    text += std::to_string(k);
    text += "]\t";
  }
  return text + "\n";
}

}  // namespace

void unsatzonmodellklasse::WriteControlPointHeaders() {
  const int r = settings_.control_row;
  const int c = settings_.control_col;
  if (r <= 0 || !strip().contains(r)) return;
  if (!regions_.empty() && static_cast<int>(regions_(r, c)) != rank()) return;
  const int n = n_layers_;
  std::string other = Head("otherdata", r, c) +
                      "QD\tQI\tDELTAGW/QB\tQINF\tGWIN\tGWEX\tGWN\tUPRISE\tPERCOL\tMACR\tQDRAIN\tACT_POND\tINFEX\tGWST\t"
                      "GWLEVEL\tROOT" +
                      "\tAlbedo\tRSE";
  for (int k = 1; k <= n_landuse_layers_; ++k) {
    const std::string s = std::to_string(k);
    other += "\tLAI_" + s + "\tVCF_" + s + "\tRSC_" + s + "\tRSI_" + s + "\tROOT_" + s + "\tZ0_" + s;
  }
  other += "\n";
  struct Header {
    std::string file;
    std::string text;
    const char* fatal;
    int width;  // values per record of its series
  };
  std::vector<Header> headers = {
      {settings_.point_file(PointFile::HydraulicHead), LayerHeader(Head("hhyd", r, c), 1, n),
       "FATAL: error opening file for hydraulic head (single point) \n-> check disk space or user rights", n + 1},
      {settings_.point_file(PointFile::OtherData), other,
       "FATAL: error opening file for other detail data (single point) \n-> check disk space or user rights",
       6 * n_landuse_layers_ + 19},
      {settings_.point_file(PointFile::Theta), LayerHeader(Head("theta", r, c), 1, n),
       "FATAL: error opening file for soil theta (single point) \n-> check disk space or user rights", n + 1},
      {settings_.point_file(PointFile::QBottom), LayerHeader(Head("q_bottom", r, c), 1, n),
       "FATAL: error opening file for the fluxes at the layer bottoms (single point) \n-> check disk space or user "
       "rights",
       n + 1},
      {settings_.point_file(PointFile::EtrDetail),
       LayerHeader(Head("etr", r, c) + "(etr[0] is evaporation from first layer)", 0, n),
       "FATAL: error opening file for transpiration/evaporation per layer (single point) \n-> check disk space or "
       "user rights",
       n + 1},
      {settings_.point_file(PointFile::Interflow), LayerHeader(Head("interflow_per_layer", r, c), 1, n),
       "FATAL: error opening file for interflow (single point) \n-> check disk space or user rights", n + 1},
  };
  if (isHeatTransferActive()) {
    headers.push_back({settings_.heat.point_file, LayerHeader(Head("temper", r, c), 1, n),
                       "FATAL: error opening file for soil temperatures (single point details) \n-> check disk "
                       "space or user rights",
                       n + 1});
  }
  for (const Header& h : headers) {
    point_series_.emplace_back(h.file, h.width);
    FilePtr file(std::fopen(h.file.c_str(), "wt"));
    if (!file || std::fputs(h.text.c_str(), file.get()) < 0) {
      log() << h.fatal << "[end-entry]";
      RaiseError(kPointFileOpenError);
    }
    if (std::fclose(file.release()) != 0) {
      log() << h.fatal << "[end-entry]";
      RaiseError(kPointFileOpenError);
    }
  }
}

void unsatzonmodellklasse::BuildOptionTag() {
  std::string tag;
  if (!flow_times_.empty()) tag += "+ft,";
  if (irrigation_amounts_.index > 0) tag += "+ir,";
  if (settings_.surface_water_interaction == 1) tag += "+srf1";
  if (settings_.surface_water_interaction > 1) tag += "+srf2,";
  if (!drainage_depth_.empty() && !drainage_distance_.empty()) tag += "+dr,";
  if (!clay_depth_.empty()) tag += "+cl,";
  if (settings_.pond == 1) tag += "+po,";
  option_tag_ = tag;
}

}  // namespace tolvo
