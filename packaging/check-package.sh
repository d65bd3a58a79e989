#!/usr/bin/env bash
# Checks VEK's two Debian packages the way a fresh machine would see them.
#   packaging/check-package.sh TOOLS.deb DESKTOP.deb [CONTENTS_FILE]
# vek-tools alone, unpacked into a scratch root (dpkg -x), holds its files, needs
# no Qt and runs a vek-cli and a vek-factory job (the shipped options file) against
# vek-sim; vek, unpacked over it, adds the desktop program. The unit, the sysusers
# file and lintian are checked where their tools are. CONTENTS_FILE: the file lists.
set -euo pipefail
tools_deb="$1"
desktop_deb="$2"
contents="${3:-}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
root=$(mktemp -d)
runtime=$(mktemp -d)  # the programs' XDG_RUNTIME_DIR (Qt wants one, of mode 0700)
trap 'rm -rf "$root" "$runtime"' EXIT
failures=0
fail() { echo "check-package: $*" >&2; failures=$((failures + 1)); }

dpkg-deb -x "$tools_deb" "$root"
required=(usr/lib/udev/rules.d/70-vek.rules
          usr/lib/systemd/system/vek-factory.service usr/lib/sysusers.d/vek-tools.conf etc/vek/factory.conf
          usr/share/doc/vek-tools/copyright usr/share/doc/vek-tools/changelog.gz
          usr/share/doc/vek-tools/README.md usr/share/doc/vek-tools/docs/install.md
          usr/share/doc/vek-tools/docs/troubleshooting.md usr/share/doc/vek-tools/docs/station.md
          usr/share/doc/vek-tools/examples/69-vek-local.rules.example)
for program in vek-cli vek-probe vek-factory vek-report vek-sim vek-make-images; do
  required+=("usr/share/man/man1/$program.1.gz")
  [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program is not executable"
done
for file in "${required[@]}"; do
  [ -f "$root/$file" ] || fail "vek-tools lacks /$file"
done
[ ! -e "$root/usr/bin/vek" ] || fail "vek-tools holds the desktop program"
cmp -s "$root/usr/lib/udev/rules.d/70-vek.rules" "$source_dir/packaging/70-vek.rules" ||
  fail "the packaged udev rules differ from packaging/70-vek.rules"
[ "$(dpkg-deb -I "$tools_deb" conffiles)" = /etc/vek/factory.conf ] ||
  fail "vek-tools' conffiles are not /etc/vek/factory.conf alone"

# The declared run-time dependencies (from dpkg-shlibdeps): no Qt in the headless package.
version=$(dpkg-deb -f "$tools_deb" Version)
has() { [[ ", $1," == *", $2 "* || ", $1," == *", $2,"* ]]; }
depends=$(dpkg-deb -f "$tools_deb" Depends)
for library in libc6 libstdc++6 libudev1 libinih1 libsystemd0 libssl3 libsqlite3-0 libpq5 systemd; do
  has "$depends" "$library" || fail "vek-tools' Depends lacks $library: $depends"
done
[[ "${depends,,}" != *qt* ]] || fail "vek-tools depends on Qt: $depends"

# The programs run from the scratch root and say who they are.
output=
run() {  # run EXPECTED_STATUS COMMAND...: the output in $output
  local expected="$1" status=0; shift
  output=$("$@" 2>&1) || status=$?
  [ "$status" -eq "$expected" ] || fail "${*}: exit status $status, not $expected: $output"
}
run 0 "$root/usr/bin/vek-cli" --version
[ "$output" = "vek-cli $version" ] || fail "vek-cli --version says \"$output\", not vek-cli $version"
run 0 "$root/usr/bin/vek-cli" --help
[[ "$output" == *--port-map* ]] || fail "vek-cli --help lists no --port-map"
run 2 "$root/usr/bin/vek-cli" --no-such-option
run 0 "$root/usr/bin/vek-factory" --version
[ "$output" = "vek-factory $version" ] || fail "vek-factory --version says \"$output\", not vek-factory $version"
run 2 "$root/usr/bin/vek-factory" --jobs 0
run 0 "$root/usr/bin/vek-sim" --help
[[ "$output" == *--port-map* ]] || fail "vek-sim --help lists no --port-map"
run 2 "$root/usr/bin/vek-sim"
run 0 "$root/usr/bin/vek-make-images" --help
[[ "$output" == *--platform* ]] || fail "vek-make-images --help lists no --platform"
run 3 "$root/usr/bin/vek-probe" --port-map /dev/null

# One whole job with the packaged programs: vek-cli updates the packaged vek-sim;
# then vek-factory, with the shipped options file (the command line naming this
# job's folders), updates a tray of two.
job="$runtime/job"
mkdir -p "$job/run" "$job/tray"
"$root/usr/bin/vek-make-images" "$job/images" --platform 2 --image-kib 64 >/dev/null
sim_pid=
start_sim() {  # start_sim PORT_MAP [VEK-SIM OPTIONS...]
  local ports="$1"; shift
  "$root/usr/bin/vek-sim" --port-map "$ports" --model ZX2180 --revision ZX2180_SIM_V1.0 \
    --revision-after-download ZX2180_SIM_V1.1 "$@" 2>>"$job/vek-sim.log" &
  sim_pid=$!
  for _ in $(seq 50); do [ -s "$ports" ] && break; sleep 0.1; done
}
stop_sim() { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
trap 'stop_sim; rm -rf "$root" "$runtime"' EXIT
start_sim "$job/ports"
status=0
(cd "$job" && VEK_TIME_SCALE=0.2 XDG_RUNTIME_DIR="$job/run" XDG_DATA_HOME="$job/data" "$root/usr/bin/vek-cli" --port-map "$job/ports" \
   --images "$job/images" --timeout 60 >"$job/status.txt" 2>"$job/errors.txt") || status=$?
stop_sim
if [ "$status" -ne 0 ] || ! grep -Eq "update version +ZX2180_SIM_V1.0 to version +ZX2180_SIM_V1.1" "$job/vek.log"; then
  fail "the packaged vek-cli's job against the packaged vek-sim ended with $status: $(tail -3 "$job/errors.txt")"
fi
start_sim "$job/tray-ports" --modules 2 --usb-path 1-2.1
status=0
(cd "$job/tray" && VEK_TIME_SCALE=0.2 XDG_RUNTIME_DIR="$job/run" "$root/usr/bin/vek-factory" \
   --config "$root/etc/vek/factory.conf" --port-map "$job/tray-ports" --images "$job/images" \
   --station-db "$job/tray/station.db" --report "$job/tray/report.jsonl" --count 2 --timeout 60 \
   >"$job/factory.txt" 2>&1) || status=$?
stop_sim
if [ "$status" -ne 0 ] || [ "$(grep -c '"result":"succeeded"' "$job/tray/report.jsonl" 2>/dev/null)" != 2 ]; then
  fail "the packaged vek-factory with the shipped options file ended with $status: $(tail -3 "$job/factory.txt")"
fi

# The jobs' records, read back by the packaged vek-report.
run 0 "$root/usr/bin/vek-report" --db "$job/data/vek/station.db" jobs
[[ "$output" == *succeeded* ]] || fail "vek-report lists no succeeded job: $output"
run 2 "$root/usr/bin/vek-report" jobs --since tomorrow

# The service: its unit as systemd reads it, its user as systemd-sysusers makes it.
# verify reads the unit, its program and man page there, and this system's units beside them.
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
  mkdir -p "$root/lib/systemd" && cp -a /lib/systemd/system "$root/lib/systemd/"
  run 0 env MANPATH="$root/usr/share/man" systemd-analyze --root="$root" verify \
    "$root/usr/lib/systemd/system/vek-factory.service"
  [ -z "$output" ] || fail "systemd-analyze verify: $output"
fi
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$runtime/sysroot/etc"
  run 0 systemd-sysusers --root="$runtime/sysroot" "$root/usr/lib/sysusers.d/vek-tools.conf"
  if ! grep -q '^vek:[^:]*:[0-9]*:[0-9]*:[^:]*:/var/lib/vek:' "$runtime/sysroot/etc/passwd" ||
     ! grep -Eq '^dialout:[^:]*:[0-9]*:(.*,)?vek(,|$)' "$runtime/sysroot/etc/group"; then
    fail "systemd-sysusers made no user vek in /var/lib/vek and the dialout group"
  fi
fi

# The desktop package over it: its files, its Depends, its program.
dpkg-deb -x "$desktop_deb" "$root"
for file in usr/bin/vek usr/share/applications/vek.desktop usr/share/icons/hicolor/scalable/apps/vek.svg \
            usr/share/man/man1/vek.1.gz usr/share/doc/vek/copyright usr/share/doc/vek/changelog.gz; do
  [ -f "$root/$file" ] || fail "vek lacks /$file"
done
depends=$(dpkg-deb -f "$desktop_deb" Depends)
for library in "vek-tools (= $version)" libqt6widgets6 qt6-qpa-plugins; do
  has "$depends" "$library" || fail "vek's Depends lacks $library: $depends"
done
run 0 env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$runtime" "$root/usr/bin/vek" --version
[ "$output" = "vek $version" ] || fail "vek --version says \"$output\", not vek $version"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/vek.desktop" || fail "the desktop entry does not validate"
fi

# The man pages render without a warning.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1) || fail "$(basename "$page"): groff failed"
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$(basename "$page"): man failed"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  fi
done

# lintian: no error, no warning (its complaint about running as root aside).
if command -v lintian >/dev/null; then
  for deb in "$tools_deb" "$desktop_deb"; do
    tags=$(lintian --fail-on none "$deb" 2>"$runtime/lintian.err") || fail "lintian failed on $deb: $(cat "$runtime/lintian.err")"
    [ -z "$tags" ] || fail "lintian on $(basename "$deb"):"$'\n'"$tags"
  done
fi

if [ -n "$contents" ]; then
  mkdir -p "$(dirname "$contents")"
  for deb in "$tools_deb" "$desktop_deb"; do
    dpkg-deb -f "$deb" Package Version Architecture Installed-Size Depends
    echo
    dpkg-deb -c "$deb"
    echo
  done >"$contents"
fi
[ "$failures" -eq 0 ] || { echo "check-package: $failures problems in $tools_deb and $desktop_deb" >&2; exit 1; }
echo "check-package: vek-tools alone holds the headless programs, rules, service and man pages without Qt, and a" \
     "vek-cli and a vek-factory job with its programs succeed; vek adds the desktop program; lintian is clean"
