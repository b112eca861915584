#!/usr/bin/env bash
# FTP upload benchmark: ftpput (Parcelo's FTP client, headless) against
# curl -T and against the reference limit of the 1514-byte design, a plain
# C sender of 1514-byte send() calls into a discarding sink, all on one
# local vsftpd on 127.0.0.1 in the same run. Prints wall time, MB/s, CPU
# seconds per GiB and peak memory, and the ratios.
#
#   bench/run-ftp-bench.sh [SIZE_MIB [ROUNDS]]     (defaults 1024 and 5)
#
# A second vsftpd on the same folder speaks FTP over TLS (explicit, TLS
# required for log-in and data, with a certificate made by openssl for
# the run): ftpput to ftpes:// (trusting the certificate by its
# fingerprint) is compared with curl --ssl-reqd on that server and with
# plain ftpput. PARCELO_BENCH_ONLY=tls runs only the rows of that
# comparison (plain ftpput passive, ftpput over TLS passive and active,
# curl over TLS passive) and the selection row below.
#
# The selection row: 50 files of 1 MiB over TLS in one session, ftpput
# (passive) against one curl invocation uploading the same 50 files (as it
# comes, and limited to TLS 1.2), all to the TLS vsftpd (which demands that
# every data connection resumes the control connection's TLS session). A
# failed file does not stop the run: for each program the table says what
# arrived intact on the server (files and bytes, compared byte for byte),
# its exit status, and the rate of the intact bytes; then the ratios
# ftpput / curl of those rates.
#
# An IPv6 row beside the IPv4 one: a third vsftpd on the same folder
# listens on ::1 only, and ftpput and curl upload the big file to [::1]
# (passive: EPSV, active: EPRT) in the same rounds. The summary prints the
# ratios plain ftpput / curl, passive and active, on IPv4 and on IPv6, and
# the cost per file of the 500 files of 10 KiB, ftpput / curl.
#
# The runs are repeated ROUNDS times, interleaved, so that a burst of load
# from elsewhere hits every program alike; the table shows the best and the
# median round of each. The server's folder is kept in memory (/dev/shm)
# when there is room, so that writing back earlier uploads to disk does not
# slow down later ones.
#
# Not part of the test command: it takes several minutes and 3 GiB of disk
# or memory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size_mib=${1:-1024}
rounds=${2:-5}
build=${PARCELO_BENCH_BUILD:-$root/build-bench}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARCELO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target ftpput ftp_plainsend >/dev/null
ftpput=$build/ftpput/ftpput
plain=$build/bench/ftp_plainsend
py=/usr/bin/python3

work=$(mktemp -d -t parcelo-ftpbench.XXXXXX)
# The server's root: in memory when /dev/shm has room for two big uploads.
need_kib=$(( (size_mib + 100) * 1024 * 2 ))
if [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt "$need_kib" ]; then
  srv=$(mktemp -d /dev/shm/parcelo-ftpbench.XXXXXX)
else
  srv=$work/root
fi
vsftpd_pid=
tls_pid=
v6_pid=
only=${PARCELO_BENCH_ONLY:-}
cleanup() {
  if [ -n "$vsftpd_pid" ]; then kill "$vsftpd_pid" 2>/dev/null || true; wait "$vsftpd_pid" 2>/dev/null || true; fi
  if [ -n "$tls_pid" ]; then kill "$tls_pid" 2>/dev/null || true; wait "$tls_pid" 2>/dev/null || true; fi
  if [ -n "$v6_pid" ]; then kill "$v6_pid" 2>/dev/null || true; wait "$v6_pid" 2>/dev/null || true; fi
  chmod -R u+w "$work" "$srv" 2>/dev/null || true
  rm -rf "$work" "$srv"
}
trap cleanup EXIT

# --- a vsftpd of our own on 127.0.0.1 -------------------------------------
port=$($py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$srv/upload" /var/run/vsftpd/empty
chown ftp:ftp "$srv/upload"
chmod 555 "$srv"
cat > "$work/vsftpd.conf" <<CONF
background=NO
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=/var/run/vsftpd/empty
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_root=$srv
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
dirmessage_enable=NO
max_clients=0
max_per_ip=0
CONF
/usr/sbin/vsftpd "$work/vsftpd.conf" &
vsftpd_pid=$!

# --- the same over TLS, on another port ---------------------------------------
tls_port=$($py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" 2>/dev/null
fingerprint=$(openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
sed "s/^listen_port=.*/listen_port=$tls_port/" "$work/vsftpd.conf" > "$work/vsftpd-tls.conf"
cat >> "$work/vsftpd-tls.conf" <<CONF
ssl_enable=YES
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
CONF
/usr/sbin/vsftpd "$work/vsftpd-tls.conf" &
tls_pid=$!
# --- the same on ::1 only ------------------------------------------------------
v6_port=$($py -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1",0)); print(s.getsockname()[1])')
sed -e "s/^listen_port=.*/listen_port=$v6_port/" -e "s/^listen=YES/listen=NO/" -e "s/^listen_ipv6=NO/listen_ipv6=YES/" \
  -e "s/^listen_address=.*/listen_address6=::1/" -e "/^pasv_address=/d" "$work/vsftpd.conf" > "$work/vsftpd-v6.conf"
/usr/sbin/vsftpd "$work/vsftpd-v6.conf" &
v6_pid=$!
for p in $port $tls_port; do
  for _ in $(seq 100); do
    $py -c "import socket; socket.create_connection(('127.0.0.1',$p),1)" 2>/dev/null && break
    sleep 0.05
  done
done
for _ in $(seq 100); do
  $py -c "import socket; socket.create_connection(('::1',$v6_port),1)" 2>/dev/null && break
  sleep 0.05
done

# --- inputs ----------------------------------------------------------------
mkdir -p "$work/in/small" "$work/in/selection"
echo "Preparing ${size_mib} MiB and 100 MiB of random data, 500 files of 10 KiB and 50 of 1 MiB ..." >&2
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/in/big.bin"
head -c $((100 * 1024 * 1024)) /dev/urandom > "$work/in/mid.bin"
for i in $(seq -w 1 500); do head -c 10240 /dev/urandom > "$work/in/small/f$i.bin"; done
small_list=$(cd "$work/in/small" && ls | paste -sd, -)
for i in $(seq -w 1 50); do head -c $((1024 * 1024)) /dev/urandom > "$work/in/selection/s$i.bin"; done
selection_list=$(cd "$work/in/selection" && ls | paste -sd, -)

# measure LABEL BYTES FILES -- command...: runs the command, prints one
# result line "label wall user+sys maxrss_kib bytes files".
measure() {
  local label=$1 bytes=$2 files=$3; shift 3
  $py - "$label" "$bytes" "$files" "$@" <<'PY'
import os, resource, subprocess, sys, time
label, nbytes, nfiles, cmd = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
t0 = time.monotonic()
r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.monotonic() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
if r.returncode != 0:
    sys.stderr.write(f"{label}: exit {r.returncode}: {r.stderr.decode(errors='replace')[-500:]}\n")
    sys.exit(1)
print(label, f"{wall:.4f}", f"{ru.ru_utime + ru.ru_stime:.4f}", ru.ru_maxrss, nbytes, nfiles)
PY
}

# deliver LABEL -- command...: runs the command whatever its exit status,
# then compares the server's upload folder with the selection; prints one
# line "label wall user+sys exit intact_files intact_bytes files bytes".
deliver() {
  local label=$1; shift
  $py - "$label" "$work/in/selection" "$srv/upload" "$@" <<'PY'
import os, resource, subprocess, sys, time
label, sel, up, cmd = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
t0 = time.monotonic()
r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - t0
ru = resource.getrusage(resource.RUSAGE_CHILDREN)
files = sorted(os.listdir(sel))
intact = intact_bytes = total = 0
for name in files:
    with open(os.path.join(sel, name), "rb") as f:
        want = f.read()
    total += len(want)
    try:
        with open(os.path.join(up, name), "rb") as f:
            got = f.read()
    except OSError:
        continue
    if got == want:
        intact += 1
        intact_bytes += len(got)
print(label, f"{wall:.4f}", f"{ru.ru_utime + ru.ru_stime:.4f}", r.returncode, intact, intact_bytes, len(files), total)
PY
}

url=ftp://127.0.0.1:$port/upload
v6_url=ftp://[::1]:$v6_port/upload
tls_url=ftp://127.0.0.1:$tls_port/upload
big=$(stat -c %s "$work/in/big.bin")
mid=$(stat -c %s "$work/in/mid.bin")
results=$work/results.txt
delivered=$work/delivered.txt
: > "$results"
: > "$delivered"
settle() { rm -f "$srv/upload/"*; sync; sleep 2; }

run_tls() {
  settle; measure ftpput-passive "$big" 1 "$ftpput" --passive 127.0.0.1 "$port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; measure ftpput-tls-passive "$big" 1 "$ftpput" --passive --tls-fingerprint "$fingerprint" "ftpes://127.0.0.1" "$tls_port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; measure curl-tls-passive "$big" 1 curl -s -S --ssl-reqd --cacert "$work/cert.pem" --ftp-pasv -T "$work/in/big.bin" "$tls_url/" >> "$results"
  settle; measure ftpput-tls-active "$big" 1 "$ftpput" --tls-fingerprint "$fingerprint" "ftpes://127.0.0.1" "$tls_port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; deliver ftpput-tls-50x1MiB "$ftpput" --passive --tls-fingerprint "$fingerprint" "ftpes://127.0.0.1" "$tls_port" anonymous x upload "$work/in/selection/"* >> "$delivered"
  settle; deliver curl-tls-50x1MiB curl -s -S --ssl-reqd --cacert "$work/cert.pem" --ftp-pasv -T "$work/in/selection/{$selection_list}" "$tls_url/" >> "$delivered"
  settle; deliver curl-tls1.2-50x1MiB curl -s -S --ssl-reqd --tls-max 1.2 --cacert "$work/cert.pem" --ftp-pasv -T "$work/in/selection/{$selection_list}" "$tls_url/" >> "$delivered"
}

run_all() {
  run_tls
  settle; measure plain-1514 "$big" 1 "$plain" "$work/in/big.bin" >> "$results"
  settle; measure curl-passive "$big" 1 curl -s -S --ftp-pasv -T "$work/in/big.bin" "$url/" >> "$results"
  settle; measure ftpput-active "$big" 1 "$ftpput" 127.0.0.1 "$port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; measure curl-active "$big" 1 curl -s -S -P - --disable-eprt -T "$work/in/big.bin" "$url/" >> "$results"
  settle; measure ftpput-passive-100MiB "$mid" 1 "$ftpput" --passive 127.0.0.1 "$port" anonymous x upload "$work/in/mid.bin" >> "$results"
  settle; measure ftpput-500x10KiB $((500 * 10240)) 500 "$ftpput" --passive 127.0.0.1 "$port" anonymous x upload "$work/in/small/"* >> "$results"
  settle; measure curl-500x10KiB $((500 * 10240)) 500 curl -s -S --ftp-pasv -T "$work/in/small/{$small_list}" "$url/" >> "$results"
  settle; measure ftpput-passive-v6 "$big" 1 "$ftpput" --passive "[::1]" "$v6_port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; measure curl-passive-v6 "$big" 1 curl -s -S -g --ftp-pasv -T "$work/in/big.bin" "$v6_url/" >> "$results"
  settle; measure ftpput-active-v6 "$big" 1 "$ftpput" "[::1]" "$v6_port" anonymous x upload "$work/in/big.bin" >> "$results"
  settle; measure curl-active-v6 "$big" 1 curl -s -S -g -P - -T "$work/in/big.bin" "$v6_url/" >> "$results"
}
echo "Running $rounds rounds (each run pauses 2 s first, so active-mode connections settle) ..." >&2
for round in $(seq "$rounds"); do
  echo "  round $round of $rounds" >&2
  if [ "$only" = tls ]; then run_tls; else run_all; fi
done

$py - "$results" "$rounds" "$delivered" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    label, wall, cpu, rss, nbytes, nfiles = line.split()
    runs.setdefault(label, []).append(dict(wall=float(wall), cpu=float(cpu), rss=int(rss),
                                           bytes=int(nbytes), files=int(nfiles)))
print(f"{sys.argv[2]} rounds; MB/s and ms/file of the best and of the median round; "
      "CPU and peak memory of the median round")
print()
print("| run | best wall s | best MB/s | median MB/s | CPU s/GiB | peak RSS MiB | best ms/file |")
print("|---|---:|---:|---:|---:|---:|---:|")
best, median = {}, {}
for label, rs in runs.items():
    rs.sort(key=lambda r: r["wall"])
    b, m = rs[0], rs[(len(rs) - 1) // 2]
    best[label], median[label] = b, m
    mbs = lambda r: r["bytes"] / r["wall"] / 1e6
    cpu_gib = m["cpu"] / (m["bytes"] / 2**30)
    print(f"| {label} | {b['wall']:.2f} | {mbs(b):.0f} | {mbs(m):.0f} | {cpu_gib:.2f} | "
          f"{max(r['rss'] for r in rs)/1024:.1f} | {1000*b['wall']/b['files']:.2f} |")
print()
print("wall seconds of every round, in the order run:")
order = {}
for line in open(sys.argv[1]):
    label, wall = line.split()[:2]
    order.setdefault(label, []).append(wall)
for label, walls in order.items():
    print(f"  {label}: {' '.join(walls)}")
def ratio(a, b):
    return tuple((rows[a]["bytes"] / rows[a]["wall"]) / (rows[b]["bytes"] / rows[b]["wall"])
                 for rows in (best, median))
def show(text, a, b, goal=""):
    r = ratio(a, b)
    print(f"{text}: {r[0]:.2f} best, {r[1]:.2f} median{goal}")
print()
def show_if(text, a, b, goal=""):
    if a in best and b in best:
        show(text, a, b, goal)
show_if("plain ftpput / curl, passive, IPv4", "ftpput-passive", "curl-passive", " (goal >= 1.0)")
show_if("plain ftpput / curl, active, IPv4", "ftpput-active", "curl-active", " (goal >= 1.0)")
show_if("plain ftpput / curl, passive, IPv6", "ftpput-passive-v6", "curl-passive-v6", " (goal >= 1.0)")
show_if("plain ftpput / curl, active, IPv6", "ftpput-active-v6", "curl-active-v6", " (goal >= 1.0)")
show_if("plain ftpput IPv6 / IPv4, passive", "ftpput-passive-v6", "ftpput-passive")
if "ftpput-500x10KiB" in best and "curl-500x10KiB" in best:
    per_file = lambda rows, l: rows[l]["wall"] / rows[l]["files"]
    print("500 x 10 KiB, time per file ftpput / curl: "
          f"{per_file(best, 'ftpput-500x10KiB') / per_file(best, 'curl-500x10KiB'):.2f} best, "
          f"{per_file(median, 'ftpput-500x10KiB') / per_file(median, 'curl-500x10KiB'):.2f} median (goal <= 1.0)")
print()
show("ftpput over TLS / plain ftpput, passive", "ftpput-tls-passive", "ftpput-passive",
     " (goal >= 0.7: TLS costs at most 30 %)")
show("ftpput over TLS / curl over TLS, passive", "ftpput-tls-passive", "curl-tls-passive", " (goal >= 1.3)")
show("ftpput over TLS, active / plain ftpput, passive", "ftpput-tls-active", "ftpput-passive")

# The selection over TLS: what arrived intact, per round, and the rate of
# the intact bytes (best and median round).
sel = {}
for line in open(sys.argv[3]):
    label, wall, cpu, code, ok, okb, n, nb = line.split()
    sel.setdefault(label, []).append(dict(wall=float(wall), cpu=float(cpu), code=int(code), ok=int(ok),
                                          okb=int(okb), n=int(n), nb=int(nb)))
if sel:
    print()
    print("50 files of 1 MiB over TLS in one session (vsftpd, session reuse required):")
    print()
    print("| run | files intact (each round) | bytes intact, worst round | exit status (each round) | best wall s | best intact MB/s | median intact MB/s |")
    print("|---|---|---:|---|---:|---:|---:|")
    rate = lambda r: r["okb"] / r["wall"] / 1e6
    rates, complete = {}, {}
    for label, rs in sel.items():
        ordered = sorted(rs, key=rate, reverse=True)
        rates[label] = (rate(ordered[0]), rate(ordered[(len(ordered) - 1) // 2]))
        complete[label] = all(r["ok"] == r["n"] for r in rs)
        worst = min(rs, key=lambda r: r["okb"])
        counts = " ".join("%d/%d" % (r["ok"], r["n"]) for r in rs)
        codes = " ".join(str(r["code"]) for r in rs)
        print(f"| {label} | {counts} | {worst['okb']} of {worst['nb']} | {codes} | "
              f"{min(r['wall'] for r in rs):.2f} | {rates[label][0]:.0f} | {rates[label][1]:.0f} |")
    print()
    a = "ftpput-tls-50x1MiB"
    least = lambda label: min(r["ok"] for r in sel[label])
    for b in ("curl-tls-50x1MiB", "curl-tls1.2-50x1MiB"):
        if a not in sel or b not in sel:
            continue
        ratio = lambda x, y: f"{x / y:.2f}" if y > 0 else "n/a (nothing arrived)"
        note = "" if complete[a] and complete[b] else \
            f"; not every file arrived, fewest intact: {a} {least(a)}/50, {b} {least(b)}/50"
        print(f"50 x 1 MiB over TLS, intact MB/s {a} / {b}: {ratio(rates[a][0], rates[b][0])} best, "
              f"{ratio(rates[a][1], rates[b][1])} median{note}")
PY
