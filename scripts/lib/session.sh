# Shared by the demo and the acceptance test: starting and stopping the MIDI
# system, the simulated unit and a virtual display. Sourced, not run.

ORVIK_PIDS=()
# What a JACK server killed on purpose leaves in /dev/shm (see orvik_kill_jack).
ORVIK_JACK_LEFTOVERS=()

orvik_cleanup() {
    local pid
    for pid in "${ORVIK_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    # A program whose MIDI system died under it may not end when asked:
    # a few seconds for all, then it is forced, so that cleanup never hangs.
    local end=$((SECONDS + 10))
    for pid in "${ORVIK_PIDS[@]}"; do
        while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $end ]; do
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    ORVIK_PIDS=()
    if [ ${#ORVIK_JACK_LEFTOVERS[@]} -gt 0 ]; then
        rm -f "${ORVIK_JACK_LEFTOVERS[@]}"
        ORVIK_JACK_LEFTOVERS=()
    fi
}

# A script may define orvik_before_fail to add what it knows to a failure.
orvik_fail() {
    echo "FAIL: $*" >&2
    if declare -F orvik_before_fail >/dev/null; then
        orvik_before_fail
    fi
    local log
    for log in "$ORVIK_OUT"/*.log; do
        [ -e "$log" ] || continue
        echo "--- $log" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Polls a command until it succeeds or `deadline` seconds pass.
orvik_wait_for() {
    local what=$1 deadline=$2
    shift 2
    local end=$((SECONDS + deadline))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && orvik_fail "timed out after ${deadline}s waiting for $what"
        sleep 0.1
    done
}

# JACK's dummy driver drops MIDI events when it wakes late on an idle virtual
# machine; one busy core keeps it on time. Bounded, and killed at cleanup.
orvik_start_busy_core() {
    nice -n 19 timeout 1800 bash -c 'while :; do :; done' &
    ORVIK_PIDS+=($!)
}

orvik_jack_running() {
    JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1
}

# A server of our own that never touches the user's: a unique name.
orvik_start_private_jack() {
    export JACK_DEFAULT_SERVER="orvik-$$-$RANDOM"
    export JACK_NO_START_SERVER=1
    jackd --no-realtime -d dummy -p 128 -r 48000 >"$ORVIK_OUT/jackd.log" 2>&1 &
    ORVIK_JACK_PID=$!
    ORVIK_PIDS+=($ORVIK_JACK_PID)
    orvik_wait_for "the JACK server" 30 jack_lsp
    orvik_start_busy_core
}

# Takes our private server away as a crash would: SIGKILL. A server that
# dies so cleans up nothing; its socket and semaphores carry its unique name,
# and its shared memory is what it has mapped (the next server would reclaim
# that, but it is large and may be long in coming).
orvik_kill_jack() {
    [ -n "${ORVIK_JACK_PID:-}" ] || orvik_fail "no private JACK server to kill"
    local uid shm
    uid=$(id -u)
    while read -r shm; do
        ORVIK_JACK_LEFTOVERS+=("$shm")
    done < <(grep -o "/dev/shm/jack-$uid-[0-9]*\$" "/proc/$ORVIK_JACK_PID/maps" | sort -u)
    ORVIK_JACK_LEFTOVERS+=(/dev/shm/jack_"${JACK_DEFAULT_SERVER}"_*
        /dev/shm/jack_sem."${uid}_${JACK_DEFAULT_SERVER}"_*)
    kill -KILL "$ORVIK_JACK_PID"
    wait "$ORVIK_JACK_PID" 2>/dev/null
}

# Sets ORVIK_API to alsa or jack: the ALSA sequencer where there is one, else
# a running JACK server, else (or when `private` is asked for) our own.
orvik_choose_midi() {
    local wish=${1:-auto}
    if [ "$wish" = auto ] && [ -e /dev/snd/seq ]; then
        ORVIK_API=alsa
        echo "MIDI: ALSA sequencer"
    elif [ "$wish" = auto ] && orvik_jack_running; then
        ORVIK_API=jack
        export JACK_NO_START_SERVER=1
        orvik_start_busy_core
        echo "MIDI: the running JACK server"
    else
        ORVIK_API=jack
        orvik_start_private_jack
        echo "MIDI: a private JACK server ($JACK_DEFAULT_SERVER, dummy driver)"
    fi
}

orvik_start_xvfb() {
    Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$ORVIK_OUT/display" \
        2>"$ORVIK_OUT/xvfb.log" &
    ORVIK_PIDS+=($!)
    orvik_wait_for "the virtual display" 30 test -s "$ORVIK_OUT/display"
    export DISPLAY=":$(head -n1 "$ORVIK_OUT/display")"
}

# orvik_start_devsim DEVSIM [options...]
orvik_start_devsim() {
    local devsim=$1
    shift
    rm -f "$ORVIK_OUT/devsim.ready"
    "$devsim" --api "$ORVIK_API" --ready-file "$ORVIK_OUT/devsim.ready" "$@" \
        >"$ORVIK_OUT/devsim.log" 2>&1 &
    ORVIK_DEVSIM_PID=$!
    ORVIK_PIDS+=($ORVIK_DEVSIM_PID)
    orvik_wait_for "orvik16-devsim's ports" 30 test -e "$ORVIK_OUT/devsim.ready"
}
