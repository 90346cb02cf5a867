#!/usr/bin/env bash
# The opt-in size-limit tests (marker bigmem): texts near 2^32 bytes, deltas
# of 2^31 bytes, line counts near the engine's 32-bit limits. About 90 s and
# 9 GiB at peak, so only on machines with 16 GiB or more.
set -euo pipefail

mem_kib=$(awk '/^MemTotal:/ {print $2}' /proc/meminfo)
if [ "${mem_kib:-0}" -lt $((16 * 1024 * 1024)) ]; then
    echo "skipping the bigmem tests: less than 16 GiB of memory"
    exit 0
fi
python -m pytest -q -p no:cacheprovider -m bigmem --run-bigmem
