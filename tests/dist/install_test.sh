#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what an administrator
# gets: the programs in sbin/, the configuration, the examples, manual pages
# that render without warnings, and service files that their checkers accept.
set -euo pipefail
build="$1"
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr/local >/dev/null
root="$dest/usr/local"
for f in sbin/korza-monitor etc/korza/monitor.conf \
         share/doc/korza-monitor/examples/monitor.conf share/doc/korza-monitor/examples/agent.mmc \
         share/man/man8/korza-monitor.8 share/man/man8/korza-ctl.8 \
         share/man/man5/monitor.conf.5 share/man/man5/korza-mmc.5 \
         lib/systemd/system/korza-monitor.service; do
  [ -f "$root/$f" ] || fail "$f is not installed"
done
if [ -f "$build/bin/korza-ctl" ]; then
  [ -x "$root/sbin/korza-ctl" ] || fail "sbin/korza-ctl is not installed"
fi
"$root/sbin/korza-monitor" -v | grep -q '^korza-monitor for .*, version 6\.0\.0\.201105110$' ||
  fail "the installed daemon does not print its version"

for page in "$root"/share/man/man*/*; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q 'SEE ALSO' || fail "$(basename "$page") renders empty"
done

unit="$root/lib/systemd/system/korza-monitor.service"
grep -q '^ExecStart=/usr/local/sbin/korza-monitor -c /usr/local/etc/korza/monitor.conf$' "$unit" ||
  fail "the unit does not start the installed daemon with the installed configuration"
if command -v systemd-analyze >/dev/null 2>&1; then
  # Verify a copy that points at the scratch install, with its pages on MANPATH.
  sed "s|/usr/local/|$root/|g" "$unit" > "$dest/korza-monitor.service"
  out=$(MANPATH="$root/share/man" systemd-analyze verify "$dest/korza-monitor.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
fi
sh -n "$build/dist/korza_monitor" || fail "the rc.d script has a syntax error"
echo "install: ok"
