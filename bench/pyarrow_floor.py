"""pyarrow's own share of parse_arrow: every batch of a result is exported
again and imported by pyarrow with its shared schema, as parse_arrow hands
them over. What this costs per batch is beyond quarzel's reach.

    tools/devenv python3 bench/pyarrow_floor.py FILE
"""
import ctypes
import gc
import sys
import time

import pyarrow as pa

import quarzel_core as q


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def main(path):
    text = open(path, encoding="utf-8").read()
    batches, _ = q.parse_arrow(text)
    # One ArrowArray struct (80 bytes) per batch.
    arrays = [ctypes.create_string_buffer(80) for _ in batches]
    for batch, array in zip(batches, arrays):
        batch._export_to_c(ctypes.addressof(array))
    gc.collect()
    before = resident_bytes()
    start = time.perf_counter()
    imported = [pa.RecordBatch._import_from_c(ctypes.addressof(a), b.schema)
                for a, b in zip(arrays, batches)]
    seconds = time.perf_counter() - start
    grown = resident_bytes() - before
    n = len(imported)
    print(f"{path}: {n} batches, {sum(b.num_columns for b in imported)} arrays; "
          f"pyarrow import {seconds:.3f} s ({seconds / n * 1e6:.1f} us per batch), "
          f"resident +{grown / 1e6:.1f} MB ({grown / n / 1e3:.1f} KB per batch)")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
