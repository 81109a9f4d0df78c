// Prediction stage: batched prediction of the three sets, evaluation through
// RatePredictions on class codes, decoding to the caller's labels, the
// console summary, display names and the result record.
#include "binding/native_call.h"
#include "binding/figures.h"
#include "binding/run_context.h"
#include "binding/stages.h"

namespace hst {

namespace {

std::pair<py::array, py::array> predict_set(RunContext& run, const py::array& idx) {
  py::module_ torch = py::module_::import("torch");
  at::Tensor rows = torch.attr("as_tensor")(idx, py::arg("dtype") = torch.attr("int64")).cast<at::Tensor>().contiguous();
  const auto out = call_native(run.prints(), [&](const EngineHooks& hooks) {
    return predict_rows(run.net, run.x_tensor, rows, run.batch_size, run.device, hooks, run.collective.get(),
                        run.lengths, run.shard);
  });
  return {numpy_of(out.first), numpy_of(out.second)};
}

std::string summary_line(const char* name, const py::dict& m) {
  return py::str("{}: Accuracy={:.4f}, Precision={:.4f}, Recall={:.4f}, F1={:.4f}")
      .format(name, m["accuracy"], m["macroPrecision"], m["macroRecall"], m["macroF1"])
      .cast<std::string>();
}

}  // namespace

py::object metrics_with_display_names(py::object module, py::object y_true, py::object y_pred,
                                      py::object encoded_classes) {
  // The name bound in the module's namespace at import, looked up per call.
  py::object rate = module.attr("RatePredictions");
  return rate(y_true, y_pred, encoded_classes);
}

py::tuple finish_run(RunContext& run) {
  py::module_ np = py::module_::import("numpy");
  auto [pred_train, prob_train] = predict_set(run, run.train_idx);
  auto [pred_val, prob_val] = predict_set(run, run.val_idx);
  auto [pred_test, prob_test] = predict_set(run, run.test_idx);

  py::object encoded_classes = np.attr("arange")(run.num_classes);
  auto take = [](const py::array& a, const py::array& idx) -> py::object { return a[idx]; };
  py::dict metrics_train = metrics_with_display_names(run.module, take(run.y_encoded, run.train_idx), pred_train, encoded_classes);
  py::dict metrics_val = metrics_with_display_names(run.module, take(run.y_encoded, run.val_idx), pred_val, encoded_classes);
  py::dict metrics_test = metrics_with_display_names(run.module, take(run.y_encoded, run.test_idx), pred_test, encoded_classes);

  py::object fore_train = take(run.classes, pred_train);
  py::object fore_val = take(run.classes, pred_val);
  py::object fore_test = take(run.classes, pred_test);

  if (run.prints()) {
    print_line("最佳轮次: " + std::to_string(run.best_epoch));
    print_line(summary_line("训练集", metrics_train));
    print_line(summary_line("验证集", metrics_val));
    print_line(summary_line("测试集", metrics_test));
  }

  py::list display_names;
  py::object class_names = run.options["classNames"];
  if (class_names.is_none()) {
    for (py::handle c : run.classes) display_names.append(py::str(c));
  } else {
    for (py::handle c : class_names) display_names.append(py::str(c));
    if (static_cast<int64_t>(display_names.size()) != run.num_classes)
      raise_value_error("classNames 的数量必须等于类别数");
  }

  py::dict info;
  info["trainIdx"] = run.train_idx;
  info["valIdx"] = run.val_idx;
  info["testIdx"] = run.test_idx;
  info["YTrain"] = take(run.y_original, run.train_idx);
  info["YValidation"] = take(run.y_original, run.val_idx);
  info["YTest"] = take(run.y_original, run.test_idx);
  info["foreDataValidation"] = fore_val;
  info["probabilityTrain"] = prob_train;
  info["probabilityValidation"] = prob_val;
  info["probabilityTest"] = prob_test;
  info["metricsTrain"] = metrics_train;
  info["metricsValidation"] = metrics_val;
  info["metricsTest"] = metrics_test;
  info["classes"] = run.classes;
  info["classNames"] = display_names;
  info["history"] = run.history;
  info["bestEpoch"] = py::int_(run.best_epoch);
  info["bestValidationLoss"] = py::float_(run.best_val_loss);
  info["normalizationMean"] = run.feature_mean;
  info["normalizationStd"] = run.feature_std;
  info["shapeInfo"] = run.shape_info;
  info["device"] = py::str(run.device_name);
  info["options"] = run.options;

  // In a data-parallel run rank 0 alone draws and saves the figures.
  if (python_bool(run.options["figflag"]) && run.leads()) {
    FigureInputs fig;
    fig.options = run.options;
    fig.history = run.history;
    fig.best_epoch = py::int_(run.best_epoch);
    fig.metrics_train = metrics_train;
    fig.metrics_val = metrics_val;
    fig.metrics_test = metrics_test;
    fig.classes = run.classes;
    fig.display_names = display_names;
    fig.y_encoded = run.y_encoded;
    fig.test_idx = run.test_idx;
    fig.pred_test_encoded = pred_test;
    fig.module = run.module;
    draw_result_figures(fig);
  }
  return py::make_tuple(fore_test, fore_train, run.model, info);
}

}  // namespace hst
