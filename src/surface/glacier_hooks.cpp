// Hooks of the glacier model in the snow step. Until the glacier cells are computed, a
// glacierised cell keeps its snow stores in the step, and the lateral step has no glacier
// outflow; the glacier model replaces these bodies.

#include "surface/schneemodellklasse.h"

namespace tolvo {

void schneemodellklasse::GlacierCellStep(int /*r*/, int /*c*/, double /*g*/, const SnowCellParameters& /*p*/,
                                         const SnowCellGrids& /*grids*/) const {}

void schneemodellklasse::GlacierLateralStep(const ModelDate& /*d*/) {}

}  // namespace tolvo
