#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh
# Debian 12 machine. Safe to run again: apt skips what is already there.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh must run as root (it installs Debian packages)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive

# Wine's 32-bit loader comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

apt-get update -qq

# The host's clang, with g++'s C++ library, builds the programs that run on
# the build machine (host/: the Linux tool, the icon artwork, the fuzzers and
# the native tests). The x86_64 cross compiler and Wine's
# 64-bit loader are for the tests of the launcher under WoW64, beside a
# 64-bit Java runtime. lintian checks the .deb as Debian would.
apt-get install -y -qq --no-install-recommends \
    cmake ninja-build g++ \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
    wine wine32:i386 wine64 \
    xvfb xauth x11-utils imagemagick \
    libtomlplusplus-dev nlohmann-json3-dev googletest libgtest-dev clang libclang-rt-14-dev \
    default-jdk-headless \
    osslsigncode openssl lintian \
    >/dev/null

echo "setup: all packages present"
