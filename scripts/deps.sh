# Sourced by the scripts: the Debian packages that each command needs, kept in this one place,
# and need_packages, which installs those that are missing before the command goes on.
#   . scripts/deps.sh && need_packages $DEMO_PACKAGES

# The program's own build: the demo needs nothing more.
DEMO_PACKAGES="cmake ninja-build g++"
# The Windows release: the mingw-w64 cross compiler (with windres), python3 for the ZIP, git
# for the commit and its time, and osslsigncode and openssl to sign the programs.
RELEASE_PACKAGES="cmake ninja-build g++-mingw-w64-x86-64 python3 git osslsigncode openssl"
# Checking a release one was handed (release/verify-release.sh): the release, and asn1crypto
# for the signatures' structures.
VERIFY_PACKAGES="$RELEASE_PACKAGES python3-asn1crypto"
# Static analysis over the native build's compile database (its configure needs GoogleTest).
LINT_PACKAGES="cmake ninja-build g++ libgtest-dev libgmock-dev clang-tidy cppcheck"
# The Windows tests: the release and its check, with hypothesis for the property tests of the
# check's readers, GoogleTest's sources for the platform tests, and Wine.
WINDOWS_TEST_PACKAGES="$VERIFY_PACKAGES python3-hypothesis g++ libgtest-dev libgmock-dev wine \
wine64"
# The benchmark (scripts/bench.py), which the test command does not run: hyperfine, the tools
# it is held against beside coreutils and grep, and GNU time for the peak memory.
BENCH_PACKAGES="hyperfine dos2unix time"
# Its rows for the Windows program (--windows) run it under Wine.
BENCH_WINDOWS_PACKAGES="hyperfine wine wine64"
# Everything the test command runs, adding clang and its runtimes for the sanitizer and fuzzer
# builds, valgrind and gcovr.
TEST_PACKAGES="$DEMO_PACKAGES $LINT_PACKAGES $WINDOWS_TEST_PACKAGES clang libclang-rt-14-dev \
valgrind gcovr"

# need_packages PACKAGE... installs whichever of the packages is not installed yet: through
# apt-get as root, through sudo otherwise. When neither can be used it stops the script with
# one message that names the missing packages and the command that installs them. With all of
# them installed it prints nothing; the package lists are updated once, and only when
# something is missing.
need_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "zelmorth: not a Debian system; this needs the packages (or their equivalents): $*" >&2
        return 0
    fi
    deps_missing=""
    for deps_package in "$@"; do
        case " $deps_missing " in *" $deps_package "*) continue ;; esac
        deps_status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$deps_package" 2>/dev/null || true)
        case "$deps_status" in ii*) ;; *) deps_missing="$deps_missing $deps_package" ;; esac
    done
    [ -n "$deps_missing" ] || return 0

    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        deps_sudo=""
    elif command -v sudo >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
        deps_sudo="sudo"
    else
        echo "zelmorth: missing Debian packages:$deps_missing." \
            "Install them with: sudo apt-get update && sudo apt-get install$deps_missing" >&2
        exit 1
    fi
    echo "==== Installing the missing Debian packages:$deps_missing"
    if [ -z "${ZELMORTH_APT_UPDATED:-}" ]; then
        $deps_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
        ZELMORTH_APT_UPDATED=1
        export ZELMORTH_APT_UPDATED
    fi
    # shellcheck disable=SC2086 # one word per package
    $deps_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        $deps_missing
}

# python_with MODULE... prints the Python that can import the modules: the system's own first,
# where Debian's packages put them, then the one on PATH. Without one it prints nothing and
# fails.
python_with() {
    for deps_python in /usr/bin/python3 python3; do
        deps_imports="pass"
        for deps_module in "$@"; do
            deps_imports="$deps_imports; import $deps_module"
        done
        if "$deps_python" -c "$deps_imports" >/dev/null 2>&1; then
            command -v "$deps_python"
            return 0
        fi
    done
    return 1
}
