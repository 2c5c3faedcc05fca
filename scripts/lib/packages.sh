# Installs the Debian packages a script needs, or says how to.
# Usage: ensure_packages pkg...
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages; install them with:" >&2
        echo "sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building the program needs.
BUILD_PACKAGES=(cmake g++ make ninja-build pkg-config qt6-base-dev libudev-dev libcli11-dev nlohmann-json3-dev)
# What the tests need besides.
TEST_PACKAGES=(libgtest-dev umockdev libumockdev-dev desktop-file-utils appstream)
# What scripts/package needs to build the .deb (dpkg-shlibdeps).
PACKAGE_PACKAGES=(dpkg-dev file)
# What scripts/icons needs to render the PNG icons from the SVG.
ICON_PACKAGES=(librsvg2-bin)
# Text in the window and its screenshots (Qt finds no font without one).
FONT_PACKAGES=(fonts-dejavu-core)
# What the demo needs to show the window when there is no display.
DEMO_PACKAGES=(xvfb xauth "${FONT_PACKAGES[@]}")
# What the USB stage (scripts/test-usb) needs to boot its test guest: the
# kernel itself is downloaded into build/, not installed.
USB_STAGE_PACKAGES=(qemu-system-x86 qemu-utils busybox-static kmod cpio xz-utils gzip)
