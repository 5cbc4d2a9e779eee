#!/usr/bin/env python3
"""Write a deterministic CIF 2.0 file rich in lists, nested tables and
triple-quoted strings (about SIZE_MB megabytes).

Usage: gen_cif2.py SIZE_MB OUT.cif
"""

import random
import sys

WORDS = ["alpha", "beta", "gamma", "delta", "omega", "Å", "µm", "σ", "π-stack", "C—H", "naïve",
         "x", "y", "z", "occ", "Uiso", "?", "."]


def scalar(rnd: random.Random) -> str:
    r = rnd.random()
    if r < 0.4:
        return f"{rnd.uniform(-500, 500):.4f}"
    if r < 0.6:
        return rnd.choice(WORDS[:6])
    if r < 0.8:
        return "'" + " ".join(rnd.choice(WORDS) for _ in range(rnd.randint(1, 4))) + "'"
    if r < 0.9:
        return '"' + rnd.choice(WORDS) + "'s" + '"'
    return '"""' + "\n".join(" ".join(rnd.choice(WORDS) for _ in range(5)) for _ in range(rnd.randint(1, 3))) + '"""'


def compound(rnd: random.Random, depth: int) -> str:
    if depth <= 0 or rnd.random() < 0.35:
        return scalar(rnd)
    if rnd.random() < 0.5:
        return "[" + " ".join(compound(rnd, depth - 1) for _ in range(rnd.randint(0, 5))) + "]"
    entries = []
    for i in range(rnd.randint(0, 4)):
        key = rnd.choice(WORDS[:12]) + str(i)
        entries.append(f"'{key}':{compound(rnd, depth - 1)}")
    return "{" + " ".join(entries) + "}"


def main() -> None:
    size_mb, out = float(sys.argv[1]), sys.argv[2]
    target = int(size_mb * 1e6)
    rnd = random.Random(20261207)
    written = 0
    with open(out, "w", encoding="utf-8") as f:
        f.write("#\\#CIF_2.0\n# Synthetic CIF 2.0 benchmark input\n")
        block = 0
        while written < target:
            parts = [f"data_block_{block}\n"]
            for t in range(20):
                parts.append(f"_item.scalar_{t} {compound(rnd, 4)}\n")
            parts.append('_item.description\n"""A description that spans\nseveral lines, with \'quotes\'\nand "double quotes" inside."""\n')
            parts.append("_item.folded\n;\\\nA folded text field that is continued \\\non the next line.\n;\n")
            parts.append("loop_\n_row.id\n_row.vector\n_row.props\n_row.note\n")
            for r in range(200):
                vec = "[" + " ".join(f"{rnd.uniform(-1, 1):.5f}" for _ in range(3)) + "]"
                props = "{" + f"'occ':{rnd.random():.3f} 'tags':[{scalar(rnd)} {scalar(rnd)}]" + "}"
                parts.append(f"{r} {vec} {props} {scalar(rnd)}\n")
            parts.append(f"save_frame_{block}\n_frame.list [[1 2] [3 [4 5]] {{'a':{{'b':[6]}}}}]\nsave_\n")
            chunk = "".join(parts)
            f.write(chunk)
            written += len(chunk.encode("utf-8"))
            block += 1


if __name__ == "__main__":
    main()
