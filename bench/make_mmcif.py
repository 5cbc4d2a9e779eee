#!/usr/bin/env python3
"""Write a synthetic PDBx/mmCIF coordinate file of N atoms.

    python3 bench/make_mmcif.py N OUT.cif

The file has the shape of a real entry: a handful of key-value categories
(one of them a text field), a short loop, then one `_atom_site` loop of N
rows with the 21 usual columns. Chains of amino acids come first, then a
nucleic-acid chain whose atom names carry a prime and so are quoted
("C5'"), then waters (HETATM, no sequence number). Values include the
placeholders `.` and `?`; the first column is padded as in the archive's
files. About 86 bytes per atom; the same N always gives the same bytes, and
500,000 atoms (43 MB) take about two seconds.
"""

import random
import sys

# Heavy atoms of each residue, in the order a deposited entry lists them.
BACKBONE = ["N", "CA", "C", "O"]
AMINO = {
    "ALA": ["CB"], "ARG": ["CB", "CG", "CD", "NE", "CZ", "NH1", "NH2"],
    "ASN": ["CB", "CG", "OD1", "ND2"], "ASP": ["CB", "CG", "OD1", "OD2"], "CYS": ["CB", "SG"],
    "GLN": ["CB", "CG", "CD", "OE1", "NE2"], "GLU": ["CB", "CG", "CD", "OE1", "OE2"], "GLY": [],
    "HIS": ["CB", "CG", "ND1", "CD2", "CE1", "NE2"], "ILE": ["CB", "CG1", "CG2", "CD1"],
    "LEU": ["CB", "CG", "CD1", "CD2"], "LYS": ["CB", "CG", "CD", "CE", "NZ"],
    "MET": ["CB", "CG", "SD", "CE"], "PHE": ["CB", "CG", "CD1", "CD2", "CE1", "CE2", "CZ"],
    "PRO": ["CB", "CG", "CD"], "SER": ["CB", "OG"], "THR": ["CB", "OG1", "CG2"],
    "TRP": ["CB", "CG", "CD1", "CD2", "NE1", "CE2", "CE3", "CZ2", "CZ3", "CH2"],
    "TYR": ["CB", "CG", "CD1", "CD2", "CE1", "CE2", "CZ", "OH"],
    "VAL": ["CB", "CG1", "CG2"],
}
SUGAR = ["P", "OP1", "OP2", "O5'", "C5'", "C4'", "O4'", "C3'", "O3'", "C2'", "C1'"]
BASES = {
    "DA": ["N9", "C8", "N7", "C5", "C6", "N6", "N1", "C2", "N3", "C4"],
    "DC": ["N1", "C2", "O2", "N3", "C4", "N4", "C5", "C6"],
    "DG": ["N9", "C8", "N7", "C5", "C6", "O6", "N1", "C2", "N2", "N3", "C4"],
    "DT": ["N1", "C2", "O2", "N3", "C4", "O4", "C5", "C7", "C6"],
}
COLUMNS = [
    "group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id",
    "label_asym_id", "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x", "Cartn_y",
    "Cartn_z", "occupancy", "B_iso_or_equiv", "pdbx_formal_charge", "auth_seq_id", "auth_comp_id",
    "auth_asym_id", "auth_atom_id", "pdbx_PDB_model_num",
]

HEADER = """\
data_SYNTH
#
_entry.id SYNTH
#
_struct.entry_id SYNTH
_struct.title
;Synthetic structure for reader benchmarks: protein chains,
a DNA strand and waters, coordinates from a seeded generator
;
_struct.pdbx_descriptor ?
#
_cell.entry_id SYNTH
_cell.length_a 61.234
_cell.length_b 72.500
_cell.length_c 88.010
_cell.angle_alpha 90.00
_cell.angle_beta 90.00
_cell.angle_gamma 90.00
_cell.Z_PDB 8
#
_symmetry.entry_id SYNTH
_symmetry.space_group_name_H-M 'P 21 21 21'
#
_exptl.entry_id SYNTH
_exptl.method 'X-RAY DIFFRACTION'
#
loop_
_entity.id
_entity.type
_entity.pdbx_description
1 polymer 'Synthetic protein'
2 polymer "5'-D(*CP*GP*AP*T)-3'"
3 water water
#
"""


def element(name):
    """The element of an atom name (the first letter: these are C, N, O, P, S)."""
    return name[0]


def quoted(name):
    return f'"{name}"' if "'" in name else name


def chain_id(k):
    """A, B, ..., Z, AA, AB, ...: the names large entries give their chains."""
    name = ""
    k += 1
    while k:
        k, r = divmod(k - 1, 26)
        name = chr(65 + r) + name
    return name


def residues(rnd):
    """Endless (entity, kind, comp, atom names) per residue: a protein of
    about 85% of the atoms, then DNA, then waters, in repeating chains."""
    amino = sorted(AMINO)
    while True:
        for _ in range(1000):
            comp = amino[rnd.randrange(len(amino))]
            yield "1", "ATOM", comp, BACKBONE + AMINO[comp]
        for _ in range(24):
            comp = "DA DC DG DT".split()[rnd.randrange(4)]
            yield "2", "ATOM", comp, SUGAR + BASES[comp]
        for _ in range(200):
            yield "3", "HETATM", "HOH", ["O"]


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    atoms, out = int(argv[1]), argv[2]
    rnd = random.Random(4_231_977)
    uniform = rnd.uniform

    def walk(c):
        c += uniform(-1.5, 1.5)
        return c if -90.0 < c < 90.0 else c - 3.0 if c > 0 else c + 3.0
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write(HEADER)
        f.write("loop_\n" + "".join(f"_atom_site.{c}\n" for c in COLUMNS))
        rows, n, chain_no, last_entity, seq = [], 0, -1, None, 0
        x, y, z = 10.0, 20.0, 30.0
        for entity, group, comp, names in residues(rnd):
            if n >= atoms:
                break
            if entity != last_entity:
                chain_no, last_entity, seq = chain_no + 1, entity, 0
            # Waters are numbered from 2001 by their author, as is common.
            seq = 2001 if entity == "3" and seq == 0 else seq + 1
            chain = chain_id(chain_no)
            label_seq = "." if entity == "3" else seq
            for name in names:
                n += 1
                if n > atoms:
                    break
                # A random walk keeps neighbouring atoms close, as in a
                # model; it turns back at the edges of a 180 Å box.
                x, y, z = walk(x), walk(y), walk(z)
                alt = "A" if n % 97 == 0 else "."
                occ = "0.50" if alt == "A" else "1.00"
                atom = quoted(name)
                rows.append(f"{group:<6} {n} {element(name)} {atom} {alt} {comp} {chain} {entity} "
                            f"{label_seq} ? {x:.3f} {y:.3f} {z:.3f} {occ} "
                            f"{uniform(5, 80):.2f} ? {seq} {comp} {chain} {atom} 1\n")
            if len(rows) >= 20_000:
                f.write("".join(rows))
                rows.clear()
        f.write("".join(rows))
        f.write("#\n")


if __name__ == "__main__":
    main(sys.argv)
