#!/usr/bin/env bash
# Every request through pelmor-helper-ctl, in the namespaces that scripts/try-it makes: what a
# person following the README sees, checked line by line, with the exit statuses.
# usage: try_it_test.sh SOURCE_DIR BUILD_DIR   (exit 77: skipped)
set -uo pipefail
source_dir=$1 build_dir=$2
if [[ $(id -u) != 0 ]]; then echo "skipped: try-it needs root for its namespaces"; exit 77; fi
if ! unshare --mount --net true 2>/dev/null; then echo "skipped: no private namespaces here"; exit 77; fi

# The build is reached through a folder that only root may enter, as in a clone under /root or in a
# mktemp -d folder, and try-it starts there: the user's shell must need neither.
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 0700 "$private"
ln -s "$build_dir" "$private/build"
cd "$private"

"$source_dir/scripts/try-it" --build-dir "$private/build" --uid 1000 bash -s <<'INNER'
failures=0
# expect STATUS OUTPUT COMMAND...: runs the command, compares its exit status and its output
# (standard output and standard error together; an OUTPUT ending in * need only begin the output).
expect() {
  local want_status=$1 want=$2; shift 2
  local got status
  got=$("$@" 2>&1); status=$?
  if [[ $want == *'*' ]]; then want=${want%'*'}; got=${got:0:${#want}}; fi
  if [[ $status != "$want_status" || $got != "$want" ]]; then
    printf 'FAIL: %s\n  want [%s] %s\n  got  [%s] %s\n' "$*" "$want_status" "$want" "$status" "$got"
    failures=$((failures + 1))
  fi
}
expect 0 "" test -x .
cd "$HOME"
ctl=pelmor-helper-ctl
expect 0 "pong" $ctl ping
expect 0 "IPv4 forwarding is off" $ctl forwarding get
expect 0 "ok" $ctl forwarding set on
expect 0 "IPv4 forwarding is on" $ctl forwarding get
expect 0 '{"Forwarding":true}' $ctl --json forwarding get
expect 2 "pelmor-helper-ctl: forwarding set takes on or off*" $ctl forwarding set maybe
printf 'pass in all\npass out all' > rules.conf
expect 0 "ok" $ctl pf load com.example/vpn rules.conf
expect 1 "error: stdin:1: syntax error
pfctl: Syntax error in config file: pf rules not loaded" sh -c "echo 'syntax error' | $ctl pf load com.example/vpn -"
expect 0 "ok" $ctl pf flush com.example/vpn
token=$($ctl pf enable | sed -n 's/^token: //p')
[[ $token =~ ^[0-9]+$ ]] || { echo "FAIL: pf enable gave no token"; failures=$((failures + 1)); }
expect 0 "ok" $ctl pf release "$token"
expect 1 "error: pfctl: DIOCSTOPREF: No such file or directory" $ctl pf release "$token"
expect 0 "192.168.64.1 netmask 255.255.255.0" $ctl iface read en0
expect 0 "ok" $ctl iface set en0 10.0.0.1 255.255.0.0
expect 0 '{"Ifconfig":["10.0.0.1","255.255.0.0"]}' $ctl --json iface read en0
expect 0 "ok" $ctl iface delete en0 10.0.0.1
expect 0 "no IPv4 address" $ctl iface read en0
expect 1 "error: ifconfig: interface en7 does not exist" $ctl iface delete en7 10.0.0.1
expect 2 "pelmor-helper-ctl: ADDR and MASK are dotted IPv4 addresses*" $ctl iface set en0 10.0.0.01 255.0.0.0
expect 0 "reachable" $ctl icmp 127.0.0.1
expect 0 "received a UDP socket bound to 0.0.0.0:67" $ctl dhcp67
expect 0 '"FdFollows"' $ctl --json dhcp67
expect 2 "pelmor-helper-ctl: connect /nowhere.sock: No such file or directory (os error 2)*" \
  $ctl --socket /nowhere.sock ping
expect 2 "pelmor-helper-ctl: unknown command or wrong number of operands*" $ctl frobnicate
expect 0 "usage:
  pelmor-helper-ctl [OPTIONS] pf load ANCHOR [FILE|-]*" $ctl pf load --help
echo "$failures failures"
exit $((failures > 0))
INNER
