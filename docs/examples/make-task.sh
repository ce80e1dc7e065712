#!/bin/sh
# Prints pennant's one argument for an upgrade task: the task's JSON object
# in Base64 (no line breaks). Every field can be set from the environment;
# the defaults describe a complete example task.
#
#   pennant.exe "$(sh make-task.sh)"
#   URL=https://files.example/q-2.1.exe MD5=$(md5sum < q-2.1.exe | cut -c1-32) sh make-task.sh
#
# Values are put into JSON strings as they are, with quotes and backslashes
# escaped; the texts are UTF-8. showname and description are Base64 of
# their UTF-8 text a second time, inside the JSON.

json_string() {
  printf '"%s"' "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')"
}

showname=$(printf '%s' "${SHOWNAME:-Quillon 2}" | base64 -w0)
description=$(printf '%s' "${DESCRIPTION:-Quillon 2.1 opens files twice as fast.
It also keeps your settings.}" | base64 -w0)

task=$(printf '{%s}' "$(
  printf '"pid":%s,' "$(json_string "${PID:-1001}")"
  printf '"taskid":%s,' "$(json_string "${TASKID:-42}")"
  printf '"devid":%s,' "$(json_string "${DEVID:-D-7F3A}")"
  printf '"url":%s,' "$(json_string "${URL:-http://files.example/quillon/q-2.1.exe}")"
  printf '"md5":%s,' "$(json_string "${MD5:-0cc175b9c0f1b6a831c399e269772661}")"
  printf '"sha256":%s,' "$(json_string "${SHA256:-ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb}")"
  printf '"version":%s,' "$(json_string "${VERSION:-2.1.0.0}")"
  printf '"oldversion":%s,' "$(json_string "${OLDVERSION:-2.0.3.0}")"
  printf '"fname":%s,' "$(json_string "${FNAME:-q-2.1.exe}")"
  printf '"showname":%s,' "$(json_string "$showname")"
  printf '"description":%s,' "$(json_string "$description")"
  printf '"path":%s,' "$(json_string "${KEYPATH:-HKEY_LOCAL_MACHINE/Software/Aldermoor/Quillon}")"
  printf '"exe":%s,' "$(json_string "${EXE:-quillon.exe}")"
  printf '"logo":%s,' "$(json_string "${LOGO:-http://files.example/quillon/logo.png}")"
  printf '"bits":%s' "${BITS:-32}"
)")

printf '%s' "$task" | base64 -w0
echo
