# The Debian kernel a test guest boots, fetched once and kept under a cache
# folder keyed by the kernel version. Nothing is installed on this machine:
# the package is downloaded with apt-get and unpacked into the cache.
#
# guest_kernel_fetch CACHE
#   sets GUEST_KERNEL_VERSION (e.g. 6.1.0-57-amd64), GUEST_KERNEL_ROOT (the
#   unpacked package, with modules.dep for it) and GUEST_VMLINUX (the ELF
#   kernel, booted directly: QEMU starts it through its PVH note, which skips
#   the bzImage's own decompression, a few seconds under emulation).

# The kernel package that linux-image-amd64 pulls in, e.g.
# linux-image-6.1.0-57-amd64; empty when the package lists do not know it.
guest_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null \
        | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

guest_kernel_fetch() {
    local cache="$1"
    mkdir -p "$cache"
    cache="$(cd "$cache" && pwd)"
    local package
    package="$(guest_kernel_package)"
    if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        package="$(guest_kernel_package)"
    fi
    if [ -z "$package" ]; then
        # No package lists (and no way to get them): a kernel fetched earlier
        # still serves.
        local cached
        cached="$(ls -d "$cache"/kernel-*/ready 2>/dev/null | sort -V | tail -n 1)"
        if [ -z "$cached" ]; then
            echo "guest kernel: apt-cache knows no linux-image-amd64 and none is cached in $cache" >&2
            return 1
        fi
        package="linux-image-$(basename "$(dirname "$cached")" | sed 's/^kernel-//')"
        echo "guest kernel: package lists unavailable, using the cached $package" >&2
    fi
    GUEST_KERNEL_VERSION="${package#linux-image-}"
    local dir="$cache/kernel-$GUEST_KERNEL_VERSION"
    GUEST_KERNEL_ROOT="$dir/root"
    GUEST_VMLINUX="$dir/vmlinux"
    [ -f "$dir/ready" ] && return 0

    echo "guest kernel: fetching $package" >&2
    rm -rf "$dir"
    mkdir -p "$dir/download"
    # -o APT::Sandbox::User=root: the download folder belongs to root.
    (cd "$dir/download" && apt-get -q -o APT::Sandbox::User=root download "$package" >/dev/null) || {
        echo "guest kernel: apt-get download $package failed" >&2
        return 1
    }
    dpkg-deb -x "$dir/download/"*.deb "$GUEST_KERNEL_ROOT"
    rm -rf "$dir/download"
    depmod -b "$GUEST_KERNEL_ROOT" "$GUEST_KERNEL_VERSION"
    guest_kernel_extract_elf "$GUEST_KERNEL_ROOT/boot/vmlinuz-$GUEST_KERNEL_VERSION" "$GUEST_VMLINUX" || return 1
    touch "$dir/ready"
}

# The ELF kernel inside a bzImage whose payload is xz-compressed: the payload
# starts at the first xz stream header; what follows the stream is ignored.
guest_kernel_extract_elf() {
    local bzimage="$1" out="$2" offset
    offset="$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bzimage" | head -n 1 | cut -d: -f1)"
    if [ -z "$offset" ]; then
        echo "guest kernel: no xz payload in $bzimage" >&2
        return 1
    fi
    # xz complains about the bytes after its stream; the ELF header tells
    # whether the kernel came out whole.
    tail -c +$((offset + 1)) "$bzimage" | xz -dc 2>/dev/null >"$out.tmp" || true
    if [ "$(head -c 4 "$out.tmp" | od -An -tx1 | tr -d ' \n')" != "7f454c46" ]; then
        echo "guest kernel: the payload of $bzimage is no ELF kernel" >&2
        rm -f "$out.tmp"
        return 1
    fi
    mv "$out.tmp" "$out"
}
