#include "subsurface/lake_section_texts.h"

namespace tolvo {

std::string PondUseRequiredText(const std::string& lake_section, const std::string& model) {
  return "!!!! ERROR !!!! \n\nError in initialization method for " + lake_section + ".\npond_use must be set in " +
         model + "\nfor using the " + lake_section + "\n\n=======================================\n";
}

std::string LakeMethodInvalidText(const std::string& lake_section, std::optional<int> method) {
  std::string text = "!!!! ERROR !!!! \n\n Error in initialization method for " + lake_section + ".\n";
  if (method) text += "Lake initialization method (" + std::to_string(*method) + ") not valid.\n";
  return text +
         "Allowed values are 1 (no change of grids) or 2 (adjust DEM, SLOPE, DRAIN).\n"
         "In either case, theta_soil will be set to saturation,\n"
         "if the cell is marked as lake and POND is > 0. Also, the groudwater level\n"
         "will be set to 0."
         "\n\n=======================================\n";
}

}  // namespace tolvo
