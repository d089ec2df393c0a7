#!/usr/bin/env bash
# The two-identity access matrix on an installed store:
#   access_matrix_test.sh LIBRARY ACCESS_HOST ADMIN_TOOL REG_TOOL TEST_DATA_DIR
# As root, the administrator, `ambercrypt-admin install` makes the store (its
# files' owners and modes are checked) and provisions the application
# AccessHost. Then each export (through ACCESS_HOST, a host named AccessHost)
# and each write of ambercrypt-reg and ambercrypt-admin runs as an ordinary
# account (setpriv: another uid and gid, no groups) and as root, and must end
# as the table says: the ordinary account is refused wherever the settings are
# the administrator's, although it knows the administrator password, and
# succeeds where every account may write (the application's UserInfo lockout
# record). Afterwards the administrator's settings are byte for byte as they
# were, and the failures the ordinary account recorded are in the record.
# Exits 77 (skipped) when not root.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root (a second account)"; exit 77; }
command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
library=$1 host=$2 admin_tool=$3 reg_tool=$4 data=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
fail() { echo "FAILED: $*"; exit 1; }

# Everything the ordinary account runs or reads, where it may.
bin=$work/bin
mkdir -m 0755 "$bin"
cp "$library" "$bin/libambercrypt.so"
cp "$host" "$bin/AccessHost"
cp "$admin_tool" "$bin/ambercrypt-admin"
cp "$reg_tool" "$bin/ambercrypt-reg"
cp "$data/signer.cert.pem" "$work/signer.cert.pem"
chmod 0755 "$bin"/*
chmod 0644 "$work/signer.cert.pem"
export AMBERCRYPT_ROOT=$work/root
password='Access-Adm1n-Pw'
printf '%s\n' "$password" >"$work/password"
printf '%s\n' 'Access-Secret-9' >"$work/secret"
printf '%s\n' 'Access-Key-Text-1' >"$work/keytext"
chmod 0644 "$work/password" "$work/secret" "$work/keytext"  # the ordinary account knows them all
export ACCESS_PASSWORD_FILE=$work/password ACCESS_SIGNER_CERT=$work/signer.cert.pem
base='HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\WinCrypto'
uuid='{00112233-4455-6677-8899-aabbccddeeff}'

admin() { "$bin/ambercrypt-admin" "$@" >"$work/admin.log" 2>&1 || { cat "$work/admin.log"; fail "ambercrypt-admin $*"; }; }
reg() { "$bin/ambercrypt-reg" "$@" >/dev/null || fail "ambercrypt-reg $*"; }

# Owner root, group root; writable by root alone, but for what every account
# writes by design: shared/ and locks/ (sticky), and the database of the
# world-writable keys with SQLite's files beside it.
expect_mode() { # PATH MODE
  local have
  have=$(stat -c '%a %U:%G' "$AMBERCRYPT_ROOT/$1")
  [ "$have" = "$2 root:root" ] || fail "$1: $have, want $2 root:root"
}

# ---- The administrator's installation ------------------------------------------
admin install --password-file "$work/password"
expect_mode . 755
expect_mode registry.db 644
expect_mode shared 1777
expect_mode shared/open_keys.db 666
expect_mode locks 1777
pw=(--password-file "$work/password")
admin restrict AccessHost full "${pw[@]}"
admin secret-key AccessHost aes256 --key-file "$work/secret" "${pw[@]}"
admin verify-policy AccessHost --max-fmr 1000 --max-failures 50 --lock-minutes 5 --method 40 --key-file "$work/keytext" "${pw[@]}"
admin identify-policy AccessHost --max-fmr 1000 --max-failures 50 --lock-minutes 5 --method 40 --key-file "$work/keytext" "${pw[@]}"
admin cert import "$data/signer.cert.pem" --key "$data/signer.key.pem" --name signer
admin signing-cert AccessHost "$work/signer.cert.pem" "${pw[@]}"
admin end-user-cert AccessHost "$work/signer.cert.pem"
printf 'module bytes' >"$work/bsp.so"
chmod 0644 "$work/bsp.so"
reg add "HKLM\\SOFTWARE\\Dravelo\\BioAPI\\BSP\\$uuid" /v path /t REG_SZ /d "$work/bsp.so" /f
bsp_digest=$(openssl dgst -sha1 -binary "$work/bsp.so" | base64)
# A reference BIR signed by the administrator, for the ordinary account to check.
signed=$("$bin/AccessHost" "$bin/libambercrypt.so" DigitalSignBIR "$work/signed.p7")
[ "$signed" = 0x0000000 ] || fail "the administrator's DigitalSignBIR: $signed"
chmod 0644 "$work/signed.p7"
app_key=$("$bin/ambercrypt-admin" show AccessHost --json | sed 's/.*"appKey": "\([^"]*\)".*/\1/')
[ ${#app_key} -eq 28 ] || fail "no AppKey for AccessHost"

# ---- The state root's files, provisioned --------------------------------------------
expect_mode . 755
expect_mode registry.db 644
expect_mode certs 755
expect_mode certs/ROOT 755
expect_mode certs/ROOT/signer.pem 644
expect_mode certs/ROOT/signer.key 600
if find "$AMBERCRYPT_ROOT" ! -user root -o ! -group root | grep .; then fail "files above not root's"; fi
writable=$(cd "$AMBERCRYPT_ROOT" && find . -perm -0002 | sort | tr '\n' ' ')
want='./locks ./shared ./shared/open_keys.db ./shared/open_keys.db-journal '
[ "$writable" = "$want" ] || fail "writable by every account: $writable; want $want"
for f in "$AMBERCRYPT_ROOT"/locks/*; do
  [ "$(stat -c %a "$f")" = 644 ] || fail "$f: mode $(stat -c %a "$f")"
done

# ---- The matrix ------------------------------------------------------------------------
ordinary=(setpriv --reuid=65534 --regid=65534 --clear-groups)
as_root=(env)
# The administrator's settings before the ordinary account's turn.
sum() { sha256sum "$AMBERCRYPT_ROOT/registry.db" | cut -d' ' -f1; }
before=$(sum)
certs_before=$(ls -l "$AMBERCRYPT_ROOT/certs/ROOT")

# Exports: the code each identity gets. DigitalSignBIR needs the signing
# certificate's private key, which only root may read (0600). The challenges
# first check and record an outcome (a success); UpdateVerifyStatus then
# records a failure, which the next check counts.
exports=(
  # export                 ordinary   administrator
  "CheckMode               0x0000000  0x0000000"
  "EncryptBIR              0x0000000  0x0000000"
  "DecryptBIR              0x0000000  0x0000000"
  "VerifyChallenge         0x0000000  0x0000000"
  "IdentifyChallenge       0x0000000  0x0000000"
  "UpdateVerifyStatus      0x0000000  0x0000000"
  "VerifySecurityStatas    0x0000000  0x0000000"
  "IdentifySecurityStatas  0x0000000  0x0000000"
  "UpdateIdentifyStatus    0x0000000  0x0000000"
  "VerifyReferenceBIR      0x0000000  0x0000000"
  "VerifyBSP               0x0000000  0x0000000"
  "DigitalSignBIR          0x8000816  0x0000000"
  "RestrictBSPFunction     0x8000804  0x0000000"
  "InitSecretKey           0x8000804  0x0000000"
  "InitVerifyParameter     0x8000804  0x0000000"
  "InitIdentifyParameter   0x8000804  0x0000000"
  "InitCerfificate         0x8000804  0x0000000"
  "SetEndUserParameter     0x8000807  0x0000000"
  "DeleteParameter         0x800080f  0x0000000"
)
argument_of() {
  case $1 in
  VerifyReferenceBIR) echo "$work/signed.p7" ;;
  VerifyBSP) echo "$bsp_digest" ;;
  DigitalSignBIR) echo "$work/resigned.p7" ;;
  esac
}
run_export() { # IDENTITY EXPORT
  local -n who=$1
  local argument
  argument=$(argument_of "$2")
  (cd "$work" && "${who[@]}" "$bin/AccessHost" "$bin/libambercrypt.so" "$2" ${argument:+"$argument"}) 2>&1
}

# Tool writes: the ordinary account is refused each (the administrator's own
# turn is the setup above); it may write the UserInfo key's values.
userinfo="$base\\$app_key\\UserInfo"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"KoSettingInfo2"=dword:00000001\r\n' "$base" >"$work/base.reg"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"Probe"=dword:00000002\r\n' "$userinfo" >"$work/userinfo.reg"
chmod 0644 "$work"/*.reg
mkdir -m 0777 "$work/out"
tool_writes=(
  # outcome  command
  "refused  ambercrypt-reg add $base /v KoSettingInfo1 /t REG_BINARY /d 00 /f"
  "refused  ambercrypt-reg add $base\\Intruder /f"
  "refused  ambercrypt-reg delete $base /v KoSettingInfo2 /f"
  "refused  ambercrypt-reg delete $base\\$app_key /f"
  "refused  ambercrypt-reg import $work/base.reg"
  "ok       ambercrypt-reg add $userinfo /v Probe /t REG_DWORD /d 1 /f"
  "ok       ambercrypt-reg import $work/userinfo.reg"
  "ok       ambercrypt-reg delete $userinfo /v Probe /f"
  "ok       ambercrypt-reg export HKLM\\SOFTWARE\\Dravelo $work/out/store.reg"
  "refused  ambercrypt-admin install --force --password-file $work/password"
  "refused  ambercrypt-admin restrict AccessHost minimal --password-file $work/password"
  "refused  ambercrypt-admin secret-key AccessHost 3des --key-file $work/secret --password-file $work/password"
  "refused  ambercrypt-admin verify-policy AccessHost --max-fmr 1 --max-failures 1 --lock-minutes 1 --method 30 --password-file $work/password"
  "refused  ambercrypt-admin identify-policy AccessHost --max-fmr 1 --max-failures 1 --lock-minutes 1 --method 30 --password-file $work/password"
  "refused  ambercrypt-admin signing-cert AccessHost $work/signer.cert.pem --password-file $work/password"
  "refused  ambercrypt-admin end-user-cert AccessHost $work/signer.cert.pem"
  "refused  ambercrypt-admin delete AccessHost"
  "refused  ambercrypt-admin cert import $work/signer.cert.pem --name again"
  "refused  ambercrypt-admin cert remove b1e371ad60fbfc3e5314191b4d75e01b765588c3"
  "ok       ambercrypt-admin show AccessHost"
)

failures=0
declare -A got
for pass in ordinary as_root; do
  for row in "${exports[@]}"; do
    read -r name want_ordinary want_root <<<"$row"
    [ "$pass" = ordinary ] && want=$want_ordinary || want=$want_root
    # The administrator deletes last: its other rows need the settings.
    [ "$pass" = as_root ] && [ "$name" = DeleteParameter ] && continue
    have=$(run_export "$pass" "$name")
    got[$pass.$name]=$have
    if [ "$have" != "$want" ]; then
      echo "  $name as $pass: $have, want $want"
      failures=$((failures + 1))
    fi
  done
  if [ "$pass" = ordinary ]; then
    for row in "${tool_writes[@]}"; do
      read -r want tool args <<<"$row"
      read -r -a argv <<<"$args"
      if (cd "$work/out" && "${ordinary[@]}" "$bin/$tool" "${argv[@]}" </dev/null >"$work/tool.log" 2>&1); then
        have=ok
      else
        have=refused
      fi
      if [ "$have" != "$want" ]; then
        echo "  $tool $args as ordinary: $have, want $want"
        cat "$work/tool.log"
        failures=$((failures + 1))
      fi
    done
    # Nothing of the administrator's changed; the failures it recorded are there.
    [ "$(sum)" = "$before" ] || fail "registry.db changed during the ordinary account's turn"
    [ "$(ls -l "$AMBERCRYPT_ROOT/certs/ROOT")" = "$certs_before" ] || fail "certs/ROOT changed"
    [ ! -e "$AMBERCRYPT_ROOT/certs/ROOT/again.pem" ] || fail "the ordinary account imported a certificate"
    shown=$("$bin/ambercrypt-admin" show AccessHost --json)
    for family in verify identify; do
      grep -qF "\"${family}Lockout\": {\"failures\": 1," <<<"$shown" ||
        fail "the ordinary account's failed ${family} is not counted in the lockout record: $shown"
    done
    [ -s "$work/out/store.reg" ] || fail "the ordinary account's export wrote nothing"
  fi
done
got[as_root.DeleteParameter]=$(run_export as_root DeleteParameter)
[ "${got[as_root.DeleteParameter]}" = 0x0000000 ] || fail "the administrator's DeleteParameter"
printf '%-24s %-11s %s\n' export ordinary administrator
for row in "${exports[@]}"; do
  read -r name _ <<<"$row"
  printf '%-24s %-11s %s\n' "$name" "${got[ordinary.$name]}" "${got[as_root.$name]}"
done
[ "$failures" -eq 0 ] || fail "$failures cells of the matrix differ"
echo "access matrix: ${#exports[@]} exports x 2 identities, ${#tool_writes[@]} tool writes by an ordinary account: all as designed"
