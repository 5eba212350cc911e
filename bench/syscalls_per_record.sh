#!/bin/sh
# System calls per record of each workload of engine_vs_sqlite, our side only.
#
# Each workload runs under `strace -c` after the steps it needs (the one-transaction
# append fills the table the others use); the calls of those steps, counted in a run
# of their own, are taken off. Usage:
#   bench/syscalls_per_record.sh [path/to/engine_vs_sqlite] [records]
# (defaults: build/release/engine_vs_sqlite, 20000 records).
set -eu
BIN=${1:-build/release/engine_vs_sqlite}
N=${2:-20000}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# Calls counted by strace -c for a benchmark filter: "total fcntl pread64 pwrite64".
count() {
    ENGINE_VS_SQLITE_RECORDS=$N strace -f -c -o "$TMP/out" "$BIN" --benchmark_filter="$1" >/dev/null 2>&1
    awk '
        $NF == "total"    { total = $4 }
        $NF == "fcntl"    { f = $4 }
        $NF == "pread64"  { r = $4 }
        $NF == "pwrite64" { w = $4 }
        END { printf "%d %d %d %d\n", total, f, r, w }' "$TMP/out"
}

APPEND='Append/one_transaction/kura/'
BOTH='Append/one_transaction/kura/|Append/one_transaction/kura_exclusive/'

# workload name, filter of its run, filter of what it needs first, operations
report() {
    set -- "$1" "$2" "$3" "$4" "$(count "$2")" "$(count "$3")"
    echo "$5 $6" | awk -v name="$1" -v ops="$4" '{
        printf "%-34s %8.3f total %8.3f fcntl %8.3f pread %8.3f pwrite\n", name,
               ($1 - $5) / ops, ($2 - $6) / ops, ($3 - $7) / ops, ($4 - $8) / ops }'
}

printf "system calls per record, %d records\n" "$N"
report append_one_transaction "$APPEND" 'NOTHING' "$N"
report append_one_transaction_exclusive "$BOTH" "$APPEND" "$N"
report lookup_primary_key "$APPEND|Lookup/primary_key/kura/" "$APPEND" "$N"
report scan_natural "$APPEND|Scan/natural_order/kura/" "$APPEND" "$N"
report scan_natural_exclusive "$APPEND|Scan/natural_order/kura_exclusive/" "$APPEND" "$N"
report scan_primary "$APPEND|Scan/primary_order/kura/" "$APPEND" "$N"
report scan_primary_exclusive "$APPEND|Scan/primary_order/kura_exclusive/" "$APPEND" "$N"
report scan_secondary "$APPEND|Scan/secondary_order/kura/" "$APPEND" "$N"
report scan_secondary_exclusive "$APPEND|Scan/secondary_order/kura_exclusive/" "$APPEND" "$N"
report delete_10_percent "$APPEND|Delete/10_percent/kura/" "$APPEND" "$((N / 10))"
report delete_10_percent_exclusive "$BOTH|Delete/10_percent/kura_exclusive/" "$BOTH" "$((N / 10))"
