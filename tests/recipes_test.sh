#!/usr/bin/env bash
# Runs every scale-out recipe of the README with GNU parallel and compares
# its merged report byte for byte with one termcount run over the whole text:
# all cores over a file and over a stream, slices of the search file, two
# ssh hosts (a real sshd on 127.0.0.1, started here with throwaway keys and
# stopped by its PID), and a failed job failing the pipeline.
# Usage: recipes_test.sh TERMCOUNT TERMCOUNT-MERGE
# Exits 77, which CTest reports as skipped, when GNU parallel, sshd or rsync
# is missing.
set -euo pipefail
tc=$1 merge=$2
PATH=$PATH:/usr/sbin
for tool in parallel sshd ssh ssh-keygen rsync; do
    command -v $tool >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
tmp=$(mktemp -d)
sshd_pid=
cleanup() {
    [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
# parallel keeps its state under $HOME; keep it in the scratch folder.
export HOME=$tmp/home
mkdir -p "$HOME/.parallel" && touch "$HOME/.parallel/will-cite"
cd "$tmp"
failures=0 passes=0
check() {  # NAME FILE: FILE must equal the whole run's report in want.MODE
    if cmp -s "$2" "want.$mode"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $1 ($mode): merged report differs from the whole run"
        diff "want.$mode" "$2" | head -5 || true
        failures=$((failures + 1))
    fi
}

# About 3 MB of lines, with a few words and phrases to count, a term listed
# twice, a term with a carriage return and one with bytes from 0x80 up.
awk 'BEGIN { for (i = 1; i <= 120000; i++)
    printf "line %d the cat sat on mat %d caf\xc3\xa9%s\n", i, i % 97, i % 5 ? "" : "\r" }' > text.txt
printf 'the\ncat sat\nmat 13\nline 1\nthe\ncaf\xc3\xa9\r\nat\n\n7\nnever\n' > terms.txt
for mode in any word line; do
    "$tc" terms.txt "$mode" < text.txt > "want.$mode"
done

for mode in any word line; do
    parallel --halt now,fail=1 --pipepart -a text.txt --block -1 "$tc" terms.txt "$mode" |
        "$merge" terms.txt > got
    check "all cores, a file" got
done

mode=word
for how in --round-robin ""; do
    cat text.txt | parallel --halt now,fail=1 --pipe $how --block 256k "$tc" terms.txt $mode |
        "$merge" terms.txt > got
    check "all cores, a stream ${how:-one job a block}" got
done

split -n l/3 terms.txt slice.
parallel --halt now,fail=1 -k "$tc" {} $mode '<' text.txt ::: slice.* | "$merge" terms.txt > got
check "slices of the search file" got

# A job that fails must fail the pipeline, never leave it with low counts.
set +e
parallel --halt now,fail=1 --pipepart -a text.txt --block -1 \
    "if [ {#} -eq 2 ]; then exit 9; fi; $tc terms.txt $mode" 2>/dev/null |
    "$merge" terms.txt > /dev/null 2>&1
status=$?
set -e
if [ "$status" -eq 0 ]; then
    echo "FAIL: a failed job left the pipeline with status 0"
    failures=$((failures + 1))
else
    passes=$((passes + 1))
fi

# Two hosts: one sshd on 127.0.0.1 reached under two names.
mkdir -p ssh remote logs/h1 logs/h2
ssh-keygen -q -t ed25519 -N '' -f ssh/host
ssh-keygen -q -t ed25519 -N '' -f ssh/user
cp ssh/user.pub ssh/authorized_keys
[ -d /run/sshd ] || mkdir -p /run/sshd
for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    cat > ssh/sshd_config <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $tmp/ssh/host
AuthorizedKeysFile $tmp/ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
EOF
    cat > ssh/config <<EOF
Host h1 h2
  HostName 127.0.0.1
  Port $port
  User $(id -un)
  IdentityFile $tmp/ssh/user
  IdentitiesOnly yes
  UserKnownHostsFile /dev/null
  StrictHostKeyChecking no
  BatchMode yes
  LogLevel ERROR
EOF
    "$(command -v sshd)" -D -f "$tmp/ssh/sshd_config" -E "$tmp/ssh/log" &
    sshd_pid=$!
    for _ in $(seq 50); do
        ssh -F ssh/config h1 true 2>/dev/null && break 2
        kill -0 "$sshd_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=
done
[ -n "$sshd_pid" ] || { echo "sshd did not start:"; cat ssh/log; exit 1; }
ssh=(--halt now,fail=1 --ssh "ssh -F $tmp/ssh/config" --wd "$tmp/remote")
printf '1/h1\n1/h2\n' > hosts

# --basefile, not --transferfile: with --pipe or --pipepart, GNU parallel
# 20221122 runs the ssh that makes the remote folder on the job's input, and
# the job then counts an empty block.
parallel "${ssh[@]}" --sshloginfile hosts --basefile terms.txt \
    --pipepart -a text.txt --block -1 "$tc" terms.txt $mode |
    "$merge" terms.txt > got
check "ssh hosts, a file" got

parallel "${ssh[@]}" -S 1/h1,1/h2 --basefile text.txt --transferfile {} -k \
    "$tc" {} $mode '<' text.txt ::: slice.* | "$merge" terms.txt > got
check "ssh hosts, slices" got

# Every host counts its own files; the driver merges.
head -n 50000 text.txt > logs/h1/a.log
sed -n '50001,90000p' text.txt > logs/h1/b.log
tail -n +90001 text.txt > logs/h2/c.log
parallel "${ssh[@]}" -S h1,h2 --nonall --basefile terms.txt \
    "cat $tmp/logs/\$PARALLEL_SSHHOST/*.log | $tc terms.txt $mode" |
    "$merge" terms.txt > got
check "ssh hosts, each its own files" got

echo "recipes: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
