#!/usr/bin/env bash
# Install what the project needs from Debian's packages (as root), once.
# Everything else (the virtual environments, the build) is made by `make`.
set -euo pipefail

PACKAGES=(
  g++ cmake make
  python3-dev python3-venv python3-pip python3-setuptools python3-wheel
  pybind11-dev libyaml-dev
  python3-ruamel.yaml python3-yaml python3-tqdm python3-packaging
  python3-ipython python3-traitlets cookiecutter
  python3-pytest python3-pexpect python3-hypothesis
  python3-exceptiongroup python3-tomli
  binutils valgrind clang-format clang-tidy git
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
