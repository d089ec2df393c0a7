#!/usr/bin/env bash
# ambercrypt-admin end to end in a store of its own: install (password from
# stdin, then from a file), refusals of a second install, of a weak and of a
# wrong password (with the code's meaning), every administration command, show
# and list with --json, the "ROOT" store with its file modes and a key that
# does not match, BIR signing with a tampered file, the BSP check, deletion, and
# no secret printed without --reveal.
#   admin_tool_test.sh ADMIN_TOOL REG_TOOL TEST_DATA_DIR FIXTURE_DIR LOCKOUT_HOST
set -euo pipefail
admin=$1
reg=$2
data=$3
fixtures=$4
lockout_host=$5
work=$(mktemp -d)
export AMBERCRYPT_ROOT=$work/root
trap 'rm -rf "$work"' EXIT
has() { grep "$@" >/dev/null; }
fail() { echo "FAILED: $*"; exit 1; }
# expect_fail TEXT CMD...: the command must exit non-zero and print TEXT.
expect_fail() {
  local text=$1 out
  shift
  if out=$("$@" 2>&1); then fail "succeeded: $* -> $out"; fi
  has -F -- "$text" <<<"$out" || fail "'$text' not in the output of $*: $out"
}

password='Admin-Passw0rd'
secret='Secret-Key-77'
keytext='Hmac-Key-Text-1'
# The tool's zeroing check (tests/zerocheck, when it is built in and on) fails
# it when a freed block still holds one of these.
# (The BIR files hold plaintext biometric data: bir_sample, five times over.)
bir_sample='Plain-Biometric-Sample-0123456789-abcdef'
AMBERCRYPT_ZEROCHECK_SECRETS=$(printf '%s\n' "$password" "$secret" "$keytext" 'First-Passw0rd' "$bir_sample")
export AMBERCRYPT_ZEROCHECK_SECRETS
all_output=$work/all_output  # everything printed without --reveal
run() { "$@" 2>&1 | tee -a "$all_output"; return "${PIPESTATUS[0]}"; }

# --help for the tool and each subcommand.
"$admin" --help | has 'ambercrypt-admin COMMAND' || fail "tool --help"
for c in install restrict secret-key verify-policy identify-policy signing-cert end-user-cert delete verify-bsp \
         sign-bir verify-bir show list cert codes; do
  "$admin" "$c" --help | has "usage: ambercrypt-admin $c" || fail "$c --help"
done
expect_fail "never taken from the command line" "$admin" restrict App full --password "$password"
expect_fail "takes no option --key" "$admin" secret-key App aes256 --key "$secret"

# Commands before an installation say so; a weak password installs nothing.
# Where there is no store (a mistyped AMBERCRYPT_ROOT) they say that, and none
# makes one there: only install does, once it has a password to store.
for c in list 'show Scanner' 'show Scanner --reveal' 'cert list' 'restrict App full' 'delete App' \
         "end-user-cert App $data/signer.cert.pem" 'verify-bsp {00112233-4455-6677-8899-aabbccddeeff} AAAAAAAAAAAAAAAAAAAAAAAAAAA=' \
         'cert remove 0000000000000000000000000000000000000000'; do
  expect_fail "there is no store at $AMBERCRYPT_ROOT" sh -c "'$admin' $c </dev/null"
done
expect_fail "there is no store at $AMBERCRYPT_ROOT" "$reg" query 'HKLM\SOFTWARE'
expect_fail "there is no store at $AMBERCRYPT_ROOT" "$reg" export 'HKLM\SOFTWARE' "$work/none.reg"
expect_fail "no installation here" "$admin" restrict App full </dev/null
expect_fail "password refused" sh -c "echo weakpass | '$admin' install"
expect_fail "no installation here" "$admin" list
[ -e "$AMBERCRYPT_ROOT" ] && fail "a command that failed made a store"

# Install from stdin; the library creates the installation number.
out=$(echo 'First-Passw0rd' | run "$admin" install) || fail "install: $out"
has 'installation number created' <<<"$out" || fail "install: $out"
! has 'installation number [0-9]' <<<"$out" || fail "install printed the installation number"
# A store the library made for itself is readable by every account: said.
has 'readable by every account' <<<"$out" || fail "no warning about a world-readable store: $out"
"$reg" query 'HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\WinCrypto' /v KoSettingInfo2 | has REG_DWORD ||
  fail "installation number stored"
echo 'First-Passw0rd' | run "$admin" restrict Old full >/dev/null || fail "restrict before reinstall"
# A second install is refused and says what it would destroy; --force with a
# password file replaces it, and the old applications go with it.
expect_fail "every application's settings" sh -c "echo '$password' | '$admin' install"
echo "$password" >"$work/password"
run "$admin" install --force --password-file "$work/password" >/dev/null || fail "install --force"
"$admin" list | has Old && fail "reinstall kept an application"
expect_fail "0x8000804: administrator password refused" sh -c "echo 'First-Passw0rd' | '$admin' restrict App full"

# Restriction: names and numbers, a custom mask in hex.
echo "$password" | run "$admin" restrict Custom custom --mask 0x1DDC | has 'mode 5 (custom), forbidden mask 0x00001DDC' ||
  fail "custom mode"
expect_fail "mode custom needs --mask" sh -c "echo '$password' | '$admin' restrict Custom custom"
echo "$password" | run "$admin" restrict Scanner 3 >/dev/null
run "$admin" show Scanner --json | has -F '"restriction": {"mode": 3, "modeName": "standard"' || fail "mode 3 shown"
# Mode 4 is needed for a secret key: the library's refusal, with its meaning.
expect_fail "0x8000806: not permitted" sh -c "printf '%s\n%s\n' '$password' '$secret' | '$admin' secret-key Scanner aes256"
run "$admin" restrict Scanner full --password-file "$work/password" >/dev/null

# Secret key: password, then key, from stdin.
printf '%s\n%s\n' "$password" "$secret" | run "$admin" secret-key Scanner aes256 | has 'cipher aes256' ||
  fail "secret key"
expect_fail "0x8000803: secret key refused" sh -c "printf '%s\n%s\n' '$password' short | '$admin' secret-key Scanner 3des"
expect_fail "cipher aes128" sh -c "printf '%s\n%s\n' '$password' '$secret' | '$admin' secret-key Scanner aes128"

# Policies with both response methods; the key text from a file.
echo "$keytext" >"$work/keytext"
run "$admin" verify-policy Scanner --max-fmr 100 --max-failures 3 --lock-minutes 5 --flag 1 --method 40 \
  --key-file "$work/keytext" --password-file "$work/password" >/dev/null || fail "verify policy"
echo "$password" | run "$admin" identify-policy Scanner --max-fmr -1 --max-failures 0 --lock-minutes 0 --method 30 \
  >/dev/null || fail "identify policy"
expect_fail "0x800080B: maximum failures negative" sh -c "echo '$password' | '$admin' identify-policy Scanner \
  --max-fmr 1 --max-failures -1 --lock-minutes 0 --method 30"

# The "ROOT" store: a key that does not match is refused, nothing written.
expect_fail "does not belong to the certificate" "$admin" cert import "$data/signer.cert.pem" \
  --key "$fixtures/long_issuer.key.pem"
[ -e "$AMBERCRYPT_ROOT/certs/ROOT/signer.pem" ] && fail "refused import left a file"
run "$admin" cert import "$data/signer.cert.pem" --key "$data/signer.key.pem" --name signer >/dev/null || fail "import"
run "$admin" cert import "$fixtures/keyless.cert.pem" >/dev/null || fail "import without key"
[ "$(stat -c %a "$AMBERCRYPT_ROOT/certs/ROOT/signer.key")" = 600 ] || fail "key mode"
[ "$(stat -c %a "$AMBERCRYPT_ROOT/certs/ROOT/signer.pem")" = 644 ] || fail "certificate mode"
expect_fail "already in" "$admin" cert import "$data/signer.cert.pem"
thumb=$(openssl x509 -in "$data/signer.cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr A-F a-f)
run "$admin" cert list --json | has -F "{\"thumbprint\": \"$thumb\", \"subject\": \"O=Test Vectors,CN=Reference Signer\"" ||
  fail "cert list"
run "$admin" cert list | grep "$thumb" | has 'with key' || fail "cert list: key"
# The store is read through its directory, as the library reads it: a link or
# a FIFO among the certificates (or in a key's place) is skipped and named,
# never followed nor waited on.
store=$AMBERCRYPT_ROOT/certs/ROOT
keyless_thumb=$(openssl x509 -in "$fixtures/keyless.cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr A-F a-f)
other_thumb=$(openssl x509 -in "$fixtures/long_issuer.cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr A-F a-f)
ln -s "$fixtures/long_issuer.cert.pem" "$store/linked.pem"
mkfifo "$store/planted.pem" "$store/$keyless_thumb.key"
out=$(timeout 20 "$admin" cert list 2>&1) || fail "cert list with planted files: $out"
has -F "$thumb" <<<"$out" && has -F "$keyless_thumb" <<<"$out" || fail "cert list lost a certificate: $out"
has -F "$other_thumb" <<<"$out" && fail "cert list followed a link: $out"
for planted in linked.pem planted.pem "$keyless_thumb.key"; do
  has -F "$store/$planted" <<<"$out" || fail "cert list did not name $planted: $out"
done
rm "$store/linked.pem" "$store/planted.pem" "$store/$keyless_thumb.key"

# The serial as stored, as Windows shows it: the DER integer's bytes, so a
# leading 00 when the first byte has its high bit set.
serial=$(openssl x509 -in "$data/signer.cert.pem" -noout -serial | sed 's/.*=//' | tr A-F a-f)
case $serial in [89a-f]*) serial=00$serial ;; esac

# Certificates: the signing one by thumbprint, the end-user one as a DER file.
echo "$password" | run "$admin" signing-cert Scanner "$thumb" | has 'CN=Reference Signer' || fail "signing cert"
openssl x509 -in "$data/signer.cert.pem" -outform DER -out "$work/signer.der"
run "$admin" end-user-cert Scanner "$work/signer.der" >/dev/null || fail "end-user cert"
expect_fail "0x8000807" "$admin" end-user-cert Nobody "$work/signer.der"

# show: everything, labelled; secrets only as present.
json=$(run "$admin" show Scanner --json)
for want in '"restriction": {"mode": 4, "modeName": "full", "customMask": null}' \
            '"secretKey": {"set": true, "cipher": "aes256", "key": "present"}' \
            '"verifyPolicy": {"maxFmr": 100, "maxFailures": 3, "lockMinutes": 5, "flag": 1, "responseMethod": 40, "keyText": "present"}' \
            '"identifyPolicy": {"maxFmr": -1, "maxFailures": 0, "lockMinutes": 0, "flag": 0, "responseMethod": 30, "keyText": null}' \
            "\"signingCertificate\": {\"registered\": true, \"serial\": \"$serial\", \"inRoot\": true, \"subject\": \"O=Test Vectors,CN=Reference Signer\"" \
            "\"endUserCertificate\": {\"registered\": true, \"serial\": \"$serial\"" \
            '"verifyLockout": {"failures": null, "locked": false'; do
  has -F -- "$want" <<<"$json" || fail "show --json lacks $want: $json"
done
run "$admin" show Custom | has 'custom mask: *0x00001DDC' || fail "show custom mask"
expect_fail "0x8000804" sh -c "echo wrong-Passw0rd | '$admin' show Scanner --reveal"
revealed=$(echo "$password" | "$admin" show Scanner --reveal)
has "key: *${secret}0* " <<<"$revealed" || fail "--reveal secret key: $revealed"
has "key text: *$keytext\$" <<<"$revealed" || fail "--reveal key text"

# Lockout state: a host fails until Scanner is locked for 5 minutes; the
# release time is shown in the machine's local time (a zone far from UTC, so a
# time shown in UTC would be caught).
export TZ=Asia/Tokyo
"$lockout_host" Scanner >/dev/null || fail "lockout host"
shown=$(run "$admin" show Scanner)
until=$(sed -n 's/^  locked until: *\(.*\) (local time)$/\1/p' <<<"$shown" | head -1)
[ -n "$until" ] || fail "no release time: $shown"
ahead=$(( $(date -d "$until" +%s) - $(date +%s) ))
[ "$ahead" -ge 290 ] && [ "$ahead" -le 300 ] || fail "release time $until is $ahead s ahead, not 5 minutes"
run "$admin" show Scanner --json | has -F "\"verifyLockout\": {\"failures\": 0, \"locked\": true, \"releaseTime\": \"$until (local time)\"}" ||
  fail "lockout in --json"
unset TZ

# list: names from the index, an AppKey without one shown as unnamed.
run "$admin" list --json | has -F '"name": "Scanner"' || fail "list --json"
custom_key=$("$admin" show Custom --json | sed 's/.*"appKey": "\([^"]*\)".*/\1/')
"$reg" delete 'HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\AdminNames' /v "$custom_key" /f >/dev/null
run "$admin" list | has -F "$custom_key  (unnamed)" || fail "unnamed AppKey"
run "$admin" list --json | has -F "{\"appKey\": \"$custom_key\", \"name\": null}" || fail "unnamed in --json"

# BIR files: sign, verify, refuse a tampered one.
printf '%s%s%s%s%s' "$bir_sample" "$bir_sample" "$bir_sample" "$bir_sample" "$bir_sample" >"$work/data.bin"
run "$admin" sign-bir Scanner "$work/data.bin" "$work/signed.bir" --raw >/dev/null || fail "sign"
run "$admin" verify-bir Scanner "$work/signed.bir" | has 'signature verified' || fail "verify"
cp "$work/signed.bir" "$work/tampered.bir"
printf '\xff' | dd of="$work/tampered.bir" bs=1 seek=70 conv=notrunc 2>/dev/null
expect_fail "0x8000816: signature not produced, or it does not verify" "$admin" verify-bir Scanner "$work/tampered.bir"
# Signing the signed file again keeps its header; another application has no certificate.
run "$admin" sign-bir Scanner "$work/signed.bir" "$work/resigned.bir" >/dev/null || fail "re-sign"
expect_fail "0x8000814" "$admin" verify-bir Custom "$work/signed.bir"
expect_fail "not a BIR file" "$admin" verify-bir Scanner "$work/data.bin"
# A BIR file is written as a new file of mode 0600 (whatever the umask), or
# over a private file of this account; never through a link, never over a
# file other accounts may read (left as it is), never into a FIFO. A FIFO
# named as the input is refused, not waited on.
(umask 022 && run "$admin" sign-bir Scanner "$work/data.bin" "$work/private.bir" --raw >/dev/null) || fail "sign to a new file"
[ "$(stat -c %a "$work/private.bir")" = 600 ] || fail "a new BIR file is not 0600"
run "$admin" sign-bir Scanner "$work/data.bin" "$work/private.bir" --raw >/dev/null || fail "sign over a private file"
run "$admin" verify-bir Scanner "$work/private.bir" >/dev/null || fail "the rewritten file"
echo 'not to be touched' >"$work/victim"
ln -s "$work/victim" "$work/link.bir"
ln -s "$work/made-through-a-link" "$work/dangling.bir"
for out in link.bir dangling.bir; do
  expect_fail "$work/$out: is a symbolic link" "$admin" sign-bir Scanner "$work/data.bin" "$work/$out" --raw
done
[ "$(cat "$work/victim")" = 'not to be touched' ] && [ ! -e "$work/made-through-a-link" ] || fail "written through a link"
echo 'open to all' >"$work/open.bir"
chmod 0644 "$work/open.bir"
expect_fail "exists with mode 0644" "$admin" sign-bir Scanner "$work/data.bin" "$work/open.bir" --raw
[ "$(cat "$work/open.bir")" = 'open to all' ] && [ "$(stat -c %a "$work/open.bir")" = 644 ] || fail "an open file was changed"
mkfifo "$work/fifo.bir"
expect_fail "$work/fifo.bir: is not a regular file" timeout 20 "$admin" sign-bir Scanner "$work/data.bin" "$work/fifo.bir" --raw
expect_fail "$work/fifo.bir: is not a regular file" timeout 20 "$admin" verify-bir Scanner "$work/fifo.bir"

# BSP check: a module registered for a UUID, by file and by digest text.
uuid='{00112233-4455-6677-8899-aabbccddeeff}'
printf 'module bytes' >"$work/bsp.so"
"$reg" add "HKLM\\SOFTWARE\\Dravelo\\BioAPI\\BSP\\$uuid" /v path /t REG_SZ /d "$work/bsp.so" /f >/dev/null
run "$admin" verify-bsp "$uuid" "$work/bsp.so" | has matches || fail "verify-bsp file"
digest=$(openssl dgst -sha1 -binary "$work/bsp.so" | base64)
run "$admin" verify-bsp "$uuid" "$digest" >/dev/null || fail "verify-bsp digest"
expect_fail "0x8000810: BSP module digest does not match" "$admin" verify-bsp "$uuid" "$work/data.bin"
expect_fail "0x800081E" "$admin" verify-bsp '{00000000-0000-0000-0000-000000000001}' "$digest"

# Deletion.
run "$admin" delete Scanner >/dev/null || fail "delete"
"$admin" list | has Scanner && fail "deleted application listed"
expect_fail "no settings stored" "$admin" show Scanner
expect_fail "0x800080F" "$admin" delete Scanner

# cert remove takes the key with it.
run "$admin" cert remove "$thumb" >/dev/null || fail "cert remove"
[ -e "$AMBERCRYPT_ROOT/certs/ROOT/signer.key" ] && fail "key left behind"

# A "ROOT" store reached through a link (certs/ROOT or certs), or one that
# another account may write or owns, is refused: nothing is listed from it,
# nothing removed from it.
real=$work/ROOT.real
mv "$store" "$real"
for link in certs/ROOT certs; do
  elsewhere=$work/elsewhere-${link//\//-}
  mkdir -p "$elsewhere/ROOT"
  cp "$data/signer.cert.pem" "$elsewhere/ROOT/victim.pem"
  cp "$data/signer.key.pem" "$elsewhere/ROOT/victim.key"
  if [ "$link" = certs ]; then
    mv "$AMBERCRYPT_ROOT/certs" "$work/certs.real"
    ln -s "$elsewhere" "$AMBERCRYPT_ROOT/certs"
  else
    ln -s "$elsewhere/ROOT" "$store"
  fi
  expect_fail "is a symbolic link" "$admin" cert list
  expect_fail "is a symbolic link" "$admin" cert remove "$thumb"
  [ -e "$elsewhere/ROOT/victim.pem" ] && [ -e "$elsewhere/ROOT/victim.key" ] || fail "cert remove followed $link"
  rm "$AMBERCRYPT_ROOT/$link"
  [ "$link" = certs ] && mv "$work/certs.real" "$AMBERCRYPT_ROOT/certs"
done
mv "$real" "$store"
chmod 0775 "$store"
expect_fail "may be written by other accounts" "$admin" cert list
chmod 0755 "$store"
if [ "$(id -u)" -eq 0 ]; then
  chown 65534 "$store"
  expect_fail "belongs to another account" "$admin" cert list
  chown 0 "$store"
fi
run "$admin" cert list >/dev/null || fail "cert list once the store is as it was"

# A store another account may write is refused by both tools, saying why.
chmod 0777 "$AMBERCRYPT_ROOT"
real_root=$(realpath "$AMBERCRYPT_ROOT")
expect_fail "the store is refused: $real_root: may be written by other accounts" "$admin" list
expect_fail "The state root was refused: $real_root: may be written by other accounts" "$reg" query 'HKLM\SOFTWARE'
chmod 0755 "$AMBERCRYPT_ROOT"

# No secret was ever printed without --reveal.
for s in "$password" "$secret" "$keytext"; do
  has -F -- "$s" "$all_output" && fail "secret printed: $s"
done
echo "admin tool: all checks passed"
