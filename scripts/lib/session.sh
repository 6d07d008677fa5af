# Shared by the demo and the acceptance test: starting and stopping the MIDI
# system, the simulated unit and a virtual display. Sourced, not run.

ORVIK_PIDS=()

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
    orvik_reclaim_jack
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

# orvik_within SECONDS COMMAND...: polls the command until it succeeds
# (status 0) or the seconds have passed (status 1). Every tenth of a second,
# or every ORVIK_POLL seconds.
orvik_within() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $end ] && return 1
        sleep "${ORVIK_POLL:-0.1}"
    done
    return 0
}

# orvik_wait_for WHAT SECONDS COMMAND...: the same, failing the run on timeout.
orvik_wait_for() {
    local what=$1 deadline=$2
    shift 2
    orvik_within "$deadline" "$@" || orvik_fail "timed out after ${deadline}s waiting for $what"
}

# The same for waits that span an update: polled once a second. Without
# realtime the MIDI clients get the CPU only when no other program of normal
# priority holds it, and each poll starts programs; a client late for its
# cycle loses the message in it, which costs the update 5 to 6 s.
orvik_wait_during_update() {
    ORVIK_POLL=1 orvik_wait_for "$@"
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

# Takes our private server away as a crash would.
orvik_kill_jack() {
    [ -n "${ORVIK_JACK_PID:-}" ] || orvik_fail "no private JACK server to kill"
    kill -KILL "$ORVIK_JACK_PID"
    wait "$ORVIK_JACK_PID" 2>/dev/null
}

# A JACK server that dies without stopping (killed, or forced at cleanup)
# keeps its slot in the user's registry of servers, which has eight: a few
# such runs and no JACK server starts any more on this machine. Only a server
# of the same name takes the slot back, with the shared memory it held, and
# frees both when it stops; its clients' semaphores stay behind regardless.
orvik_reclaim_jack() {
    [ -n "${ORVIK_JACK_PID:-}" ] || return 0
    local uid registry=/dev/shm/jack-shm-registry
    uid=$(id -u)
    if [ -e "$registry" ] && grep -qaF "jack-$uid:$JACK_DEFAULT_SERVER:" "$registry"; then
        jackd --no-realtime -d dummy -p 128 -r 48000 >>"$ORVIK_OUT/jackd.log" 2>&1 &
        local pid=$!
        orvik_within 30 jack_lsp
        kill $pid 2>/dev/null
        orvik_within 10 bash -c "! kill -0 $pid" || kill -KILL $pid 2>/dev/null
        wait $pid 2>/dev/null
        grep -qaF "jack-$uid:$JACK_DEFAULT_SERVER:" "$registry" &&
            echo "warning: JACK server $JACK_DEFAULT_SERVER still holds a registry slot" >&2
    fi
    rm -f /dev/shm/jack_"${JACK_DEFAULT_SERVER}"_* /dev/shm/jack_sem."${uid}_${JACK_DEFAULT_SERVER}"_*
    ORVIK_JACK_PID=
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
