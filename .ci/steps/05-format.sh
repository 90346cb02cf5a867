#!/usr/bin/env bash
# Formatting: every C++ source and header follows .clang-format.
set -euo pipefail

if ! command -v clang-format >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null
    $sudo apt-get install -y -q --no-install-recommends clang-format >/dev/null
fi
git ls-files -z 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp' 'fuzz/*.h' |
    xargs -0 clang-format --dry-run --Werror
