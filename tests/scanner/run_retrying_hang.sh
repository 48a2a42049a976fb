#!/bin/sh
# Runs one test process; when it hangs past the limit it is killed and run once more, so that a
# rare hang inside the scanner library never blocks a test run. Failures are not retried.
limit=${LUMIVANE_HANG_LIMIT:-30}
timeout -k 5 "$limit" "$@"
status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "test process hung for ${limit} s; running it once more" >&2
  timeout -k 5 "$limit" "$@"
  status=$?
fi
exit "$status"
