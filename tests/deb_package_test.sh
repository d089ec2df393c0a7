#!/usr/bin/env bash
# The Debian package, without containers:
#   deb_package_test.sh build DIR BUILD_DIR CPACK makes it (cpack -G DEB) into DIR
#   deb_package_test.sh contents DIR TOOL,TOOL... its paths and modes, from
#       dpkg-deb -c and unpacked with dpkg -x in a throwaway directory
#   deb_package_test.sh store DIR PROBE           as root: postinst in a throwaway
#       root (DPKG_ROOT), run twice as an upgrade does; then an account outside
#       the group ambercrypt cannot read the store, and accounts inside it run
#       a host (PROBE: tests/store_access_probe.c) against the packaged library
# Exits 77 (skipped) for store when not root.
set -euo pipefail
mode=$1 dir=$2
fail() { echo "FAILED: $*"; exit 1; }
deb() { find "$dir/out" -maxdepth 1 -name 'ambercrypt_*.deb' -print -quit; }

case $mode in
build)
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$3" && "$4" -G DEB -B "$dir/out") >"$dir/cpack.log" 2>&1 || { cat "$dir/cpack.log"; fail "cpack -G DEB"; }
  [ -n "$(deb)" ] || fail "no package made"
  echo "made $(deb)"
  exit 0
  ;;
contents | store) ;;
*) fail "unknown mode $mode" ;;
esac
package=$(deb)
[ -n "$package" ] || fail "no package in $dir/out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---- contents ------------------------------------------------------------------
if [ "$mode" = contents ]; then
  IFS=, read -r -a tools <<<"$3"
  dpkg-deb -c "$package" | awk '{ print $1, $2, $6 }' | sed 's|/$||' >"$work/list"
  expect() { # MODE OWNER PATH
    grep -qxF -e "$1 $2 ./$3" "$work/list" || fail "$3: want $1 $2, have '$(grep " ./$3\$" "$work/list" || true)'"
  }
  # The state directory: written by root only; the parts every host writes in
  # sticky and setgid, for the group postinst gives them.
  expect drwxr-x--- root/root var/lib/ambercrypt
  expect drwxr-x--- root/root var/lib/ambercrypt/certs
  expect drwxr-x--- root/root var/lib/ambercrypt/certs/ROOT
  expect drwxrws--T root/root var/lib/ambercrypt/shared
  expect drwxrws--T root/root var/lib/ambercrypt/locks
  # The store's files are never in the package (an upgrade would replace them).
  [ "$(grep -c ' ./var/lib/ambercrypt/' "$work/list")" -eq 4 ] || fail "more than the state directories under /var/lib/ambercrypt"
  for tool in "${tools[@]}"; do expect -rwxr-xr-x root/root "usr/bin/$tool"; done
  expect -rw-r--r-- root/root usr/include/ambercrypt/ambercrypt.h
  expect -rw-r--r-- root/root usr/include/ambercrypt/verifier.h
  lib=$(awk '$3 ~ /\/libambercrypt\.so$/ { print substr($3, 3) }' "$work/list")
  [ -n "$lib" ] || fail "no libambercrypt.so"
  libdir=$(dirname "$lib")
  case $libdir in usr/lib | usr/lib/*-linux-gnu) ;; *) fail "library in /$libdir" ;; esac
  expect -rw-r--r-- root/root "$lib"
  expect -rw-r--r-- root/root "$libdir/pkgconfig/ambercrypt.pc"
  expect -rw-r--r-- root/root "$libdir/cmake/ambercrypt/ambercryptConfig.cmake"
  # Nothing but the package's own paths.
  lib_re='usr/lib(/[^/]+-linux-gnu)?'
  allowed="usr|usr/bin(/[^/]+)?|usr/include|usr/include/ambercrypt(/ambercrypt\\.h|/verifier\\.h)?|$lib_re|$lib_re/libambercrypt\\.so|$lib_re/libambercrypt_verifier\\.a"
  allowed+="|$lib_re/cmake|$lib_re/cmake/ambercrypt(/[^/]+\\.cmake)?|$lib_re/pkgconfig(/ambercrypt(_verifier)?\\.pc)?"
  allowed+="|var|var/lib|var/lib/ambercrypt(/.*)?"
  if grep -v -E " \\.(/($allowed))?\$" "$work/list"; then
    fail "unexpected paths above"
  fi

  # Control: the postinst, executable; dependencies found from the binaries.
  dpkg-deb -I "$package" postinst >"$work/postinst" || fail "no postinst"
  dpkg-deb -I "$package" >"$work/info"
  for script in postinst postrm; do
    grep -Eq "^ *[0-9]+ bytes, +[0-9]+ lines +\\* +$script " "$work/info" || fail "$script missing or not executable"
  done
  depends=$(dpkg-deb -f "$package" Depends)
  for dep in libssl3 libsqlite3-0 "adduser | passwd"; do
    [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
  done
  sh -n "$work/postinst" || fail "postinst is not valid sh"
  grep -q "/usr/bin/ambercrypt-reg" "$work/postinst" || fail "postinst does not name the packaged ambercrypt-reg"

  # Unpacked as dpkg does, the same modes on disk; the pkg-config file names /usr.
  dpkg -x "$package" "$work/root"
  for entry in .:750 certs:750 certs/ROOT:750 shared:3770 locks:3770; do
    have=$(stat -c %a "$work/root/var/lib/ambercrypt/${entry%%:*}")
    [ "$have" = "${entry#*:}" ] || fail "unpacked ${entry%%:*}: mode $have, want ${entry#*:}"
  done
  grep -qx 'prefix=/usr' "$work/root/$libdir/pkgconfig/ambercrypt.pc" || fail "ambercrypt.pc: prefix is not /usr"
  cmp "$work/root/usr/include/ambercrypt/ambercrypt.h" "$(dirname "$0")/../include/ambercrypt/ambercrypt.h" ||
    fail "packaged header differs"
  for tool in "${tools[@]}"; do
    [ -x "$work/root/usr/bin/$tool" ] || fail "$tool not unpacked"
  done
  nm -D --defined-only "$work/root/$lib" | grep -c ' T KoBio' | grep -qx 19 || fail "packaged library does not export the 19 functions"
  echo "package contents: all good"
  exit 0
fi

# ---- store -------------------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root (accounts and group membership)"; exit 77; }
probe=$3
chmod 0755 "$work"
root=$work/root
dpkg -x "$package" "$root"
dpkg-deb -e "$package" "$work/control"
# The throwaway root's account database: this system's, so the group it gets
# has a number no group here has.
mkdir -p "$root/etc"
for f in group gshadow passwd login.defs; do
  [ -e "/etc/$f" ] && cp -p "/etc/$f" "$root/etc/$f"
done
state=$root/var/lib/ambercrypt
reg="$root/usr/bin/ambercrypt-reg"
lib=$(find "$root/usr/lib" -name libambercrypt.so -print -quit)

mkdir -p "$root/var/lib/dpkg"   # the throwaway root's dpkg database (statoverride)
DPKG_ROOT=$root "$work/control/postinst" configure || fail "postinst configure"
[ "$(grep -c '^ambercrypt:' "$root/etc/group")" -eq 1 ] || fail "no group ambercrypt in the throwaway root"
! grep -q '^ambercrypt:' /etc/group || [ "$(getent group ambercrypt)" = "$(grep '^ambercrypt:' /etc/group)" ] ||
  fail "postinst changed this system's groups"
gid=$(awk -F: '$1 == "ambercrypt" { print $3 }' "$root/etc/group")
[ "$gid" -lt 1000 ] || fail "group ambercrypt is not a system group ($gid)"

check_layout() {
  for entry in .:750 certs:750 certs/ROOT:750 shared:3770 locks:3770 registry.db:640 shared/open_keys.db:660; do
    have=$(stat -c '%a %u %g' "$state/${entry%%:*}")
    [ "$have" = "${entry#*:} 0 $gid" ] || fail "${entry%%:*}: $have, want ${entry#*:} 0 $gid"
  done
}
check_layout
# A signing key imported into the package's store is the hosts' to read: the
# group's, nobody else's.
data=$(cd "$(dirname "$0")/data" && pwd)
AMBERCRYPT_ROOT=$state "$root/usr/bin/ambercrypt-admin" cert import "$data/signer.cert.pem" \
  --key "$data/signer.key.pem" --name test-signer >/dev/null || fail "cert import into the package's store"
[ "$(stat -c '%a %u %g' "$state/certs/ROOT/test-signer.key")" = "640 0 $gid" ] ||
  fail "imported key: $(stat -c '%a %u %g' "$state/certs/ROOT/test-signer.key"), want 640 0 $gid"
rm -f "$state/certs/ROOT/test-signer.key" "$state/certs/ROOT/test-signer.pem"
# The directories' owners and modes are dpkg's to keep through upgrades.
overrides=$(dpkg-statoverride --root "$root" --list)
for entry in "" /certs /certs/ROOT /shared /locks; do
  grep -q " /var/lib/ambercrypt$entry\$" <<<"$overrides" || fail "no statoverride for /var/lib/ambercrypt$entry"
done
# The files postinst made are a store the library uses.
AMBERCRYPT_ROOT=$state "$reg" query HKLM >/dev/null || fail "the library refuses the store postinst made"

# The administrator: password digest as an installation writes it, then the
# application's restriction and policy through the packaged library.
password=Packaged-Adm1n
digest=$(printf %s "$password" | sha1sum | cut -c1-40 | tr a-f A-F)
AMBERCRYPT_ROOT=$state "$reg" add 'HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\WinCrypto' /v KoSettingInfo1 \
  /t REG_BINARY /d "$digest" /f >/dev/null || fail "provisioning the administrator password"
mkdir -m 0755 "$work/bin"
cp "$probe" "$work/bin/store_access_probe"
probe=$work/bin/store_access_probe
AMBERCRYPT_ROOT=$state "$probe" "$lib" admin "$password" >"$work/admin.log" ||
  { cat "$work/admin.log"; fail "administration through the packaged library"; }

# An upgrade runs postinst again: same layout, the settings kept, one group.
DPKG_ROOT=$root "$work/control/postinst" configure || fail "postinst configure, second time"
check_layout
[ "$(grep -c '^ambercrypt:' "$root/etc/group")" -eq 1 ] || fail "group added twice"
kept=$(AMBERCRYPT_ROOT=$state "$reg" query 'HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\WinCrypto' /v KoSettingInfo1)
[[ $kept == *"$digest"* ]] || fail "the second configure lost the settings"

# Accounts: nobody outside the group; nobody and another account inside it
# (membership for the one process only, as a login in the group would have).
outside=(setpriv --reuid=65534 --regid=65534 --clear-groups)
inside=(setpriv --reuid=65534 --regid=65534 --groups="$gid")
other=(setpriv --reuid=65533 --regid=65534 --groups="$gid")
run_host() { env AMBERCRYPT_ROOT="$state" "$@" "$probe" "$lib" host; }

if "${outside[@]}" cat "$state/registry.db" >/dev/null 2>&1 || "${outside[@]}" ls "$state" >/dev/null 2>&1; then
  fail "an account outside the group reads the store"
fi
if out=$(run_host "${outside[@]}" 2>&1); then
  echo "$out"
  fail "a host outside the group used the store"
fi
echo "outside the group:"
echo "$out"
if grep -q '^CheckMode(0x0001) *0x0000000$' <<<"$out"; then fail "a host outside the group may capture"; fi

for who in inside other; do
  declare -n account=$who
  out=$(run_host "${account[@]}" 2>&1) || { echo "$out"; fail "a host in the group ($who) could not use the store"; }
  echo "in the group ($who):"
  echo "$out"
done
# What the hosts made where every host writes stays in the group, and none of
# it is open to other accounts.
[ -n "$(find "$state/locks" -mindepth 1 -user 65534)" ] || fail "the host made no lock file"
while read -r f; do
  [ "$(stat -c %g "$f")" = "$gid" ] || fail "$f is not in the group"
  if (($(stat -c '0%a' "$f") & 02)); then fail "$f is writable by other accounts"; fi
done <<<"$(find "$state/shared" "$state/locks" -mindepth 1)"

# Purge forgets the overrides and keeps the store.
DPKG_ROOT=$root "$work/control/postrm" purge || fail "postrm purge"
[ -z "$(dpkg-statoverride --root "$root" --list)" ] || fail "purge left statoverrides"
[ -s "$state/registry.db" ] || fail "purge removed the store"
echo "store access: all good"
