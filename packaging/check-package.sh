#!/usr/bin/env bash
# Checks a built VEK Debian package the way a fresh machine would see it.
#   packaging/check-package.sh PACKAGE.deb [CONTENTS_FILE]
# Unpacks it into a scratch root (dpkg -x), fails unless it holds the programs,
# the udev rules, the desktop entry, the icon, the man pages and its declared
# library dependencies, runs the programs from there (a whole vek-cli job against
# vek-sim among them), checks the man pages and
# the desktop entry, and writes the package's file list into CONTENTS_FILE.
set -euo pipefail
deb="$1"
contents="${2:-}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
root=$(mktemp -d)
runtime=$(mktemp -d)  # the programs' XDG_RUNTIME_DIR (Qt wants one, of mode 0700)
trap 'rm -rf "$root" "$runtime"' EXIT
failures=0
fail() { echo "check-package: $*" >&2; failures=$((failures + 1)); }

dpkg-deb -x "$deb" "$root"
required=(usr/bin/vek usr/bin/vek-cli usr/bin/vek-factory usr/bin/vek-report usr/bin/vek-sim usr/bin/vek-make-images
          usr/lib/udev/rules.d/70-vek.rules
          usr/share/applications/vek.desktop
          usr/share/icons/hicolor/scalable/apps/vek.svg
          usr/share/man/man1/vek.1.gz usr/share/man/man1/vek-cli.1.gz usr/share/man/man1/vek-factory.1.gz
          usr/share/man/man1/vek-report.1.gz usr/share/man/man1/vek-sim.1.gz
          usr/share/doc/vek/README.md usr/share/doc/vek/docs/install.md usr/share/doc/vek/docs/troubleshooting.md
          usr/share/doc/vek/examples/69-vek-local.rules.example)
for file in "${required[@]}"; do
  [ -f "$root/$file" ] || fail "missing /$file"
done
for program in vek vek-cli vek-factory vek-report vek-sim vek-make-images; do
  [ -x "$root/usr/bin/$program" ] || fail "/usr/bin/$program is not executable"
done
cmp -s "$root/usr/lib/udev/rules.d/70-vek.rules" "$source_dir/packaging/70-vek.rules" ||
  fail "the packaged udev rules differ from packaging/70-vek.rules"

# The declared run-time dependencies (from dpkg-shlibdeps).
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libudev1 libinih1 libsystemd0 libssl3 libsqlite3-0 libqt6widgets6 qt6-qpa-plugins; do
  [[ ", $depends," == *", $library "* || ", $depends," == *", $library,"* ]] || fail "Depends lacks $library: $depends"
done

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
run 0 env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$runtime" "$root/usr/bin/vek" --version
[ "$output" = "vek $version" ] || fail "vek --version says \"$output\", not vek $version"

# One whole job with the packaged programs: vek-cli updates the packaged vek-sim.
job="$runtime/job"
mkdir -p "$job/run"
"$root/usr/bin/vek-make-images" "$job/images" --platform 2 --image-kib 64 >/dev/null
"$root/usr/bin/vek-sim" --port-map "$job/ports" --model ZX2180 --revision ZX2180_SIM_V1.0 \
  --revision-after-download ZX2180_SIM_V1.1 2>"$job/vek-sim.log" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$root" "$runtime"' EXIT
for _ in $(seq 50); do [ -s "$job/ports" ] && break; sleep 0.1; done
status=0
(cd "$job" && VEK_TIME_SCALE=0.2 XDG_RUNTIME_DIR="$job/run" XDG_DATA_HOME="$job/data" "$root/usr/bin/vek-cli" --port-map "$job/ports" \
   --images "$job/images" --timeout 60 >"$job/status.txt" 2>"$job/errors.txt") || status=$?
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
if [ "$status" -ne 0 ] || ! grep -Eq "update version +ZX2180_SIM_V1.0 to version +ZX2180_SIM_V1.1" "$job/vek.log"; then
  fail "the packaged vek-cli's job against the packaged vek-sim ended with $status: $(tail -3 "$job/errors.txt")"
fi

# The job's record, read back by the packaged vek-report.
run 0 "$root/usr/bin/vek-report" --db "$job/data/vek/station.db" jobs
[[ "$output" == *succeeded* ]] || fail "vek-report lists no succeeded job: $output"
run 2 "$root/usr/bin/vek-report" jobs --since tomorrow

# The man pages render without a warning.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1) || fail "$(basename "$page"): groff failed"
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$(basename "$page"): man failed"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  fi
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/vek.desktop" || fail "the desktop entry does not validate"
fi

if [ -n "$contents" ]; then
  mkdir -p "$(dirname "$contents")"
  { dpkg-deb -f "$deb" Package Version Architecture Installed-Size Depends
    echo
    dpkg-deb -c "$deb"; } >"$contents"
fi
[ "$failures" -eq 0 ] || { echo "check-package: $failures problems in $deb" >&2; exit 1; }
echo "check-package: $deb holds the programs, rules, desktop entry, icon and man pages; a job with its programs succeeds"
