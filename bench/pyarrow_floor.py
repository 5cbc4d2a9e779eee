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
    addresses = [ctypes.addressof(array) for array in arrays]
    # Batches with the same tags share one schema object, as parse_arrow
    # passes them; only the imports are timed. The first round takes fresh
    # memory, later ones reuse what the round before gave back.
    shared = {}
    schemas = [shared.setdefault(tuple(b.schema.names), b.schema) for b in batches]
    import_batch = pa.RecordBatch._import_from_c
    columns = sum(b.num_columns for b in batches)
    print(f"{path}: {len(batches)} batches, {columns} arrays")
    for round in range(3):
        for batch, address in zip(batches, addresses):
            batch._export_to_c(address)
        gc.collect()
        before = resident_bytes()
        start = time.perf_counter()
        imported = [import_batch(a, s) for a, s in zip(addresses, schemas)]
        seconds = time.perf_counter() - start
        grown = resident_bytes() - before
        n = len(imported)
        print(f"  round {round + 1}: pyarrow import {seconds:.3f} s "
              f"({seconds / n * 1e6:.1f} us per batch), resident +{grown / 1e6:.1f} MB "
              f"({grown / n / 1e3:.1f} KB per batch)")
        del imported

if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
