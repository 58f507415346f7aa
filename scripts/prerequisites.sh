# Installs the Debian packages that building and running need, when missing.
# Sourced by test.sh and run.sh.
# clang and libclang-rt-dev (its libFuzzer) build the fuzz harnesses natively; nsis builds the setup program.
ZV_PACKAGES="cmake make mingw-w64 g++-mingw-w64-x86-64 wine wine64 googletest curl procps clang libclang-rt-dev nsis"

ensure_prerequisites() {
    missing=""
    for package in $ZV_PACKAGES; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages:$missing (run as root, or install them first)" >&2
        return 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
}
