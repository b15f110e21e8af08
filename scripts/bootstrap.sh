#!/usr/bin/env bash
# Installs the Debian packages needed to build QvSrvKit with mingw-w64 and test it under Wine.
# Safe to run again: packages already present are skipped.
set -euo pipefail

pkgs=(wine wine32:i386 wine64 libwine-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
      mingw-w64-tools googletest xvfb cmake make msitools wixl)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "bootstrap: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
