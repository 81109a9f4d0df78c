#!/usr/bin/env bash
# Installs the Debian packages a stack needs, only when some are missing.
#   bash tools/setup-debian.sh          the "debian" stack: build tools and Debian's torch, numpy, ...
#   bash tools/setup-debian.sh --base   build tools, the C++ test suite's GoogleTest and the CJK font only
#                                       (what the "current" stack needs besides its virtual environment)
set -euo pipefail
BASE="g++ make cmake ninja-build ccache googletest fonts-wqy-microhei python3-venv"
STACK="python3 python3-torch libtorch-dev python3-sklearn python3-matplotlib python3-numpy pybind11-dev
python3-pytest python3-setuptools python3-wheel libopenblas0-pthread"
PKGS="$BASE"
[ "${1:-}" = "--base" ] || PKGS="$BASE $STACK"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi
