# The initial RAM file system of a test guest, in two gzipped newc cpio
# archives that the kernel unpacks one over the other: a base archive (static
# busybox with all its applets, kernel modules, users) cached per kernel, and
# a small archive built for each run (programs with their libraries,
# scripts, inputs).
#
# guest_base_initramfs OUT KERNEL_ROOT VERSION MODULE...
#   writes the base archive OUT unless it exists. The modules come with what
#   they depend on and a modules.dep of their own, so that busybox modprobe
#   loads them by name in the guest.
# guest_stage_elf STAGE SRC DEST, guest_stage_file STAGE SRC DEST [MODE],
# guest_stage_tree STAGE SRC DEST, guest_stage_list STAGE LIST [BASE]
#   put files into the folder STAGE that becomes the per-run archive.
# guest_pack STAGE OUT
#   packs STAGE into OUT.

# Root-owned newc cpio of the folder $1, gzipped, to $2.
guest_pack() {
    local stage="$1" out="$2"
    (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) \
        | gzip -6 >"$out.tmp"
    mv "$out.tmp" "$out"
}

guest_base_initramfs() {
    local out="$1" kroot="$2" version="$3"
    shift 3
    [ -f "$out" ] && return 0
    kroot="$(cd "$kroot" && pwd)"   # modprobe names the modules by absolute path
    local stage
    stage="$(mktemp -d "${TMPDIR:-/tmp}/v62x-guest-base.XXXXXX")"

    mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,run,etc,root,mnt}
    chmod 1777 "$stage/tmp"
    local busybox
    busybox="$(command -v busybox)"
    if [ -z "$busybox" ] || ! grep -q 'not a dynamic executable' <<<"$(ldd "$busybox" 2>&1)"; then
        echo "initramfs: $busybox is not statically linked (install busybox-static)" >&2
        rm -rf "$stage"
        return 1
    fi
    cp "$busybox" "$stage/bin/busybox"
    local applet
    for applet in $("$busybox" --list-full); do
        [ "$applet" = bin/busybox ] && continue
        [ -e "$stage/$applet" ] || ln -s /bin/busybox "$stage/$applet"
    done

    printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' \
        'nobody:x:65534:65534:nobody:/nonexistent:/bin/sh' >"$stage/etc/passwd"
    printf '%s\n' 'root:x:0:' 'nogroup:x:65534:' >"$stage/etc/group"

    local module path
    local mdir="lib/modules/$version"
    mkdir -p "$stage/$mdir"
    for module in "$@"; do
        # "insmod PATH [params]" per module to load, dependencies first;
        # "builtin NAME" for what the kernel has built in.
        while read -r verb path _; do
            [ "$verb" = insmod ] || continue
            path="${path#"$kroot"/}"
            mkdir -p "$stage/$(dirname "$path")"
            cp "$kroot/$path" "$stage/$path"
        done < <(modprobe -d "$kroot" -S "$version" --show-depends "$module") || {
            echo "initramfs: module $module not found in $kroot" >&2
            rm -rf "$stage"
            return 1
        }
    done
    cp "$kroot/$mdir"/modules.{order,builtin,builtin.modinfo} "$stage/$mdir/"
    depmod -b "$stage" "$version"

    mkdir -p "$(dirname "$out")"
    guest_pack "$stage" "$out"
    rm -rf "$stage"
}

# Copies one file to DEST inside the stage.
guest_stage_file() {
    local stage="$1" src="$2" dest="$3" mode="${4:-}"
    mkdir -p "$stage/$(dirname "$dest")"
    cp -L "$src" "$stage/$dest"
    [ -z "$mode" ] || chmod "$mode" "$stage/$dest"
}

# Copies a dynamically linked program or library to DEST with every library
# ldd lists for it, each at the path ldd names (the dynamic loader too).
guest_stage_elf() {
    local stage="$1" src="$2" dest="$3"
    guest_stage_file "$stage" "$src" "$dest"
    guest_stage_libraries "$stage" "$src"
}

guest_stage_libraries() {
    local stage="$1" src="$2" lib
    local listing
    if ! listing="$(ldd "$src" 2>&1)"; then
        # A static program has nothing to add.
        grep -qE 'not a dynamic executable|statically linked' <<<"$listing" && return 0
        echo "initramfs: ldd $src failed: $listing" >&2
        return 1
    fi
    if grep -q 'not found' <<<"$listing"; then
        echo "initramfs: $src needs libraries that are missing here:" >&2
        grep 'not found' <<<"$listing" >&2
        return 1
    fi
    # "name => /path (addr)" or "/path (addr)"; the vDSO has no file.
    for lib in $(sed -n -e 's/^.*=> \(\/[^ ]*\) (0x.*$/\1/p' -e 's/^[[:space:]]*\(\/[^ ]*\) (0x.*$/\1/p' <<<"$listing"); do
        [ -e "$stage/$lib" ] || guest_stage_file "$stage" "$lib" "$lib"
    done
}

# Copies the folder SRC to DEST; each ELF file in it brings its libraries
# (Qt plugins, for instance).
guest_stage_tree() {
    local stage="$1" src="$2" dest="$3" file
    mkdir -p "$stage/$dest"
    cp -RL "$src/." "$stage/$dest/"
    while IFS= read -r -d '' file; do
        if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; then
            guest_stage_libraries "$stage" "$file" || return 1
        fi
    done < <(find "$src" -type f -print0)
}

# Stages what a list names, one entry per line:
#   elf  SRC DEST     a program or library with its libraries
#   file SRC DEST     a file as it is
#   exec SRC DEST     a file made executable (a script)
#   tree SRC DEST     a folder, each ELF in it with its libraries
# DEST is the path in the guest. SRC is taken from BASE (default: the
# current folder) unless absolute. Blank lines and lines starting with #
# are skipped.
guest_stage_list() {
    local stage="$1" list="$2" base="${3:-.}"
    local kind src dest line=0
    while read -r kind src dest; do
        line=$((line + 1))
        case "$kind" in '' | '#'*) continue ;; esac
        case "$src" in /*) ;; *) src="$base/$src" ;; esac
        if [ -z "$dest" ] || [ ! -e "$src" ]; then
            echo "initramfs: $list:$line: '$kind $src $dest': missing source or destination" >&2
            return 1
        fi
        case "$kind" in
            elf) guest_stage_elf "$stage" "$src" "$dest" ;;
            file) guest_stage_file "$stage" "$src" "$dest" ;;
            exec) guest_stage_file "$stage" "$src" "$dest" 755 ;;
            tree) guest_stage_tree "$stage" "$src" "$dest" ;;
            *)
                echo "initramfs: $list:$line: unknown kind '$kind' (elf, file, exec, tree)" >&2
                return 1
                ;;
        esac || return 1
    done <"$list"
}
