#!/usr/bin/env python3
"""Write the inputs of bench/archive: a generated archive of gzip-compressed
mmCIF entries and a folder of small-molecule CIFs, deterministic for a seed.

  gen_archive.py mmcif OUT_DIR COUNT    COUNT entries, 1 KB to 20 MB of text,
                                        median about 300 KB, about 60 categories
                                        each (a few large loops, many small ones)
  gen_archive.py small OUT_DIR COUNT    COUNT CIF 1.1 files of about 20 KB
"""

from __future__ import annotations

import gzip
import math
import os
import random
import sys

ELEMENTS = ["C", "N", "O", "S", "H", "P", "FE", "ZN", "MG", "CL"]
RESIDUES = ["ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE", "LEU", "LYS", "MET",
            "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL"]
ATOMS = ["N", "CA", "C", "O", "CB", "CG", "CD", "NE", "CZ", "OG", "SD", "CE"]

# Small categories of an entry: name → tags (one row of key-value pairs, or
# a short loop).
SMALL = {
    "entry": ["id"], "audit_conform": ["dict_name", "dict_version", "dict_location"],
    "database_2": ["database_id", "database_code", "pdbx_database_accession", "pdbx_DOI"],
    "pdbx_database_status": ["status_code", "entry_id", "recvd_initial_deposition_date", "deposit_site",
                             "process_site", "SG_entry", "pdb_format_compatible"],
    "audit_author": ["name", "pdbx_ordinal", "identifier_ORCID"],
    "citation": ["id", "title", "journal_abbrev", "journal_volume", "page_first", "page_last", "year",
                 "pdbx_database_id_DOI", "country"],
    "citation_author": ["citation_id", "name", "ordinal"],
    "cell": ["entry_id", "length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma",
             "Z_PDB", "pdbx_unique_axis"],
    "symmetry": ["entry_id", "space_group_name_H-M", "pdbx_full_space_group_name_H-M", "cell_setting",
                 "Int_Tables_number"],
    "entity": ["id", "type", "src_method", "pdbx_description", "formula_weight", "pdbx_number_of_molecules",
               "pdbx_ec", "pdbx_mutation", "pdbx_fragment", "details"],
    "entity_poly": ["entity_id", "type", "nstd_linkage", "nstd_monomer", "pdbx_seq_one_letter_code",
                    "pdbx_strand_id"],
    "entity_src_gen": ["entity_id", "pdbx_src_id", "pdbx_alt_source_flag", "gene_src_common_name",
                       "pdbx_gene_src_scientific_name", "pdbx_host_org_scientific_name"],
    "struct_ref": ["id", "db_name", "db_code", "pdbx_db_accession", "entity_id", "pdbx_seq_one_letter_code",
                   "pdbx_align_begin"],
    "struct_ref_seq": ["align_id", "ref_id", "pdbx_PDB_id_code", "pdbx_strand_id", "seq_align_beg",
                       "seq_align_end", "pdbx_db_accession", "db_align_beg", "db_align_end"],
    "chem_comp": ["id", "type", "mon_nstd_flag", "name", "pdbx_synonyms", "formula", "formula_weight"],
    "exptl": ["entry_id", "method", "crystals_number"],
    "exptl_crystal": ["id", "density_meas", "density_Matthews", "density_percent_sol", "description"],
    "exptl_crystal_grow": ["crystal_id", "method", "temp", "pH", "pdbx_details"],
    "diffrn": ["id", "ambient_temp", "crystal_id"],
    "diffrn_detector": ["diffrn_id", "detector", "type", "pdbx_collection_date"],
    "diffrn_radiation": ["diffrn_id", "wavelength_id", "pdbx_monochromatic_or_laue_m_l",
                         "monochromator", "pdbx_diffrn_protocol", "pdbx_scattering_type"],
    "diffrn_radiation_wavelength": ["id", "wavelength", "wt"],
    "diffrn_source": ["diffrn_id", "source", "type", "pdbx_synchrotron_site", "pdbx_wavelength_list"],
    "reflns": ["entry_id", "observed_criterion_sigma_I", "d_resolution_high", "d_resolution_low",
               "number_obs", "percent_possible_obs", "pdbx_Rmerge_I_obs", "pdbx_netI_over_sigmaI",
               "pdbx_redundancy", "pdbx_diffrn_id", "pdbx_ordinal"],
    "reflns_shell": ["d_res_high", "d_res_low", "percent_possible_all", "Rmerge_I_obs",
                     "pdbx_redundancy", "pdbx_diffrn_id", "pdbx_ordinal"],
    "refine": ["entry_id", "pdbx_refine_id", "ls_number_reflns_obs", "ls_d_res_low", "ls_d_res_high",
               "ls_percent_reflns_obs", "ls_R_factor_obs", "ls_R_factor_R_work", "ls_R_factor_R_free",
               "ls_percent_reflns_R_free", "B_iso_mean", "aniso_B[1][1]", "aniso_B[2][2]",
               "aniso_B[3][3]", "pdbx_method_to_determine_struct", "pdbx_stereochemistry_target_values"],
    "refine_hist": ["pdbx_refine_id", "cycle_id", "pdbx_number_atoms_protein", "pdbx_number_atoms_nucleic_acid",
                    "pdbx_number_atoms_ligand", "number_atoms_solvent", "number_atoms_total",
                    "d_res_high", "d_res_low"],
    "refine_ls_restr": ["type", "dev_ideal", "dev_ideal_target", "weight", "number", "pdbx_refine_id"],
    "refine_ls_shell": ["pdbx_refine_id", "d_res_high", "d_res_low", "number_reflns_R_work",
                        "R_factor_R_work", "percent_reflns_obs", "R_factor_R_free"],
    "software": ["name", "classification", "version", "citation_id", "pdbx_ordinal"],
    "struct": ["entry_id", "title", "pdbx_descriptor", "pdbx_model_details", "pdbx_CASP_flag"],
    "struct_keywords": ["entry_id", "pdbx_keywords", "text"],
    "struct_asym": ["id", "pdbx_blank_PDB_chainid_flag", "pdbx_modified", "entity_id", "details"],
    "struct_biol": ["id", "details"],
    "struct_conf": ["conf_type_id", "id", "pdbx_PDB_helix_id", "beg_label_comp_id", "beg_label_asym_id",
                    "beg_label_seq_id", "end_label_comp_id", "end_label_asym_id", "end_label_seq_id",
                    "pdbx_PDB_helix_class", "details", "pdbx_PDB_helix_length"],
    "struct_conf_type": ["id", "criteria", "reference"],
    "struct_sheet": ["id", "type", "number_strands", "details"],
    "struct_sheet_order": ["sheet_id", "range_id_1", "range_id_2", "offset", "sense"],
    "struct_sheet_range": ["sheet_id", "id", "beg_label_comp_id", "beg_label_asym_id", "beg_label_seq_id",
                           "end_label_comp_id", "end_label_asym_id", "end_label_seq_id"],
    "struct_site": ["id", "pdbx_evidence_code", "pdbx_auth_asym_id", "pdbx_auth_comp_id", "pdbx_auth_seq_id",
                    "details"],
    "struct_site_gen": ["id", "site_id", "pdbx_num_res", "label_comp_id", "label_asym_id", "label_seq_id",
                        "symmetry", "details"],
    "atom_sites": ["entry_id", "fract_transf_matrix[1][1]", "fract_transf_matrix[1][2]",
                   "fract_transf_matrix[2][2]", "fract_transf_matrix[3][3]", "fract_transf_vector[1]"],
    "atom_type": ["symbol"],
    "pdbx_struct_assembly": ["id", "details", "method_details", "oligomeric_details", "oligomeric_count"],
    "pdbx_struct_assembly_gen": ["assembly_id", "oper_expression", "asym_id_list"],
    "pdbx_struct_oper_list": ["id", "type", "name", "symmetry_operation", "matrix[1][1]", "matrix[1][2]",
                              "matrix[1][3]", "vector[1]", "matrix[2][1]", "matrix[2][2]", "matrix[2][3]",
                              "vector[2]", "matrix[3][1]", "matrix[3][2]", "matrix[3][3]", "vector[3]"],
    "pdbx_audit_revision_history": ["ordinal", "data_content_type", "major_revision", "minor_revision",
                                    "revision_date"],
    "pdbx_audit_revision_details": ["ordinal", "revision_ordinal", "data_content_type", "provider", "type"],
    "pdbx_audit_revision_group": ["ordinal", "revision_ordinal", "data_content_type", "group"],
    "pdbx_validate_torsion": ["id", "PDB_model_num", "auth_comp_id", "auth_asym_id", "auth_seq_id",
                              "PDB_ins_code", "label_alt_id", "phi", "psi"],
    "pdbx_validate_close_contact": ["id", "PDB_model_num", "auth_atom_id_1", "auth_asym_id_1",
                                    "auth_comp_id_1", "auth_seq_id_1", "auth_atom_id_2", "auth_asym_id_2",
                                    "auth_comp_id_2", "auth_seq_id_2", "dist"],
    "pdbx_entity_nonpoly": ["entity_id", "name", "comp_id"],
    "pdbx_nonpoly_scheme": ["asym_id", "entity_id", "mon_id", "ndb_seq_num", "pdb_seq_num", "auth_seq_num",
                            "pdb_mon_id", "auth_mon_id", "pdb_strand_id", "pdb_ins_code"],
    "pdbx_unobs_or_zero_occ_residues": ["id", "PDB_model_num", "polymer_flag", "occupancy_flag",
                                        "auth_asym_id", "auth_comp_id", "auth_seq_id", "PDB_ins_code",
                                        "label_asym_id", "label_comp_id", "label_seq_id"],
}

WORDS = ["protein", "crystal", "structure", "of", "the", "human", "kinase", "domain", "in", "complex", "with",
         "inhibitor", "bound", "form", "mutant", "'quoted text'", "X-RAY DIFFRACTION", "?", "."]


def word(rnd: random.Random) -> str:
    r = rnd.random()
    if r < 0.45:
        return f"{rnd.uniform(-100, 400):.3f}"
    if r < 0.6:
        return str(rnd.randint(1, 5000))
    if r < 0.75:
        return rnd.choice(RESIDUES)
    if r < 0.9:
        return rnd.choice(["?", ".", "A", "B", "yes", "no", "1"])
    text = " ".join(rnd.choice(WORDS[:15]) for _ in range(rnd.randint(2, 6)))
    return f"'{text}'"


def small_category(rnd: random.Random, name: str, tags: list[str], out: list[str]) -> None:
    rows = 1 if rnd.random() < 0.55 else rnd.randint(2, 12)
    if rows == 1:
        width = max(len(t) for t in tags) + len(name) + 3
        for t in tags:
            out.append(f"_{name}.{t}".ljust(width) + word(rnd) + "\n")
    else:
        out.append("loop_\n")
        out.extend(f"_{name}.{t}\n" for t in tags)
        for _ in range(rows):
            out.append(" ".join(word(rnd) for _ in tags) + "\n")
    out.append("#\n")


def entry_text(rnd: random.Random, code: str, size: int) -> str:
    out = [f"data_{code}\n#\n"]
    names = list(SMALL)
    rnd.shuffle(names)
    for name in sorted(names[:52]):
        small_category(rnd, name, SMALL[name], out)
    used = sum(len(s) for s in out)
    # The large loops share what remains: the sequence, then the atoms.
    budget = max(0, size - used)
    seq_rows = max(1, budget // 2000)
    out.append("loop_\n" + "".join(f"_entity_poly_seq.{t}\n" for t in ("entity_id", "num", "mon_id", "hetero")))
    out.extend(f"1 {i + 1} {rnd.choice(RESIDUES)} n\n" for i in range(seq_rows))
    out.append("#\nloop_\n" + "".join(f"_pdbx_poly_seq_scheme.{t}\n" for t in (
        "asym_id", "entity_id", "seq_id", "mon_id", "ndb_seq_num", "pdb_seq_num", "auth_seq_num",
        "pdb_mon_id", "auth_mon_id", "pdb_strand_id", "pdb_ins_code", "hetero")))
    out.extend(f"A 1 {i + 1} {r} {i + 1} {i + 1} {i + 1} {r} {r} A . n\n"
               for i, r in ((i, rnd.choice(RESIDUES)) for i in range(seq_rows)))
    conn = max(1, seq_rows // 20)
    out.append("#\nloop_\n" + "".join(f"_struct_conn.{t}\n" for t in (
        "id", "conn_type_id", "ptnr1_label_asym_id", "ptnr1_label_comp_id", "ptnr1_label_seq_id",
        "ptnr1_label_atom_id", "ptnr2_label_asym_id", "ptnr2_label_comp_id", "ptnr2_label_seq_id",
        "ptnr2_label_atom_id", "pdbx_dist_value")))
    out.extend(f"disulf{i + 1} disulf A CYS {rnd.randint(1, 500)} SG A CYS {rnd.randint(1, 500)} SG "
               f"{rnd.uniform(1.9, 2.2):.3f}\n" for i in range(conn))
    out.append("#\nloop_\n" + "".join(f"_atom_site.{t}\n" for t in (
        "group_PDB", "id", "type_symbol", "label_atom_id", "label_alt_id", "label_comp_id", "label_asym_id",
        "label_entity_id", "label_seq_id", "pdbx_PDB_ins_code", "Cartn_x", "Cartn_y", "Cartn_z", "occupancy",
        "B_iso_or_equiv", "pdbx_formal_charge", "auth_seq_id", "auth_comp_id", "auth_asym_id",
        "auth_atom_id", "pdbx_PDB_model_num")))
    used = sum(len(s) for s in out)
    atoms = max(1, (size - used) // 98)
    u = rnd.uniform
    lines = []
    for i in range(atoms):
        res = RESIDUES[(i // 8) % 20]
        atom = ATOMS[i % 12]
        seq = i // 8 + 1
        lines.append(f"ATOM   {i + 1:<6} {atom[0]} {atom:<4} . {res} A 1 {seq:<4} ? {u(-80, 80):8.3f} "
                     f"{u(-80, 80):8.3f} {u(-80, 80):8.3f} 1.00 {u(5, 90):6.2f} ? {seq:<4} {res} A {atom:<4} 1\n")
    out.extend(lines)
    out.append("#\n")
    return "".join(out)


def entry_size(rnd: random.Random) -> int:
    # Log-normal around 300 KB, clipped to 1 KB .. 20 MB.
    return int(min(20e6, max(1e3, math.exp(rnd.gauss(math.log(300e3), 1.0)))))


def small_text(rnd: random.Random, code: str) -> str:
    out = [f"data_{code}\n"]
    items = {
        "_audit_creation_method": "'generated for a benchmark'", "_chemical_formula_sum": "'C12 H10 N2 O4'",
        "_chemical_formula_weight": f"{rnd.uniform(100, 900):.2f}", "_symmetry_cell_setting": "monoclinic",
        "_symmetry_space_group_name_H-M": "'P 1 21/c 1'", "_cell_length_a": f"{rnd.uniform(4, 30):.4f}(3)",
        "_cell_length_b": f"{rnd.uniform(4, 30):.4f}(4)", "_cell_length_c": f"{rnd.uniform(4, 30):.4f}(5)",
        "_cell_angle_alpha": "90.00", "_cell_angle_beta": f"{rnd.uniform(90, 120):.3f}(2)",
        "_cell_angle_gamma": "90.00", "_cell_volume": f"{rnd.uniform(300, 4000):.1f}(2)",
        "_cell_formula_units_Z": "4", "_cell_measurement_temperature": "293(2)",
        "_exptl_crystal_description": "prism", "_exptl_crystal_colour": "colourless",
        "_exptl_absorpt_coefficient_mu": f"{rnd.uniform(0, 3):.3f}", "_diffrn_radiation_type": "MoK\\a",
        "_diffrn_radiation_wavelength": "0.71073", "_diffrn_reflns_number": str(rnd.randint(1000, 40000)),
        "_refine_ls_R_factor_gt": f"{rnd.uniform(0.02, 0.1):.4f}", "_refine_ls_wR_factor_ref": "0.1234",
        "_refine_ls_goodness_of_fit_ref": "1.045",
    }
    for k, v in items.items():
        out.append(f"{k:<40}{v}\n")
    out.append("_publ_section_comment\n;\nA generated structure, written to time readers of many small files.\n;\n")
    out.append("loop_\n_symmetry_equiv_pos_as_xyz\n'x, y, z'\n'-x, y+1/2, -z+1/2'\n'-x, -y, -z'\n'x, -y-1/2, z+1/2'\n")
    out.append("loop_\n_atom_type_symbol\n_atom_type_scat_dispersion_real\n_atom_type_scat_dispersion_imag\n"
               "C 0.0033 0.0016\nH 0.0000 0.0000\nN 0.0061 0.0033\nO 0.0106 0.0060\n")
    n = rnd.randint(80, 120)
    labels = [f"{rnd.choice('CNO')}{i + 1}" for i in range(n)]
    out.append("loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
               "_atom_site_fract_z\n_atom_site_U_iso_or_equiv\n_atom_site_adp_type\n_atom_site_occupancy\n")
    for lab in labels:
        out.append(f"{lab} {lab[0]} {rnd.random():.5f}({rnd.randint(1, 9)}) {rnd.random():.5f}({rnd.randint(1, 9)}) "
                   f"{rnd.random():.5f}({rnd.randint(1, 9)}) {rnd.uniform(0.01, 0.08):.4f}(3) Uani 1\n")
    out.append("loop_\n_atom_site_aniso_label\n_atom_site_aniso_U_11\n_atom_site_aniso_U_22\n"
               "_atom_site_aniso_U_33\n_atom_site_aniso_U_23\n_atom_site_aniso_U_13\n_atom_site_aniso_U_12\n")
    for lab in labels:
        out.append(lab + "".join(f" {rnd.uniform(-0.05, 0.08):.4f}({rnd.randint(1, 9)})" for _ in range(6)) + "\n")
    out.append("loop_\n_geom_bond_atom_site_label_1\n_geom_bond_atom_site_label_2\n_geom_bond_distance\n"
               "_geom_bond_publ_flag\n")
    for _ in range(n + 4):
        out.append(f"{rnd.choice(labels)} {rnd.choice(labels)} {rnd.uniform(1.0, 1.6):.3f}(2) ?\n")
    out.append("loop_\n_geom_angle_atom_site_label_1\n_geom_angle_atom_site_label_2\n"
               "_geom_angle_atom_site_label_3\n_geom_angle\n_geom_angle_publ_flag\n")
    for _ in range(2 * n):
        out.append(f"{rnd.choice(labels)} {rnd.choice(labels)} {rnd.choice(labels)} {rnd.uniform(100, 125):.2f}(15) ?\n")
    return "".join(out)


def main() -> None:
    kind, out_dir, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    os.makedirs(out_dir, exist_ok=True)
    for i in range(count):
        rnd = random.Random(i * 7919 + (1 if kind == "mmcif" else 2))
        if kind == "mmcif":
            code = f"{i % 9 + 1}{chr(65 + i // 9 % 26)}{chr(65 + i // 234 % 26)}{i // 6084 % 10}"
            sub = os.path.join(out_dir, code[1:3].lower())
            os.makedirs(sub, exist_ok=True)
            data = entry_text(rnd, code, entry_size(rnd)).encode()
            with open(os.path.join(sub, f"{code.lower()}.cif.gz"), "wb") as f:
                f.write(gzip.compress(data, compresslevel=6, mtime=0))
        elif kind == "small":
            sub = os.path.join(out_dir, f"{i // 1000:03}")
            os.makedirs(sub, exist_ok=True)
            with open(os.path.join(sub, f"{7000000 + i}.cif"), "w", encoding="utf-8") as f:
                f.write(small_text(rnd, str(7000000 + i)))
        else:
            sys.exit(f"unknown kind {kind!r}: mmcif or small")


if __name__ == "__main__":
    main()
