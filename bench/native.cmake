# Native benchmarks.
