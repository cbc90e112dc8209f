#!/usr/bin/env bash
# Installs what Vessamo needs to build and test on Debian 12 (run as root). Quick when
# everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev
  shared-mime-info ca-certificates
  procps
  # the Debian package and its check: dpkg-shlibdeps, file (CPack), the manual page tools,
  # systemd-analyze
  dpkg-dev file man-db groff-base systemd
  # ... and the Debian 12 container it is installed in, booted with systemd as PID 1:
  # mmdebstrap builds its root file system, systemd-nspawn boots it, nsenter enters it
  mmdebstrap systemd-container util-linux
  # the metrics file's test reads it with the Prometheus client's own parser
  python3 python3-prometheus-client
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
