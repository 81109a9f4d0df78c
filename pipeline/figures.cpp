#include "stages.h"

namespace hst {

void draw_result_figures(const FigureInputs& in) {
  (void)in;  // figures are drawn by the figure stage (not yet built)
}

}  // namespace hst
