// The result figures: what the prediction stage hands to the figure stage.
#pragma once

#include "binding/py_semantics.h"

namespace hst {

// figures.cpp: draws, saves and shows or closes the five result figures.
struct FigureInputs {
  py::dict options;            // completed options (figflag, showFigures, caseName)
  py::dict history;            // trainLoss, valLoss, trainAccuracy, valAccuracy
  py::object best_epoch;       // Python int
  py::dict metrics_train, metrics_val, metrics_test;
  py::object classes;          // sorted distinct labels (only the count is used)
  py::list display_names;      // K texts
  py::array y_encoded;         // codes of all samples
  py::array test_idx;          // test positions
  py::array pred_test_encoded; // predicted test codes, test_idx order
  py::object module;           // the HybridSeqTrain module: its plt, Path and __file__
};
void draw_result_figures(const FigureInputs& in);

}  // namespace hst
