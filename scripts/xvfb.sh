# Sourced by the scripts that need a display: start_xvfb starts an Xvfb on a display
# number it picks itself (no race between concurrent starts), exports DISPLAY and
# leaves its process id in XVFB_PID.
start_xvfb() {
    local numfile
    numfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$numfile" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.05
    done
    if [ -s "$numfile" ]; then
        export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
    else
        echo "cannot start Xvfb" >&2
        XVFB_PID=
    fi
    rm -f "$numfile"
}
