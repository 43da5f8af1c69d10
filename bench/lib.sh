# Shared by the benchmark scripts (sourced).

# best CLEANUP CMD...: the best wall time of three runs of CMD, in seconds; CLEANUP runs
# after each run (":" for nothing).
best() {
  local cleanup=$1 b="" s e t
  shift
  for _ in 1 2 3; do
    s=$(date +%s.%N)
    "$@" > /dev/null
    e=$(date +%s.%N)
    eval "$cleanup"
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$b" ] || (( $(echo "$t < $b" | bc -l) )); then b=$t; fi
  done
  echo "$b"
}
