#!/bin/bash
# Measures what the panel costs beyond the unavoidable. Each figure is taken
# against a bare baseline from tools/bench/ that does only the unavoidable
# part; panel and baseline run alternately (a warm-up pair first, then N
# pairs) under the same Wine, on the same private display, with the same
# simulated unit beside them. For each figure it prints the median and the
# spread (lowest..highest) of both, their ratio, and PASS or MISS against the
# figure's goal.
#
#   tools/bench.sh [--quick] [--runs N] [--only FIGURES] [--memory-side-by-side]
#
#   --quick                two runs after the warm-up, 10 s CPU windows, 30 s
#                          memory runs: for trying it out, not for figures
#   --runs N               pairs after the warm-up (default 5)
#   --only FIGURES         comma-separated subset of
#                          startup,connect,records,mtc,idle,memory
#   --memory-side-by-side  start all memory runs at once (10 minutes in all
#                          instead of one after the other, about 1 h 45 min)
#
# The panel measured is the demo program (build/demo/zembrax-panel.exe, the one
# that carries the firmware image), copied with the bench programs into
# build/bench/. The panel gets no switches of any
# kind; the simulated unit gets its settings from ZEMBRAX_SIM (sim/README.md).
# Every program there, the bare ones too, finds the simulated unit as the
# system WinMM of the session's prefix: a winmm.dll beside them (a stale one
# from an older build, say) would give the baselines another unit.
# Not a test: nothing depends on these timings, and they vary with the
# machine's load. Results: build/bench/results.txt, every run in build/bench/runs.log.
set -eu
cd "$(dirname "$0")/.."

quick=
runs=5
only=startup,connect,records,mtc,idle,memory
side_by_side=
in_session=
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --runs) runs=${2:?--runs needs a number}; shift ;;
    --only) only=${2:?--only needs a list}; shift ;;
    --memory-side-by-side) side_by_side=1 ;;
    --in-session) in_session=1 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$quick" ] && [ "$runs" = 5 ] && runs=2

if [ -z "$in_session" ]; then
    bash tools/install-deps.sh
    configure=(-DZEMBRAX_BENCH=ON)
    [ -f build/CMakeCache.txt ] ||
        configure+=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release)
    # Quiet unless something fails.
    if ! output=$(cmake -S . -B build "${configure[@]}" 2>&1 &&
        cmake --build build -j "$(nproc)" --target demo bench_probe bench_bare_dialog bench_bare_midi \
            bench_template 2>&1); then
        echo "$output" >&2
        exit 1
    fi
    rm -rf build/bench
    mkdir -p build/bench
    cp build/demo/zembrax-panel.exe build/bench/
    cp build/tools/bench/bench_*.exe build/bench/
    # A private display and a Wine prefix of the benchmark's own, so that a test
    # run at the same time shares neither.
    unset DISPLAY
    export WINEPREFIX=$PWD/build/wineprefix-bench
    exec bash tools/wine-session.sh build bash tools/bench.sh --in-session "${args[@]}"
fi

# ---- Inside the Wine session ----

. cmake/wine-prefix.sh
wine_find
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b"
cd build/bench
log=runs.log
: >"$log"

if [ -n "$quick" ]; then
    cpu_window=10000 memory_window=30000 memory_warmup=30000
else
    cpu_window=60000 memory_window=600000 memory_warmup=60000
fi

# The wineserver of this prefix, for its share of the CPU: its working
# directory is named after the prefix's device and inode.
server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
BENCH_SERVER_PID=
for pid_dir in /proc/[0-9]*; do
    case "$(cat "$pid_dir/comm" 2>/dev/null)" in wineserver*) ;; *) continue ;; esac
    case "$(readlink "$pid_dir/cwd" 2>/dev/null)" in */"$server_dir") BENCH_SERVER_PID=${pid_dir#/proc/} ;; esac
done
export BENCH_SERVER_PID

start_seconds=$SECONDS
progress() { printf '  %s\n' "$*" >&2; }

# probe SIM STEPS... -- PROGRAM...: one run; its name=value pairs land in R.
declare -A R
probe() {
    local sim=$1 line pair
    shift
    R=()
    if [ -n "$sim" ]; then
        line=$(ZEMBRAX_SIM=$sim "$WINE" bench_probe.exe "$@" 2>/dev/null) || true
    else
        line=$(env -u ZEMBRAX_SIM "$WINE" bench_probe.exe "$@" 2>/dev/null) || true
    fi
    echo "${sim:-(default unit)} | $* | $line" >>"$log"
    for pair in $line; do R[${pair%%=*}]=${pair#*=}; done
    if [ -n "${R[error]:-}" ] || [ -z "$line" ]; then
        progress "run failed: ${R[error]:-no output} ($*)"
        return 1
    fi
}

# calc EXPRESSION: awk arithmetic with @name@ standing for R[name].
calc() {
    local expression=$1 name
    for name in "${!R[@]}"; do
        expression=${expression//@$name@/${R[$name]}}
    done
    awk "BEGIN { printf \"%.4f\", ($expression) }"
}

# stats VALUES...: "median lowest highest"
stats() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "nan nan nan"; exit }
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        print m, v[1], v[NR] }'
}
median() { local m l h; read -r m l h <<<"$(stats "$@")"; echo "$m"; }

results=()
say() {
    local line
    # shellcheck disable=SC2059
    line=$(printf "$@")
    results+=("$line")
    echo "$line"
}

# Values of the runs by key (panel, bare, template, and KEY.x for extras).
declare -A V
# values KEY: the runs' values as words
values() { echo "${V[$1]:-}"; }

# report FIGURE UNIT FORMAT GOAL CHECK [KEY]: one line for the runs in
# V[panel$KEY] and V[bare$KEY]. CHECK is an awk condition on p (panel
# median), b (bare median) and r (ratio); "-" for a figure that is only printed.
report() {
    local figure=$1 unit=$2 format=$3 goal=$4 check=$5 key=${6:-} pm pl ph bm bl bh ratio verdict
    # shellcheck disable=SC2046
    if [ -z "$(values "panel$key")" ] || [ -z "$(values "bare$key")" ]; then
        say '%-10s no figure: runs failed (see build/bench/runs.log)' "$figure"
        return
    fi
    # shellcheck disable=SC2046
    read -r pm pl ph <<<"$(stats $(values "panel$key"))"
    # shellcheck disable=SC2046
    read -r bm bl bh <<<"$(stats $(values "bare$key"))"
    ratio=$(awk -v p="$pm" -v b="$bm" 'BEGIN { printf "%.2f", (b > 0) ? p / b : 0 }')
    if [ "$check" = - ]; then
        verdict=printed
    else
        verdict=$(awk -v p="$pm" -v b="$bm" -v r="$ratio" "BEGIN { v = ($check) ? \"PASS\" : \"MISS\"; print v }")
    fi
    say "%-10s panel $format [$format..$format] %-6s bare $format [$format..$format] %-6s ratio %5s  %-24s %s" \
        "$figure" "$pm" "$pl" "$ph" "$unit" "$bm" "$bl" "$bh" "$unit" "$ratio" "$goal" "$verdict"
}

# med KEY FORMAT: the median of V[KEY], formatted
med() {
    # shellcheck disable=SC2046
    printf "$2" "$(median $(values "$1"))"
}

# runs FIGURE SIDE...: a warm-up round, then $runs rounds, each running every
# side in turn (panel first). measure_FIGURE SIDE ROUND sets VALUE and the
# associative array X of extras, or fails.
declare -A X
runs() {
    local figure=$1 round side name
    shift
    V=()
    for round in $(seq 0 "$runs"); do
        for side in "$@"; do
            progress "$figure: $side $([ "$round" = 0 ] && echo warm-up || echo "run $round/$runs")"
            X=()
            "measure_$figure" "$side" "$round" || continue
            [ "$round" = 0 ] && continue
            V[$side]+=" $VALUE"
            for name in "${!X[@]}"; do V[$side.$name]+=" ${X[$name]}"; done
        done
    done
}

connect_steps=(click connect 221 wait identified 112 "Firmware: 0301" 20000)

# start-up: process created -> window shown -> WM_CLOSE -> process gone.
measure_startup() {
    local program
    case "$1" in
    panel) program=zembrax-panel.exe ;;
    bare) program=bench_bare_dialog.exe ;;
    template) program=bench_template.exe ;;
    esac
    probe "" start close gone -- "$program" || return 1
    VALUE=$(calc '@gone@')
    X[shown]=$(calc '@shown@')
    X[close]=$(calc '@gone@ - @shown@')
}

# connect: Connect clicked -> the request sequence's last report shown (the
# oscillator words of report 0x51 / 0x40), the unit answering without wire time.
measure_connect() {
    if [ "$1" = panel ]; then
        probe "bytetime=0" start sleep 1000 click c 221 wait identified 112 "Firmware" 20000 \
            wait shown 185 "calibration" 20000 close gone -- zembrax-panel.exe || return 1
        X[identified]=$(calc '@identified@ - @c@')
        X[sequence]=$(calc '@shown@ - @identified@')
    else
        probe "bytetime=0" start sleep 1000 click c 221 wait shown 0 "connected" 20000 close gone \
            -- bench_bare_midi.exe connect || return 1
    fi
    VALUE=$(calc '@shown@ - @c@')
}

# record loop: the first record to the last, 2,865 records. The panel runs a
# whole update of a unit with firmware 0300 and is timed from outside, up to
# "Checking firmware 3.01", which it shows right after the last record; the
# bare loop is too quick for that and times itself.
measure_records() {
    if [ "$1" = panel ]; then
        probe "firmware=0300" start abort 115 "failed" click c 221 wait identified 112 "Firmware: 0300" 20000 \
            sleep 300 click u 223 wait first 115 "Programming firmware" 60000 \
            wait last 115 "Checking firmware" 600000 close gone -- zembrax-panel.exe || return 1
        VALUE=$(calc '@last@ - @first@')
    else
        probe "" start abort 0 "no image" wait last 0 "done" 600000 text result 0 close gone \
            -- bench_bare_midi.exe records zembrax-panel.exe || return 1
        local done records ms
        IFS=_ read -r done records ms <<<"${R[result]}"
        [ "$records" = 2865 ] || progress "the bare record loop sent $records records, not 2865"
        VALUE=$ms
    fi
}

# The CPU extras of a window from a to b, in percent of one core.
cpu_extras() {
    X[core]=$(calc '100 * (@b_cpu@ - @a_cpu@) / (@b@ - @a@)')
    X[gui]=$(calc '100 * (@b_gui@ - @a_gui@) / (@b@ - @a@)')
    X[other]=$(calc '100 * ((@b_cpu@ - @a_cpu@) - (@b_gui@ - @a_gui@)) / (@b@ - @a@)')
    [ -n "${R[a_server]:-}" ] && X[server]=$(calc '100 * (@b_server@ - @a_server@) / (@b@ - @a@)')
    return 0
}

# MTC: CPU per quarter frame (120 a second at 30 fps) over the window, the
# panel connected and showing the Time Code page.
measure_mtc() {
    if [ "$1" = panel ]; then
        probe "timecode=now/30" start "${connect_steps[@]}" sleep 1000 click page 212 sleep 2000 \
            cpu a sleep "$cpu_window" cpu b text tc 133 close gone -- zembrax-panel.exe || return 1
        case "${R[tc]}" in *30_fps) ;; *) progress "the panel shows no 30 fps time code: ${R[tc]}" ;; esac
    else
        probe "timecode=now/30" start sleep 2000 cpu a sleep "$cpu_window" cpu b close gone \
            -- bench_bare_midi.exe mtc || return 1
    fi
    VALUE=$(calc '1000 * (@b_cpu@ - @a_cpu@) / ((@b@ - @a@) / 1000 * 120)')
    cpu_extras
}

# idle: the share of one core over the window, the panel connected, no MTC.
measure_idle() {
    if [ "$1" = panel ]; then
        probe "" start "${connect_steps[@]}" sleep 2000 cpu a sleep "$cpu_window" cpu b close gone \
            -- zembrax-panel.exe || return 1
    else
        probe "" start sleep 2000 cpu a sleep "$cpu_window" cpu b close gone -- bench_bare_dialog.exe || return 1
    fi
    VALUE=$(calc '100 * (@b_cpu@ - @a_cpu@) / (@b@ - @a@)')
    cpu_extras
}

# memory: peak working set after the window, the panel connected with MTC on
# the Time Code page; the warm-up round is shorter.
measure_memory() {
    local window=$memory_window
    [ "$2" = 0 ] && window=$memory_warmup
    if [ "$1" = panel ]; then
        probe "timecode=now/30" start "${connect_steps[@]}" sleep 1000 click page 212 sleep "$window" \
            mem m close gone -- zembrax-panel.exe || return 1
    else
        probe "timecode=now/30" start sleep "$window" mem m close gone -- bench_bare_dialog.exe || return 1
    fi
    VALUE=$(calc '@m_peak@ / 1024')
    X[ws]=$(calc '@m_ws@ / 1024')
}

# All memory runs at once, each in the background, its value into a file.
memory_side_by_side() {
    local round side pids=() pid
    V=()
    for round in $(seq 1 "$runs"); do
        for side in panel bare; do
            progress "memory: $side run $round/$runs (side by side)"
            (measure_memory "$side" "$round" >/dev/null 2>&1 && echo "$VALUE" >"memory-$side-$round.txt") &
            pids+=($!)
            sleep 5
        done
    done
    for pid in "${pids[@]}"; do wait "$pid" || true; done
    for round in $(seq 1 "$runs"); do
        for side in panel bare; do
            [ -s "memory-$side-$round.txt" ] && V[$side]+=" $(cat "memory-$side-$round.txt")"
        done
    done
    return 0
}

echo "zembrax-panel benchmark: $runs runs after a warm-up$([ -n "$quick" ] && echo ', quick mode'), $(date '+%Y-%m-%d %H:%M')"
echo "machine: $(nproc) cores, load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "median [lowest..highest] of the runs; ratio = panel median / bare median"
for figure in ${only//,/ }; do
    case "$figure" in
    startup)
        runs startup panel bare template
        report start-up ms '%6.0f' "ratio <= 1.1" 'r <= 1.1'
        say '             template alone %s ms; window shown after: panel %s, bare %s, template %s ms; closed in: panel %s, bare %s ms' \
            "$(med template %.0f)" "$(med panel.shown %.0f)" "$(med bare.shown %.0f)" \
            "$(med template.shown %.0f)" "$(med panel.close %.0f)" "$(med bare.close %.0f)" ;;
    connect)
        runs connect panel bare
        report connect ms '%6.0f' "panel <= 300 ms" 'p <= 300'
        say '             panel: click to identified %s ms, identified to the last report %s ms' \
            "$(med panel.identified %.0f)" "$(med panel.sequence %.0f)" ;;
    records)
        runs records panel bare
        report records ms '%6.0f' "ratio <= 1.2" 'r <= 1.2' ;;
    mtc)
        runs mtc panel bare
        report MTC 'us/QF' '%6.1f' "ratio printed" -
        report "" '%core' '%6.2f' "panel <= 2 % of a core" 'p <= 2' .core
        say '             %% of a core: window thread panel %s, bare %s; other threads (simulated driver) panel %s, bare %s; wineserver panel %s, bare %s' \
            "$(med panel.gui %.2f)" "$(med bare.gui %.2f)" "$(med panel.other %.2f)" "$(med bare.other %.2f)" \
            "$(med panel.server %.2f)" "$(med bare.server %.2f)" ;;
    idle)
        runs idle panel bare
        report idle '%core' '%6.2f' "panel <= 0.5 % of a core" 'p <= 0.5'
        say '             %% of a core: window thread panel %s, bare %s; wineserver panel %s, bare %s' \
            "$(med panel.gui %.2f)" "$(med bare.gui %.2f)" "$(med panel.server %.2f)" "$(med bare.server %.2f)" ;;
    memory)
        if [ -n "$side_by_side" ]; then memory_side_by_side; else runs memory panel bare; fi
        report memory MiB '%6.1f' "printed" - ;;
    *) echo "bench: unknown figure $figure" >&2 ;;
    esac
done
elapsed=$((SECONDS - start_seconds))
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg); took $((elapsed / 60)) min $((elapsed % 60)) s"
{
    echo "zembrax-panel benchmark, $(date '+%Y-%m-%d %H:%M'), $runs runs after a warm-up$([ -n "$quick" ] && echo ', quick mode')"
    printf '%s\n' "${results[@]}"
    echo "took $((elapsed / 60)) min $((elapsed % 60)) s"
} >results.txt
