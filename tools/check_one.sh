#!/usr/bin/env bash
# Syntax-checks one C++ source of the pipeline with the extension's flags:
#   tools/check_one.sh pipeline/binding/figures.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-/usr/bin/python3}
flags=$($PY - <<'PYEOF'
import os, sys, sysconfig, torch
from torch.utils import cpp_extension
sys.path.insert(0, "tools")
from cxx_standard import cxx_standard
inc = list(cpp_extension.include_paths())
api = "/usr/include/torch/csrc/api/include"
if os.path.isdir(api): inc.append(api)
inc += [sysconfig.get_paths()["include"]]
abi = int(torch._C._GLIBCXX_USE_CXX11_ABI)
std = "-std=c++%d" % cxx_standard(inc)
print(" ".join([std] + ["-isystem " + i for i in inc] + ["-Iinterop", "-Ipipeline", f"-D_GLIBCXX_USE_CXX11_ABI={abi}", "-DTORCH_API_INCLUDE_EXTENSION_H", "-DTORCH_EXTENSION_NAME=HybridSeqTrain"]))
PYEOF
)
exec g++ -fsyntax-only -fvisibility=hidden -Wall -Wextra $flags "$@"
