#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a Windows program under Wine: the emulator CTest uses for the cross build.
# Uses $WINEPREFIX when set, else a prefix of its own under the system's temp folder.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="${TMPDIR:-/tmp}/morvek-wine-$(id -u)"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
