#!/usr/bin/env bash
# Syntax-checks one C++ source of the pipeline with the extension's flags:
#   tools/check_one.sh pipeline/figures.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-/usr/bin/python3}
flags=$($PY - <<'PYEOF'
import os, sysconfig, torch
from torch.utils import cpp_extension
inc = list(cpp_extension.include_paths())
api = "/usr/include/torch/csrc/api/include"
if os.path.isdir(api): inc.append(api)
inc += [sysconfig.get_paths()["include"], "common", "pipeline"]
abi = int(torch._C._GLIBCXX_USE_CXX11_ABI)
print(" ".join(["-I" + i for i in inc] + [f"-D_GLIBCXX_USE_CXX11_ABI={abi}", "-DTORCH_API_INCLUDE_EXTENSION_H", "-DTORCH_EXTENSION_NAME=HybridSeqTrain"]))
PYEOF
)
exec g++ -std=c++17 -fsyntax-only -fvisibility=hidden -Wall -Wno-deprecated-declarations $flags "$@"
