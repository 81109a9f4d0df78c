// The binding-side entry points of each stage (GIL held), as used by the
// module setup and the entry function.
#pragma once

#include "binding/py_semantics.h"
#include "core/network.h"

namespace hst {

// options.cpp: the entry function and the seeding helper.
py::object hybrid_seq_train(py::object X, py::object Y, py::object options);
void set_random_seed(py::object seed);

// adaptation.cpp: (sequences, shape_info)
py::tuple adapt_to_sequence(py::object X, py::object y_count, py::object sequence_axis,
                            py::object sample_dimension);

// split.cpp: (train_idx, val_idx, test_idx)
py::tuple split_indices(py::object y_encoded, py::object options);

// network.cpp: creates the `_CNNRNNClassifier` class in module m.
void register_network(py::module_& m);
// Reads the network's parameters and settings from a module instance.
NetParams extract_net_params(py::handle module);

// prediction.cpp
py::object metrics_with_display_names(py::object y_true, py::object y_pred, py::object encoded_classes);

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
  py::object module_file;      // the module's __file__
};
void draw_result_figures(const FigureInputs& in);

}  // namespace hst
