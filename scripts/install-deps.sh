#!/bin/sh
# Installs the Debian packages the build and the tests need, only when
# something is missing. With --minimal only what the lumaqc program itself
# needs (make run); with --test also what the tests need: ffmpeg, pytest,
# Node.js, npm, Chromium and the npm packages of tests/browser; with
# --hardening, clang with its fuzzing and sanitizer runtimes.
set -eu

minimal=no
tests=no
hardening=no
for option in "$@"; do
    case "$option" in
        --minimal) minimal=yes ;;
        --test) tests=yes ;;
        --hardening) hardening=yes ;;
        *) echo "install-deps.sh: unknown option $option (--minimal, --test, --hardening)" >&2; exit 2 ;;
    esac
done

missing=""
need() { # need PACKAGE TEST-COMMAND...
    pkg=$1
    shift
    if ! "$@" >/dev/null 2>&1; then missing="$missing $pkg"; fi
}
# The program: compiler and build tools, its libraries, and the decoding of
# video files with FFmpeg's libraries.
need cmake command -v cmake
need g++ command -v g++
need make command -v make
need libcli11-dev test -f /usr/include/CLI/CLI.hpp
need libhwy-dev test -f /usr/include/hwy/highway.h
need pkg-config command -v pkg-config
need libavformat-dev pkg-config --exists libavformat
need libavcodec-dev pkg-config --exists libavcodec
need libswscale-dev pkg-config --exists libswscale
need libavutil-dev pkg-config --exists libavutil
# lumaqc opens FFmpeg's runtime libraries itself (dlopen), so no binary
# names them: the -dev packages bring them (Debian 12: libavformat59,
# libavcodec59, libswscale6, libavutil57); the loader must find them.
for lib in avformat avcodec swscale avutil; do
    need "lib$lib-dev" sh -c "/sbin/ldconfig -p | grep -q 'lib$lib\.so\.[0-9]'"
done
need nlohmann-json3-dev test -f /usr/include/nlohmann/json.hpp
# The metrics endpoint of live monitoring.
need libcpp-httplib-dev test -f /usr/include/httplib.h
# QC profiles are TOML files, read with the header-only toml++.
need libtomlplusplus-dev test -f /usr/include/toml++/toml.h
if [ "$minimal" = no ]; then
need libgtest-dev test -f /usr/include/gtest/gtest.h
need libgmock-dev test -f /usr/include/gmock/gmock.h
need libbenchmark-dev test -f /usr/include/benchmark/benchmark.h
# ffmpeg, which the input tests use to make their clips.
need ffmpeg command -v ffmpeg
# The shared library's recorded interface, compared with each build (abidiff).
need abigail-tools command -v abidiff
# The manual pages, generated from the programs' --help.
need help2man command -v help2man
# The Python package (import lumaqc) and lumaqc-batch, for Debian's python3:
# the module is built with pybind11 against the Python headers; numpy, pandas
# and Dask distributed are what it and the batch use at run time.
py() { /usr/bin/python3 -c "import $1"; }
need python3-dev test -f "/usr/include/python3.$(/usr/bin/python3 -c 'import sys; print(sys.version_info[1])' 2>/dev/null)/Python.h"
need pybind11-dev test -f /usr/include/pybind11/pybind11.h
need python3-numpy py numpy
need python3-pandas py pandas
need python3-dask py dask
need python3-distributed py distributed
fi
# The hardening passes built with clang: the fuzz targets (libFuzzer) and the
# leak check of the end-to-end tests (AddressSanitizer with LeakSanitizer).
if [ "$hardening" = yes ]; then
    need clang command -v clang++
    need libclang-rt-dev sh -c 'ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
fi
if [ "$tests" = yes ]; then
    need nodejs command -v node
    need npm command -v npm
    need chromium command -v chromium
    need python3-pytest py pytest
    # promtool checks the Prometheus alert rules of ops/.
    need prometheus command -v promtool
fi

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

# The npm packages of the Node.js checks (versions pinned in package-lock.json),
# when they are missing or older than the lock file.
if [ "$tests" = yes ]; then
    browser="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
    installed="$browser/node_modules/.package-lock.json"
    if [ ! -f "$installed" ] || [ "$browser/package-lock.json" -nt "$installed" ]; then
        echo "Installing the npm packages of tests/browser"
        (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error)
    fi
fi
