#!/usr/bin/env bash
# Opens a directions file in the window on a virtual X display and saves
# screenshots of what a user sees: the disparity map after the run, the
# confidence map (F4), the L0 and Ln slices (a button held on a row, the row
# marked), image 0 (F1), a zoomed view, the status bar reading the values
# under the pointer, the colour-mapped map with its colour bar (M), the match
# profile after a few iterations (V, I) and, when the folder holds
# ground_truth.pfm, the error view (F5); plus the screen during the run when it
# lasts long enough. Not run in CI; needs xvfb, xdotool and ImageMagick
# (apt-get install xvfb xdotool imagemagick).
#
#   scripts/screenshots.sh [DIRECTIONS.cpd [OUTPUT_DIR]]
#
# The directions file defaults to the bundled example; its folder is copied to a
# temporary place first, so the run's output file lands there. BUILD_DIR names
# the build (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TAVREL_SCREENSHOT_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" env TAVREL_SCREENSHOT_DISPLAY=1 "$0" "$@"
fi

build_dir=${BUILD_DIR:-build}
program=$build_dir/app/qt/tavrel
directions=${1:-examples/scene/scene.cpd}
out=$(realpath -m "${2:-$build_dir/screenshots}")
mkdir -p "$out"
[ -x "$program" ] || { echo "no $program: build first (scripts/build.sh)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$(dirname "$directions")"/. "$work"/
name=$(basename "$directions")

shot() {
  sleep 1
  import -window "$window" "$out/$1.png"
  echo "$out/$1.png"
}

truth=()
[ -f "$work/ground_truth.pfm" ] && truth=(--ground-truth "$work/ground_truth.pfm")
"$program" "${truth[@]}" "$work/$name" &
pid=$!
window=$(xdotool search --sync --onlyvisible --name '^Tavrel$' | head -1)

# The run's progress dialog comes and goes; the map is shown once it is gone.
sleep 1
if xdotool search --onlyvisible --name '^Tavrel - running$' >/dev/null 2>&1; then
  import -window root -crop 800x600+0+0 "$out/running.png"
  echo "$out/running.png"
fi
while xdotool search --onlyvisible --name '^Tavrel - running$' >/dev/null 2>&1; do sleep 1; done
xdotool windowfocus --sync "$window" 2>/dev/null || true
shot disparity

xdotool key F4
shot confidence

# Hold the right button on a row a third of the way down the picture.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --window "$window" $((WIDTH / 2)) $((HEIGHT / 3))
xdotool mousedown 3
shot ln-slice
xdotool mousemove --window "$window" $((WIDTH / 2)) $((HEIGHT / 2))
shot ln-slice-moved
xdotool mouseup 3

xdotool mousemove --window "$window" $((WIDTH / 2)) $((HEIGHT / 3))
xdotool mousedown 1
shot l0-slice
xdotool mouseup 1

xdotool key F1
shot image0

# Values under the pointer on the disparity map, then the same map zoomed in
# twice about the pointer.
xdotool key F3
xdotool mousemove --window "$window" $((WIDTH / 2)) $((HEIGHT / 2))
shot status-values
xdotool key plus plus
shot zoomed
xdotool key 1

# The colour map with its colour bar, then the match profile at the pointer
# after three more iterations, then exact grey again.
xdotool key m
shot colour-map
xdotool key v
xdotool mousemove --window "$window" $((WIDTH / 3)) $((HEIGHT / 2))
xdotool key i i i
shot profile
xdotool key v g

if [ ${#truth[@]} -gt 0 ]; then
  xdotool key F5
  shot error-view
fi

xdotool key Escape
status=0
wait "$pid" || status=$?
echo "tavrel exited with status $status"
exit "$status"
