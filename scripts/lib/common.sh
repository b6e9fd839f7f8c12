# SPDX-License-Identifier: MIT
# Shared by the project's scripts: package installation and small helpers.

# Installs the named Debian packages that are missing, when run as root.
# Without root it only says what is missing and fails.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "${missing[@]}" >/tmp/mtdmac-apt.log 2>&1; then
    apt-get update >/tmp/mtdmac-apt.log 2>&1
    apt-get install -y --no-install-recommends "${missing[@]}" >>/tmp/mtdmac-apt.log 2>&1 || {
      cat /tmp/mtdmac-apt.log >&2
      return 1
    }
  fi
}

# Packages every build on the host needs; mandoc, systemd (its
# systemd-analyze) and shellcheck check the manual page, the unit and the
# packages' scripts.
HOST_PACKAGES=(cmake make g++ libgtest-dev clang-format python3 git mandoc systemd shellcheck)

# Builds and test runs of the presets (cmake --workflow) use every core.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

# Python programs outside box/sim import the model and the boxes from here,
# as CTest's Python tests do (tests/CMakeLists.txt).
MTDMAC_BOX=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../box" && pwd)
export PYTHONPATH="$MTDMAC_BOX/sim:$MTDMAC_BOX/vm${PYTHONPATH:+:$PYTHONPATH}"

step() { printf '\n== %s\n' "$*"; }
