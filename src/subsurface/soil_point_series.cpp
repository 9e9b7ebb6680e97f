#include "subsurface/soil_point_series.h"

#include <algorithm>

namespace tolvo {
namespace {

constexpr long kBufferBytes = 2097152;
constexpr long kDateBytes = 32;

}  // namespace

PointSeries::PointSeries(std::string file, int width)
    : file_(std::move(file)),
      capacity_(std::max(1L, kBufferBytes / (static_cast<long>(width) * 8 + kDateBytes))),
      width_(width) {}

}  // namespace tolvo
