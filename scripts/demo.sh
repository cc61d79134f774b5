#!/usr/bin/env bash
# Starts two sample Samba servers on loopback (127.0.0.2 and 127.0.0.3) and lets Orvane search
# them, so you can watch it find real files. Needs root for the servers; builds if needed.
#
#   scripts/demo.sh          the headless runner searches and prints what it found
#   scripts/demo.sh --gui    the window opens with the servers' range in the tree: press Run
set -euo pipefail
cd "$(dirname "$0")/.."
gui=0
if [ "${1:-}" = "--gui" ]; then
  gui=1
fi
scripts/install-deps
if [ ! -x build/bin/orvane-scan ] || { [ $gui = 1 ] && [ ! -x build/bin/orvane ]; }; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build
fi

work=$(mktemp -d /tmp/orvane-demo.XXXXXX)
chmod 755 "$work" # the servers share files from here as the guest account
cleanup() {
  scripts/smb-fixture stop "$work/servers" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "Starting sample servers on 127.0.0.2 and 127.0.0.3 ..."
scripts/smb-fixture start "$work/servers"

# Keep the search hermetic: no user Samba or Kerberos configuration, and host names come from
# a private /etc/hosts (the sample servers have names there; no lookup leaves the machine).
mkdir -p "$work/home/.smb" && : >"$work/home/.smb/smb.conf"
if [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then
  export XAUTHORITY="$HOME/.Xauthority" # the display stays reachable with HOME moved
fi
export HOME="$work/home" KRB5_CONFIG=/dev/null KRB5CCNAME=MEMORY:

if [ $gui = 1 ]; then
  # An unsearched project holding the servers' range and the masks; the window opens it.
  build/bin/orvane-scan --range "Demo=127.0.0.1 - 127.0.0.3" --masks "*.txt;*.pdf" --depth 5 \
    --save "$work/demo.kxor" >/dev/null
  echo "The window shows the range 127.0.0.1 - 127.0.0.3: press Run. Close it to stop the servers."
  scripts/smb-fixture with-names build/bin/orvane "$work/demo.kxor"
  exit 0
fi

echo
echo "Searching 127.0.0.1 - 127.0.0.3 for *.txt and *.pdf, three folder levels into each share:"
# Progress and failed tasks go to standard error: shown as they come, and kept to be checked.
set +e
{ scripts/smb-fixture with-names build/bin/orvane-scan --range "Demo=127.0.0.1 - 127.0.0.3" --masks "*.txt;*.pdf" --depth 5 \
    --run --save "$work/demo.kxor" --csv "$work/demo.csv" 2>&1 1>&3 3>&- | tee "$work/errors" >&2
  status=${PIPESTATUS[0]}; } 3>&1
set -e
echo
echo "Some of the matching files, beside the thousands in the big and bulk shares:"
awk -F, 'NR > 1 && $2 == "file" && $9 == 1 { print "  " $4 }' "$work/demo.csv" 2>/dev/null |
  grep -v -E '\\(big|bulk)\\' | head -n 25 || true
echo
echo "The whole tree was saved as a project; the CSV has one row per node."

# The sample servers hold two traps on purpose: orvane-scan reports them as failed tasks and
# ends with status 3. That is the demo working; anything else is a real failure.
failed=$(tr '\r' '\n' <"$work/errors" | sed 's/\x1b\[K//g' | grep -a ': Thread has stopped' || true)
denied='\\127.0.0.2\denied: Thread has stopped with error (Access denied)'
loop='^\\\\127\.0\.0\.2\\loop\\.*: Thread has stopped with error \(Folder loop: '
matches=$(awk -F, 'NR > 1 && $9 == 1' "$work/demo.csv" 2>/dev/null | wc -l)
if [ "$matches" -eq 0 ]; then
  echo "The search found no matching file: the demo did not work (orvane-scan status $status)." >&2
  exit $((status == 0 ? 1 : status))
fi
if [ $status -eq 3 ] && [ "$(printf '%s\n' "$failed" | wc -l)" -eq 2 ] &&
  printf '%s\n' "$failed" | grep -qxF "$denied" && printf '%s\n' "$failed" | grep -qE "$loop"; then
  echo
  echo 'The two failed tasks above are the demo'"'"'s own: the share \\127.0.0.2\denied refuses'
  echo 'guests (it is listed, but may not be read), and \\127.0.0.2\loop\sub\up is a link back to'
  echo 'its own folder (a folder loop, stopped instead of walked without end). orvane-scan ends'
  echo 'with status 3 when tasks failed; here that is what the demo shows, so the demo ends with 0.'
  exit 0
fi
exit $status
