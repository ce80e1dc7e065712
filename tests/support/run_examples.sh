#!/usr/bin/env bash
# Runs every example of docs/examples against the peers that with_peers.py
# started (--nginx --chunks --feedback), with Parcelgate.dll of <bin> registered in the
# prefix for the run; fails when one of them no longer does what the
# references say.
#   run_examples.sh <docs/examples> <bin> <docs>
set -u
examples="$1" bin="$2" docs="$3"
failures=0
linux() { local p="${1#Z:}"; printf '%s' "${p//\\//}"; }
win() { printf 'Z:%s' "${1//\//\\}"; }
check() {
  local name="$1"; shift
  if "$@"; then echo "PASS $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}

work="$(mktemp -d)"
dll="$(win "$bin/Parcelgate.dll")"
# A 32-bit server is seen by the 32-bit cscript only.
cscript=cscript
if objdump -f "$bin/Parcelgate.dll" | grep -q 'pei-i386'; then cscript='C:\windows\syswow64\cscript.exe'; fi
trap 'wine regsvr32 /s /u "$dll"; rm -rf "$work"' EXIT
wine regsvr32 /s "$dll" || { echo "FAIL regsvr32 $dll"; exit 1; }

nginx="http://127.0.0.1:$HTTP_NGINX_PORT" chunks="http://127.0.0.1:$PCG_CHUNK_PORT"
nginx_root="$(linux "$HTTP_NGINX_ROOT")" chunk_root="$(linux "$PCG_CHUNK_ROOT")"
head -c 100000 /dev/urandom > "$nginx_root/example.bin"
head -c 50000 /dev/urandom > "$work/up-vbs.bin"
head -c 30000 /dev/urandom > "$work/up-cpp.bin"
cp "$work/up-cpp.bin" "$work/resumed.bin"

run() {
  local out="$1"; shift
  "$@" > "$work/$out.raw" 2>&1
  echo $? > "$work/$out.rc"
  tr -d '\r' < "$work/$out.raw" > "$work/$out.out"
  echo "--- $out: exit $(cat "$work/$out.rc")"; cat "$work/$out.out"
}
rc() { [ "$(cat "$work/$1.rc")" = "$2" ]; }
said() { grep -q -- "$2" "$work/$1.out"; }
count() { [ "$(grep -c -- "$2" "$work/$1.out")" = "$3" ]; }

# A script error ends cscript with 0: the checks also want the script's own
# last line.
run js wine "$cscript" //nologo "$(win "$examples/download.js")" "$nginx/example.bin" "$(win "$work/js.bin")" tok
check "download.js downloads" eval 'rc js 0 && said js "^downloaded 100000 bytes"'
check "download.js wrote the server's file" cmp -s "$nginx_root/example.bin" "$work/js.bin"
run js-refused wine "$cscript" //nologo "$(win "$examples/download.js")" "ftp://127.0.0.1/x" "$(win "$work/x")"
check "download.js: DownLoad refuses a non-http URL" rc js-refused 2

run vbs wine "$cscript" //nologo "$(win "$examples/upload.vbs")" "$(win "$work/up-vbs.bin")" \
  "$chunks/up/-/vbs.bin" "$chunks/vbs.bin" tok
check "upload.vbs uploads" eval 'rc vbs 0 && said vbs "^uploaded 50000 bytes"'
check "upload.vbs: the server holds the file" cmp -s "$work/up-vbs.bin" "$chunk_root/vbs.bin"

run cpp-down wine "$bin/transfer.exe" download "$nginx/example.bin" "$(win "$work/cpp.bin")" tok
check "transfer download: OnBegin, OnFinish, exit 0" \
  eval 'rc cpp-down 0 && said cpp-down "^OnBegin" && said cpp-down "^OnFinish"'
check "transfer download wrote the server's file" cmp -s "$nginx_root/example.bin" "$work/cpp.bin"
run cpp-404 wine "$bin/transfer.exe" download "$nginx/missing.bin" "$(win "$work/missing.bin")"
check "transfer download of a 404: OnFail 0, exit 10, no file" \
  eval 'rc cpp-404 10 && said cpp-404 "^OnFail 0" && [ ! -e "$work/missing.bin" ]'
run cpp-up wine "$bin/transfer.exe" upload "$(win "$work/up-cpp.bin")" "$chunks/up/-/cpp.bin" tok
check "transfer upload: 100 chunks acknowledged, OnFinish" \
  eval 'rc cpp-up 0 && count cpp-up "^OnProgress" 100 && said cpp-up "^OnProgress 30000 / 30000"'
check "transfer upload: the server holds the file" cmp -s "$work/up-cpp.bin" "$chunk_root/cpp.bin"
# The chunk at byte 15000 is refused once: OnFail 0 and a resume record;
# the next upload goes on from there.
run cpp-cut wine "$bin/transfer.exe" upload "$(win "$work/resumed.bin")" "$chunks/up/refuse=15000/resumed.bin" tok
check "transfer upload refused mid-file: OnFail 0, resume record left" \
  eval 'rc cpp-cut 10 && said cpp-cut "^OnProgress 15000 / 30000" && [ -e "$work/resumed.upbreak" ]'
run cpp-resume wine "$bin/transfer.exe" upload "$(win "$work/resumed.bin")" "$chunks/up/refuse=15000/resumed.bin" tok
check "transfer upload resumed: first report after 15300 bytes, record gone" \
  eval 'rc cpp-resume 0 && [ "$(grep -m1 ^OnProgress "$work/cpp-resume.out")" = "OnProgress 15300 / 30000" ] && [ ! -e "$work/resumed.upbreak" ]'
check "transfer upload resumed: the server holds the file" cmp -s "$work/resumed.bin" "$chunk_root/resumed.bin"

# The task snippet: every field the reference names, nothing else, and a
# JSON object pennant's reader takes.
sh "$examples/make-task.sh" > "$work/task.b64"
check "make-task.sh: the fields of docs/pennant.md" python3 - "$work/task.b64" "$docs/pennant.md" <<'PY'
import base64, json, re, sys
task = json.loads(base64.b64decode(open(sys.argv[1]).read().strip()))
doc = open(sys.argv[2], encoding="utf-8").read()
table = doc.split("<!-- task fields -->")[1].split("\n\n")[0]
fields = set(re.findall(r"^\| `(\w+)` \|", table, re.M))
print("task:", sorted(task), "\ndocumented:", sorted(fields))
assert fields and set(task) == fields
assert base64.b64decode(task["showname"]).decode("utf-8") == "Quillon 2"
PY

# pennant takes the snippet's task: it loads and shows the offer until a
# WM_CLOSE (taskkill without /f) ends it as Exit does, report 9 and exit
# code 1. A task with an fname that is no plain file name ends at once, its
# PARSE line in the log and report 9 with empty ids.
logs="$WINEPREFIX/drive_c/ProgramData/Aldermoor/Quillon/2.0"
reports="$(linux "$HTTP_FEEDBACK_REQUESTS")"
wine "$bin/pennant.exe" "$(TASKID="example-$$" URL="$nginx/example.bin" LOGO= sh "$examples/make-task.sh")" \
  > /dev/null 2>&1 &
pennant=$!
for _ in $(seq 300); do
  grep -aqs "fname = q-2.1.exe" "$logs"/dovazidero_log.*.txt && grep -aqs "taskid = example-$$" "$logs"/dovazidero_log.*.txt && break
  sleep 0.1
done
sleep 1
wine taskkill /im pennant.exe > /dev/null 2>&1
wait "$pennant"; echo $? > "$work/pennant.rc"
check "pennant takes the snippet's task; WM_CLOSE ends it with exit code 1" rc pennant 1
check "pennant reports 9 with the task's ids" grep -rqs "deviceid=D-7F3A&taskid=example-$$&status=9" "$reports"
timeout 60 wine "$bin/pennant.exe" "$(FNAME='..\q.exe' sh "$examples/make-task.sh")" > /dev/null 2>&1
echo $? > "$work/refused.rc"
# A task taken by mistake would wait for the user: it must not outlive the run.
rc refused 124 && wine taskkill /f /im pennant.exe > /dev/null 2>&1
check "pennant refuses a task whose fname is a path: exit code 1" rc refused 1
check "... with PARSE in the log" grep -aqsF "PARSE: fname is not a plain file name: ..\\q.exe" "$logs"/dovazidero_log.*.txt
check "... and report 9 with empty ids" grep -rqs "deviceid=&taskid=&status=9" "$reports"

# pgxfer's usage names every exit code of the reference's table.
run pgxfer wine "$bin/pgxfer.exe" --help
check "pgxfer --help: exit code 2" rc pgxfer 2
check "pgxfer --help: the exit codes of docs/parcelgate.md" python3 - "$work/pgxfer.out" "$docs/parcelgate.md" <<'PY'
import re, sys
usage = open(sys.argv[1], errors="replace").read()
doc = open(sys.argv[2], encoding="utf-8").read()
table = doc.split("<!-- pgxfer exit codes -->")[1].split("\n\n")[0]
codes = re.findall(r"^\| (\d+) \|", table, re.M)
print("documented:", codes)
assert codes and all(re.search(r"\b%s\b" % c, usage) for c in codes), usage
PY

echo "$failures example check(s) failed"
[ "$failures" = 0 ]
