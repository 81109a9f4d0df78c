// Documentation text of HybridSeqClassifierCV.
#pragma once

namespace hst::doc {

inline constexpr const char* kEstimatorCV = R"DOC(按数据自动选择网络结构的 HybridSeqClassifier：逐次减半搜索 + 分层交叉验证 + 在全部训练数据上重训最佳者。

fit(X, y) 只用传入的训练数据：先由数据导出候选网络结构的网格（见下），按 seed 从中抽取 n_candidates 个候选，
再做逐次减半（successive halving）：每一轮在 cv 折分层交叉验证上训练并评估全部剩余候选（平均准确率），
保留最好的 1/factor 进入下一轮，下一轮的 maxEpochs 为本轮的 factor 倍，最后一轮用满 maxEpochs；
剩余候选不超过 factor 个的一轮是最后一轮。最后用最佳候选的参数在全部训练数据上重训 ensemble 次（种子依次为
seed、seed+1、…，超过 2**32-1 时从 1 接续），得到 estimators_（第一个即 best_estimator_）；predict_proba 为它们概率的均值。
候选数与减半日程决定全部工作量，所以同一 seed 两次搜索的结果逐位相同（与 n_jobs 无关）。

Parameters
----------
n_candidates : int，默认 16。从网格中抽取的候选个数（网格更小时取整个网格）。
factor : int，默认 3。每轮保留 1/factor 的候选，maxEpochs 乘以 factor（≥ 2）。
cv : int，默认 3。分层交叉验证的折数（≥ 2）。
maxEpochs : int，默认 100。最后一轮（及重训）的 epoch 上限；第 i 轮为 maxEpochs / factor^(轮数-1-i)，至少 10（maxEpochs 更小时为 maxEpochs）。
time_budget : float 或 None，默认 None。以秒计的时间预算。每一轮按 n_jobs 个候选（各带全部折）一批地训练；
    每批开始前，若按已测得的速度估计这一批加上重训会超出预算，搜索就此停止，用最后一轮中已完成的候选里最好的一个重训
    （maxEpochs 为该轮的值）。第一批总会完成；预算很紧时第一轮可能只评估了部分候选。
    给定预算时，结果取决于机器速度（在哪一批停下由实际用时决定），不再逐位可复现。
n_jobs : int 或 None，默认 None。并行训练的进程数（joblib；-1 为全部 CPU）。
seed : int，默认 42。抽取候选、划分折与每次训练的随机种子；0 表示不固定任何随机性。
sequenceAxis : int，默认 -1。单条样本内的序列轴，与 HybridSeqClassifier 相同；样本必须在 X 的第 0 维（或为逐样本数组的列表）。
deviceSel : str，默认 "auto"。训练设备，与 HybridSeqClassifier 相同。
verbose : bool，默认 False。每轮结束时打印一行进度。
ensemble : int，默认 5。最佳候选重训的次数（各用不同种子）；预测取各成员概率的均值，小训练集上可减小单次训练的偶然性。
    为 1 时与只重训一次相同。给定 time_budget 时，成员也按 n_jobs 个一批训练，预算用尽时成员可能少于 ensemble（至少一个）。

搜索空间（由数据导出）
----------------------
记 L 为各样本长度的中位数（适配后的序列长度）、L_min 为最短样本的长度、F 为每步特征数（通道数）、
K 为类别数、n 为一折的训练样本数（全部样本 ×(cv-1)/cv，再去掉早停留出的部分）。
- poolSize：2 的幂 p，使循环层看到的步数 L/p 在 12 到 64 之间，且 p ≤ L_min（任何样本经池化后至少剩一步）；
  L < 12 时只有 p = 1；最短样本太短、没有这样的 p 时，取不超过 L_min 的最大 2 的幂。
- convChannels：深度 1、2、3 层，宽度 w、2w、4w（w = 32；F > 32 时 w = 64）；L < 32 时不用 3 层。
- kernelSize：L < 64 时为 3、5、7，否则为 5、7、9。
- networkType：GRU、LSTM、BiGRU、BiLSTM。
- rnnHidden：32、64（n ≥ 500 时为 64、128）。
- learnRate：0.001、0.003（adam）。
- batchSize：16、32、64 中每个 epoch 至少有 4 个批次者（n/b ≥ 4）；都不满足时为 8。
- earlyStoppingPatience：maxEpochs/10 与 maxEpochs/5（至少 5 与 10）。
- 每次训练的 validationRatio 取 0.15，但至少为 K/训练样本数（留出部分每类至少一个样本），至多 0.45；
  其余参数为 HybridSeqClassifier 的默认值。
search_space(X, y) 返回这份网格（不训练）。

fit 之后的属性：best_estimator_（在全部训练数据上重训的 HybridSeqClassifier）、estimators_（全部成员，
best_estimator_ 在首位）、best_params_（含该轮的 maxEpochs）、
best_score_、best_index_、cv_results_（与 scikit-learn 的逐次减半搜索同一布局：iter、n_resources、params、
param_*、split*_test_score、mean/std/rank_test_score、mean/std_fit_time、mean/std_score_time）、classes_、
search_space_、n_candidates_、n_resources_（各轮的 maxEpochs）、n_iterations_、n_possible_iterations_、
n_splits_、refit_time_、stopped_by_budget_，X 为二维时还有 n_features_in_。
predict / predict_proba / score 用全部成员（概率均值）；to_module() 返回同样取均值的 torch.nn.Module
（只有一个成员时即 best_estimator_.to_module()）。

Example
-------
clf = HybridSeqClassifierCV(n_jobs=2, time_budget=600).fit(X_train, y_train)
print(clf.best_params_, clf.score(X_test, y_test))
)DOC";

}  // namespace hst::doc
