#!/bin/sh
# The first command on a machine without make, such as a fresh Debian 12 with only git:
# installs make (as root, or through sudo) and runs it with the same arguments, so
# `scripts/bootstrap.sh demo` is `make demo`. Where make is present it only runs make.
set -eu
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh make
exec make "$@"
