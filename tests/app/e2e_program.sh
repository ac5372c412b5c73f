#!/usr/bin/env bash
# The whole program as a user meets it, on a private X display with a
# private sound server: the reference server with a viewer and a merchant and
# two sealed clips in the viewer's stored playlist; the login typed, the
# notice acknowledged, the first clip double-clicked and seen playing and
# heard; then what a viewer does next: mute and unmute (button and key),
# pause and seek by a click on the bar, switch to the other row, take a
# screenshot; then an account switch to the merchant, whose window has the
# encryption tab; close; status 0. Screenshots and recordings stay under the
# build folder as the run's artifacts.
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
  stop_pulse
  rm -rf "$scratch"
}
trap cleanup EXIT

accent=00d4ff

step "making and sealing the clips"
make_sample "$art"
make_second "$art"
step "starting the reference server with a viewer and a merchant"
start_server "$scratch/server" "$art/server.log" "$art/sample.seal.json" "$art/second.seal.json"

step "storing the clip in the viewer's playlist"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$HOME"
"$build/tools/profile/veilcast-profile" --user-id "$viewer_id" --video "$art/sample.vcz" \
  --video "$art/second.vcz" >/dev/null

step "starting the program"
start_xvfb "$scratch"
start_pulse "$scratch"
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

# The video area: left of the playlist, between the title bar and the status
# bar. The control bar covers its lowest 80 px: the seek bar on top, the
# buttons below, 18 px above the bottom edge.
vx0=$WX vx1=$((WX + WW - 260)) vy0=$((WY + 40)) vy1=$((WY + WH - 28))
bar_y=$((vy1 - 38)) seek_y=$((vy1 - 71))
# show_bar FILE: the pointer over the picture until the bar shows, seen in
# FILE; sets FX, FY to its play button, the bar's accent circle.
show_bar() {
  xdotool mousemove $(((vx0 + vx1) / 2)) $((bar_y - 10))
  local deadline=$((SECONDS + wait_limit))
  until shot "$1" && find_colour "$1" "$accent" "$vx0" $((bar_y - 20)) $((vx0 + 200)) $((bar_y + 20)); do
    ((SECONDS <= deadline)) || { echo "the control bar did not show" >&2; return 1; }
  done
}
# A click on the picture gives the page the keyboard (the double click left
# it with the playlist).
focus "$main"
click $(((vx0 + vx1) / 2)) $(((vy0 + vy1) / 2))

step "the clip is heard"
hear loud "$art/a-playing"

step "the speaker button mutes"
# The speaker is the play button's second neighbour to the right.
show_bar "$art/7-bar.png"
play_x=$FX
click $((play_x + 90)) "$bar_y"
hear silent "$art/b-muted"

step "M gives the sound back"
xdotool key m
hear loud "$art/c-unmuted"

step "pausing, then seeking with a click on the bar"
xdotool key space
# Silence says the pause took hold; from then on only a seek changes the
# time, which reads right of the volume bar.
hear silent "$art/d-paused"
time_box=($((play_x + 180)) $((bar_y - 10)) $((play_x + 340)) $((bar_y + 10)))
shot "$art/8-paused.png"
click $((vx0 + 20 + (vx1 - vx0 - 40) * 3 / 4)) "$seek_y"
deadline=$((SECONDS + wait_limit))
until shot "$art/9-seeked.png" && "$lib/screen.py" differ "$art/8-paused.png" "$art/9-seeked.png" "${time_box[@]}"; do
  ((SECONDS <= deadline)) || { echo "the time did not move with the seek" >&2; false; }
done
sleep 1
shot "$art/10-still-paused.png"
if "$lib/screen.py" differ "$art/9-seeked.png" "$art/10-still-paused.png" "${time_box[@]}"; then
  echo "the time moves while paused" >&2
  false
fi
xdotool key space

step "switching to the other row"
double_click $((WX + WW - 130)) $((WY + 40 + 40 + 26 + 52))
deadline=$((SECONDS + wait_limit))
until shot "$art/11-second.png" &&
  find_colour "$art/11-second.png" ffff00 $((vx0 + 100)) $((vy0 + 100)) $((vx1 - 100)) $((vy1 - 120)); do
  ((SECONDS <= deadline)) || { echo "the second clip did not show" >&2; false; }
done
hear loud "$art/e-second"

step "a screenshot of the second clip"
shots="$HOME/Pictures/Veilcast"
show_bar "$art/12-bar.png"
click $((vx1 - 20 - 18 - 40)) "$bar_y"
deadline=$((SECONDS + wait_limit))
until compgen -G "$shots/*.png" >/dev/null; do
  ((SECONDS <= deadline)) || { echo "no screenshot in $shots" >&2; false; }
  sleep 0.1
done
saved="$(compgen -G "$shots/*.png" | head -n 1)"
cp "$saved" "$art/13-saved-screenshot.png"
"$lib/screen.py" find "$saved" ffff00 0 0 640 360 >/dev/null

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
program_ended_well "$code" "$art/program.log" || { echo "the program ended with status $code" >&2; false; }
echo "e2e: passed; screenshots in $art"
