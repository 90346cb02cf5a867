#!/usr/bin/env bash
# The Debian chroots that wheels are built and tested in, kept under build/:
#
#   tools/chroot.sh make NAME       makes build/chroot-NAME unless it is ready
#   tools/chroot.sh run NAME CMD... runs CMD in it, as root, from /
#   tools/chroot.sh path NAME       prints its directory
#
# NAME is one of
#   arm64  Debian 12 (bookworm) for aarch64, run under qemu-user: its
#          CPython 3.11 builds the aarch64 wheel and tests it;
#   sid    Debian sid on x86-64: CPython 3.14 and 3.15 and a newer g++, to
#          test the wheels on and to build the sdist with.
# Neither has GNU patch or git (the tests' peers): the suite must do
# without them there.
#
# Needs root and, on first use, apt (debootstrap, qemu-user-static,
# binfmt-support are installed if missing). Packages come from the mirror of
# the host's apt sources (QV_MIRROR overrides). /proc, /dev and the host's
# DNS settings are mounted in a private mount namespace for each run, so
# nothing stays mounted under build/ when a run ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

# Suite, architecture and packages of each chroot. A change here makes the
# chroot anew.
recipe() {
    case $1 in
        arm64) echo "bookworm arm64 python3-dev python3-venv g++ ninja-build" ;;
        sid) echo "sid amd64 python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ ninja-build" ;;
        *) echo "unknown chroot: $1" >&2; usage ;;
    esac
}

mirror() {
    if [ -n "${QV_MIRROR:-}" ]; then echo "$QV_MIRROR"; return; fi
    local m
    m=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources \
        2>/dev/null | grep -v security | head -n 1 || true)
    [ -n "$m" ] || m=$(awk '$1 == "deb" && $0 !~ /security/ {print $2; exit}' \
        /etc/apt/sources.list 2>/dev/null || true)
    echo "${m:-http://deb.debian.org/debian}"
}

host_tools() {
    local need=()
    command -v debootstrap >/dev/null || need+=(debootstrap)
    if [ "$1" != "$(dpkg --print-architecture)" ]; then
        command -v qemu-aarch64-static >/dev/null ||
            need+=(qemu-user-static binfmt-support)
    fi
    if [ ${#need[@]} -gt 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    fi
    if [ "$1" != "$(dpkg --print-architecture)" ]; then
        [ -e /proc/sys/fs/binfmt_misc/register ] ||
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        update-binfmts --enable "qemu-aarch64" 2>/dev/null || true
        grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 || {
            echo "qemu-aarch64 is not registered with binfmt_misc" >&2
            exit 1
        }
    fi
}

# run DIR CMD...: CMD in the chroot at DIR, with a plain environment.
run_in() {
    local dir=$1
    shift
    local pass=()
    for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
        [ -z "${!v:-}" ] || pass+=("$v=${!v}")
    done
    unshare --mount --propagation private -- /bin/sh -ec '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        [ ! -e /etc/resolv.conf ] || cp -L /etc/resolv.conf "$root/etc/resolv.conf"
        exec chroot "$root" "$@"' sh "$dir" \
        env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
        DEBIAN_FRONTEND=noninteractive "${pass[@]}" "$@"
}

make_chroot() {
    local name=$1 dir=build/chroot-$1
    local spec suite arch pkgs
    spec=$(recipe "$name")
    read -r suite arch pkgs <<<"$spec"
    if [ "$(cat "$dir/.qv-recipe" 2>/dev/null)" = "$spec" ]; then
        return
    fi
    # Two chroots may be made at once: one apt at a time.
    mkdir -p build
    exec 9>build/.chroot-host-tools.lock
    flock 9
    host_tools "$arch"
    flock -u 9
    local t=$SECONDS
    rm -rf "$dir"
    # The packages come in with the base system: one dpkg run (which is
    # what takes the time under emulation), no apt inside. A suite past its
    # Release file's valid-until date installs from the lists debootstrap
    # fetched; later updates inside need the check off (99qv).
    debootstrap --arch="$arch" --variant=minbase --include="${pkgs// /,}" \
        "$suite" "$dir" "$(mirror)" >"build/chroot-$name.log" 2>&1 ||
        { tail -n 30 "build/chroot-$name.log"; exit 1; }
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99qv"
    # pip inside (PIP_CERT) trusts what this host trusts; no ca-certificates
    # package, whose set-up alone takes minutes under emulation.
    mkdir -p "$dir/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    rm -f "$dir"/var/cache/apt/archives/*.deb
    echo "$spec" >"$dir/.qv-recipe"
    echo "(chroot $name made in $((SECONDS - t)) s)"
}

[ $# -ge 2 ] || usage
[ "$(id -u)" -eq 0 ] || { echo "tools/chroot.sh needs root" >&2; exit 1; }
cmd=$1 name=$2
shift 2
recipe "$name" >/dev/null
case $cmd in
    make) make_chroot "$name" ;;
    run) [ $# -gt 0 ] || usage; make_chroot "$name"; run_in "build/chroot-$name" "$@" ;;
    path) echo "$PWD/build/chroot-$name" ;;
    *) usage ;;
esac
