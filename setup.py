"""Builds the two extension modules against the torch that is installed.

HybridSeqTrain  - PyTorch C++ extension (sources in pipeline/)
RatePredictions - plain pybind11 module (sources in evaluation/), no torch link
"""
import glob
import os

from setuptools import setup
from setuptools.extension import Extension
from torch.utils import cpp_extension

HERE = os.path.dirname(os.path.abspath(__file__))


def torch_include_dirs():
    dirs = list(cpp_extension.include_paths())
    # Debian installs the headers under /usr/include and leaves torch/include
    # empty, so the C++ API folder is missing from include_paths() there.
    api = "/usr/include/torch/csrc/api/include"
    if not any(os.path.isfile(os.path.join(d, "torch", "all.h")) for d in dirs) and os.path.isdir(api):
        dirs.append(api)
    return dirs


def torch_library_dirs():
    dirs = [d for d in cpp_extension.library_paths() if os.path.isdir(d) and glob.glob(os.path.join(d, "libtorch*"))]
    if not dirs:
        dirs = ["/usr/lib/x86_64-linux-gnu"]
    return dirs


CXX_FLAGS = ["-O3", "-std=c++17", "-fvisibility=hidden", "-Wall", "-Wno-unused-function", "-Wno-deprecated-declarations", "-g0"]
if os.environ.get("HST_SANITIZE"):
    CXX_FLAGS = ["-O1", "-g", "-std=c++17", "-fno-omit-frame-pointer", "-fsanitize=address,undefined"]
LINK_SAN = ["-fsanitize=address,undefined"] if os.environ.get("HST_SANITIZE") else []

lib_dirs = torch_library_dirs()
common_inc = [os.path.join(HERE, "common")]

hybrid = cpp_extension.CppExtension(
    name="HybridSeqTrain",
    sources=sorted(glob.glob("pipeline/*.cpp")),
    include_dirs=torch_include_dirs() + common_inc + [os.path.join(HERE, "pipeline")],
    library_dirs=lib_dirs,
    libraries=["c10", "torch", "torch_cpu", "torch_python"],
    extra_compile_args={"cxx": CXX_FLAGS},
    extra_link_args=[f"-Wl,-rpath,{d}" for d in lib_dirs] + LINK_SAN,
)

rate = Extension(
    name="RatePredictions",
    sources=sorted(glob.glob("evaluation/*.cpp")),
    # torch's own pybind11 headers where it ships them (one pybind11 for both
    # modules); only headers, nothing of torch is linked.
    include_dirs=list(cpp_extension.include_paths()) + common_inc,
    extra_compile_args=CXX_FLAGS,
    extra_link_args=LINK_SAN,
    language="c++",
)

# HST_EXTENSIONS=RatePredictions (comma separated) builds only the named modules.
_only = [n for n in os.environ.get("HST_EXTENSIONS", "").split(",") if n]
ext_modules = [e for e in (hybrid, rate) if not _only or e.name in _only]

setup(
    name="hybrid-seq-train",
    version="0.1.0",
    description="Conv1d + RNN/LSTM/GRU classifier for numeric arrays, trained in one call",
    ext_modules=ext_modules,
    cmdclass={"build_ext": cpp_extension.BuildExtension.with_options(use_ninja=True)},
    python_requires=">=3.9",
    zip_safe=False,
)
