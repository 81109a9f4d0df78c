"""Builds the two extension modules against the torch that is installed.

HybridSeqTrain  - PyTorch C++ extension: pipeline/binding (Python-facing
                  stages) linked with the native library of pipeline/core,
                  pipeline/kernels and pipeline/runtime (ATen only)
RatePredictions - plain pybind11 module (evaluation/), no torch link
"""
import glob
import os
import sys
import sysconfig

try:
    from torch.utils import cpp_extension
except ImportError as exc:  # one line that says what to install, not a setuptools traceback
    sys.exit(
        f"HybridSeqTrain is built against an installed torch, which this interpreter ({sys.executable}) "
        f"cannot import ({exc}). Install torch first (Debian: bash tools/setup-debian.sh; "
        "index: pip install -r requirements-current.txt), then build with: pip install --no-build-isolation ."
    )

from setuptools import setup
from setuptools.extension import Extension

HERE = os.path.dirname(os.path.abspath(__file__))


def rel_sources(*patterns):
    out = []
    for p in patterns:
        out += sorted(glob.glob(os.path.join(HERE, p)))
    return [os.path.relpath(s, HERE) for s in out]


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
    return dirs or ["/usr/lib/x86_64-linux-gnu"]


# The native library (core, kernels, runtime): the same translation units the
# C++ test suite links (tests/cpp/CMakeLists.txt globs the same folders).
NATIVE_SOURCES = rel_sources("pipeline/core/*.cpp", "pipeline/kernels/*.cpp", "pipeline/runtime/*.cpp")
BINDING_SOURCES = rel_sources("pipeline/binding/*.cpp")

def torch_cxx_standard():
    """-std= for the torch extension: what the installed headers demand."""
    sys.path.insert(0, os.path.join(HERE, "tools"))
    try:
        from cxx_standard import cxx_standard
    finally:
        sys.path.pop(0)
    return "-std=c++%d" % cxx_standard(torch_include_dirs())


# -fno-math-errno: nothing reads errno after a math call, and with it set
# sqrt stays a vector instruction inside the fused loops.
CXX_FLAGS = ["-O3", "-fno-math-errno", "-fvisibility=hidden", "-Wall", "-Wextra", "-g0"]
if os.environ.get("HST_SANITIZE"):
    CXX_FLAGS = ["-O1", "-g", "-Wall", "-Wextra", "-fno-omit-frame-pointer", "-fsanitize=address,undefined"]
LINK_SAN = ["-fsanitize=address,undefined"] if os.environ.get("HST_SANITIZE") else []

# HST_ISA=avx2|avx512|baseline builds the kernels for that one instruction set
# (-march x86-64-v3 / v4 / x86-64) instead of one version per set chosen at
# load time, e.g. HST_ISA=avx2 on an AVX-512 machine measures what AVX2-only
# machines run. The module's _kernel_isa names the build.
ISA_MARCH = {"avx2": "x86-64-v3", "avx512": "x86-64-v4", "baseline": "x86-64"}
ISA = os.environ.get("HST_ISA", "")
if ISA and ISA not in ISA_MARCH:
    sys.exit("HST_ISA must be one of %s, got %r" % (", ".join(sorted(ISA_MARCH)), ISA))
ISA_FLAGS = (["-march=" + ISA_MARCH[ISA], "-DHST_VECTOR_CLONES=", '-DHST_KERNEL_ISA="%s"' % ISA] if ISA else [])

lib_dirs = torch_library_dirs()
# torch's and Python's headers are system headers to the compiler: -Wall
# -Wextra then speak about our code only (an -isystem folder also given with
# -I stays a system folder).
SYSTEM_INC = []
for d in torch_include_dirs() + [sysconfig.get_paths()["include"]]:
    SYSTEM_INC += ["-isystem", d]
CXX_FLAGS = CXX_FLAGS + SYSTEM_INC
interop_inc = [os.path.join(HERE, "interop")]

hybrid = cpp_extension.CppExtension(
    name="HybridSeqTrain",
    sources=BINDING_SOURCES + NATIVE_SOURCES,
    include_dirs=torch_include_dirs() + interop_inc + [os.path.join(HERE, "pipeline")],
    library_dirs=lib_dirs,
    libraries=["c10", "torch", "torch_cpu", "torch_python"],
    # OpenMP: the kernels split large passes over torch's intra-op threads
    # (pipeline/kernels/parallel.h)
    extra_compile_args={"cxx": [torch_cxx_standard(), "-fopenmp"] + CXX_FLAGS + ISA_FLAGS},
    extra_link_args=[f"-Wl,-rpath,{d}" for d in lib_dirs] + ["-fopenmp"] + LINK_SAN,
)

rate = Extension(
    name="RatePredictions",
    sources=rel_sources("evaluation/*.cpp"),
    # torch's own pybind11 headers where it ships them (one pybind11 for both
    # modules); only headers, nothing of torch is linked.
    include_dirs=list(cpp_extension.include_paths()) + interop_inc,
    extra_compile_args=["-std=c++17"] + CXX_FLAGS,
    extra_link_args=LINK_SAN,
    language="c++",
)

# HST_EXTENSIONS=RatePredictions (comma separated) builds only the named modules.
_only = [n for n in os.environ.get("HST_EXTENSIONS", "").split(",") if n]
ext_modules = [e for e in (hybrid, rate) if not _only or e.name in _only]

setup(
    name="hybrid-seq-train",
    version="0.2.0",
    description="Conv1d + RNN/LSTM/GRU classifier for numeric arrays, trained in one call",
    ext_modules=ext_modules,
    cmdclass={"build_ext": cpp_extension.BuildExtension.with_options(use_ninja=True)},
    python_requires=">=3.9",
    zip_safe=False,
)
