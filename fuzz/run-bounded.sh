#!/bin/sh
# run-bounded.sh FUZZER SEEDS WORKDIR DICT: a bounded run from a fresh copy of
# the seeds; exits non-zero on a finding (its input is kept in WORKDIR).
set -eu
fuzzer=$1 seeds=$2 work=$3 dict=$4
rm -rf "$work" && mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
exec "$fuzzer" -max_total_time=20 -runs=100000000 -dict="$dict" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus"
