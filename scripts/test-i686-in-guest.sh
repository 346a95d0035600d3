#!/usr/bin/env bash
# Runs the i686 tree's Wine tests (build/target: the shipped installer program itself) on a
# machine whose kernel runs no 32-bit code: an emulated x86_64 guest boots Debian's own
# amd64 kernel, which has the 32-bit support, and runs the host's installed Wine, Xvfb,
# bash and CTest over read-only shares of /usr and /etc, with the checkout shared at its
# own path. CTest's output comes back line by line; the exit status is the guest run's.
#
#   test-i686-in-guest.sh [--all] [--wall-limit MINUTES] [-- CTEST_ARGS...]
#
# Everything it makes stays in build/guest (the kernel, the initramfs, the output and the
# console log) and the guest's memory, where the tests run from a copy of the checkout
# with a prefix of their own; qemu and everything in the guest end with the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
guest="$root/build/guest"

# The tests CI runs by default are the tree's tests labelled "guest" (tests/wine.cmake
# says which and why); measured figures are in the README.

usage() {
    cat <<EOF
usage: test-i686-in-guest.sh [--all] [--wall-limit MINUTES] [-- CTEST_ARGS...]
Runs the Wine tests of build/target (the i686 build) in an emulated x86_64 guest.
  --all                 every test of the tree (default: the whole-program tests and
                        the in-process ones CI runs)
  --wall-limit MINUTES  stop the guest after this much real time (default 40, 90 with --all)
  -- CTEST_ARGS...      passed to ctest in the guest instead of the default selection
Needs build/target from scripts/build.sh. Installs qemu-system-x86 and busybox-static
when they are missing (as root).
EOF
}

# --- In the guest: started by the initramfs's init through switch_root --------------

in_guest() {
    export PATH=/usr/local/bin:/usr/bin:/usr/sbin HOME=/root
    # The shared checkout: the job comes from there, the output and the status go there.
    local share=/mnt/checkout/build/guest status=1 tree="$root/build/target"
    # shellcheck source=/dev/null
    . "$share/job"
    # Through the shared folder rather than the serial console, which stops passing
    # output on once Wine has started.
    exec >>"$share/output.log" 2>&1
    echo "guest: $(uname -r), $(nproc) CPU, $(($(sed -n 's/MemTotal: *\([0-9]*\).*/\1/p' /proc/meminfo) / 1024)) MiB"
    (
        set -u
        . "$root/scripts/wine-env.sh"
        wine_env "$tree" "$tree/wineprefix" || exit 1
        wine_display_until_exit || exit 1
        start=$(date +%s)
        wine_prefix_make || exit 1
        echo "guest: the $WINE_ARCH prefix is ready ($(($(date +%s) - start)) s guest time)"
        # A program that crashes ends its test at once instead of waiting for a debugger.
        wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
            >/dev/null 2>&1
        wine_server_start "$tree/wine-start.log" || exit 1
        ctest --test-dir "$tree" --output-on-failure --no-tests=error --timeout 600 "${ctest_args[@]}"
    ) && status=0
    echo "$status" >"$share/status.partial"
    mv -f "$share/status.partial" "$share/status"
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}

# --- On the host --------------------------------------------------------------------

# The kernel package Debian's linux-image-amd64 points at today, unpacked once into
# build/guest/kernel-VERSION: its vmlinuz and the modules the 9p shares need.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
         netfs fscache 9pnet 9pnet_virtio 9p)
fetch_kernel() {
    local package deb unpacked dir m file
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    if [ -z "$package" ]; then
        apt-get update -qq
        package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    fi
    [ -n "$package" ] || { echo "test-i686: apt knows no linux-image-amd64 kernel" >&2; return 1; }
    kernel_dir="$guest/kernel-${package#linux-image-}"
    [ -f "$kernel_dir/ready" ] && return 0
    echo "test-i686: fetching the guest's kernel ($package)" >&2
    rm -rf "$kernel_dir" "$guest/kernel-download"
    mkdir -p "$guest/kernel-download" "$kernel_dir/modules"
    (cd "$guest/kernel-download" && apt-get download -qq "$package" 2>/dev/null) \
        || { echo "test-i686: cannot download $package" >&2; return 1; }
    deb=$(ls "$guest/kernel-download"/*.deb)
    unpacked="$guest/kernel-download/x"
    dpkg-deb -x "$deb" "$unpacked"
    cp "$unpacked"/boot/vmlinuz-* "$kernel_dir/vmlinuz"
    dir=$(ls -d "$unpacked"/lib/modules/*/kernel)
    for m in "${modules[@]}"; do
        file=$(find "$dir" -name "$m.ko" | head -n 1)
        [ -n "$file" ] || { echo "test-i686: $package has no module $m" >&2; return 1; }
        cp "$file" "$kernel_dir/modules/"
    done
    rm -rf "$guest/kernel-download"
    touch "$kernel_dir/ready"
}

# A busybox initramfs: loads the virtio and 9p modules, mounts a tmpfs as the root with
# the host's /usr and /etc read-only and the checkout read-write at its own path, and
# hands over to this script's guest side.
make_initramfs() {
    local stage="$guest/initramfs"
    rm -rf "$stage"
    mkdir -p "$stage/bin" "$stage/modules" "$stage/proc" "$stage/sys" "$stage/dev" "$stage/newroot"
    cp /bin/busybox "$stage/bin/busybox"
    cp "$kernel_dir"/modules/*.ko "$stage/modules/"
    printf '%s\n' "${modules[@]}" >"$stage/modules/order"
    cat >"$stage/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
fail() { echo "guest init: $*"; echo o >/proc/sysrq-trigger; sleep 60; }
for m in $(cat /modules/order); do insmod "/modules/$m.ko" || fail "cannot load $m"; done
work=$(sed -n 's/.*setup32\.root=\([^ ]*\).*/\1/p' /proc/cmdline)
ro=trans=virtio,version=9p2000.L,msize=524288,cache=loose,ro
r=/newroot
mount -t tmpfs -o mode=755 root $r || fail "no tmpfs"
mkdir -p $r/usr $r/etc $r/proc $r/sys $r/dev $r/tmp $r/root $r/run $r/var/lib/xkb $r/var/tmp
mount -t tmpfs -o mode=1777 tmp $r/tmp || fail "no tmpfs for /tmp"
chmod 1777 $r/var/tmp
mount -t 9p -o $ro usr $r/usr || fail "cannot mount /usr"
mount -t 9p -o $ro etc $r/etc || fail "cannot mount /etc"
for d in bin sbin lib lib32 lib64 libx32; do [ -e $r/usr/$d ] && ln -s usr/$d $r/$d; done
# The checkout is shared read-write at /mnt/checkout, for the job and the results only.
# The tests run from a copy in the guest's memory at the checkout's own path (their
# CTest files name it): the sources, out/ and the i686 tree, with the prefix made there
# afresh. Wine maps its programs' images, and pages mapped over 9p came back wrong.
mkdir -p $r/mnt/checkout "$r$work/build"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=none work $r/mnt/checkout \
    || fail "cannot mount $work"
cd $r/mnt/checkout
for f in * .[!.]*; do
    case $f in .git|build|'.[!.]*') ;; *) cp -a "$f" "$r$work/" || fail "cannot copy $f" ;; esac
done
cp -a build/target "$r$work/build/" || fail "cannot copy build/target"
rm -rf "$r$work/build/target/wineprefix" "$r$work/build/target/wineprefix.lock"
cd /
mount --move /proc $r/proc; mount --move /sys $r/sys; mount --move /dev $r/dev
mkdir -p $r/dev/shm $r/dev/pts
mount -t tmpfs -o mode=1777 shm $r/dev/shm
mount -t devpts devpts $r/dev/pts
exec switch_root $r /bin/bash "$work/scripts/test-i686-in-guest.sh" --in-guest
EOF
    chmod 755 "$stage/init"
    (cd "$stage" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$guest/initramfs.gz"
    rm -rf "$stage"
}

# qemu's -virtfs takes a comma-separated list: a comma in a path is written twice.
virtfs_path() { printf '%s' "${1//,/,,}"; }

on_host() {
    local all=0 wall_minutes= ctest_args=()
    while [ $# -gt 0 ]; do
        case $1 in
            --all) all=1 ;;
            --wall-limit) [ $# -ge 2 ] || { usage >&2; exit 2; }; wall_minutes=$2; shift ;;
            -h|--help) usage; exit 0 ;;
            --) shift; ctest_args=("$@"); break ;;
            *) echo "test-i686: unknown option '$1'" >&2; usage >&2; exit 2 ;;
        esac
        shift
    done
    case $wall_minutes in
        "") wall_minutes=$((all ? 90 : 40)) ;;
        *[!0-9]*|0) echo "test-i686: --wall-limit takes a whole number of minutes" >&2; exit 2 ;;
    esac
    if [ ${#ctest_args[@]} -eq 0 ] && [ $all -eq 0 ]; then
        ctest_args=(-L '^guest$')
    fi
    case $root in
        *[[:space:]]*) echo "test-i686: the checkout's path '$root' has white space, which the guest's kernel command line cannot carry" >&2
                       exit 1 ;;
    esac
    if [ "$(cat "$root/build/target/wine-arch" 2>/dev/null)" != win32 ]; then
        echo "test-i686: no i686 tree in build/target; run scripts/build.sh first" >&2
        exit 1
    fi
    bash "$root/scripts/setup.sh" guest
    mkdir -p "$guest"
    fetch_kernel
    make_initramfs
    {
        printf 'ctest_args=('
        printf '%q ' "${ctest_args[@]}"
        printf ')\n'
    } >"$guest/job"
    rm -f "$guest/status" "$guest/status.partial"
    : >"$guest/console.log"
    : >"$guest/output.log"

    # -cpu max,-smap: with SMAP, this qemu's TCG faults the return to 32-bit code under
    # a 64-bit kernel. -icount shift=0 on one CPU gives the guest a steady clock of one
    # instruction a nanosecond, so the program's own timeouts mean in the guest what
    # they mean on a real machine, however slowly the emulation runs.
    local started qemu_pid tail_pid
    started=$(date +%s)
    echo "test-i686: booting the guest (its kernel's console: build/guest/console.log)" >&2
    qemu-system-x86_64 -nodefaults -display none -no-reboot -monitor none \
        -accel tcg -cpu max,-smap -smp 1 -icount shift=0 -m 4096 \
        -kernel "$kernel_dir/vmlinuz" -initrd "$guest/initramfs.gz" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 setup32.root=$root" \
        -serial "file:$guest/console.log" \
        -virtfs "local,path=/usr,mount_tag=usr,security_model=none,readonly=on" \
        -virtfs "local,path=/etc,mount_tag=etc,security_model=none,readonly=on" \
        -virtfs "local,path=$(virtfs_path "$root"),mount_tag=work,security_model=none" \
        >"$guest/qemu.log" 2>&1 &
    qemu_pid=$!
    trap 'kill "$qemu_pid" 2>/dev/null; wait "$qemu_pid" 2>/dev/null' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    tail -n +1 -f --pid="$qemu_pid" "$guest/output.log" &
    tail_pid=$!
    local waited=0
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ $waited -ge $((wall_minutes * 60)) ]; then
            echo "test-i686: the guest ran past the wall limit of $wall_minutes minutes; stopped" >&2
            kill "$qemu_pid" 2>/dev/null
            break
        fi
        sleep 1
        waited=$((waited + 1))
    done
    wait "$qemu_pid" 2>/dev/null || true
    wait "$tail_pid" 2>/dev/null || true
    trap - EXIT
    local status
    status=$(cat "$guest/status" 2>/dev/null || true)
    echo "test-i686: the guest ran for $(($(date +%s) - started)) s" >&2
    case $status in
        0) return 0 ;;
        [0-9]*) exit "$status" ;;
        *) echo "test-i686: the guest ended without a result; its kernel said:" >&2
           sed 's/\r$//' "$guest/console.log" >&2
           cat "$guest/qemu.log" >&2
           exit 1 ;;
    esac
}

if [ "${1:-}" = --in-guest ]; then
    in_guest
else
    on_host "$@"
fi
