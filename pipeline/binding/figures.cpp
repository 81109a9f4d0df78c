// Result figures: convergence curves, test confusion matrix, per-class test
// metrics, true against predicted test classes and per-set metrics, each
// saved as a 300 dpi PNG in "figure" beside the module file right after it
// is drawn; then shown without blocking or closed. Everything here goes
// through matplotlib's Python API with the GIL held.
#include "binding/figures.h"

#include <algorithm>
#include <utility>

namespace hst {

namespace {

using namespace pybind11::literals;

// CJK fonts that matplotlib may fall back to when the import-time
// sans-serif list (SimHei, Microsoft YaHei, DejaVu Sans) has no Chinese
// glyphs on this machine; the first one installed is used.
constexpr const char* kCjkFamilies[] = {
    "WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "Noto Sans CJK SC", "Noto Sans SC",
    "Source Han Sans SC",  "Droid Sans Fallback",
};

// Family name of an installed CJK font known to matplotlib's font manager,
// or None.
py::object installed_cjk_family() {
  py::object manager = py::module_::import("matplotlib.font_manager").attr("fontManager");
  py::set names;
  for (py::handle entry : manager.attr("ttflist")) names.add(entry.attr("name"));
  for (const char* family : kCjkFamilies) {
    py::str name(family);
    if (names.contains(name)) return py::object(name);
  }
  return py::none();
}

// The caller's font.family with the CJK font appended, so glyphs missing
// from the regular font come from it; empty when no CJK font is installed.
py::dict cjk_fallback_settings(const py::module_& plt) {
  py::dict settings;
  py::object cjk = installed_cjk_family();
  if (cjk.is_none()) return settings;
  py::list families;
  py::object current = plt.attr("rcParams")["font.family"];
  if (py::isinstance<py::str>(current)) {
    families.append(current);
  } else {
    for (py::handle f : current) families.append(f);
  }
  if (!families.contains(cjk)) families.append(cjk);
  settings["font.family"] = families;
  return settings;
}

// plt.rc_context(settings) held for a scope: every rcParams value the caller
// had is back in place when the scope ends, by return or by exception.
class RcScope {
 public:
  RcScope(const py::module_& plt, const py::dict& settings) {
    context_ = plt.attr("rc_context")(settings);
    context_.attr("__enter__")();
  }
  RcScope(const RcScope&) = delete;
  RcScope& operator=(const RcScope&) = delete;
  // Leaves the context; errors raised while restoring propagate.
  void close() {
    if (context_.is_none()) return;
    py::object context = std::move(context_);
    context_ = py::none();
    context.attr("__exit__")(py::none(), py::none(), py::none());
  }
  ~RcScope() {
    try {
      close();
    } catch (...) {
      // Already unwinding from another error, which is the one to report.
    }
  }

 private:
  py::object context_ = py::none();
};

// A folder or file of the stage could not be made: the path and the
// operating system's words for why.
struct SaveFailure {
  std::string path;
  std::string reason;
};

std::string os_error_reason(const py::error_already_set& e) {
  const py::object& err = e.value();
  py::object strerror = py::getattr(err, "strerror", py::none());
  if (strerror.is_none()) {
    std::string text = text_of(err);
    std::string type = text_of(py::type::handle_of(err).attr("__name__"));
    return text.empty() ? type : type + ": " + text;
  }
  py::object errno_value = py::getattr(err, "errno", py::none());
  if (errno_value.is_none()) return text_of(strerror);
  return "[Errno " + text_of(errno_value) + "] " + text_of(strerror);
}

// Runs a file-system step; an OSError becomes a SaveFailure naming `path`,
// every other error propagates unchanged.
template <typename Step>
void file_step(const py::object& path, Step&& step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    throw SaveFailure{text_of(path), os_error_reason(e)};
  }
}

class FigureStage {
 public:
  FigureStage(const FigureInputs& in, py::module_ plt)
      : in_(in), plt_(std::move(plt)), np_(py::module_::import("numpy")) {}

  void run() {
    py::object figure_dir = in_.module.attr("Path")(in_.module.attr("__file__"))
                                .attr("resolve")()
                                .attr("parent")
                                .attr("joinpath")("figure");
    try {
      file_step(figure_dir, [&] { figure_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true); });
      figure_dir_ = figure_dir;
      prefix_ = make_prefix();
      convergence();
      confusion_matrix();
      per_class_metrics();
      true_and_predicted();
      per_set_metrics();
    } catch (const SaveFailure& failure) {
      // The trained results matter more than the pictures: report, drop what
      // this call drew, and let the caller have its results.
      print_line("结果图保存失败，已跳过其余图形: " + failure.path + ": " + failure.reason);
      for (py::handle fig : opened_) plt_.attr("close")(fig);
      if (!python_bool(in_.options["showFigures"])) plt_.attr("close")("all");
      return;
    } catch (...) {
      // Any other failure, Ctrl-C included, ends the call: its figures are
      // closed rather than left behind in pyplot's registry.
      close_opened();
      throw;
    }
    if (python_bool(in_.options["showFigures"])) {
      plt_.attr("show")("block"_a = false);
      plt_.attr("pause")(0.5);
    } else {
      plt_.attr("close")("all");
    }
  }

 private:
  // caseName as text without surrounding white space, "CNN-RNN" when empty.
  py::str make_prefix() const {
    py::str prefix = py::str(in_.options["caseName"]).attr("strip")();
    if (py::len(prefix) == 0) return py::str("CNN-RNN");
    return prefix;
  }

  py::str titled(const char* text) const { return py::str(prefix_ + py::str(text)); }

  // (fig, ax-or-axes) from plt.subplots; the figure is remembered as opened
  // by this call.
  std::pair<py::object, py::object> subplots(const py::tuple& layout, double width, double height) {
    py::tuple made = plt_.attr("subplots")(*layout, "figsize"_a = py::make_tuple(width, height));
    opened_.append(made[0]);
    return {made[0], made[1]};
  }

  // Closes the figures of this call while another error propagates; a
  // failure to close must not replace that error.
  void close_opened() noexcept {
    try {
      for (py::handle fig : opened_) plt_.attr("close")(fig);
    } catch (...) {
    }
  }

  // The PNG is written under a temporary name beside its final one and
  // renamed when complete, so a save that fails or is interrupted leaves no
  // partial file (and an older file of the same name intact).
  void save(const py::object& fig, const char* suffix) {
    py::object path = figure_dir_.attr("joinpath")(titled(suffix));
    py::module_ os = py::module_::import("os");
    py::object thread_id = py::module_::import("threading").attr("get_ident")();
    py::object tmp = figure_dir_.attr("joinpath")(py::str(".hst-{}-{}.png.tmp").format(os.attr("getpid")(), thread_id));
    try {
      file_step(path, [&] {
        fig.attr("savefig")(tmp, "dpi"_a = 300, "bbox_inches"_a = "tight", "format"_a = "png");
        os.attr("replace")(tmp, path);
      });
    } catch (...) {
      try {
        tmp.attr("unlink")("missing_ok"_a = true);
      } catch (...) {
      }
      throw;
    }
  }

  py::object class_positions() const { return np_.attr("arange")(py::len(in_.classes)); }

  void convergence() {
    auto [fig, axes] = subplots(py::make_tuple(1, 2), 12, 4.8);
    py::object epochs = np_.attr("arange")(1, py::len(in_.history["trainLoss"]) + 1);

    py::object left = axes[py::int_(0)];
    left.attr("plot")(epochs, in_.history["trainLoss"], "label"_a = "训练损失", "linewidth"_a = 2);
    left.attr("plot")(epochs, in_.history["valLoss"], "label"_a = "验证损失", "linewidth"_a = 2);
    left.attr("axvline")(in_.best_epoch, "color"_a = "#ef7d22", "linestyle"_a = "--", "label"_a = "最佳轮次");
    left.attr("set_xlabel")("训练轮次");
    left.attr("set_ylabel")("交叉熵损失");
    left.attr("set_title")("训练与验证损失");
    left.attr("grid")("alpha"_a = 0.25);
    left.attr("legend")();

    py::object right = axes[py::int_(1)];
    right.attr("plot")(epochs, in_.history["trainAccuracy"], "label"_a = "训练准确率", "linewidth"_a = 2);
    right.attr("plot")(epochs, in_.history["valAccuracy"], "label"_a = "验证准确率", "linewidth"_a = 2);
    right.attr("set_xlabel")("训练轮次");
    right.attr("set_ylabel")("准确率");
    right.attr("set_ylim")(0, 1.03);
    right.attr("set_title")("训练与验证准确率");
    right.attr("grid")("alpha"_a = 0.25);
    right.attr("legend")();

    fig.attr("suptitle")(titled(" CNN-RNN 收敛过程"), "fontsize"_a = 14, "fontweight"_a = "bold");
    fig.attr("tight_layout")();
    save(fig, "_图1-收敛过程.png");
  }

  void confusion_matrix() {
    auto [fig, ax] = subplots(py::make_tuple(), 7.2, 6.2);
    py::array conf_mat = np_.attr("asarray")(in_.metrics_test["confusionMatrix"]);
    py::object image = ax.attr("imshow")(conf_mat, "cmap"_a = "Blues");
    fig.attr("colorbar")(image, "ax"_a = ax, "fraction"_a = 0.046, "pad"_a = 0.04);

    py::object threshold = py::int_(0);
    if (conf_mat.size() > 0) threshold = conf_mat.attr("max")() / py::float_(2.0);
    const py::ssize_t rows = conf_mat.shape(0), cols = conf_mat.shape(1);
    for (py::ssize_t row = 0; row < rows; ++row) {
      for (py::ssize_t col = 0; col < cols; ++col) {
        py::object entry = conf_mat[py::make_tuple(row, col)];
        const char* colour = entry > threshold ? "white" : "black";
        ax.attr("text")(col, row, to_int(entry), "ha"_a = "center", "va"_a = "center", "color"_a = colour);
      }
    }

    ax.attr("set_xticks")(class_positions(), in_.display_names, "rotation"_a = 30, "ha"_a = "right");
    ax.attr("set_yticks")(class_positions(), in_.display_names);
    ax.attr("set_xlabel")("预测类别");
    ax.attr("set_ylabel")("真实类别");
    ax.attr("set_title")(titled(" 测试集混淆矩阵"), "fontweight"_a = "bold");
    fig.attr("tight_layout")();
    save(fig, "_图2-混淆矩阵.png");
  }

  void per_class_metrics() {
    py::object x_pos = class_positions();
    const double width = 0.25;
    auto [fig, ax] = subplots(py::make_tuple(), 9.2, 5.2);
    ax.attr("bar")(x_pos - py::float_(0.25), in_.metrics_test["precisionPerClass"], width, "label"_a = "Precision");
    ax.attr("bar")(x_pos, in_.metrics_test["recallPerClass"], width, "label"_a = "Recall");
    ax.attr("bar")(x_pos + py::float_(0.25), in_.metrics_test["f1PerClass"], width, "label"_a = "F1");
    ax.attr("set_xticks")(x_pos, in_.display_names, "rotation"_a = 25, "ha"_a = "right");
    finish_metric_bars(fig, ax, 1.05, " 各类别性能指标", "_图3-各类别指标.png");
  }

  // The common end of the two bar charts of metric values.
  void finish_metric_bars(py::object fig, py::object ax, double y_max, const char* title, const char* suffix) {
    ax.attr("set_ylim")(0, y_max);
    ax.attr("set_ylabel")("指标值");
    ax.attr("set_title")(titled(title), "fontweight"_a = "bold");
    ax.attr("grid")("axis"_a = "y", "alpha"_a = 0.25);
    ax.attr("legend")();
    fig.attr("tight_layout")();
    save(fig, suffix);
  }

  void true_and_predicted() {
    py::object y_test = in_.y_encoded[in_.test_idx];
    py::object sorted_order = np_.attr("argsort")(y_test);
    const py::ssize_t max_points = std::min<py::ssize_t>(py::len(sorted_order), 500);
    sorted_order = sorted_order[py::slice(0, max_points, 1)];
    auto [fig, ax] = subplots(py::make_tuple(), 11, 4.8);
    py::object x = np_.attr("arange")(max_points);
    ax.attr("step")(x, y_test[sorted_order], "where"_a = "mid", "linewidth"_a = 2, "label"_a = "真实类别");
    ax.attr("scatter")(x, in_.pred_test_encoded[sorted_order], "s"_a = 14, "color"_a = "#e85d3f",
                       "label"_a = "预测类别", "alpha"_a = 0.8);
    ax.attr("set_yticks")(class_positions(), in_.display_names);
    ax.attr("set_xlabel")("测试样本（按真实类别排序）");
    ax.attr("set_ylabel")("类别");
    ax.attr("set_title")(titled(" 测试集真实类别与预测类别"), "fontweight"_a = "bold");
    ax.attr("grid")("alpha"_a = 0.2);
    ax.attr("legend")();
    fig.attr("tight_layout")();
    save(fig, "_图4-分类结果对比.png");
  }

  void per_set_metrics() {
    auto [fig, ax] = subplots(py::make_tuple(), 7.8, 5.0);
    py::list set_names;
    for (const char* name : {"训练集", "验证集", "测试集"}) set_names.append(name);
    py::list accuracies, macro_f1;
    for (const py::dict* m : {&in_.metrics_train, &in_.metrics_val, &in_.metrics_test}) {
      accuracies.append((*m)["accuracy"]);
      macro_f1.append((*m)["macroF1"]);
    }
    py::object x_sets = np_.attr("arange")(3);
    py::object left = x_sets - py::float_(0.18);
    py::object right = x_sets + py::float_(0.18);
    ax.attr("bar")(left, accuracies, 0.36, "label"_a = "Accuracy");
    ax.attr("bar")(right, macro_f1, 0.36, "label"_a = "宏平均F1");

    py::object format = py::module_::import("builtins").attr("format");
    for (auto [xs, values] : {std::pair{left, accuracies}, std::pair{right, macro_f1}}) {
      for (py::ssize_t i = 0; i < 3; ++i) {
        py::object value = values[i];
        ax.attr("text")(xs[py::int_(i)], value + py::float_(0.02), format(value, ".3f"), "ha"_a = "center");
      }
    }

    ax.attr("set_xticks")(x_sets, set_names);
    finish_metric_bars(fig, ax, 1.08, " 各数据集指标对比", "_图5-数据集指标.png");
  }

  const FigureInputs& in_;
  py::module_ plt_, np_;
  py::object figure_dir_ = py::none();
  py::str prefix_;
  py::list opened_;
};

}  // namespace

void draw_result_figures(const FigureInputs& in) {
  // The caller runs this only when options["figflag"] is true.
  py::module_ plt = in.module.attr("plt").cast<py::module_>();  // the pyplot the module bound at import
  // Chinese text stays legible where the import-time fonts are missing; the
  // caller's plotting settings are untouched afterwards.
  RcScope fonts(plt, cjk_fallback_settings(plt));
  FigureStage(in, plt).run();
  fonts.close();
}

}  // namespace hst
