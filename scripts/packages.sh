# Sourced by run.sh, test.sh and bench.sh: installs the Debian packages the
# project needs, running apt-get update only when something is missing.
zk_ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# dpkg-dev and file: cpack -G DEB finds the package's dependencies with them.
ZK_BUILD_PACKAGES=(cmake ninja-build g++ clang lld libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev qt6-base-dev libjpeg62-turbo-dev libgl-dev fonts-dejavu-core
  xvfb xauth xdotool x11-apps imagemagick procps dpkg-dev file)
# Tests only: the rotator network protocol's command-line client (used as a
# client of the window's network control), the locale sources for a
# comma-decimal locale, the menu entry's validator, Debian's package checker,
# the AppStream validator and man for reading the manual pages, and for the
# stage on the kernel's real serial drivers (tests/vm) the emulator, Debian's
# kernel, a static busybox, cpio and kmod for its initramfs, and udev in the guest.
ZK_TEST_PACKAGES=(libhamlib-utils locales desktop-file-utils lintian appstream man-db
  qemu-system-x86 linux-image-amd64 busybox-static cpio kmod udev)
