#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the demo and the Debian package need, only
# those missing (scripts/package.sh: dpkg-shlibdeps and file for CPack; its test: lintian, and the
# session bus the package depends on, so that installing it needs no download).
# Non-interactive; run as root. The mail servers are installed for the interoperation tests,
# which start private instances of their own: the machine's mail configuration is not touched
# and the packaged services are not started.
set -euo pipefail

PACKAGES=(
  cmake g++ ninja-build pkg-config python3
  qt6-base-dev qt6-base-dev-tools libqt6dbus6 libssl-dev libpq-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-14 libclang-rt-14-dev
  dbus-daemon libglib2.0-bin xvfb xauth trayer iproute2 procps
  postfix dovecot-core dovecot-pop3d dovecot-imapd openssl mpop msmtp isync
  dpkg-dev file lintian dbus-user-session
  postgresql
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Keep the packaged services from starting with their stock configuration while installing.
made_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  made_policy=1
fi
trap '[ $made_policy -eq 1 ] && rm -f /usr/sbin/policy-rc.d' EXIT
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
echo "postfix postfix/mailname string localhost" | debconf-set-selections
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
