#!/usr/bin/env bash
# Summary of a demo directory: ring files (in the hour directories) and seconds per channel, index
# rows, LISS records per channel, log lines. Exits non-zero when any is missing.
set -uo pipefail
demo=${1:?usage: demo-summary.sh DEMO_DIR}
status=0

echo "Ring files (channel: files, seconds):"
found=$(find "$demo/data" -mindepth 2 -type f | wc -l)
find "$demo/data" -mindepth 2 -type f -printf '%s %p\n' | awk '
    {
        size = $1; path = $2
        n = split(path, parts, "/"); name = parts[n]
        split(name, a, "-"); split(a[3], b, "."); ch = b[1]; gsub(/ /, "", ch)
        cmd = "head -c 512 \"" path "\" | tr -d \"\\000\" | grep -a \"^SpS=\""
        cmd | getline sps_line; close(cmd)
        sub(/^SpS=/, "", sps_line); sps = sps_line + 0
        files[ch]++
        if (sps > 0) secs[ch] += (size - 512) / 2 / sps
    }
    END { for (c in files) printf "  %-6s %4d files %8d s\n", c, files[c], secs[c] }'
[ "$found" -gt 0 ] || { echo "  none"; status=1; }

db=$demo/veldrum-index.sqlite
files_rows=$(sqlite3 "$db" "select count(*) from filelist" 2>/dev/null || echo 0)
event_rows=$(sqlite3 "$db" "select count(*) from eventlist" 2>/dev/null || echo 0)
echo "Index: $files_rows filelist rows, $event_rows eventlist rows"
sqlite3 "$db" "select ch, count(*), sum(tqty) from filelist group by ch" 2>/dev/null |
    awk -F'|' '{ printf "  %-6s %4d rows %8d s\n", $1, $2, $3 }'
[ "$files_rows" -gt 0 ] || status=1
[ "$event_rows" -gt 0 ] || status=1

echo "LISS records per channel:"
if [ -s "$demo/lissdump.out" ]; then
    grep -E '^[0-9]{6} ' "$demo/lissdump.out" | awk '{ n[$2]++ } END { for (c in n) printf "  %-6s %6d records\n", c, n[c] }'
    grep -qE '^[0-9]{6} ' "$demo/lissdump.out" || status=1
else
    echo "  none"; status=1
fi

log_lines=$(cat "$demo"/log/*.log 2>/dev/null | wc -l)
echo "Operation log: $log_lines lines"
cat "$demo"/log/*.log 2>/dev/null | iconv -f CP1251 -t UTF-8 | sed 's/^/  /' | tail -n 20
[ "$log_lines" -gt 0 ] || status=1

[ $status -eq 0 ] && echo "Summary: everything present." || echo "Summary: something is missing (see above)."
exit $status
