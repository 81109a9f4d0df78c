// Documentation texts of the module's functions.
#pragma once

namespace hst::doc {

inline constexpr const char* kHybridSeqTrain = R"DOC(使用 CNN-RNN 对一维数组、多通道序列、灰度图或彩色图进行分类。

每条样本中选定的一个轴作为序列轴（按顺序读取），其余各轴合并为每个序列步的特征；
随后依次进行一维卷积、循环网络（RNN/LSTM/GRU）、分类、评价与绘图。

Parameters
----------
X : np.ndarray
    数值数组，常见格式：
    - 一维数据 [样本数, 长度]，例如 [150, 4]；
    - 多通道序列 [样本数, 通道数, 长度]，例如 [2700, 9, 128]；
    - 灰度图 [样本数, 高, 宽]，例如 [5000, 28, 28]；
    - 彩色图 [样本数, 通道数, 高, 宽]。
    不等长序列：X 可以是逐样本数组的列表（或元组、一维 object 数组），各样本的轴数相同，
    除序列轴外尺寸相同，例如 [[通道数, L_1], [通道数, L_2], ...]；此时样本即列表元素
    （sampleDimension 为 "auto" 或 0），每条样本按其自身长度计算；样本长度不全相同时，
    info["shapeInfo"]["sequenceLengths"] 以整数元组记录各样本长度（等长数据不加此键）。
    X 必须全部为有限实数（不能包含 NaN、Inf 或复数）。
Y : sequence
    每条样本一个类别标签，可以是整数、实数或文本。
options : dict, optional
    输入适配：
        sampleDimension : "auto" 或 int，默认 "auto"。X 中哪个轴是样本维；"auto" 先试第一个轴，再试最后一个轴。
        sequenceAxis : int，默认 -1。单条样本内部哪个轴是有序的序列轴（时间或位置），不含样本维、从0计数，-1 为最后一轴。
            一维样本用 0，[通道, 时间] 样本用 1，[通道, 高, 宽] 样本通常用 2。网络按顺序读取该轴，不能随意选择。
    数据划分：
        splitLabels : sequence 或 None，默认 None。预先给定的划分（1=训练，2=验证，3=测试），用于把受试者、设备或批次分开；
            给定时 rTrain、validationRatio 和 shuffle 不起作用。
        rTrain : float，默认 0.8。训练集加验证集占全部样本的比例，其余为最终测试集（不是训练集单独的比例）。
        validationRatio : float，默认 0.15。验证集占训练加验证样本池的比例；验证集用于提前停止和模型选择。
        shuffle : bool，默认 True。分层划分前是否打乱独立样本；严格按时间排列的数据或固定划分应关闭。
        seed : int，默认 42。随机种子；0 表示不固定任何随机性。
    网络结构：
        networkType : str，默认 "LSTM"。循环层类型：RNN/LSTM/GRU/BiRNN/BiLSTM/BiGRU；"Bi" 类型双向读取，代价更高。
        convChannels : sequence of int，默认 [32, 64]。各一维卷积层的输出通道数；元素个数即卷积层数。
        kernelSize : int，默认 5。卷积核覆盖的相邻位置数；取奇数以便填充后长度不变。
        poolSize : int，默认 2。最大池化窗口；1 表示不池化。
        rnnHidden : int，默认 64。循环层隐藏单元数。
        rnnLayers : int，默认 1。循环层层数；只有多于一层时 dropout 才作用于循环层之间。
        dropout : float，默认 0.2。丢弃概率。
    训练过程：
        solverName : str，默认 "adam"。优化器：adam/sgdm/rmsprop；"adam" 通常是首选。
        maxEpochs : int，默认 40。最大训练轮数；提前停止可能更早结束训练。
        learnRate : float，默认 0.001。初始学习率。
        batchSize : int，默认 64。小批量样本数。
        earlyStoppingPatience : int，默认 8。验证损失连续多少轮未改善后停止训练；0 表示关闭提前停止。
        learnRateSchedule : str，默认 "none"。"none" 或 "piecewise"；"piecewise" 每隔 learnRateDropPeriod 轮把学习率乘以 learnRateDropFactor。
        learnRateDropPeriod : int，默认 15。学习率下降周期（轮）。
        learnRateDropFactor : float，默认 0.5。学习率下降因子。
        classWeight : "auto"、"none" 或 sequence of float，默认 "auto"。"auto" 按训练集频率的倒数加权，"none" 不加权，或每个类别一个权重。
        deviceSel : str，默认 "auto"。"auto"/"cpu"/"gpu"；"auto" 有可用GPU时使用GPU，否则使用CPU。
    数据处理与绘图：
        mapflag : bool，默认 True。只用训练集的均值和标准差对特征进行标准化。
        figflag : bool，默认 True。绘制并保存结果图。
        showFigures : bool，默认 True。同时尝试打开图窗（无论如何都会保存文件）。
        caseName : str，默认 "CNN-RNN"。保存图片的文件名前缀，便于多次运行共用一个图片文件夹。
        classNames : sequence of str 或 None，默认 None。类别显示名称，顺序与 Y 中排序后的类别值一致。
    数据并行：调用方已初始化多于一个进程的 torch.distributed 进程组时，每个进程都须以完整且相同的
        X、Y 和 options 调用本函数（不一致或有进程未调用时各进程都会报错），各进程训练同一个网络；
        options["dataParallel"] = False 时只在本进程单独训练；为 "sharded" 时每个进程只传入自己的一份
        样本（X 与 Y 的对应行），结果与在各份按进程顺序拼接的数据上调用一次相同，且各进程相同。
        该键只在给出时读取，不加入完整 options。

Returns
-------
foreData : np.ndarray
    测试集预测标签，使用与Y一致的原始类别值。
foreDataTrain : np.ndarray
    训练集预测标签。
model : torch.nn.Module
    已恢复到最佳验证损失状态的 CNN-RNN 模型。
info : dict
    包含训练/验证/测试索引和真实标签、验证集预测、类别得分、
    Accuracy/Precision/Recall/F1、混淆矩阵、训练历史、归一化参数、
    输入尺寸适配记录、最佳轮次、训练设备和完整options。

Example
-------
pred_test, pred_train, model, info = HybridSeqTrain(X, Y, options)
)DOC";

inline constexpr const char* kEstimator = R"DOC(CNN-RNN 分类器，scikit-learn 估计器接口（fit / predict / predict_proba / score）。

参数与 HybridSeqTrain 的 options 同名、同默认值，只有以下不同：figflag 与 showFigures 默认 False；
verbose（默认 False）打开控制台输出；dataParallel（默认 False）在 torch.distributed 进程组内
为 True 时各进程以相同的完整数据一同训练，为 "sharded" 时各进程各传入自己的一份样本；没有 splitLabels 和 rTrain（传给 fit 的数据就是训练数据，其中
validationRatio 的样本分层留出，用于早停和选择最佳状态；figflag 为 True 时图中"测试集"为这部分验证样本）。
参数在 __init__ 中原样保存，在 fit 中检查。

fit 之后的属性：classes_、model_（_CNNRNNClassifier）、history_、best_epoch_、best_validation_loss_、
shape_info_、feature_mean_、feature_std_、train_rows_、validation_rows_，X 为二维时还有 n_features_in_。
predict / predict_proba 接受与 fit 相同布局的新原始数据（样本维位置与单条样本尺寸相同）。
HybridSeqClassifier.from_result(model, info) 把 HybridSeqTrain 的结果变为已训练的估计器；
to_module() 返回含预处理的可部署 torch.nn.Module。

Example
-------
clf = HybridSeqClassifier(maxEpochs=20).fit(X_train, y_train)
proba = clf.predict_proba(X_new)
)DOC";

inline constexpr const char* kSetRandomSeed = "固定 Python、NumPy、PyTorch（及所有CUDA设备）的随机种子；0 表示不固定。";
inline constexpr const char* kAdaptToSequence =
    "把任意布局的 X 转换为 [样本数, 特征数, 序列长度] 的 float32 数组，并返回尺寸适配记录。";
inline constexpr const char* kSplitIndices = "按 splitLabels 或分层随机划分得到训练、验证、测试索引。";

}  // namespace hst::doc
