#pragma once
// The texts with which the soil and the groundwater model refuse the "[lake_model]"
// section: lakes need ponding, and a lake initialization method is 1 or 2. Each model puts
// its own head line before them.

#include <optional>
#include <string>

namespace tolvo {

// Lakes switched on in lake_section while ponding ("pond_use") is off in the model.
std::string PondUseRequiredText(const std::string& lake_section, const std::string& model);

// A lake initialization method other than 1 or 2; with `method` a line names it.
std::string LakeMethodInvalidText(const std::string& lake_section, std::optional<int> method);

}  // namespace tolvo
