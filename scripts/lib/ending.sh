# How an update ends, seen from outside: the simulated unit's verdict and the
# text of the box the updater shows. Sourced by drive-update.sh after
# session.sh, once the updater's window ($main_window) is known.

# The unit's last line: "verdict: clean" or the faults it counted, after-end
# and busy among them.
orvik_verdict() {
    grep "^verdict:" "$ORVIK_OUT/devsim.log" | tail -n 1
}

# A clean verdict. JACK's dummy driver on a loaded machine loses or holds
# back an event now and then, and the watchdog's re-send then crosses a late
# answer: the gap that leaves (slice-order, block-address, out-of-step) is
# the MIDI system's. Nothing else is forgiven: busy, after-end and
# two-in-flight are the tool's alone.
orvik_expect_clean_verdict() {
    local verdict kind
    verdict=$(orvik_verdict)
    # Behind an interface: what it threw away before the unit could read it.
    grep "^interface:" "$ORVIK_OUT/devsim.log" | tail -n 1
    echo "${verdict:-no verdict}"
    [ -n "$verdict" ] || orvik_fail "the unit gave no verdict"
    [ "$verdict" = "verdict: clean" ] && return 0
    for kind in ${verdict#verdict: faults }; do
        case ${kind%=*} in
        slice-order | block-address | out-of-step) ;;
        *) orvik_fail "the unit counted $kind: nothing may reach it while it is busy, while an answer is due, or after its last answer" ;;
        esac
    done
    echo "note: events lost on the MIDI system left gaps; the tool recovered"
}

# orvik_read_box WINDOW NAME: the box's text as the screen shows it, read by
# OCR from a picture of the screen (kept as NAME.png, the text as NAME.txt),
# one line, lower case.
orvik_read_box() {
    local window=$1 name=$2
    xdotool windowraise "$window" 2>/dev/null
    sleep 0.5
    "$xhelper" shot "$ORVIK_OUT/$name.png" || orvik_fail "no picture of the screen"
    # Screen text is small for OCR: read it three times as large.
    "$xhelper" scale "$ORVIK_OUT/$name.png" 3 "$ORVIK_OUT/$name-large.png" ||
        orvik_fail "cannot enlarge the picture"
    tesseract "$ORVIK_OUT/$name-large.png" "$ORVIK_OUT/$name" >/dev/null 2>&1 ||
        orvik_fail "tesseract could not read the screen"
    tr '\n' ' ' <"$ORVIK_OUT/$name.txt" | tr -s ' ' | tr '[:upper:]' '[:lower:]'
}

# A unit that takes the last commit and never answers it: the updater must
# give up on the confirmation within about 70 s, after at most two re-sends
# of the last block, and say so instead of claiming success.
orvik_unconfirmed_end() {
    orvik_wait_during_update "the last commit to reach the unit" 600 grep -q "^summary:" "$ORVIK_OUT/devsim.log"
    local taken=$SECONDS
    grep "^summary:" "$ORVIK_OUT/devsim.log" | tail -n 1
    orvik_wait_for "a box after the unconfirmed last commit" 80 success_box
    local waited=$((SECONDS - taken)) box text
    box=$(success_box | head -n1)
    echo "box shown ${waited} s after the last commit"
    [ "$waited" -le 75 ] || orvik_fail "the box came ${waited} s after the last commit, not within about 70 s"

    text=$(orvik_read_box "$box" unconfirmed)
    echo "the box reads: $text"
    case $text in
    *successful*) orvik_fail "the box claims success for a last block that was never confirmed" ;;
    esac
    case $text in
    *"not confirm"*) ;;
    *) orvik_fail "the box does not say that the last block was not confirmed" ;;
    esac

    xdotool windowfocus --sync "$box" 2>/dev/null
    xdotool key Return
    orvik_wait_for "the box to close" 30 bash -c "! xdotool search --onlyvisible --name '$title' | grep -vx '$main_window'"

    # The unit counts every message after it went quiet: the re-sends.
    kill -TERM "$ORVIK_DEVSIM_PID"
    orvik_wait_for "orvik16-devsim to finish" 30 bash -c "! kill -0 $ORVIK_DEVSIM_PID"
    wait "$ORVIK_DEVSIM_PID"
    local verdict
    verdict=$(orvik_verdict)
    echo "${verdict:-no verdict}"
    case $verdict in
    "verdict: clean" | "verdict: faults after-end=1" | "verdict: faults after-end=2") ;;
    *) orvik_fail "after the last commit the unit expected at most two re-sends of the last block and nothing else" ;;
    esac
}
