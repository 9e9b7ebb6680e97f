#pragma once
// File names of the vegetation layers: the name of layer k is the layer-0 name with
// "_Layer_k" before the extension (the last "." after the last "/"), or appended to a
// name without one.

#include <string>

namespace tolvo {

inline std::string LayerFileName(const std::string& name, int k) {
  const std::string tag = "_Layer_" + std::to_string(k);
  const std::size_t dot = name.rfind('.');
  const std::size_t slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + tag;
  return name.substr(0, dot) + tag + name.substr(dot);
}

}  // namespace tolvo
