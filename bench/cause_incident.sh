#!/bin/sh
# A minute of real incidents, for the page of the causes (docs/causes.png): calm, three
# busy loops on the monitor's CPU for 20 s, then a SIGSTOP of 3.5 s and one of 0.6 s.
# Writes OUT/events.txt (the watch's event lines), OUT/days/ and OUT/page.html.
#   bench/cause_incident.sh [BUILD] [OUT]
set -e
B=${1:-build}
OUT=${2:-cause-incident}
mkdir -p "$OUT/days"
rm -f "$OUT/rows"
mkfifo "$OUT/rows"
CPU=$(($(nproc) - 1))
"$B/clockgap-report" --follow --stall 5 --log "$OUT/days/clockgap-%Y-%m-%d.log" \
    < "$OUT/rows" > "$OUT/events.txt" &
watch=$!
taskset -c $CPU "$B/clockgap" 1 > "$OUT/rows" &
monitor=$!
sleep 12
busy=""
for i in 1 2 3; do
    taskset -c $CPU sh -c 'while :; do :; done' &
    busy="$busy $!"
done
sleep 20
kill $busy
sleep 8
kill -STOP $monitor; sleep 3.5; kill -CONT $monitor
sleep 8
kill -STOP $monitor; sleep 0.6; kill -CONT $monitor
sleep 10
kill $monitor
wait $watch || true
rm -f "$OUT/rows"
"$B/clockgap-report" --stall 5 --html "$OUT/page.html" "$OUT/days"
