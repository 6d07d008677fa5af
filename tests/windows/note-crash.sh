#!/bin/sh
# The kernel's core dump handler in the Wine update test (core_pattern with a
# pipe): notes which process and which thread died on which signal, by the
# thread's name, and drops the core itself.
#   note-crash.sh FILE PID TID SIGNAL THREAD-NAME
echo "pid=$2 tid=$3 signal=$4 thread=$5" >>"$1"
cat >/dev/null
