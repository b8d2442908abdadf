#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the benchmarks and writes bench/RESULTS.md: throughput, instructions per byte (from
# callgrind, which counts instructions and so repeats exactly), the link's latencies, and the
# stripped size of hddpower for the host and for ARM.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHDDPOWER_BENCH=ON -DHDDPOWER_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake >/dev/null
cmake --build build-arm --target hddpower -j"$(nproc)" >/dev/null

json=build-bench/bench.json
build-bench/bench/mcucom_bench --benchmark_out="$json" --benchmark_out_format=json \
  --benchmark_min_time=0.5 >/dev/null

# Instructions per byte: two runs that differ only in the number of operations.
instructions() {  # OPERATION COUNT
  local out=build-bench/callgrind.$1.$2
  valgrind --tool=callgrind --callgrind-out-file="$out" build-bench/bench/ring_workload "$1" "$2" \
    >/dev/null 2>&1
  awk '/^summary:/ {print $2}' "$out"
}
per_byte() {  # OPERATION BYTES
  local small big
  small=$(instructions "$1" 1000)
  big=$(instructions "$1" 3000)
  awk -v a="$small" -v b="$big" -v n="$2" 'BEGIN {printf "%.2f", (b - a) / (2000 * n)}'
}
ipb19=$(per_byte store-take-19 19)
ipb1035=$(per_byte store-take-1035 1035)
ipbnoise=$(per_byte drop-noise 1035)

# The decoder on a 50 MB capture of power requests, answers and noise: time and peak memory.
python3 - build-bench/capture.bin <<'PY'
import random, sys
random.seed(1)
request = b"#x0000001CDEB8\r\n" + bytes.fromhex("75aa000c014100060" "0ff00ff0000001f5575aa")
answer = bytes.fromhex("75aa000601010006010001" "75aa")
out = bytearray()
while len(out) < 50 * 1024 * 1024:
    out += request + answer + bytes(random.getrandbits(8) & 0x74 for _ in range(random.randint(0, 8)))
open(sys.argv[1], "wb").write(out)
PY
/usr/bin/time -f "%e %M" -o build-bench/decode.time build-bench/mcusim --decode build-bench/capture.bin >/dev/null
read -r decode_s decode_kb < build-bench/decode.time

strip -o build-bench/hddpower.stripped build-bench/hddpower
arm-linux-gnueabi-strip -o build-arm/hddpower.stripped build-arm/hddpower
host_size=$(stat -c %s build-bench/hddpower.stripped)
arm_size=$(stat -c %s build-arm/hddpower.stripped)

python3 - "$json" "$ipb19" "$ipb1035" "$ipbnoise" "$host_size" "$arm_size" "$decode_s" "$decode_kb" <<'PY' > bench/RESULTS.md
import json, sys, platform, datetime, os
data = json.load(open(sys.argv[1]))
ipb19, ipb1035, ipbnoise = (float(x) for x in sys.argv[2:5])
host_size, arm_size = int(sys.argv[5]), int(sys.argv[6])
decode_s, decode_mb = float(sys.argv[7]), int(sys.argv[8]) / 1024.0
runs = {b["name"]: b for b in data["benchmarks"]}
def find(prefix):
    return next(b for n, b in runs.items() if n.startswith(prefix))
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
line_rate = 11520.0
def mbs(b):
    return b["bytes_per_second"] / 1e6
def verdict(ok):
    return "met" if ok else "NOT met"
print("# Benchmark results")
print()
print(f"Run on {datetime.date.today().isoformat()}: {cpu}, {os.cpu_count()} cores, "
      f"{platform.system()} {platform.release()} {platform.machine()}. "
      "Written by `bench/run.sh`.")
print()
print("The serial line runs at 115200 baud: 11,520 bytes per second.")
print()
print("| Operation | Throughput | Times the line rate | Instructions per byte | Target |")
print("|---|---|---|---|---|")
r19, r1035, noise = find("StoreAndTake/19"), find("StoreAndTake/1035"), find("SearchThroughNoise")
print(f"| Ring: store and take 19-byte frames | {mbs(r19):.1f} MB/s | {r19['bytes_per_second']/line_rate:,.0f} | {ipb19:.2f} | at most 25: {verdict(ipb19 <= 25)} |")
print(f"| Ring: store and take 1035-byte frames | {mbs(r1035):.1f} MB/s | {r1035['bytes_per_second']/line_rate:,.0f} | {ipb1035:.2f} | at most 8: {verdict(ipb1035 <= 8)} |")
print(f"| Search: drop pure noise | {mbs(noise):.1f} MB/s | {noise['bytes_per_second']/line_rate:,.0f} | {ipbnoise:.2f} | at most 12: {verdict(ipbnoise <= 12)} |")
send = find("SendUnacknowledged")
print(f"| sendCmdData, unacknowledged, to a pseudo-terminal | {mbs(send):.2f} MB/s ({send['real_time']/1000:.1f} us a frame) | {send['bytes_per_second']/line_rate:,.0f} | | |")
print()
print("| Operation | Result | Target |")
print("|---|---|---|")
for n in (1, 100):
    b = find(f"LookupAmongStoredFrames/{n}")
    print(f"| Packet-list lookup, wanted frame behind {n - 1} others | {b['real_time']/1000:.2f} us | |")
rt = find("AcknowledgedRoundTrip")
print(f"| Acknowledged round trip (pseudo-terminal, receiver, mcusim) | median {rt['median_us']:.0f} us, 99th percentile {rt['p99_us']:.0f} us, {int(rt['failures'])} failures | median under 200 us: {verdict(rt['median_us'] < 200)}; p99 under 1 ms: {verdict(rt['p99_us'] < 1000)} |")
run = find("HddPowerOnRun")
print(f"| Whole `hddpower on` run beyond its 100 ms wait (exec to exit) | {run['tool_ms_beyond_100']:.2f} ms; namespace set-up of the harness {run['namespace_setup_ms']:.2f} ms more | at most 5 ms: {verdict(run['tool_ms_beyond_100'] <= 5)} |")
crt = find("CInterfaceRoundTrip")
ratio = crt['median_us'] / rt['median_us']
print(f"| Acknowledged round trip through `mcucom_command` (same line, same run) | median {crt['median_us']:.0f} us ({ratio:.2f} times `sendCmdData`'s), 99th percentile {crt['p99_us']:.0f} us, {int(crt['failures'])} failures | within 1.1 times the fixed interface's: {verdict(ratio <= 1.1)} |")
ev, pty = find("EventDescriptorLatency"), find("PseudoTerminalWakeup")
print(f"| An MCU frame's last byte on the line to the event descriptor readable | median {ev['median_us']:.0f} us, 99th percentile {ev['p99_us']:.0f} us (a bare pseudo-terminal, a thread and a pipe: median {pty['median_us']:.0f} us, 99th percentile {pty['p99_us']:.0f} us) | p99 under 1 ms: {verdict(ev['p99_us'] < 1000)} |")
soak = find("SoakWithEvents")
print(f"| 100,000 commands with an MCU frame every millisecond (C interface) | {int(soak['failures'])} failures, {int(soak['events']):,} events, {int(soak['dropped'])} dropped; from command 10,000 to the end: resident memory {soak['rss_growth_kb']:+.0f} KB, descriptors {int(soak['fd_growth']):+d} | memory and descriptors flat: {verdict(soak['rss_growth_kb'] < 1024 and soak['fd_growth'] == 0)} |")
p1, p8 = find("PacedCommands/1"), find("PacedCommands/8")
print(f"| Acknowledged commands one at a time on a line paced at 115200 baud, the MCU answering at once (C interface) | {p1['per_second']:.0f} a second: {100 * p1['of_wire']:.1f} % of the {p1['wire_per_second']:.0f} the wire allows (19-byte request and 13-byte answer) | at least 95 %: {verdict(p1['of_wire'] >= 0.95)} |")
p0 = find("PacedCommands/0")
print(f"| For comparison: one at a time on an unpaced line whose MCU answers 3 ms after each request | {p0['per_second']:.0f} a second: {100 * p0['of_wire']:.1f} % of one per 3 ms | |")
print(f"| Eight codes in flight from eight threads, same line | {p8['per_second']:.0f} a second: {100 * p8['of_wire']:.1f} % of the {p8['wire_per_second']:.0f} requests the wire carries | at least 90 %: {verdict(p8['of_wire'] >= 0.90)} |")
ps = find("PacedCommandsStarted")
print(f"| Eight codes in flight from one thread, started without waiting (`mcucom_command_start`), same line | {ps['per_second']:.0f} a second: {100 * ps['of_wire']:.1f} % of the {ps['wire_per_second']:.0f} requests the wire carries, {int(ps['failures'])} failures | at least 90 %: {verdict(ps['of_wire'] >= 0.90)} |")
cd = find("CompletionDescriptorLatency")
print(f"| An answer's last byte on the line to the event descriptor readable with its completion | median {cd['median_us']:.0f} us, 99th percentile {cd['p99_us']:.0f} us, {int(cd['failures'])} failures (an MCU frame's, above: 99th percentile {ev['p99_us']:.0f} us) | p99 under 1 ms: {verdict(cd['p99_us'] < 1000)} |")
print(f"| `mcusim --decode` of a 50 MB capture (items printed, output to /dev/null) | {decode_s:.1f} s, {decode_mb:.1f} MB peak memory | under 16 MB and a few seconds: {verdict(decode_mb < 16 and decode_s < 10)} |")
print()
print("On the paced line a command's time is its 2.78 ms of wire and three wake-ups: the")
print("simulator's on the request (a pseudo-terminal hop), the receiver's on the answer (another)")
print("and the sender's on the receiver's signal. Each takes some tens of microseconds, more when")
print("the machine's processors sleep between commands, as they do here; the simulator watches the")
print("clock for the last 100 us before a byte is due, so that its own timer adds nothing. The")
print("comparison row has the same wake-ups and no pacing at all, and loses a like share, more or")
print("less from run to run on this shared machine of two processors. With commands in flight the")
print("wire stays busy and the wake-ups overlap it, from threads or from one thread's started")
print("commands alike. A completion takes one wake-up more than an MCU frame on its way to the")
print("descriptor: the receiver wakes the command's waiting thread, which queues the completion.")
print()
print("| Binary | Stripped size |")
print("|---|---|")
print(f"| hddpower, host ({platform.machine()}, static) | {host_size:,} bytes |")
print(f"| hddpower, ARM (arm-linux-gnueabi, static) | {arm_size:,} bytes |")
PY
cat bench/RESULTS.md
