# Wine benchmarks.
