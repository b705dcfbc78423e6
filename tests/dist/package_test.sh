#!/usr/bin/env bash
# Checks the Debian package as an administrator meets it: lintian finds no
# error; it installs; the daemon starts from the packaged configuration
# (its built-in default) and runs a component; SIGHUP reloads it, a
# logrotate run makes it write to a new log file; it stops; a purge leaves
# nothing behind. Usage: package_test.sh PACKAGE.deb TEST-COMPONENT-PROGRAM
# Needs root and a machine where korza-monitor is not installed.
set -euo pipefail
deb=$(readlink -f "$1")
component=$(readlink -f "$2")
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
export DEBIAN_FRONTEND=noninteractive

[ "$(id -u)" -eq 0 ] || { echo "package: skipped (needs root)"; exit 0; }
if dpkg-query -W -f='${Status}' korza-monitor 2>/dev/null | grep -q installed; then
  echo "package: skipped (korza-monitor is installed on this machine)"; exit 0
fi
for p in lintian logrotate; do  # normally installed by scripts/deps
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    apt-get install -y --no-install-recommends "$p" >/dev/null
done

lintian --fail-on error "$deb" || fail "lintian reports errors"

work=$(mktemp -d)
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null || true
  pkill -KILL -f "$work/bin/" 2>/dev/null || true
  rm -f /etc/korza/monitor.meta/pkgtest.mmc
  apt-get purge -y korza-monitor >/dev/null 2>&1 || true
  rm -rf "$work"
}
[ -n "${KEEP:-}" ] || trap cleanup EXIT

apt-get install -y "$deb" >/dev/null || fail "the package does not install"
for f in /usr/sbin/korza-monitor /usr/sbin/korza-ctl /etc/korza/monitor.conf \
         /lib/systemd/system/korza-monitor.service /etc/logrotate.d/korza-monitor \
         /usr/share/man/man8/korza-monitor.8.gz /usr/share/doc/korza-monitor/copyright; do
  [ -e "$f" ] || fail "$f is not installed"
done
korza-monitor -h | grep -q '(=/etc/korza/monitor.conf)' ||
  fail "the packaged daemon does not default to /etc/korza/monitor.conf"
grep -qx /etc/korza/monitor.conf /var/lib/dpkg/info/korza-monitor.conffiles ||
  fail "monitor.conf is not a conffile"

# One application with one component, the log where logrotate expects it.
mkdir -p "$work/bin"
cp "$component" "$work/bin/pkgtestc"
cat > /etc/korza/monitor.meta/pkgtest.mmc <<MMC
APPLICATION PKGTEST
  FULLNAME "package test"
  PATH $work/bin
  DEPENDS
  COMPONENTS
    pkgtestc "--tc-max-life-ms=120000" 5 2 LOG ""
  ENDCOMPONENTS
ENDAPPLICATION
MMC
sed -i -e 's|^FileName = .*|FileName = /var/log/korza-monitor.log|' \
       -e 's|^RunAppList = .*|RunAppList = PKGTEST|' \
       -e 's|^AgentAddress = .*|AgentAddress =|' /etc/korza/monitor.conf

korza-monitor || fail "the daemon does not start"
pidfile=/var/korza/run/korza-monitor.pid
wait_for 20 test -s "$pidfile" || fail "no pid file"
daemon_pid=$(head -n 1 "$pidfile")
log=/var/log/korza-monitor.log
wait_for 20 grep -q 'application "PKGTEST" has been started' "$log" || fail "no start: $(cat "$log")"
korza-ctl status >/dev/null || fail "korza-ctl status fails: $(korza-ctl status 2>&1)"

kill -HUP "$daemon_pid"
wait_for 20 grep -q 'Monitor::reload(): arrived SIGHUP' "$log" || fail "no reload"

logrotate -f /etc/logrotate.d/korza-monitor
wait_for 20 grep -q 'log file reopened on SIGUSR1' "$log" || fail "no new log after logrotate"
[ -e "$log.1" ] || fail "logrotate kept no rotated file"

kill -TERM "$daemon_pid"
# Gone, or a zombie where the container's init does not reap orphans.
gone() { ! kill -0 "$1" 2>/dev/null || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
wait_for 30 gone "$daemon_pid" || fail "the daemon does not stop"
[ ! -e "$pidfile" ] || fail "the pid file is left"
daemon_pid=""
! pgrep -f "$work/bin/pkgtestc" >/dev/null || fail "a component outlived the daemon"

rm -f /etc/korza/monitor.meta/pkgtest.mmc
apt-get purge -y korza-monitor >/dev/null || fail "the purge fails"
for f in /usr/sbin/korza-monitor /usr/sbin/korza-ctl /etc/korza /var/korza \
         /lib/systemd/system/korza-monitor.service /etc/logrotate.d/korza-monitor \
         /usr/share/doc/korza-monitor /usr/share/man/man8/korza-monitor.8.gz "$log" "$log.1"; do
  [ ! -e "$f" ] || fail "$f is left after the purge"
done
echo "package: ok"
