#!/usr/bin/env bash
# Tries the Debian package as a new user would get it: builds it (scripts/package.sh) unless a
# .deb is given, makes a fresh Debian 12 root with debootstrap, installs the package there with
# apt-get, runs the demo through one note cycle, shows the manual page, then removes the package
# and checks that nothing of it is left. Slow (a few minutes, mostly downloads): not part of
# scripts/test.sh. Needs root (debootstrap, chroot, mounts).
# Usage: scripts/try-package.sh [tarvik-host_VERSION_ARCH.deb]
# Environment: MIRROR (default: the Debian mirror of this machine's apt sources),
#              KEEP_ROOT=1 keeps the Debian root for a look afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "try-package.sh: needs root for debootstrap, chroot and mounts; run it with sudo" >&2
  exit 1
fi

if [ $# -ge 1 ]; then
  deb=$(realpath "$1")
else
  scripts/package.sh
  deb=$(realpath build/package/tarvik-host_*.deb)
fi
[ -f "$deb" ] || { echo "try-package.sh: no package at $deb" >&2; exit 1; }

if ! command -v debootstrap >/dev/null; then
  echo "Installing: debootstrap"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

# The mirror apt already uses here, so the check needs no other way out.
mirror_from_sources() {
  local uri
  uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources \
        2>/dev/null || true)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; exit}}' \
          /etc/apt/sources.list)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}
mirror=${MIRROR:-$(mirror_from_sources)}

root=$(mktemp -d /var/tmp/tarvik-deb-root.XXXXXX)
chmod 755 "$root"  # it becomes /, which every user of the system must be able to enter
mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[$i]}" 2>/dev/null || true; done
  if grep -q " $root/" /proc/mounts; then
    echo "try-package.sh: $root still has mounts; left in place" >&2
  elif [ "${KEEP_ROOT:-0}" = 1 ]; then
    echo "Debian root kept at $root"
  else
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            DEBIAN_FRONTEND=noninteractive HOME=/root "$@"; }

echo "=== debootstrap: Debian 12 (bookworm, minbase) from $mirror into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.debootstrap.log" 2>&1 || {
  tail -20 "$root.debootstrap.log" >&2
  echo "try-package.sh: debootstrap failed (log above)" >&2
  exit 1
}
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
# A pseudo-terminal for the demo validator: a private devpts, its ptmx as /dev/ptmx.
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts" &&
  mounts+=("$root/dev/pts")
rm -f "$root/dev/ptmx" && ln -s pts/ptmx "$root/dev/ptmx"
cp /etc/resolv.conf "$root/etc/resolv.conf"

echo "=== a usual Debian system has manual pages: apt-get install man-db"
in_root apt-get update -qq
in_root apt-get install -y -qq man-db >/dev/null

# Everything on the system outside package bookkeeping, caches, logs and scratch space.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./sys -o -path ./run \
     -o -path ./tmp -o -path ./var/tmp -o -path ./var/lib/dpkg -o -path ./var/lib/apt \
     -o -path ./var/cache -o -path ./var/log -o -path ./root \) -prune -o -print | sort)
}
snapshot > "$root/tmp/before-install"

echo "=== apt-get install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
in_root apt-get install -y -q "./tmp/$(basename "$deb")" > "$root/tmp/install.log" 2>&1 || {
  tail -30 "$root/tmp/install.log" >&2; exit 1; }
grep -E "^(The following NEW|[0-9]+ upgraded)" "$root/tmp/install.log" || true
in_root dpkg-query -W -f='${Package} ${Version} ${Architecture}\nDepends: ${Depends}\n' tarvik-host
in_root dpkg -L tarvik-host | sort > "$root/tmp/package-files"
echo "Installed files:"
while read -r f; do [ -f "$root$f" ] && echo "  $f"; done < "$root/tmp/package-files"

echo "=== tarvik-host --version; tarvik-validator --version"
in_root tarvik-host --version
in_root tarvik-validator --version

echo "=== printf ':wait 6000\\n' | tarvik-host --demo --console"
mkdir -p "$root/tmp/home"
status=0
printf ':wait 6000\n' | chroot "$root" env -i PATH=/usr/bin:/bin HOME=/tmp/home \
  timeout 60 tarvik-host --demo --console > "$root/tmp/demo.out" 2> "$root/tmp/demo.err" ||
  status=$?
echo "exit status $status; $(wc -l < "$root/tmp/demo.out") log lines; stderr:"
sed 's/^/  /' "$root/tmp/demo.err"
echo "log lines of the note cycle:"
grep -E "ESCROW|STACK|VEND|ACCEPTING|IDLING" "$root/tmp/demo.out" | sort | uniq -c | sed 's/^/  /'
stacked=$(grep -c STACKED "$root/tmp/demo.out" || true)
if [ "$status" -ne 0 ] || [ "$stacked" -eq 0 ]; then
  echo "FAILED: the demo did not stack a note (exit $status)" >&2
  cat "$root/tmp/demo.out" >&2
  exit 1
fi

echo "=== man tarvik-host (first lines)"
in_root env MANWIDTH=80 man -P cat tarvik-host > "$root/tmp/man.out" 2>&1 || {
  cat "$root/tmp/man.out" >&2; echo "FAILED: man tarvik-host" >&2; exit 1; }
head -25 "$root/tmp/man.out"
echo "... ($(wc -l < "$root/tmp/man.out") lines)"
in_root man -w tarvik-validator

echo "=== apt-get remove tarvik-host"
in_root apt-get remove -y -q tarvik-host > "$root/tmp/remove.log" 2>&1 || {
  cat "$root/tmp/remove.log" >&2; exit 1; }
grep -E "^Removing" "$root/tmp/remove.log" || true
left=()
while read -r f; do
  [ -f "$root$f" ] || [ -L "$root$f" ] && left+=("$f")
done < "$root/tmp/package-files"
snapshot > "$root/tmp/after-remove"
mapfile -t new_tarvik < <(comm -13 "$root/tmp/before-install" "$root/tmp/after-remove" | grep -i tarvik || true)
if [ ${#left[@]} -gt 0 ] || [ ${#new_tarvik[@]} -gt 0 ]; then
  echo "FAILED: apt-get remove left files behind:" >&2
  printf '  %s\n' "${left[@]}" "${new_tarvik[@]}" >&2
  exit 1
fi
echo "apt-get remove left none of the package's $(grep -c . "$root/tmp/package-files") paths' files, and nothing named tarvik"

echo "=== apt-get autoremove --purge (the dependencies) and a comparison with before the install"
in_root apt-get autoremove --purge -y -q > "$root/tmp/autoremove.log" 2>&1 || {
  cat "$root/tmp/autoremove.log" >&2; exit 1; }
snapshot > "$root/tmp/after-autoremove"
extra=$(comm -13 "$root/tmp/before-install" "$root/tmp/after-autoremove")
if [ -n "$extra" ]; then
  echo "left on the system after the dependencies went (not the package's own):"
  echo "$extra" | sed 's/^/  /'
else
  echo "the system's files are as before the install (caches, logs and package lists aside)"
fi
echo "=== all checks passed"
