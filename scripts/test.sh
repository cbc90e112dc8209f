#!/usr/bin/env bash
# Builds and runs every test: the unit tests, the end-to-end tests against real servers
# (a private Dovecot POP3 instance and an SMTP sink, in clear text and over TLS), the
# hostile-peer suite (fake servers in tests/hostile), the Debian package (built, installed,
# routing one message as the service, purged), the unit and end-to-end tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and each fuzz target for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fuzz_seconds=${VESSAMO_FUZZ_SECONDS:-30}
start=$(date +%s)

echo "== build (Debug)"
bash scripts/build.sh build
echo "== tests"
ctest --test-dir build -j2 --output-on-failure --timeout 300 | tee build/ctest.log

echo "== end to end against real servers: Dovecot POP3, then an exact-bytes sink and smtp-sink"
bash tests/integration/run.sh --vessamo build/vessamo --sink aiosmtpd
bash tests/integration/run.sh --vessamo build/vessamo --sink smtp-sink
echo "== POP3 logins against Dovecot: PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256, auto, APOP and USER, each with the right and a wrong password"
bash tests/integration/pop3login.sh --test build/tests/routing/routing_dovecot_test
echo "== OAuth 2.0 end to end: device enrolment, XOAUTH2 logins checked by Dovecot's oauth2 passdb against a fake authorization server, refresh with rotation, a revoked refresh token, token commands that hang or fail"
bash tests/integration/oauth.sh --vessamo build/vessamo
echo "== operating Vessamo: a refused message, the postmaster's notice, --failed, --check, --status and the metrics against the archives, --requeue, --flush"
bash tests/integration/operations.sh --vessamo build/vessamo
echo "== vessamo-send: a 20 MB attachment, then a 100 MB body from standard input and from a file, through a real SMTP server, streamed (peak memory, CPU)"
bash tests/integration/sendbig.sh --send build/vessamo-send
echo "== memory: one 200 MB message received (under 40 MB + the message) and forwarded (under 40 MB, flat), byte for byte"
bash tests/integration/bigmessage.sh --vessamo build/vessamo --mb 200
echo "== end to end over TLS: Dovecot requiring TLS on 995; an aiosmtpd sink requiring AUTH inside TLS on 465, then with STARTTLS on 587"
bash tests/integration/run.sh --vessamo build/vessamo --tls 465
bash tests/integration/run.sh --vessamo build/vessamo --tls 587
echo "== hostile peers: fake servers that drop, stall, flood and lie; bad filters, full folders, SIGTERM"
/usr/bin/python3 tests/hostile/run.py --vessamo build/vessamo

# --- packaging: the Debian package built, installed, run as a service, removed, purged
echo "== Debian package: build, boot a Debian 12 container with systemd as PID 1, install, configure with /C, run as the service (route one message, owners and modes, stop with a reply pending, journal), remove, purge"
bash tests/package/run.sh build-deb
# --- end of packaging

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
bash scripts/build.sh build-asan -DVESSAMO_SANITIZE=ON
echo "== tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j2 --output-on-failure --timeout 600 | tee build-asan/ctest.log

echo "== end to end against real servers, under the sanitizers"
bash tests/integration/run.sh --vessamo build-asan/vessamo --sink aiosmtpd
bash tests/integration/run.sh --vessamo build-asan/vessamo --tls 587

echo "== fuzz targets (clang, ${fuzz_seconds}s each)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DVESSAMO_FUZZ=ON -DVESSAMO_TESTS=OFF >/dev/null
ninja -C build-fuzz fuzzers
for binary in $(find build-fuzz/fuzz -maxdepth 1 -type f -executable -name 'fuzz_*' | sort); do
  target=$(basename "$binary")
  corpus=$(mktemp -d)
  log=$(mktemp)
  if [ -d "fuzz/corpus/$target" ]; then cp -r "fuzz/corpus/$target/." "$corpus/"; fi
  echo "-- $target"
  # Undefined behaviour stops the run like a crash; one input taking 20 s counts as a hang.
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$binary" -max_total_time="$fuzz_seconds" \
    -timeout=20 -print_final_stats=1 -artifact_prefix="build-fuzz/$target-" "$corpus" \
    >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $target found a crash (input saved above and in build-fuzz/)"
    exit 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$log" || true
  echo "   corpus: $(find "$corpus" -type f | wc -l) inputs"
  rm -rf "$corpus" "$log"
done

passed=0
for log in build/ctest.log build-asan/ctest.log; do
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
  passed=$((passed + ${n:-0}))
done
echo "== everything passed in $(( $(date +%s) - start )) s"
echo "ctest: ${passed} passed, 0 failed"
