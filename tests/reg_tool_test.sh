#!/usr/bin/env bash
# ambercrypt-reg: reg.exe's query output, add and delete, .reg export as
# Windows writes it, import of that and of ASCII text, and (when Wine is
# installed) files moving both ways between Wine's registry and ours.
set -euo pipefail
tool=$1
work=$(mktemp -d)
export AMBERCRYPT_ROOT=$work/root
export WINEPREFIX=$work/wine WINEDEBUG=-all
cleanup() {
  command -v wineserver >/dev/null && WINEPREFIX=$work/wine wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

key='HKLM\SOFTWARE\Dravelo\Test\ab/cd+ef='
"$tool" add "$key" /v Number /t REG_DWORD /d 10 /f >/dev/null
"$tool" add "$key" /v Blob /t REG_BINARY /d 0a0B0c /f >/dev/null
"$tool" add "$key" /v Text /t REG_SZ /d 'C:\bsp\a "quoted" name' /f >/dev/null
"$tool" add "$key\\Sub" >/dev/null

expected=$(printf '\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Test\\ab/cd+ef=\n    Number    REG_DWORD    0xa\n    Blob    REG_BINARY    0A0B0C\n    Text    REG_SZ    C:\\bsp\\a "quoted" name\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Test\\ab/cd+ef=\\Sub')
actual=$("$tool" query 'HKEY_LOCAL_MACHINE\SOFTWARE\Dravelo\Test\ab/cd+ef=')
[ "$actual" = "$expected" ] || fail "query output:
$actual"
# Names compare without regard to case; the key is echoed as typed, as reg.exe does.
"$tool" query 'hklm\software\dravelo\TEST\AB/CD+EF=' | grep -q '    Number    REG_DWORD    0xa' || fail "case"
"$tool" query "$key" /v number | grep -q '    Number    REG_DWORD    0xa' || fail "query /v"
if "$tool" query 'HKLM\SOFTWARE\Dravelo\Test\ab' >/dev/null 2>&1; then fail "'/' separated key names"; fi

"$tool" export 'HKLM\SOFTWARE\Dravelo' "$work/out.reg" >/dev/null
[ "$(head -c 2 "$work/out.reg" | od -An -tx1 | tr -d ' ')" = "fffe" ] || fail "byte-order mark"
text=$(iconv -f UTF-16LE -t UTF-8 "$work/out.reg" | tail -c +4)
grep -q $'^Windows Registry Editor Version 5.00\r$' <<<"$text" || fail "header"
grep -q $'^"Number"=dword:0000000a\r$' <<<"$text" || fail "dword line"
grep -q $'^"Blob"=hex:0a,0b,0c\r$' <<<"$text" || fail "hex line"
grep -qF '"Text"="C:\\bsp\\a \"quoted\" name"' <<<"$text" || fail "string line"
grep -q $'^\\[HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Dravelo\\\\Test\\]\r$' <<<"$text" || fail "empty ancestor section"

"$tool" delete 'HKLM\SOFTWARE\Dravelo' /f >/dev/null
if "$tool" query "$key" >/dev/null 2>&1; then fail "delete"; fi
"$tool" import "$work/out.reg" >/dev/null
[ "$("$tool" query "$key")" = "$expected" ] || fail "import of the export"

# Long binary values continue their lines, and import joins them again.
long=$(printf '%02x' $(seq 0 99))
"$tool" add "$key" /v Long /t REG_BINARY /d "$long" /f >/dev/null
"$tool" export "$key" "$work/long.reg" /y >/dev/null
[ "$(iconv -f UTF-16LE -t UTF-8 "$work/long.reg" | grep -c $'\\\\\r$')" -ge 3 ] || fail "line continuation"
"$tool" delete "$key" /v Long /f >/dev/null
"$tool" import "$work/long.reg" >/dev/null
"$tool" query "$key" /v Long | grep -qi "$long" || fail "continued lines imported"

printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Ascii]\n"Mode"=dword:00000004\n@="default"\n' >"$work/ascii.reg"
"$tool" import "$work/ascii.reg" >/dev/null
"$tool" query 'HKLM\SOFTWARE\Dravelo\Ascii' | grep -q '    Mode    REG_DWORD    0x4' || fail "ASCII import"
"$tool" query 'HKLM\SOFTWARE\Dravelo\Ascii' /ve | grep -q '(Default)    REG_SZ    default' || fail "default value"

# A malformed file is refused with a message, never a crash, and changes nothing.
for bad in '"x"=hex(zz):00' '"x"=dword:123456789' '"x"=hex:0g' 'no equals sign'; do
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Bad]\n%s\n' "$bad" >"$work/bad.reg"
  rc=0
  "$tool" import "$work/bad.reg" >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 1 ] || fail "malformed line '$bad' gave exit code $rc"
done
if "$tool" query 'HKLM\SOFTWARE\Dravelo\Bad' >/dev/null 2>&1; then fail "a refused file changed the registry"; fi

# What export never writes is refused on import, naming the line, and a file
# refused at any line imports nothing, not even the sections before it.
for bad in '"a\nb"=dword:1' '"s"="a\r\nb"' '"s"="\0"' "\"s\"=\"$(printf 'a\033[2Jb')\"" \
           "\"$(printf 'a\300\242b')\"=dword:1"; do
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Bad]\n"ok"=dword:1\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Bad2]\n%s\n' "$bad" >"$work/bad.reg"
  rc=0
  message=$("$tool" import "$work/bad.reg" 2>&1 >/dev/null) || rc=$?
  [ "$rc" -eq 1 ] || fail "line '$bad' gave exit code $rc"
  grep -q "bad.reg, line 7: " <<<"$message" || fail "the refusal of '$bad' names no line: $message"
done
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo\\Bad]\n\n[HKEY_CURRENT_USER\\Software\\X]\n' >"$work/bad.reg"
if "$tool" import "$work/bad.reg" >/dev/null 2>&1; then fail "a key of another root was imported"; fi
if "$tool" query 'HKLM\SOFTWARE\Dravelo\Bad' >/dev/null 2>&1; then fail "a refused file imported its first section"; fi

# A value name no .reg line can carry: export refuses the tree, names the key
# and the name (escaped), and leaves the file it was to replace as it was.
"$tool" export "$key" "$work/kept.reg" >/dev/null
[ "$(stat -c %a "$work/kept.reg")" = 600 ] || fail "a new export is not mode 0600"
cp "$work/kept.reg" "$work/kept.before"
"$tool" add "$key" /v $'Planted\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo]' /t REG_DWORD /d 1 /f >/dev/null
rc=0
message=$("$tool" export 'HKLM\SOFTWARE\Dravelo' "$work/kept.reg" /y 2>&1 >/dev/null) || rc=$?
[ "$rc" -eq 1 ] || fail "export of a planted name gave exit code $rc"
grep -qF 'key HKEY_LOCAL_MACHINE\SOFTWARE\Dravelo\Test\ab/cd+ef=: the value name "Planted\r\n[HKEY_LOCAL_MACHINE\SOFTWARE\Dravelo]" holds a line break' <<<"$message" ||
  fail "the refusal names no key: $message"
cmp -s "$work/kept.reg" "$work/kept.before" || fail "a refused export changed the file"
if "$tool" export 'HKLM\SOFTWARE\Dravelo' "$work/none.reg" >/dev/null 2>&1 || [ -e "$work/none.reg" ]; then
  fail "a refused export left a file"
fi
[ -z "$(find "$work" -maxdepth 1 -name '*.reg.*')" ] || fail "a refused export left a temporary file"
# query lists such a name and string data escaped: no forged line, no raw
# terminal escape.
"$tool" add "$key" /v Shown /t REG_SZ /d $'\e]0;x\a\r\n    Forged    REG_DWORD    0x1' /f >/dev/null
listing=$("$tool" query "$key")
grep -qF '    Planted\r\n[HKEY_LOCAL_MACHINE\SOFTWARE\Dravelo]    REG_DWORD    0x1' <<<"$listing" ||
  fail "query did not escape a planted name: $listing"
grep -qF '    Shown    REG_SZ    \x1b]0;x\x07\r\n    Forged    REG_DWORD    0x1' <<<"$listing" ||
  fail "query did not escape string data: $listing"
if grep -q $'^    Forged\|\e\|\r' <<<"$listing"; then fail "query printed a planted line or escape raw"; fi
"$tool" delete "$key" /v Shown /f >/dev/null
"$tool" delete "$key" /v $'Planted\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dravelo]' /f >/dev/null

# Export never writes through a link planted where the file is to go.
echo original >"$work/target"
ln -s "$work/target" "$work/link.reg"
if "$tool" export "$key" "$work/link.reg" /y >/dev/null 2>&1; then fail "export through a link"; fi
[ "$(cat "$work/target")" = original ] || fail "export wrote through a link"

wine=/usr/lib/wine/wine64
if [ -x "$wine" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$wine" reg add 'HKLM\Software\Dravelo\FromWine' /v Number /t REG_DWORD /d 26128 /f >/dev/null 2>&1
  "$wine" reg add 'HKLM\Software\Dravelo\FromWine' /v Blob /t REG_BINARY /d "$long" /f >/dev/null 2>&1
  "$wine" reg add 'HKLM\Software\Dravelo\FromWine' /v Path /t REG_SZ /d 'C:\bsp\module.dll' /f >/dev/null 2>&1
  "$wine" reg export 'HKLM\Software\Dravelo\FromWine' "Z:${work//\//\\}\\wine.reg" /y >/dev/null 2>&1
  [ -s "$work/wine.reg" ] || fail "wine reg export"
  "$tool" import "$work/wine.reg" >/dev/null
  out=$("$tool" query 'HKLM\Software\Dravelo\FromWine')
  grep -q '    Number    REG_DWORD    0x6610' <<<"$out" || fail "Wine's dword: $out"
  grep -qi "    Blob    REG_BINARY    $long" <<<"$out" || fail "Wine's binary: $out"
  grep -qF '    Path    REG_SZ    C:\bsp\module.dll' <<<"$out" || fail "Wine's string: $out"
  # Exported again from here, the file is the one Wine wrote, byte for byte.
  "$tool" export 'HKLM\Software\Dravelo\FromWine' "$work/again.reg" /y >/dev/null
  cmp -s "$work/wine.reg" "$work/again.reg" || fail "export differs from Wine's"

  "$tool" export "$key" "$work/ours.reg" /y >/dev/null
  "$wine" reg import "Z:${work//\//\\}\\ours.reg" >/dev/null 2>&1 || fail "wine reg import"
  wout=$("$wine" reg query 'HKLM\SOFTWARE\Dravelo\Test\ab/cd+ef=' 2>/dev/null | tr -d '\r')
  grep -q 'Number    REG_DWORD    0xa' <<<"$wout" || fail "ours in Wine: $wout"
  grep -q 'Blob    REG_BINARY    0A0B0C' <<<"$wout" || fail "ours in Wine: $wout"
  grep -qF 'Text    REG_SZ    C:\bsp\a "quoted" name' <<<"$wout" || fail "ours in Wine: $wout"
  echo "Wine round trip: ok"
fi
echo "ambercrypt-reg: ok"
