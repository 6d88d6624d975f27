"""Tests of the joint field's functions: joint_field, and field_map and
field_profile with elements=[...], against the command line's numbers for the
same files (a synthetic steel written by scripts/synthetic-dataset, and small
runs written here), and the command line's messages for bad input."""

import csv
import io
import math
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import veltrane
from ctrl_c import interrupted_by_ctrl_c

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON = os.environ.get("VELTRANE_PYTHON", sys.executable)
SCRIPT = str(ROOT / "scripts" / "synthetic-dataset")

EPOS_RECORD = np.dtype([("x", ">f4"), ("y", ">f4"), ("z", ">f4"), ("mass", ">f4"),
                        ("tof", ">f4"), ("v_dc", ">f4"), ("v_pulse", ">f4"), ("det_x", ">f4"),
                        ("det_y", ">f4"), ("pulse_delta", ">u4"), ("multiplicity", ">u4")])

# Iron and chromium at 1+ and 2+ with a 52Cr4+ range at 13 Da; iron's 56Fe at
# both charges, chromium's 52Cr at 1+ and 4+ only, which no field gives.
FOUR_RANGES = ("[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=6\n"
               "Range1=12.90 13.05 Cr:1\nRange2=25.90 26.05 Cr:1\nRange3=27.90 28.05 Fe:1\n"
               "Range4=51.85 52.05 Cr:1\nRange5=55.85 56.05 Fe:1\nRange6=56.85 57.05 Fe:1\n")
FOUR_IONS = {55.9349375: 4000, 55.9349375 / 2: 1000, 51.9405075: 1000, 51.9405075 / 4: 500}

# Chromium ranged at 1+ only; its 2+ lies in the 27 Da range with 27Al+.
SINGULAR_RANGES = ("[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=6\n"
                   "Range1=26.92 27.05 Fe:1\nRange2=27.90 28.05 Fe:1\nRange3=51.85 52.05 Cr:1\n"
                   "Range4=53.85 54.05 Fe:1\nRange5=55.85 56.05 Fe:1\nRange6=56.85 57.05 Fe:1\n")
SINGULAR_IONS = {55.9349375: 4000, 55.9349375 / 2: 1000, 53.9396105: 240, 53.9396105 / 2: 60,
                 51.9405075: 1000, 26.98153844: 50}


def write_epos(path, ions):
    mass = np.concatenate([np.full(n, m, dtype=np.float32) for m, n in ions.items()])
    records = np.zeros(len(mass), dtype=EPOS_RECORD)
    records["mass"] = mass
    records["v_dc"] = 5000.0
    records["multiplicity"] = 1
    records.tofile(path)
    return str(path)


def cli(*args):
    done = subprocess.run([os.environ["VELTRANE_CLI"], *map(str, args)], capture_output=True,
                          text=True)
    return done


def rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def same(text, value):
    """A CSV number (shortest_number: reads back as the same double) and a value."""
    number = float(text)
    if math.isnan(number):
        return math.isnan(value)
    return number == value


@pytest.fixture(scope="module")
def steel(tmp_path_factory):
    out = tmp_path_factory.mktemp("joint")
    done = subprocess.run([PYTHON, SCRIPT, "--alloy", "steel", "--ions", "150000",
                           "--output-dir", str(out), "--name", "steel"], capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    return {"epos": str(out / "steel.epos"), "rrng": str(out / "steel.rrng"), "dir": out}


@pytest.fixture(scope="module")
def awkward(tmp_path_factory):
    out = tmp_path_factory.mktemp("awkward")
    (out / "four.rrng").write_text(FOUR_RANGES)
    (out / "singular.rrng").write_text(SINGULAR_RANGES)
    return {"four": write_epos(out / "four.epos", FOUR_IONS), "four_rrng": str(out / "four.rrng"),
            "singular": write_epos(out / "singular.epos", SINGULAR_IONS),
            "singular_rrng": str(out / "singular.rrng")}


def check_answer_row(row, answer):
    assert same(row["E_V_per_nm"], answer["E"])
    assert same(row["E_low_V_per_nm"], answer["E_low"])
    assert same(row["E_high_V_per_nm"], answer["E_high"])


def test_joint_field_gives_the_command_lines_numbers(steel):
    for options, args in (({}, []),
                          ({"elements": ["Fe", "Cr", "Ni"], "ionisations": {"Fe": 3},
                            "confidence": 0.9, "background": True},
                           ["--elements", "Fe,Cr,Ni", "--ionisations", "Fe:3", "--confidence",
                            "0.9", "--background"]),
                          ({"elements": ["Fe", "Cr", "Ni"], "ionisations": {"Fe": 3},
                            "background": True, "mass_tolerance": "0"},
                           ["--elements", "Fe,Cr,Ni", "--ionisations", "Fe:3", "--background",
                            "--mass-tolerance", "0"])):
        r = veltrane.joint_field(steel["epos"], steel["rrng"], **options)
        done = cli("field", "--data", steel["epos"], "--ranges", steel["rrng"], "--csv", *args)
        assert done.returncode == 0, done.stderr
        table = rows(done.stdout)
        assert table[0]["element"] == "all"
        check_answer_row(table[0], r)
        assert same(table[0]["p_value"], r["p_value"]) and same(table[0]["G2"], r["G2"])
        assert int(table[0]["dof"]) == r["dof"] and table[0]["used"] == "yes"
        assert [row["element"] for row in table[1:]] == r["symbols"]
        for row in table[1:]:
            part = r["elements"][row["element"]]
            check_answer_row(row, part if part["used"] else
                             {"E": math.nan, "E_low": math.nan, "E_high": math.nan})
            assert int(row["n"]) == part["n"]
            assert row["charges"] == ";".join(f"{q}+" for q in part["charges"])
            assert [float(c) for c in row["counts"].split(";")] == list(part["counts"])
            assert same(row["ions"], part["ions"])
            assert row["used"] == ("yes" if part["used"] else "no")
        # Its words, as the command line prints them.
        assert f"{r['words']['answer']}\n" in done.stderr
        assert r["messages"][0] in done.stderr
        assert r["found"] and r["E_low"] < r["E"] < r["E_high"]
    assert r["background"] and r["symbols"] == ["Cr", "Fe", "Ni"]
    assert r["elements"]["Fe"]["n"] == 3


def test_decomposition_as_the_command_line_words_it(steel):
    r = veltrane.joint_field(steel["epos"], steel["rrng"])
    done = cli("field", "--data", steel["epos"], "--ranges", steel["rrng"])
    assert done.returncode == 0, done.stderr
    d = r["decomposition"]
    assert len(d["species"]) == len(d["amount"]) == len(d["sigma"]) == len(d["separable"])
    assert "Fe2+" in d["species"] and "Al+" in d["species"]
    for label, amount, sigma in zip(d["species"], d["amount"], d["sigma"]):
        assert f"\n  {label}: {amount:.6g} \u00b1 {sigma:.6g} ions\n" in done.stdout, label
    # Every range's counts, and all the ions.
    assert r["range_counts"].dtype == np.uint64 and len(r["range_counts"]) > 30
    assert r["ions"] == 150000


def test_joint_map_gives_the_command_lines_bins(steel):
    m = veltrane.field_map(steel["epos"], steel["rrng"], elements="Fe,Cr,Ni", bin=8.0,
                           min_counts=200)
    done = cli("map", "--data", steel["epos"], "--ranges", steel["rrng"], "--elements", "Fe,Cr,Ni",
               "--bin", "8", "--min-counts", "200", "--output", "-")
    assert done.returncode == 0, done.stderr
    table = rows(done.stdout)
    nx, ny = len(m["x_edges"]) - 1, len(m["y_edges"]) - 1
    assert m["E"].shape == (nx, ny) and m["ions"].dtype == np.int64
    assert int(m["ions"].sum()) == sum(int(row["ions"]) for row in table)
    for row in table:
        i = int(round((float(row["x_mm"]) - 4.0 - m["x_edges"][0]) / 8.0))
        j = int(round((float(row["y_mm"]) - 4.0 - m["y_edges"][0]) / 8.0))
        assert int(row["ions"]) == m["ions"][i, j]
        for column, key in (("E_V_per_nm", "E"), ("E_low_V_per_nm", "E_low"),
                            ("E_high_V_per_nm", "E_high"), ("p_value", "p_value")):
            assert same(row[column], m[key][i, j]), (column, i, j)
        for symbol in m["symbols"]:
            assert same(row[f"E_{symbol}_V_per_nm"], m["element_E"][symbol][i, j])
        assert m["masked"][i, j] == math.isnan(float(row["E_V_per_nm"]))
    assert m["symbols"] == ["Cr", "Fe", "Ni"] and m["over"] == "detector" and m["bin"] == 8.0
    assert m["overall"]["found"]
    # Most bins have a field, and their intervals hold it.
    found = ~m["masked"]
    assert found.sum() > 0.5 * (m["ions"] > 0).sum()
    assert np.all(m["E_low"][found] <= m["E"][found])


def test_joint_profile_gives_the_command_lines_blocks(steel):
    for kf in (None, 3.3):
        p = veltrane.field_profile(steel["epos"], steel["rrng"], elements=["Fe", "Cr"],
                                   block=40000, kf=kf)
        args = ["--kf", str(kf)] if kf else []
        done = cli("profile", "--data", steel["epos"], "--ranges", steel["rrng"], "--elements",
                   "Fe,Cr", "--block", "40000", *args)
        assert done.returncode == 0, done.stderr
        table = rows(done.stdout)
        assert len(table) == len(p["E"]) == 4
        for b, row in enumerate(table):
            assert int(row["first_ion"]) == p["first_ion"][b]
            assert int(row["last_ion"]) == p["last_ion"][b]
            assert int(row["ions"]) == p["ions"][b]
            for column, key in (("E_V_per_nm", "E"), ("E_low_V_per_nm", "E_low"),
                                ("E_high_V_per_nm", "E_high"), ("p_value", "p_value"),
                                ("V_dc_V", "v_dc")):
                assert same(row[column], p[key][b]), column
            radius = row["R_nm"] if kf else row["kfR_nm"]
            assert same(radius, p["R"][b] if kf else p["kfR"][b])
        assert p["voltage_unit"] == "V" and p["kf"] == kf
        assert ("R" in p) == (kf is not None)
    # R = V / (k_f E).
    np.testing.assert_allclose(p["R"], p["v_dc"] / (3.3 * p["E"]), rtol=1e-15)


def test_pair_versions_are_as_they_were(steel):
    m = veltrane.field_map(steel["epos"], steel["rrng"], "Fe", 2, pair=(1, 2), bin=8.0)
    assert "N_lower" in m and "p_value" not in m
    p = veltrane.field_profile(steel["epos"], steel["rrng"], "Iron", 2, pair=(1, 2), block=50000)
    assert "N_lower" in p and len(p["E"]) == 3


def test_elements_no_field_gives_are_left_out_and_named(awkward):
    r = veltrane.joint_field(awkward["four"], awkward["four_rrng"])
    assert r["found"] and r["used"] == ["Fe"]
    assert not r["elements"]["Cr"]["used"]
    assert r["elements"]["Cr"]["note"].startswith(
        "Cr is left out here: no field of the model gives its ions (1+ 1000, 4+ 500) together")
    alone = veltrane.joint_field(awkward["four"], awkward["four_rrng"], elements=["Cr"])
    assert not alone["found"] and math.isnan(alone["E"])
    assert alone["no_field"] == "no field of the model gives the ions of Cr"
    done = cli("field", "--data", awkward["four"], "--ranges", awkward["four_rrng"], "--elements",
               "Cr")
    assert done.returncode == 2
    assert f"{alone['words']['answer']}\n" in done.stdout

    s = veltrane.joint_field(awkward["singular"], awkward["singular_rrng"])
    d = s["decomposition"]
    for label, other in (("Al+", "Cr2+"), ("Cr2+", "Al+")):
        k = d["species"].index(label)
        assert not d["separable"][k] and math.isnan(d["amount"][k])
        assert d["inseparable_from"][k] == other
    assert any("cannot tell Al+ and Cr2+ apart" in m for m in s["messages"])


@pytest.mark.parametrize("call, args", [
    (lambda f: veltrane.joint_field(*f, elements=["Bi"]), ["field", "--elements", "Bi"]),
    (lambda f: veltrane.joint_field(*f, elements="Fe,,Cr"), ["field", "--elements", "Fe,,Cr"]),
    (lambda f: veltrane.joint_field(*f, elements=["Kryptonite"]),
     ["field", "--elements", "Kryptonite"]),
    (lambda f: veltrane.joint_field(*f, ionisations="Fe:x"), ["field", "--ionisations", "Fe:x"]),
    (lambda f: veltrane.joint_field(*f, elements=["Fe"], ionisations={"Cr": 2}),
     ["field", "--elements", "Fe", "--ionisations", "Cr:2"]),
    (lambda f: veltrane.joint_field(*f, ionisations=7), ["field", "--ionisations", "7"]),
    (lambda f: veltrane.joint_field(*f, confidence=1.5), ["field", "--confidence", "1.5"]),
    (lambda f: veltrane.joint_field(*f, min_counts=-1), ["field", "--min-counts", "-1"]),
    (lambda f: veltrane.field_map(*f, elements=["Fe"], bin=0.0),
     ["map", "--elements", "Fe", "--bin", "0"]),
    (lambda f: veltrane.field_profile(*f, elements=["Fe"], kf=-1.0),
     ["profile", "--elements", "Fe", "--kf", "-1"]),
])
def test_bad_input_raises_the_command_lines_message(steel, call, args):
    done = cli(*args[:1], "--data", steel["epos"], "--ranges", steel["rrng"], *args[1:])
    assert done.returncode == 2
    # The command line names the option its value came from; Python raises
    # the same words about the keyword.
    def words(text):
        return re.sub(r"^--[a-z-]+: ", "", text)
    message = words(done.stderr.strip().removeprefix("veltrane-curves: "))
    with pytest.raises(ValueError) as raised:
        call((steel["epos"], steel["rrng"]))
    assert words(str(raised.value)) == message


def test_bad_arguments_of_python_alone(steel):
    files = (steel["epos"], steel["rrng"])
    with pytest.raises(ValueError, match='over must be "detector" or "specimen"'):
        veltrane.field_map(*files, elements=["Fe"], over="sideways")
    with pytest.raises(ValueError, match='method must be "accurate" or "exact"'):
        veltrane.joint_field(*files, method="fast")
    with pytest.raises(ValueError, match='block must be a whole number of at least 1, not "0"'):
        veltrane.field_profile(*files, elements=["Fe"], block=0)
    with pytest.raises(ValueError, match='threads must be a whole number'):
        veltrane.joint_field(*files, threads=-1)
    with pytest.raises(ValueError, match="mass_tolerance: the mass tolerance 2 Da is above"):
        veltrane.joint_field(*files, mass_tolerance=2)
    with pytest.raises(TypeError, match="mass_tolerance must be None"):
        veltrane.field_map(*files, elements=["Fe"], mass_tolerance=[0.1])
    with pytest.raises(TypeError, match="elements must be None"):
        veltrane.joint_field(*files, elements=5)
    with pytest.raises(TypeError, match="ionisations must be None"):
        veltrane.joint_field(*files, ionisations=[2, 3])
    with pytest.raises(ValueError, match="cannot be opened for reading"):
        veltrane.joint_field(str(steel["dir"] / "missing.epos"), steel["rrng"])


def test_ctrl_c_stops_a_joint_map(steel):
    with interrupted_by_ctrl_c(every=0.02):
        for _ in range(100):
            veltrane.field_map(steel["epos"], steel["rrng"], elements=None, bin=0.5,
                               min_counts=1)
    # The module is as before.
    assert veltrane.joint_field(steel["epos"], steel["rrng"], elements=["Fe"])["found"]
