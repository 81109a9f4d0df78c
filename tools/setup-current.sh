#!/usr/bin/env bash
# Sets up the "current" stack: a virtual environment on the machine's Python
# 3.11 holding exactly the releases pinned in requirements-current.txt.
#
# The environment lives outside the clone, in a folder named after a hash of
# the requirements file, so every clone and every CI run on this machine
# shares it and pip's cache (torch from the index is a CUDA build of several
# GB): a second run with the same pins installs nothing; new pins get a new
# environment. Prints the environment's interpreter as its last line.
#   HST_ENV_HOME  where environments live (default ~/.cache/hybridseqtrain)
#   HST_PYTHON311 the base interpreter (default: python3.11 on PATH)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
req="$root/requirements-current.txt"
bash "$root/tools/setup-debian.sh" --base >&2

base="${HST_PYTHON311:-$(command -v python3.11 || true)}"
if [ -z "$base" ]; then
  echo "setup-current: no python3.11 on PATH (set HST_PYTHON311)" >&2
  exit 1
fi
key="$(sha256sum "$req" | cut -c1-12)"
env_dir="${HST_ENV_HOME:-$HOME/.cache/hybridseqtrain}/current-$key"
if [ ! -f "$env_dir/.complete" ]; then
  echo "setup-current: building $env_dir from $(basename "$req") (first time: several GB from the package index)" >&2
  rm -rf "$env_dir"
  mkdir -p "$(dirname "$env_dir")"
  "$base" -m venv "$env_dir"
  "$env_dir/bin/python" -m pip install -q --upgrade pip >&2
  "$env_dir/bin/python" -m pip install -q -r "$req" >&2
  touch "$env_dir/.complete"
fi
echo "$env_dir/bin/python"
