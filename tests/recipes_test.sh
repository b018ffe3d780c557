#!/usr/bin/env bash
# Runs every command of the README's recipe block with GNU parallel, as the
# README prints it, and compares each counts.txt byte for byte with one
# termcount run; the host recipes run over two names of a real sshd on
# 127.0.0.1, started here with throwaway keys and stopped by its PID. Then
# it makes each recipe fail: a job failing at once, a job failing after the
# others finished, a remote cat failing, a host without termcount; each time
# the pipeline must fail and leave no counts.txt behind.
# Usage: recipes_test.sh README BINDIR
# Exits 77, which CTest reports as skipped, when GNU parallel is missing or
# sshd cannot be started (the recipes without hosts have passed then).
set -euo pipefail
readme=$1 bindir=$(cd "$2" && pwd)
PATH=$PATH:/usr/sbin
for tool in parallel gzip split; do
    command -v $tool >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
tmp=$(mktemp -d)
sshd_pids=()
cleanup() {
    for pid in "${sshd_pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
# parallel keeps its state under $HOME; keep it in the scratch folder.
export HOME=$tmp/home
mkdir -p "$HOME/.parallel" && touch "$HOME/.parallel/will-cite"

# The recipes: the blocks of the README's fenced recipe block, the first
# (set -o pipefail) put before each of the others.
awk '/^<!-- recipes:/ { on = 1; next } on && /^```sh/ { next }
     on && /^```/ { exit } on' "$readme" > "$tmp/block"
recipes=()
while IFS= read -r -d '' r; do
    recipes+=("$r")
done < <(awk 'BEGIN { RS = ""; ORS = "\0" } { print }' "$tmp/block")
[ "${#recipes[@]}" -ge 6 ] || { echo "FAIL: found ${#recipes[@]} blocks in the recipe block"; exit 1; }
prelude=${recipes[0]}
recipes=("${recipes[@]:1}")

# termcount on the PATH is a wrapper that fails when $tmp/fail says so:
# "ID start" fails the job whose PARALLEL_SEQ or PARALLEL_SSHHOST is ID at
# once, "ID end" after it has counted and the other jobs have ended.
mkdir -p "$tmp/wrap"
cat > "$tmp/wrap/termcount" <<EOF
#!/bin/sh
if [ -s "$tmp/fail" ]; then
    read -r id when < "$tmp/fail"
    if [ "\$id" = "\${PARALLEL_SEQ:-}" ] || [ "\$id" = "\${PARALLEL_SSHHOST:-}" ]; then
        [ "\$when" = start ] && exit 9
        "$bindir/termcount" "\$@" > /dev/null
        sleep 0.5
        exit 9
    fi
fi
exec "$bindir/termcount" "\$@"
EOF
chmod +x "$tmp/wrap/termcount"
ln -s "$bindir/termcount-merge" "$tmp/wrap/termcount-merge"
export PATH=$tmp/wrap:$PATH

# About 1.5 MB of lines, with a few words and phrases to count, a term listed
# twice, a term with a carriage return and one with bytes from 0x80 up.
work=$tmp/work
mkdir -p "$work" "$tmp/logs/host1" "$tmp/logs/host2"
cd "$work"
awk 'BEGIN { for (i = 1; i <= 60000; i++)
    printf "line %d the cat sat on mat %d caf\xc3\xa9%s\n", i, i % 97, i % 5 ? "" : "\r" }' > big.log
gzip -c big.log > big.log.gz
printf 'the\ncat sat\nmat 13\nline 1\nthe\ncaf\xc3\xa9\r\nat\n\n7\nnever\n' > terms.txt
printf '1/host1\n1/host2\n' > hosts
head -n 25000 big.log > "$tmp/logs/host1/a.log"
sed -n '25001,45000p' big.log > "$tmp/logs/host1/b.log"
tail -n +45001 big.log > "$tmp/logs/host2/c.log"

failures=0 passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
remote() { [[ $1 == *" -S "* || $1 == *--sshloginfile* ]]; }
title() { head -n 1 <<< "$1"; }

# Runs recipe $1 in the work folder, its mode changed to $2; the recipe's
# status.
run() {
    local recipe=${1//\/var\/log\/app\//$tmp/logs/\$PARALLEL_SSHHOST/}
    recipe=${recipe// word/ $2}
    rm -f counts.txt counts.txt.tmp
    printf '%s\n\n%s\n' "$prelude" "$recipe" > "$tmp/recipe.sh"
    if remote "$1"; then
        PARALLEL="--wd $tmp/remote" bash "$tmp/recipe.sh" 2> "$tmp/err"
    else
        bash "$tmp/recipe.sh" 2> "$tmp/err"
    fi
}

# Runs recipe $1 as printed (in mode $2) and compares counts.txt.
check() {
    local status=0
    run "$1" "$2" || status=$?
    if [[ $1 == *--nonall* ]]; then
        cat "$tmp"/logs/host1/*.log "$tmp"/logs/host2/*.log | termcount terms.txt "$2" > want
    else
        termcount terms.txt "$2" < big.log > want
    fi
    if [ "$status" -ne 0 ]; then
        fail "$(title "$1") ($2): status $status: $(tail -n 3 "$tmp/err")"
    elif ! cmp -s counts.txt want; then
        fail "$(title "$1") ($2): counts.txt differs from one termcount run"
    elif [ -e "$tmp/remote" ]; then
        fail "$(title "$1") ($2): --cleanup left files on the host: $(ls -R "$tmp/remote")"
    else
        passes=$((passes + 1))
    fi
}

# Runs recipe $1 with the fault $2 (a line for $tmp/fail, or a note of what
# the caller broke) and checks that it fails and leaves no counts.txt.
broken() {
    local status=0
    [[ $2 == *" start" || $2 == *" end" ]] && echo "$2" > "$tmp/fail"
    run "$1" word || status=$?
    rm -f "$tmp/fail"
    if [ "$status" -eq 0 ]; then
        fail "$(title "$1"), $2: the pipeline succeeded"
    elif [ -e counts.txt ]; then
        fail "$(title "$1"), $2: a failed pipeline left counts.txt"
    else
        passes=$((passes + 1))
    fi
}

for recipe in "${recipes[@]}"; do
    remote "$recipe" && continue
    check "$recipe" word
    broken "$recipe" "1 start"
    broken "$recipe" "1 end"
done
check "${recipes[0]}" any
check "${recipes[0]}" line

# The hosts: one sshd on 127.0.0.1 reached as host1 and host2, and one
# more whose logins find no termcount on their PATH, for host2 to be.
hosts_skipped() {
    echo "recipes: $passes passed, $failures failed; the host recipes skipped: $1"
    [ "$failures" -eq 0 ] && exit 77
    exit 1
}
for tool in sshd ssh ssh-keygen rsync; do
    command -v $tool >/dev/null || hosts_skipped "no $tool"
done
mkdir -p "$tmp/ssh"
ssh-keygen -q -t ed25519 -N '' -f "$tmp/ssh/host"
ssh-keygen -q -t ed25519 -N '' -f "$tmp/ssh/user"
cp "$tmp/ssh/user.pub" "$tmp/ssh/authorized_keys"
[ -d /run/sshd ] || mkdir -p /run/sshd 2>/dev/null || true
start_sshd() {  # VAR PATH: starts an sshd whose logins get PATH; its port in VAR
    local attempt port pid
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 20000))
        cat > "$tmp/ssh/sshd_config.$port" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $tmp/ssh/host
AuthorizedKeysFile $tmp/ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
SetEnv PATH=$2
EOF
        "$(command -v sshd)" -D -f "$tmp/ssh/sshd_config.$port" -E "$tmp/ssh/log.$port" &
        pid=$!
        for _ in $(seq 50); do
            if ssh -F /dev/null -p "$port" -i "$tmp/ssh/user" -o IdentitiesOnly=yes \
                   -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=no \
                   -o BatchMode=yes -o LogLevel=ERROR 127.0.0.1 true 2>/dev/null; then
                sshd_pids+=("$pid")
                printf -v "$1" %s "$port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    return 1
}
ssh_config() {  # PORT1 PORT2: host1 on the first, host2 on the second
    cat > "$tmp/ssh/config" <<EOF
Host host1
  Port $1
Host host2
  Port $2
Host host1 host2
  HostName 127.0.0.1
  User $(id -un)
  IdentityFile $tmp/ssh/user
  IdentitiesOnly yes
  UserKnownHostsFile /dev/null
  StrictHostKeyChecking no
  BatchMode yes
  LogLevel ERROR
EOF
}
start_sshd good "$tmp/wrap:/usr/local/bin:/usr/bin:/bin" || hosts_skipped "sshd did not start"
start_sshd bare "/usr/bin:/bin" || hosts_skipped "sshd did not start"
export PARALLEL_SSH="ssh -F $tmp/ssh/config"
ssh_config "$good" "$good"

for recipe in "${recipes[@]}"; do
    remote "$recipe" || continue
    check "$recipe" word
    if [[ $recipe == *--nonall* ]]; then
        broken "$recipe" "host2 start"
        broken "$recipe" "host2 end"
        mv "$tmp/logs/host2" "$tmp/logs/gone"
        broken "$recipe" "a remote cat fails"
        mv "$tmp/logs/gone" "$tmp/logs/host2"
    else
        broken "$recipe" "1 start"
        broken "$recipe" "1 end"
    fi
    ssh_config "$good" "$bare"
    broken "$recipe" "host2 has no termcount"
    ssh_config "$good" "$good"
done

echo "recipes: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
