#!/usr/bin/env bash
# SFTP upload benchmark: ftpput sftp:// (Parcelo's SFTP client over the
# system's ssh) against OpenSSH's own sftp -b and scp, all to one sshd of
# our own on 127.0.0.1 in the same run, logging in with a key held by an
# ssh-agent of the run. Two loads: one big file, and 500 files of 10 KiB
# in one session. Prints wall time, MB/s, CPU seconds per GiB (the client
# and the ssh it starts) and peak memory, then the ratios against sftp.
#
#   bench/run-sftp-bench.sh [SIZE_MIB [ROUNDS]]     (defaults 512 and 3)
#
# The rounds are interleaved, so that a burst of load from elsewhere hits
# every program alike; the table shows the best and the median round.
# The server's folder is kept in memory (/dev/shm) when there is room.
#
# Not part of the test command: it takes minutes and SIZE_MIB of memory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size_mib=${1:-512}
rounds=${2:-3}
build=${PARCELO_BENCH_BUILD:-$root/build-bench}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARCELO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target ftpput >/dev/null
ftpput=$build/ftpput/ftpput
py=/usr/bin/python3
for tool in /usr/sbin/sshd /usr/bin/ssh /usr/bin/sftp /usr/bin/scp /usr/bin/ssh-keygen /usr/bin/ssh-agent /usr/bin/ssh-add; do
  [ -x "$tool" ] || { echo "$tool is missing (openssh-server, openssh-client)" >&2; exit 1; }
done

work=$(mktemp -d -t parcelo-sftpbench.XXXXXX)
need_kib=$(( (size_mib + 100) * 1024 ))
if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt "$need_kib" ]; then
  srv=$(mktemp -d /dev/shm/parcelo-sftpbench.XXXXXX)
else
  srv=$work/root
fi
sshd_pid=
agent_pid=
cleanup() {
  for pid in $sshd_pid $agent_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$srv"
}
trap cleanup EXIT

# --- an sshd of our own on 127.0.0.1 ----------------------------------------
port=$($py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$srv/upload" /run/sshd
ssh-keygen -q -t ed25519 -N "" -C parcelo-bench -f "$work/hostkey"
ssh-keygen -q -t ed25519 -N "" -C parcelo-bench -f "$work/userkey"
cp "$work/userkey.pub" "$work/authorized_keys"
echo "[127.0.0.1]:$port $(cat "$work/hostkey.pub")" > "$work/known_hosts"
cat > "$work/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $work/hostkey
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp -d $srv
CONF
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2> "$work/sshd.log" &
sshd_pid=$!
export SSH_AUTH_SOCK=$work/agent.sock
ssh-agent -D -a "$SSH_AUTH_SOCK" > /dev/null &
agent_pid=$!
for _ in $(seq 100); do
  [ -S "$SSH_AUTH_SOCK" ] && (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.1
done
ssh-add -q "$work/userkey"
fingerprint=$(ssh-keygen -l -E sha256 -f "$work/hostkey.pub" | awk '{print $2}')
user=$(id -un)
opts=(-o UserKnownHostsFile="$work/known_hosts" -o GlobalKnownHostsFile=/dev/null -o BatchMode=yes -F /dev/null)

# --- inputs ------------------------------------------------------------------
mkdir -p "$work/in/small"
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/in/big.bin"
for i in $(seq -w 1 500); do head -c 10240 /dev/urandom > "$work/in/small/f$i.bin"; done
big=$(stat -c %s "$work/in/big.bin")
{ echo "cd upload"; echo "put $work/in/big.bin"; } > "$work/big.batch"
{ echo "cd upload"; for f in "$work/in/small/"*; do echo "put $f"; done; } > "$work/small.batch"

# measure LABEL BYTES FILES -- command...: runs the command, checks that the
# files arrived whole, prints "label wall user+sys maxrss_kib bytes files".
measure() {
  local label=$1 bytes=$2 files=$3; shift 3
  $py - "$label" "$bytes" "$files" "$srv/upload" "$@" <<'PY'
import os, resource, subprocess, sys, time
label, nbytes, nfiles, up, cmd = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5:]
t0 = time.monotonic()
r = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.monotonic() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
got = sum(os.path.getsize(os.path.join(up, n)) for n in os.listdir(up))
if r.returncode != 0 or got != nbytes or len(os.listdir(up)) != nfiles:
    sys.stderr.write(f"{label}: exit {r.returncode}, {got} of {nbytes} bytes: "
                     f"{r.stderr.decode(errors='replace')[-500:]}\n")
    sys.exit(1)
print(label, f"{wall:.4f}", f"{ru.ru_utime + ru.ru_stime:.4f}", ru.ru_maxrss, nbytes, nfiles)
PY
}

results=$work/results.txt
: > "$results"
settle() { rm -f "$srv/upload/"*; sync; sleep 1; }
small=("$work/in/small/"*)
for round in $(seq "$rounds"); do
  echo "round $round of $rounds" >&2
  settle; measure ftpput-big "$big" 1 "$ftpput" --ssh-fingerprint "$fingerprint" sftp://127.0.0.1 "$port" "$user" "" upload "$work/in/big.bin" >> "$results"
  settle; measure sftp-big "$big" 1 sftp "${opts[@]}" -P "$port" -b "$work/big.batch" "$user@127.0.0.1" >> "$results"
  settle; measure scp-big "$big" 1 scp "${opts[@]}" -q -P "$port" "$work/in/big.bin" "$user@127.0.0.1:upload/" >> "$results"
  settle; measure ftpput-500x10KiB $((500 * 10240)) 500 "$ftpput" --ssh-fingerprint "$fingerprint" sftp://127.0.0.1 "$port" "$user" "" upload "${small[@]}" >> "$results"
  settle; measure sftp-500x10KiB $((500 * 10240)) 500 sftp "${opts[@]}" -P "$port" -b "$work/small.batch" "$user@127.0.0.1" >> "$results"
  settle; measure scp-500x10KiB $((500 * 10240)) 500 scp "${opts[@]}" -q -P "$port" "${small[@]}" "$user@127.0.0.1:upload/" >> "$results"
done

$py - "$results" "$rounds" "$size_mib" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    label, wall, cpu, rss, nbytes, nfiles = line.split()
    rows.setdefault(label, []).append((float(wall), float(cpu), int(rss), int(nbytes), int(nfiles)))
print(f"{sys.argv[2]} rounds, big file {sys.argv[3]} MiB; best and median round; CPU and peak memory of the median round")
print()
print("| run | best wall s | best MB/s | median MB/s | CPU s/GiB | peak RSS MiB | best ms/file |")
print("|---|---|---|---|---|---|---|")
best, median = {}, {}
for label, rs in rows.items():
    rs.sort()
    b, m = rs[0], rs[len(rs) // 2]
    best[label], median[label] = b, m
    mbs = lambda r: r[3] / r[0] / 1e6
    print(f"| {label} | {b[0]:.3f} | {mbs(b):.1f} | {mbs(m):.1f} | {m[1] / (m[3] / 2**30):.2f} | "
          f"{m[2] / 1024:.1f} | {b[0] * 1000 / b[4]:.2f} |")
print()
for load, goal in (("big", "throughput, goal >= 1.0"), ("500x10KiB", "time per file, goal <= 1.0")):
    for peer in ("sftp", "scp"):
        a, p = f"ftpput-{load}", f"{peer}-{load}"
        if a not in best or p not in best:
            continue
        if load == "big":
            r = [p_[0] / a_[0] for a_, p_ in ((best[a], best[p]), (median[a], median[p]))]
        else:
            r = [a_[0] / p_[0] for a_, p_ in ((best[a], best[p]), (median[a], median[p]))]
        print(f"{load}: ftpput / {peer} ({goal}): {r[0]:.2f} best, {r[1]:.2f} median")
PY
