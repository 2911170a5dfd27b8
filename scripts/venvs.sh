#!/usr/bin/env bash
# Create the two virtual environments the project is built and tested in,
# and install the project into them:
#   .venv311  Debian's python3 (3.11), seeing apt's python3-* packages
#   .venv310  CPython 3.10 (pyenv), seeing Debian's pure-Python packages
#             through a .pth file naming Debian's dist-packages
set -euo pipefail
cd "$(dirname "$0")/.."

PY311=/usr/bin/python3
PY310="${TAVOX_PY310:-}"
if [ -z "$PY310" ]; then
  if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.10.13 >/dev/null 2>&1; then
    PY310="$(pyenv prefix 3.10.13)/bin/python3.10"
  else
    PY310="${PYENV_ROOT:-$HOME/.pyenv}/versions/3.10.13/bin/python3.10"
  fi
fi

make_venv() {  # name interpreter [system-site]
  local name=$1 py=$2 system=${3:-}
  if [ ! -x "$name/bin/python" ]; then
    "$py" -m venv ${system:+--system-site-packages} "$name"
  fi
}

install_into() {  # venv
  PIP_NO_INDEX=1 "$1/bin/python" -m pip install -q --no-build-isolation --no-deps \
    --disable-pip-version-check . >/dev/null
  # setuptools leaves the metadata beside the sources; on PYTHONPATH=python
  # it would pass for an installed "tavox" distribution.
  rm -rf python/tavox.egg-info
}

want=${1:-all}
if [ "$want" = all ] || [ "$want" = 311 ]; then
  make_venv .venv311 "$PY311" system
  install_into .venv311
fi
if [ "$want" = all ] || [ "$want" = 310 ]; then
  if [ -x "$PY310" ]; then
    make_venv .venv310 "$PY310"
    site=$(.venv310/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    echo /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
    install_into .venv310
  else
    echo "venvs: CPython 3.10 not found at $PY310; skipping .venv310" >&2
  fi
fi
