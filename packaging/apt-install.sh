#!/usr/bin/env bash
# Installs Debian packages (the arguments) without starting their services:
# the tests, the benchmark and the package check only run the packages'
# programs, or start instances of their own. Debian starts a package's
# service on install unless /usr/sbin/policy-rc.d says no; one of ours is put
# there for the install unless the machine has one, and taken away after.
# Extra apt-get options may come in APT_OPTIONS. Needs root.
set -euo pipefail
[ $# -gt 0 ] || exit 0
echo "installing: $*"
own_policy=
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  own_policy=1
fi
rc=0
# shellcheck disable=SC2086
apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ${APT_OPTIONS:-} "$@" || rc=$?
[ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
[ $rc = 0 ] || { echo "package install failed" >&2; exit 1; }
