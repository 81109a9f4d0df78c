#!/usr/bin/env bash
# Builds both modules and runs the Python and C++ test suites against Debian 13
# "trixie"'s own packages (torch, numpy, Python, ...), in a debootstrap folder.
# Needs root. Work in progress is checked too: tracked and untracked-but-not-
# ignored files are copied in.
#   sudo bash tools/debian13-check.sh
#   HST_TRIXIE_DIR     the Debian 13 folder (default /var/cache/hybridseqtrain/trixie);
#                      made when missing, reused when complete
#   HST_TRIXIE_MIRROR  Debian mirror (default http://deb.debian.org/debian)
# Exit status is non-zero when a step fails; the last line is a summary.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "debian13-check: run as root" >&2; exit 2; }
src="$(cd "$(dirname "$0")/.." && pwd)"
root="${HST_TRIXIE_DIR:-/var/cache/hybridseqtrain/trixie}"
root="${root%/}"
mirror="${HST_TRIXIE_MIRROR:-http://deb.debian.org/debian}"
PKGS="python3-torch libtorch-dev python3-sklearn python3-matplotlib python3-numpy pybind11-dev python3-pytest \
python3-setuptools g++ make ninja-build cmake googletest fonts-wqy-microhei"  # also the marker's content
case "$root" in /|/usr|/var|/tmp|"") echo "debian13-check: refusing HST_TRIXIE_DIR=$root" >&2; exit 2;; esac
t0=$SECONDS

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock -n 9 || { echo "debian13-check: $root is in use by another run" >&2; exit 2; }

mounted=()
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || echo "debian13-check: could not unmount ${mounted[i]}" >&2
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
mount_in() {  # mount_in TARGET MOUNT-ARGS...: mounts under the folder, unmounted on exit
  mkdir -p "$1"
  mount "${@:2}" "$1"
  mounted+=("$1")
}
in_root() {  # runs a shell command in the folder with a clean environment
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash -c "$1"
}

# 1. The base system. A folder left half-made by debootstrap is made again;
# any other folder in the way is left alone.
if [ ! -e "$root/.hst-base-complete" ]; then
  if [ -n "$(ls -A "$root" 2>/dev/null)" ]; then
    if [ ! -d "$root/debootstrap" ] || findmnt -rn -o TARGET | grep -q "^$root/"; then
      echo "debian13-check: $root is not a Debian 13 folder made by this script (or has mounts); move it away" >&2; exit 1
    fi
    echo "debian13-check: $root is half-made, making it again"
    rm -rf --one-file-system "$root"
  fi
  command -v debootstrap >/dev/null || { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap; }
  echo "debian13-check: debootstrap trixie into $root"
  debootstrap --variant=minbase trixie "$root" "$mirror"
  touch "$root/.hst-base-complete"
fi

mount_in "$root/proc" --bind /proc
mount_in "$root/sys" --bind -o ro /sys  # torch reads the CPU's features and caches there
mount_in "$root/dev/shm" -t tmpfs -o mode=1777,size=2g tmpfs  # torch's shared memory, Python's semaphores

# 2. Debian 13's packages, installed again when the list changes.
if [ "$(cat "$root/.hst-packages" 2>/dev/null)" != "$PKGS" ]; then
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  in_root "apt-get update -q && apt-get install -y -q --no-install-recommends $PKGS && apt-get clean"
  echo "$PKGS" > "$root/.hst-packages"
fi
versions="$(in_root '/usr/bin/python3 -c "import sys, torch, numpy, sklearn, matplotlib; print(\"python\", sys.version.split()[0], \"torch\", torch.__version__, \"numpy\", numpy.__version__, \"scikit-learn\", sklearn.__version__, \"matplotlib\", matplotlib.__version__)"')" ||
  versions="versions unknown (the import failed)"
echo "debian13-check: $versions"

# 3. A fresh copy of the clone: tracked files (as in the working tree) and untracked, not ignored ones.
work=/hst-check
rm -rf --one-file-system "$root$work"
mkdir -p "$root$work/src"
git -C "$src" ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do
    if [ -e "$src/$f" ] || [ -L "$src/$f" ]; then printf '%s\0' "$f"; fi  # skips files deleted in the working tree
  done |
  tar -C "$src" --null --no-recursion -T - -cf - | tar -C "$root$work/src" -xf -

# 4. Build, the Python suite, the C++ suite. The C++ suite does not need the modules, so it runs anyway.
declare -A st tm
step() {  # step NAME COMMAND
  local s=$SECONDS
  echo "debian13-check: --- $1"
  if in_root "cd $work/src && $2"; then st[$1]=ok; else st[$1]=FAILED; fi
  tm[$1]=$((SECONDS - s))
}
step build "MAX_JOBS=2 /usr/bin/python3 setup.py -q build_ext --build-lib $work/lib --build-temp $work/tmp"
if [ "${st[build]}" = ok ]; then
  step pytest "set -o pipefail; PYTHONPATH=$work/lib MPLBACKEND=Agg /usr/bin/python3 -P -m pytest -q -p no:cacheprovider tests 2>&1 | tee $work/pytest.log"
else
  st[pytest]=skipped; tm[pytest]=0
fi
step cpp "PYTHON=/usr/bin/python3 HST_CPP_BUILD_DIR=$work/cpp JOBS=2 bash tests/cpp/run.sh"

last="$(tail -n 1 "$root$work/pytest.log" 2>/dev/null || true)"
rc=0
for s in build pytest cpp; do [ "${st[$s]}" = ok ] || rc=1; done
echo "debian13-check: build ${st[build]} (${tm[build]}s), pytest ${st[pytest]} (${tm[pytest]}s${last:+: $last}), C++ suite ${st[cpp]} (${tm[cpp]}s); $versions; total $((SECONDS - t0))s"
exit $rc
