# Shared by the test servers' self-tests (sourced).

# wait_for FILE PATTERN TENTHS: bounded poll for a line in a log.
wait_for() {
  local i
  for ((i = 0; i < $3; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
