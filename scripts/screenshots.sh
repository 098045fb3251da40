#!/usr/bin/env bash
# Takes a picture of each window (sequence, scenario, manual, About) from the
# program as built, so the README's pictures show what users really get.
# Runs the program on its simulated adapter under Xvfb with a fresh settings
# folder, opens the windows through the menus as a user would, and saves
# docs/screenshots/{sequence,scenario,manual,about}.png.
# With NIGHT=1 the program starts in night vision and the pictures, with the
# "Adaptateur simulé" panel's, are saved as *-nuit.png.
#
# BUILD_DIR (default: build) is the build folder to use; it is configured and
# the program built there if needed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=docs/screenshots
night=${NIGHT:-0}
suffix=
if [ "$night" = 1 ]; then suffix=-nuit; fi

if [ "${1:-}" != "--under-xvfb" ]; then
    bash scripts/deps.sh
    [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j"$(nproc)" --target tavrel
    mkdir -p "$out"
    # No window manager: windows have no frames, so a crop to the window's
    # geometry is exactly what the program draws.
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --under-xvfb
fi

tmp=$(mktemp -d)
# The scenario window lists the folders from "/" down to its folder: a short
# fixed path keeps this machine's folders and a random name out of the picture.
scenarios=/tmp/Scenarios
if [ -e "$scenarios" ]; then
    echo "$scenarios already exists; move it away and run again" >&2
    exit 1
fi
pid=
cleanup() {
    # The program ends by the kill: its status must not stop the clean-up.
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$tmp" "$scenarios"
}
trap cleanup EXIT

mkdir -p "$scenarios" "$tmp/config"
printf '20:30:00,0,1,0,Mise au point\n*,2,300,5,Lumineuses\n*,0,0,0,Fin\n' >"$scenarios/m42-orion.txt"
printf '22:00:00,2,600,5,Lumineuses\n*,0,0,0,Fin\n' >"$scenarios/m31-andromede.txt"
printf '*,0,1,2,Plages de lumiere\n*,0,0,0,Fin\n' >"$scenarios/flats.txt"
# Default settings, but the scenario folder above.
cat >"$tmp/config/Tavrel.ini" <<EOF
[FDTI]
FDTINo=0
FDTINoBIT=1
FDTIMask=255
[Defaut]
DEF_DRIVE=/
DEF_DIR=$scenarios
EOF
if [ "$night" = 1 ]; then printf '[Affichage]\nNuit=1\n' >>"$tmp/config/Tavrel.ini"; fi

# A locale that does not depend on the machine the pictures are taken on.
export XDG_CONFIG_HOME=$tmp/config LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=$tmp
"$build/tavrel" --simulate 2>"$tmp/tavrel.log" &
pid=$!

# Prints the id of a visible window whose name matches $1 and whose id is not
# $2 (the window it replaces), once there is one; gives up after 20 s.
wait_window() {
    local id
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || { cat "$tmp/tavrel.log" >&2; echo "tavrel exited" >&2; return 1; }
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "${2:-none}" | head -n1 || true)
        if [ -n "$id" ]; then echo "$id"; return 0; fi
        sleep 0.1
    done
    echo "no window named '$1' appeared" >&2
    return 1
}

# Qt paints a window just after mapping it; give it that moment.
settle() { sleep 0.8; }

shoot() { # shoot WINDOW_ID NAME
    local X Y WIDTH HEIGHT WINDOW SCREEN
    eval "$(xdotool getwindowgeometry --shell "$1")"
    import -window root png:- |
        convert - -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -strip \
            -define png:exclude-chunks=date,time "$out/$2$suffix.png"
    echo "$out/$2$suffix.png: ${WIDTH}x${HEIGHT}"
}

# Opens the File menu of window $1 and picks its $2-th entry with the
# keyboard, so the entries' heights do not matter. The sequence window's menu
# is Asynch, Synch, Manuel; the scenario window's Async, Synch.
file_menu() {
    local X Y WIDTH HEIGHT WINDOW SCREEN
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + 20)) $((Y + 9)) click 1
    sleep 0.3
    for _ in $(seq "$2"); do xdotool key Down; done
    xdotool key Return
    xdotool mousemove 1000 750
}

sequence=$(wait_window '^Tavrel$')
settle
shoot "$sequence" sequence
if [ "$night" = 1 ]; then
    panel=$(wait_window '^Adaptateur simulé$')
    shoot "$panel" panel
fi

file_menu "$sequence" 2
scenario=$(wait_window '^Tavrel$' "$sequence")
settle
# Select the first scenario file, as before a night's start.
eval "$(xdotool getwindowgeometry --shell "$scenario")"
xdotool mousemove $((X + 240)) $((Y + 206)) click 1
xdotool mousemove 1000 750
settle
shoot "$scenario" scenario

# The scenario window has no Manuel entry: back to the sequence window first.
file_menu "$scenario" 1
sequence2=$(wait_window '^Tavrel$' "$scenario")
settle
file_menu "$sequence2" 3
manual=$(wait_window '^Tavrel$' "$sequence2")
settle
shoot "$manual" manual

# "?" is an entry of the menu bar itself: one click opens About.
eval "$(xdotool getwindowgeometry --shell "$manual")"
xdotool mousemove $((X + 85)) $((Y + 9)) click 1
xdotool mousemove 1000 750
about=$(wait_window '^About')
settle
shoot "$about" about
