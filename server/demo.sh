#!/usr/bin/env bash
# Demonstrates the content server end to end: starts it on loopback over a
# demo data directory (a demo merchant, a merchant account and a viewer),
# registers a content key as the merchant, grants it to the viewer, then shows
# with curl a viewer login and a key request, and stops the server.
#
#   server/demo.sh [--build-dir DIR] [--data-dir DIR] [--port N] [--hold] [KEY...]
#
# KEY is either the JSON line `vcz seal` prints for a container (one or more)
#   {"source":..,"container":..,"videoId":..,"key":..,"iv":..,"sourceSize":..}
# or three words: KEYID KEY IV (dashed UUID, Base64 key, Base64 iv). Without
# it a random key is registered. --hold keeps the server running until
# Ctrl-C (or SIGTERM) instead of stopping it after the demonstration.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VEILCAST_BUILD_DIR:-$root/build}"
data="" port=8787 hold=0
args=()
while (($#)); do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --data-dir) data="$2"; shift 2 ;;
    --port) port="$2"; shift 2 ;;
    --hold) hold=1; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) args+=("$1"); shift ;;
  esac
done

server="$build/server/veilcast-server"
if [[ ! -x "$server" ]]; then
  cmake --build "$build" --target veilcast-server >/dev/null
fi

json_text() { sed -n "s/.*\"$1\"[[:space:]]*:[[:space:]]*\"\([^\"]*\)\".*/\1/p"; }
json_number() { sed -n "s/.*\"$1\"[[:space:]]*:[[:space:]]*\([0-9]*\).*/\1/p"; }

# One entry per key: "keyId key iv title fileName size", tab-separated.
keys=()
add_key() {
  [[ -n "$1" && -n "$2" && -n "$3" ]] || { echo "demo: could not read keyId/key/iv" >&2; exit 2; }
  keys+=("$1"$'\t'"$2"$'\t'"$3"$'\t'"${4:-演示片段}"$'\t'"${5:-demo.mp4}"$'\t'"${6:-0}")
}
if ((${#args[@]} == 3)) && [[ "${args[0]}" != "{"* ]]; then
  add_key "${args[0]}" "${args[1]}" "${args[2]}"
elif ((${#args[@]} == 0)); then
  add_key "$(cat /proc/sys/kernel/random/uuid)" "$(openssl rand -base64 32)" "$(openssl rand -base64 16)"
else
  for line in "${args[@]}"; do
    [[ "$line" == "{"* ]] || { echo "demo: give seal JSON lines, or KEYID KEY IV, or nothing" >&2; exit 2; }
    source="$(json_text source <<<"$line")"
    file_name="$(basename "${source:-demo.mp4}")"
    add_key "$(json_text videoId <<<"$line")" "$(json_text key <<<"$line")" \
      "$(json_text iv <<<"$line")" "${file_name%.*}" "$file_name" "$(json_number sourceSize <<<"$line")"
  done
fi

scratch=""
if [[ -z "$data" ]]; then
  scratch="$(mktemp -d)"
  data="$scratch/data"
fi
export VEILCAST_DATA_DIR="$data"
unset VEILCAST_DATABASE VEILCAST_MASTER_KEY

pid=""
cleanup() {
  if [[ -n "$pid" ]]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "== server stopped"
  fi
  if [[ -n "$scratch" ]]; then rm -rf "$scratch"; fi
}
trap cleanup EXIT

merchant="演示商家"
merchant_user="demo-merchant" merchant_pass="merchant-demo-pass"
viewer_user="demo-viewer" viewer_pass="viewer-demo-pass"
if ! "$server" admin user list --json 2>/dev/null | grep -q "\"$viewer_user\""; then
  "$server" admin merchant add "$merchant" >/dev/null
  printf '%s\n' "$merchant_pass" | "$server" admin user add "$merchant_user" --role merchant \
    --merchant "$merchant" --display-name "演示商家店主" >/dev/null
  printf '%s\n' "$viewer_pass" | "$server" admin user add "$viewer_user" --role viewer \
    --display-name "演示观众" >/dev/null
fi
echo "== demo data in $data"
echo "   merchant:         $merchant"
echo "   merchant account: $merchant_user / $merchant_pass"
echo "   viewer:           $viewer_user / $viewer_pass"

log="$data/server.log"
"$server" serve --listen 127.0.0.1 --port "$port" 2>"$log" &
pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; pid=""; exit 1; }
  sleep 0.1
done
base="http://127.0.0.1:$port"
echo "== server listening on $base (log: $log)"

device="$(printf 'veilcast-demo-device' | sha256sum | cut -c1-32)"
post() {  # path body [token]
  local auth=()
  [[ $# -ge 3 ]] && auth=(-H "Authorization: Bearer $3")
  curl -sS -X POST "$base$1" -H 'Content-Type: application/json' "${auth[@]}" -d "$2"
}

merchant_token="$(post /api/auth/login "{\"username\":\"$merchant_user\",\"password\":\"$merchant_pass\",\"deviceId\":\"$device\",\"deviceName\":\"demo\"}" | json_text token)"
for entry in "${keys[@]}"; do
  IFS=$'\t' read -r key_id key iv title file_name size <<<"$entry"
  answer="$(post /api/merchant/keys "{\"keyId\":\"$key_id\",\"key\":\"$key\",\"iv\":\"$iv\",\"title\":\"$title\",\"sourceFileName\":\"$file_name\",\"fileSize\":${size:-0}}" "$merchant_token")"
  if grep -q '"success":true' <<<"$answer"; then
    echo "== key $key_id registered by $merchant_user"
  elif grep -q 'KEY_CONFLICT' <<<"$answer"; then
    echo "== key $key_id was registered before"
  else
    echo "== key registration refused: $answer" >&2
    exit 1
  fi
  "$server" admin grant add "$viewer_user" --key "$key_id" >/dev/null
  echo "== granted to $viewer_user"
done
# The demonstration's key request below asks for the first key.
IFS=$'\t' read -r key_id _ <<<"${keys[0]}"

echo
echo "\$ curl -X POST $base/api/auth/login -H 'Content-Type: application/json' -d '{\"username\":\"$viewer_user\",\"password\":\"…\",\"deviceId\":\"$device\",\"deviceName\":\"demo\"}'"
login="$(post /api/auth/login "{\"username\":\"$viewer_user\",\"password\":\"$viewer_pass\",\"deviceId\":\"$device\",\"deviceName\":\"demo\"}")"
echo "$login"
token="$(json_text token <<<"$login")"
[[ -n "$token" ]] || { echo "demo: the viewer login failed" >&2; exit 1; }
echo
echo "\$ curl -X POST $base/api/video/key -H 'Content-Type: application/json' -H 'Authorization: Bearer ${token:0:8}…' -d '{\"keyId\":\"$key_id\",\"fileId\":\"demo\",\"deviceId\":\"$device\",\"deviceName\":\"demo\"}'"
answer="$(post /api/video/key "{\"keyId\":\"$key_id\",\"fileId\":\"demo\",\"deviceId\":\"$device\",\"deviceName\":\"demo\"}" "$token")"
echo "$answer"
grep -q '"success":true' <<<"$answer" || { echo "demo: the key request failed" >&2; exit 1; }
echo

if ((hold)); then
  echo "   merchant console: $base/console/ ($merchant_user / $merchant_pass)"
  echo "== server keeps running on $base; Ctrl-C stops it"
  trap 'exit 0' INT TERM
  wait "$pid" || true
fi
