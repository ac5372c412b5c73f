#!/usr/bin/env bash
# The whole program as a user meets it, on a private X display: the
# reference server with a viewer and a merchant and a sealed clip in the
# viewer's stored playlist; the login typed, the notice acknowledged, the
# clip double-clicked and seen playing on the screen; then an account switch
# to the merchant, whose window has the encryption tab; close; status 0.
# Screenshots stay under the build folder as the run's artifacts.
#
#   e2e_program.sh SOURCE_DIR BUILD_DIR
set -Eeuo pipefail
root="$1"
build="$2"
art="$build/e2e-artifacts"
rm -rf "$art"
mkdir -p "$art"
source "$root/scripts/lib/session.sh"
trap step_failed ERR

scratch="$(mktemp -d)"
cleanup() {
  if [[ -n "${program_pid:-}" ]]; then
    kill "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
  fi
  stop_server
  stop_xvfb
  rm -rf "$scratch"
}
trap cleanup EXIT

accent=00d4ff

step "making and sealing the clip"
make_sample "$art"
step "starting the reference server with a viewer and a merchant"
start_server "$scratch/server" "$art/server.log"

step "storing the clip in the viewer's playlist"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$HOME"
"$build/tools/profile/veilcast-profile" --user-id "$viewer_id" --video "$art/sample.vcz" >/dev/null

step "starting the program"
start_xvfb "$scratch"
start_program "$art/program.log"

step "typing the viewer's login"
login="$(window '^登录')"
focus "$login"
xdotool type --delay 30 demo-viewer
xdotool key Tab
xdotool type --delay 30 viewer-demo-pass
shot "$art/1-login.png"
key_until '^防盗录保护已启用' Return

step "acknowledging the protection notice"
notice="$(window '^防盗录保护已启用')"
focus "$notice"
xdotool key Return

step "the main window"
main="$(window '^影匣')"
geometry "$main"
shot "$art/2-viewer.png"
# A viewer has no tab row: nothing of the accent colour just below the title bar.
if find_colour "$art/2-viewer.png" "$accent" $((WX + 16)) $((WY + 40)) $((WX + 300)) $((WY + 80)); then
  echo "a viewer's window shows tabs" >&2
  false
fi

step "double-clicking the clip in the playlist"
double_click $((WX + WW - 130)) $((WY + 40 + 40 + 26))

step "the clip plays on the screen"
wait_playing "$art/3-playing.png"

step "switching account"
shot "$art/4-before-switch.png"
# The status bar's link is its only text in the accent colour.
find_colour "$art/4-before-switch.png" "$accent" "$WX" $((WY + WH - 28)) $((WX + WW)) $((WY + WH))
click "$FX" "$FY"

step "typing the merchant's login"
login="$(window '^登录')"
focus "$login"
# The last user name is remembered and the card starts in the password
# field: back to the name, replace it.
xdotool key shift+Tab ctrl+a
xdotool type --delay 30 demo-merchant
xdotool key Tab
xdotool type --delay 30 merchant-demo-pass
key_until '^影匣' Return

step "the merchant's window has the encryption tab"
main="$(window '^影匣')"
geometry "$main"
shot "$art/5-merchant.png"
# The active tab "播放器" is drawn in the accent colour on the tab row.
find_colour "$art/5-merchant.png" "$accent" $((WX + 16)) $((WY + 40)) $((WX + 300)) $((WY + 80))
first_tab_x="$FX"
# The second tab lies right of the first; once clicked, the accent moves there.
click $((first_tab_x + 90)) $((WY + 60))
deadline=$((SECONDS + wait_limit))
until shot "$art/6-encryption-tab.png" &&
  find_colour "$art/6-encryption-tab.png" "$accent" $((WX + 16)) $((WY + 40)) $((WX + 300)) $((WY + 80)) &&
  ((FX > first_tab_x + 40)); do
  ((SECONDS <= deadline)) || { echo "the encryption tab did not become active" >&2; false; }
done

step "closing"
click $((WX + WW - 23)) $((WY + 20))
code=0
wait "$program_pid" || code=$?
program_pid=""
((code == 0)) || { echo "the program ended with status $code" >&2; false; }
echo "e2e: passed; screenshots in $art"
