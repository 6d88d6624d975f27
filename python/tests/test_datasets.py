"""Tests of the module's dataset functions on small files written here: the
ions read back as stored, charge states counted exactly, and the fields of
the counts as the model's scalar searches give them."""

import json
import os
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pytest

import veltrane

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON = os.environ.get("VELTRANE_PYTHON", sys.executable)
CLI = os.environ.get("VELTRANE_CLI", "veltrane-curves")

EPOS_RECORD = np.dtype([("x", ">f4"), ("y", ">f4"), ("z", ">f4"), ("mass", ">f4"),
                        ("tof", ">f4"), ("v_dc", ">f4"), ("v_pulse", ">f4"), ("det_x", ">f4"),
                        ("det_y", ">f4"), ("pulse_delta", ">u4"), ("multiplicity", ">u4")])
FLOAT_COLUMNS = ("x", "y", "z", "mass", "tof", "v_dc", "v_pulse", "det_x", "det_y")

# W3+ of 182W, 183W, 184W and 186W (60.65, 60.98, 61.32, 61.98 Da) in the
# first range; W2+ of 183W, 184W and 186W (91.48, 91.98, 92.98 Da) in the
# second, which leaves out 182W2+ at 90.97 Da.
TUNGSTEN_RANGES = ("[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
                   "Range1=60.5 62.5 Vol:0.01 W:1 Color:FF0000\n"
                   "Range2=91.0 93.5 Vol:0.01 W:1\n")
A_3 = 26.5 + 14.31 + 30.64 + 28.43  # covered at 3+, atom %
A_2 = 14.31 + 30.64 + 28.43  # covered at 2+
FACTOR = A_2 / A_3  # the isotope factor A_2 / A_3 of 3+/2+


def write_pos(path, mass, x=None, y=None, z=None):
    n = len(mass)
    records = np.zeros((n, 4), dtype=">f4")
    for column, values in enumerate((x, y, z, mass)):
        if values is not None:
            records[:, column] = values
    records.tofile(path)
    return path


def write_epos(path, mass, **columns):
    records = np.zeros(len(mass), dtype=EPOS_RECORD)
    records["mass"] = mass
    records["multiplicity"] = 1
    for name, values in columns.items():
        records[name] = values
    records.tofile(path)
    return path


def write_ranges(path, text=TUNGSTEN_RANGES):
    path.write_text(text)
    return path


def tungsten_ions(counts):
    """Masses of W ions: counts maps a mass-to-charge to its number of ions."""
    return np.concatenate([np.full(n, m, dtype=np.float32) for m, n in counts.items()])


# Ions of the hand-made run: in the 3+ range (the bounds themselves
# included: 60.5 and 62.5 are exact in float32), in the 2+ range, and
# outside both; 59.0 and 90.0 lie in the background windows below them.
HAND_MADE = {60.5: 3, 60.65: 40, 61.32: 25, 62.5: 2, 91.475: 11, 91.975: 30, 93.5: 1,
             10.0: 7, 62.51: 4, 59.0: 5, 90.0: 9, 120.0: 6}
RAW_3 = 3 + 40 + 25 + 2
RAW_2 = 11 + 30 + 1


@pytest.fixture
def hand_made(tmp_path):
    mass = tungsten_ions(HAND_MADE)
    rng = np.random.default_rng(7)
    order = rng.permutation(len(mass))
    mass = mass[order]
    return {"mass": mass, "pos": write_pos(tmp_path / "run.pos", mass),
            "epos": write_epos(tmp_path / "run.epos", mass),
            "rrng": write_ranges(tmp_path / "W.rrng")}


def by_charge(counts):
    return {(c["symbol"], c["charge"]): c for c in counts["charges"]}


def test_read_data_gives_back_every_column_as_stored(tmp_path):
    # More ions than one chunk of decoding, so that the chunks' offsets count.
    n = 150_001
    rng = np.random.default_rng(3)
    columns = {name: rng.normal(0.0, 50.0, n).astype(np.float32) for name in FLOAT_COLUMNS}
    columns["mass"] = rng.uniform(1.0, 200.0, n).astype(np.float32)
    columns["v_dc"] = rng.uniform(3000.0, 9000.0, n).astype(np.float32)
    columns["pulse_delta"] = rng.integers(0, 2**32, n, dtype=np.uint32)
    columns["multiplicity"] = rng.integers(0, 4, n, dtype=np.uint32)
    data = veltrane.read_data(write_epos(tmp_path / "run.epos", **columns))
    assert data["format"] == "epos" and data["voltage_unit"] == "V" and data["notes"] == []
    for name, values in columns.items():
        assert data[name].dtype == values.dtype, name
        np.testing.assert_array_equal(data[name], values, err_msg=name)

    # Kilovolts are told from volts by the size of the DC voltage.
    columns["v_dc"] = rng.uniform(3.0, 9.0, n).astype(np.float32)
    kilovolts = veltrane.read_data(write_epos(tmp_path / "kv.epos", **columns))
    assert kilovolts["voltage_unit"] == "kV"
    np.testing.assert_array_equal(kilovolts["v_dc"], columns["v_dc"])

    pos = veltrane.read_data(write_pos(tmp_path / "run.pos", columns["mass"], columns["x"],
                                       columns["y"], columns["z"]))
    assert pos["format"] == "pos" and pos["voltage_unit"] is None
    assert set(pos) == {"mass", "x", "y", "z", "format", "voltage_unit", "notes"}
    for name in ("mass", "x", "y", "z"):
        assert pos[name].dtype == np.float32
        np.testing.assert_array_equal(pos[name], columns[name], err_msg=name)

    empty = veltrane.read_data(write_pos(tmp_path / "empty.pos", np.zeros(0)))
    assert empty["mass"].shape == (0,)


def test_bad_files_raise_value_error_naming_the_file(tmp_path, hand_made):
    (tmp_path / "short.pos").write_bytes(b"\0" * 17)
    (tmp_path / "short.epos").write_bytes(b"\0" * 45)
    for name in ("short.pos", "short.epos", "missing.epos"):
        with pytest.raises(ValueError, match=name):
            veltrane.read_data(str(tmp_path / name))
    with pytest.raises(ValueError, match="17 bytes is not a whole number of 16-byte records"):
        veltrane.read_data(tmp_path / "short.pos")
    # A mass that is not a number: nothing is read from the file.
    write_pos(tmp_path / "nan.pos", np.array([60.6, np.nan], dtype=np.float32))
    with pytest.raises(ValueError, match=r"nan\.pos: the mass of ion 1"):
        veltrane.read_data(tmp_path / "nan.pos")
    with pytest.raises(ValueError, match=r"nan\.pos: the mass of ion 1"):
        veltrane.charge_state_counts(tmp_path / "nan.pos", hand_made["rrng"])

    overlapping = write_ranges(tmp_path / "overlap.rrng",
                               "[Ions]\nNumber=2\nIon1=W\nIon2=Mo\n[Ranges]\nNumber=2\n"
                               "Range1=60.5 62.5 W:1\nRange2=62.0 63.0 Mo:1\n")
    with pytest.raises(ValueError, match=r"overlap\.rrng:8: the range 62–63 Da overlaps"):
        veltrane.read_ranges(overlapping)
    with pytest.raises(ValueError, match=r"gone\.rrng"):
        veltrane.read_ranges(tmp_path / "gone.rrng")
    with pytest.raises(ValueError, match=r"missing\.pos"):
        veltrane.charge_state_counts(tmp_path / "missing.pos", hand_made["rrng"])
    with pytest.raises(ValueError, match=r"gone\.rrng"):
        veltrane.field_map(hand_made["epos"], tmp_path / "gone.rrng", "Tungsten", 4)
    with pytest.raises(ValueError, match=r'unknown element "Tungstn"'):
        veltrane.charge_state_counts(hand_made["pos"], hand_made["rrng"], element="Tungstn")
    with pytest.raises(ValueError, match=r"no range of Fe alone"):
        veltrane.charge_state_counts(hand_made["pos"], hand_made["rrng"], element="Fe")


def test_read_ranges_gives_each_range_its_charge_and_the_files_notes(tmp_path):
    path = write_ranges(tmp_path / "WO.rrng",
                        "[Ions]\nNumber=2\nIon1=W\nIon2=O\n[Ranges]\nNumber=4\n"
                        "Range1=91.0 93.5 Vol:0.01 W:1\n"
                        "Range2=60.5 62.5 Vol:0.01585 W:1 Color:ff0000\n"
                        "Range3=66.2 66.4 Vol:0.02 W:1 O:1 Name:WO3+\n"
                        "Range4=91.0 93.5 Vol:0.01 W:1\n[Extra]\nKey=1\n")
    ranges = veltrane.read_ranges(path)
    assert [(r["low"], r["high"]) for r in ranges] == [(60.5, 62.5), (66.2, 66.4), (91.0, 93.5)]
    w3, wo, w2 = ranges
    assert w3["charge"] == 3 and w3["status"] == "assigned" and w3["fitting_charges"] == [3]
    assert w3["colour"] == "FF0000" and w3["volume"] == 0.01585 and w3["name"] == "W"
    assert w3["ions"] == [("W", 1)] and w3["message"] is None and w3["line"] == 8
    assert [i["label"] for i in w3["isotopes"]] == ["182W", "183W", "184W", "186W"]
    assert w3["isotopes"][2] == {"label": "184W", "mass_number": 184, "mass": 183.9509326,
                                 "abundance_percent": 30.64}
    assert w3["abundance_percent"] == pytest.approx(A_3, abs=1e-12)
    assert w2["charge"] == 2 and [i["mass_number"] for i in w2["isotopes"]] == [183, 184, 186]
    assert w2["colour"] is None
    assert wo["charge"] is None and wo["status"] == "molecular" and wo["isotopes"] == []
    assert wo["ions"] == [("W", 1), ("O", 1)] and wo["name"] == "WO3+"

    same, notes = veltrane.read_ranges(path, notes=True)
    assert same == ranges
    assert any(n.startswith(f"{path}:11:") and "[Extra]" in n for n in notes)
    assert any("counted once" in n for n in notes)

    # A range that two charges of its element fit has no charge.
    ambiguous = write_ranges(tmp_path / "O.rrng",
                             "[Ions]\nNumber=1\nIon1=O\n[Ranges]\nNumber=1\n"
                             "Range1=7.9 16.1 O:1\n")
    (o,) = veltrane.read_ranges(ambiguous)
    assert o["charge"] is None and o["status"] == "ambiguous"
    assert o["fitting_charges"] == [1, 2] and "O.rrng:6:" in o["message"]


def test_counts_are_exact_and_the_same_from_pos_and_epos(hand_made):
    results = [veltrane.charge_state_counts(hand_made[kind], hand_made["rrng"], element=element,
                                            threads=threads)
               for kind in ("pos", "epos") for element, threads in (("W", 1), ("Tungsten", 3))]
    for r in results:
        assert r["charges"] == results[0]["charges"]
    every = veltrane.charge_state_counts(hand_made["pos"], hand_made["rrng"])
    assert every["symbol"] is None and every["charges"] == results[0]["charges"]

    counts = results[0]
    assert counts["symbol"] == "W" and counts["ions"] == len(hand_made["mass"])
    assert counts["counted_ions"] == counts["ions"] and not counts["background"]
    w = by_charge(counts)
    assert list(w) == [("W", 2), ("W", 3)]
    for charge, raw, A, bounds in ((3, RAW_3, A_3, (60.5, 62.5)), (2, RAW_2, A_2, (91.0, 93.5))):
        c = w[("W", charge)]
        assert c["counts"] == raw and c["net"] == raw and c["background"] == 0.0
        assert c["ranges"] == [bounds]
        assert c["abundance_percent"] == pytest.approx(A, abs=1e-12)
        assert c["corrected"] == pytest.approx(raw / (A / 100.0), rel=1e-14)
    assert [i["label"] for i in w[("W", 2)]["isotopes"]] == ["183W", "184W", "186W"]

    # The background windows are as wide as the ranges, just below them.
    subtracted = by_charge(veltrane.charge_state_counts(hand_made["epos"], hand_made["rrng"],
                                                        background=True))
    assert subtracted[("W", 3)]["background"] == HAND_MADE[59.0]
    assert subtracted[("W", 3)]["net"] == RAW_3 - HAND_MADE[59.0]
    assert subtracted[("W", 2)]["background"] == HAND_MADE[90.0]
    assert subtracted[("W", 2)]["net"] == RAW_2 - HAND_MADE[90.0]


def test_single_hits_keep_only_pulses_of_one_ion(tmp_path, hand_made):
    mass = hand_made["mass"]
    # Pulses of two: the first ion carries 2, the second 0.
    multiplicity = np.ones(len(mass), dtype=np.uint32)
    multiplicity[0:20:2], multiplicity[1:20:2] = 2, 0
    epos = write_epos(tmp_path / "multi.epos", mass, multiplicity=multiplicity)
    single = veltrane.charge_state_counts(epos, hand_made["rrng"], single_hits=True)
    assert single["single_hits"] and single["counted_ions"] == len(mass) - 20
    kept = mass[multiplicity == 1].astype(np.float64)
    w = by_charge(single)
    assert w[("W", 3)]["counts"] == np.count_nonzero((kept >= 60.5) & (kept <= 62.5))
    assert w[("W", 2)]["counts"] == np.count_nonzero((kept >= 91.0) & (kept <= 93.5))
    # A .pos file has no multiplicity: counted whole, and said so.
    whole = veltrane.charge_state_counts(hand_made["pos"], hand_made["rrng"], single_hits=True)
    assert not whole["single_hits"] and by_charge(whole)[("W", 3)]["counts"] == RAW_3
    assert any("holds no multiplicity" in m for m in whole["messages"])


def test_vectorised_field_from_ratio_agrees_with_the_scalar_one():
    ratios = np.array([[0.05, 0.3, 0.8], [1.0, 2.5, 9.0]])
    result = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=ratios)
    assert result["pair"] == (2, 3) and result["E"].shape == (2, 3)
    np.testing.assert_array_equal(result["ratio"], ratios)
    for r, E in zip(ratios.ravel(), result["E"].ravel()):
        scalar = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=float(r))
        assert abs(E - scalar["E"]) <= 1e-6, r
    # The model's ratio at the fields found is the ratio asked for.
    f = veltrane.fractions("Tungsten", 4, result["E"].ravel())["f"]
    np.testing.assert_allclose(f[2] / f[1], ratios.ravel(), rtol=1e-4)

    # A list, the pair in either order, and a ratio far below every measured
    # one: where the model's ratio first rises above 0.
    listed = veltrane.field_from_ratio("Tungsten", 4, pair=(3, 2), ratio=[1.0, 1e-300])
    assert listed["E"][0] == result["E"][1, 0]
    tiny = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=1e-300)
    assert abs(listed["E"][1] - tiny["E"]) <= 1e-6
    # A scalar keeps its dict of one field; a 0-d array gives 0-d arrays.
    assert isinstance(veltrane.field_from_ratio("Tungsten", 4, ratio=1.0)["E"], float)
    zero_d = veltrane.field_from_ratio("Tungsten", 4, ratio=np.array(1.0))
    assert zero_d["E"].shape == () and zero_d["E"] == result["E"][1, 0]

    bad_ratios = ((-1.0, "-1 is not above 0"), (0.0, "0 is not above 0"),
                  (np.inf, "inf is not finite"), (np.nan, "nan is not a number"))
    for bad, text in bad_ratios:
        with pytest.raises(ValueError, match=r"^ratio\[1\] = " + text + "$"):
            veltrane.field_from_ratio("Tungsten", 4, ratio=np.array([1.0, bad]))
    many = np.ones((3, 6))
    many[2, 5] = -1.0
    many[2, 4] = 0.0  # the first bad one in NumPy's order
    with pytest.raises(ValueError, match=r"^ratio\[2, 4\] = 0 is not above 0$"):
        veltrane.field_from_ratio("Tungsten", 4, ratio=many)
    with pytest.raises(ValueError, match="4 ionisations"):
        veltrane.field_from_ratio("Tungsten", 4, pair=(5, 6), ratio=[1.0])
    with pytest.raises(ValueError, match="not neighbouring"):
        veltrane.field_from_ratio("Tungsten", 4, pair=(2, 4), ratio=[1.0])
    with pytest.raises(ValueError, match="single ratio"):
        veltrane.field_from_ratio("Tungsten", 4, ratio=[1.0], sensitivity=True)


def test_field_from_counts_broadcasts_and_agrees_with_the_scalar_one():
    lower = np.array([[1200], [500], [40]])
    upper = np.array([960, 1500])
    result = veltrane.field_from_counts("Tungsten", 4, (2, 3), lower, upper)
    assert result["pair"] == (2, 3) and result["confidence"] == 0.95
    for key in ("E", "E_low", "E_high", "ratio", "ratio_low", "ratio_high"):
        assert result[key].shape == (3, 2), key
    np.testing.assert_array_equal(result["ratio"], upper / lower)
    assert np.all(result["E_low"] < result["E"]) and np.all(result["E"] < result["E_high"])
    assert np.all(result["ratio_low"] < result["ratio"])
    assert np.all(result["ratio"] < result["ratio_high"])
    for i in range(3):
        for j in range(2):
            counts = (int(lower[i, 0]), int(upper[j]))
            scalar = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), counts=counts)
            assert abs(result["E"][i, j] - scalar["E"]) <= 1e-6
            assert abs(result["E_low"][i, j] - scalar["interval"][0]) <= 1e-6
            assert abs(result["E_high"][i, j] - scalar["interval"][1]) <= 1e-6
            assert result["ratio_low"][i, j] == pytest.approx(scalar["ratio_interval"][0],
                                                              rel=1e-12)
    # The pair either way round: the counts stay (N(lower), N(upper)).
    swapped = veltrane.field_from_counts("Tungsten", 4, (3, 2), lower, upper)
    np.testing.assert_array_equal(swapped["E"], result["E"])
    wider = veltrane.field_from_counts("Tungsten", 4, (2, 3), 500, 1500, confidence=0.99)
    assert wider["E"].shape == () and wider["E"] == result["E"][1, 1]
    assert wider["E_low"] < result["E_low"][1, 1] and wider["E_high"] > result["E_high"][1, 1]

    # No ion of the lower state: no field, an open upper end; none at all: NaN.
    edge = veltrane.field_from_counts("Tungsten", 4, (2, 3), [0, 0], [30, 0])
    assert np.isnan(edge["E"]).all() and edge["E_high"][0] == np.inf
    assert np.isfinite(edge["E_low"][0]) and np.isnan(edge["E_low"][1])

    bad_counts = ((-1, "-1 is below 0"), (2.5, "2.5 is not a whole number"),
                  (np.nan, "nan is not a number"))
    for bad, text in bad_counts:
        with pytest.raises(ValueError, match=r"^lower\[1\] = " + text + "$"):
            veltrane.field_from_counts("Tungsten", 4, (2, 3), [10, bad], 20)
    with pytest.raises(ValueError, match=r"^upper\[0, 1\] = 2.5 is not a whole number$"):
        veltrane.field_from_counts("Tungsten", 4, (2, 3), [[10, 10]], [[20, 2.5]])
    with pytest.raises(ValueError, match="confidence must lie between 0 and 1"):
        veltrane.field_from_counts("Tungsten", 4, (2, 3), 10, 20, confidence=1.0)
    with pytest.raises(ValueError, match="not neighbouring"):
        veltrane.field_from_counts("Tungsten", 4, (1, 3), 10, 20)


def test_field_map_and_profile_of_a_hand_made_run(tmp_path):
    # Bin (0, -1) of 2 mm: 300 ions of 2+ and 240 of 3+; bin (2, -1): 30
    # ions, below min_counts; bin (1, -1) between them holds none.
    mass = tungsten_ions({91.975: 300, 61.32: 240, 92.977: 20, 60.65: 10, 120.0: 50})
    det_x = np.where(np.arange(len(mass)) < 540, 0.5, 5.5).astype(np.float32)
    det_x[-50:] = 3.0  # ions of no range, in the empty bin
    det_y = np.full(len(mass), -1.0, dtype=np.float32)
    v_dc = np.linspace(4000.0, 5000.0, len(mass)).astype(np.float32)
    epos = write_epos(tmp_path / "map.epos", mass, det_x=det_x, det_y=det_y, x=det_x, y=det_y,
                      v_dc=v_dc)
    rrng = write_ranges(tmp_path / "W.rrng")

    m = veltrane.field_map(epos, rrng, "Tungsten", 4, pair=(3, 2), threads=2)
    np.testing.assert_array_equal(m["x_edges"], [0.0, 2.0, 4.0, 6.0])
    np.testing.assert_array_equal(m["y_edges"], [-2.0, 0.0])
    assert m["over"] == "detector" and m["bin"] == 2.0 and m["without_position"] == 0
    np.testing.assert_array_equal(m["N_lower"], [[300], [0], [20]])
    np.testing.assert_array_equal(m["N_upper"], [[240], [0], [10]])
    np.testing.assert_array_equal(m["masked"], [[False], [True], [True]])
    for key in ("ratio", "E", "E_low", "E_high"):
        assert m[key].shape == (3, 1) and np.isnan(m[key][1:, 0]).all(), key
    assert m["ratio"][0, 0] == pytest.approx(240 / 300 * FACTOR, rel=1e-14)
    expected = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=240 / 300 * FACTOR)
    assert abs(m["E"][0, 0] - expected["E"]) <= 1e-6
    assert m["E_low"][0, 0] < m["E"][0, 0] < m["E_high"][0, 0]
    overall = m["overall"]
    assert overall["counts"] == (320, 250) and overall["pair"] == (2, 3)
    assert overall["factor"] == pytest.approx(FACTOR, rel=1e-14)
    assert overall["ratio"] == pytest.approx(250 / 320 * FACTOR, rel=1e-14)
    assert overall["E_low"] < overall["E"] < overall["E_high"]

    unmasked = veltrane.field_map(epos, rrng, "Tungsten", 4, min_counts=0, over="specimen")
    assert not unmasked["masked"][2, 0] and np.isfinite(unmasked["E"][2, 0])
    assert unmasked["masked"][1, 0]  # empty

    pos = write_pos(tmp_path / "map.pos", mass, det_x, det_y)
    with pytest.raises(ValueError, match=r"map\.pos: the file holds no detector coordinates"):
        veltrane.field_map(pos, rrng, "Tungsten", 4)
    for bad in ({"bin": 0.0}, {"over": "tip"}, {"min_counts": -1}, {"confidence": 0.0},
                {"pair": (1, 3)}, {"method": "fast"}):
        with pytest.raises(ValueError):
            veltrane.field_map(epos, rrng, "Tungsten", 4, **bad)

    # Blocks of 200 ions in file order: the last one shorter.
    p = veltrane.field_profile(epos, rrng, "Tungsten", 4, block=200)
    np.testing.assert_array_equal(p["first_ion"], [0, 200, 400, 600])
    np.testing.assert_array_equal(p["last_ion"], [199, 399, 599, 619])
    np.testing.assert_array_equal(p["N_lower"], [200, 100, 20, 0])
    np.testing.assert_array_equal(p["N_upper"], [0, 100, 150, 0])
    for b in range(4):
        block = v_dc[200 * b:200 * (b + 1)].astype(np.float64)
        assert p["v_dc"][b] == pytest.approx(block.mean(), rel=1e-12)
    assert p["voltage_unit"] == "V" and p["block"] == 200
    for b in (1, 2):
        ratio = p["N_upper"][b] / p["N_lower"][b] * FACTOR
        assert p["ratio"][b] == pytest.approx(ratio, rel=1e-14)
        assert abs(p["E"][b] - veltrane.field_from_ratio("Tungsten", 4, ratio=ratio)["E"]) <= 1e-6
        assert p["E_low"][b] < p["E"][b] < p["E_high"][b]
    # No ion of 3+: ratio 0, no field, an open lower end; no ion of the pair: NaN.
    assert p["ratio"][0] == 0.0 and np.isnan(p["E"][0])
    assert p["E_low"][0] == -np.inf and np.isfinite(p["E_high"][0])
    assert np.isnan([p["ratio"][3], p["E"][3], p["E_low"][3], p["E_high"][3]]).all()
    assert p["overall"] == m["overall"]
    assert np.isnan(veltrane.field_profile(pos, rrng, "Tungsten", 4, block=200)["v_dc"]).all()
    with pytest.raises(ValueError, match='^block must be a whole number of at least 1, not "0"$'):
        veltrane.field_profile(epos, rrng, "Tungsten", 4, block=0)


@pytest.fixture(scope="module")
def synthetic(tmp_path_factory):
    out = tmp_path_factory.mktemp("synthetic")
    env = dict(os.environ)
    subprocess.run([PYTHON, str(ROOT / "scripts" / "synthetic-dataset"), "--ions", "2e5",
                    "--truth-bin", "8", "--output-dir", str(out)], check=True, env=env,
                   capture_output=True)
    return out / "synthetic"


def test_counts_of_a_synthetic_run_are_those_of_its_ions(synthetic):
    ranges = veltrane.read_ranges(f"{synthetic}.rrng")
    data = veltrane.read_data(f"{synthetic}.epos")
    assert data["format"] == "epos" and data["mass"].shape == (200_000,)
    mass = data["mass"].astype(np.float64)
    kept = mass[data["multiplicity"] == 1]
    expected, single = {}, {}
    for r in ranges:
        assert r["status"] == "assigned"
        key = ("W", r["charge"])
        expected[key] = expected.get(key, 0) + np.count_nonzero((mass >= r["low"]) &
                                                                (mass <= r["high"]))
        single[key] = single.get(key, 0) + np.count_nonzero((kept >= r["low"]) &
                                                            (kept <= r["high"]))
    for ext in ("epos", "pos", "apt"):
        counts = by_charge(veltrane.charge_state_counts(f"{synthetic}.{ext}",
                                                        f"{synthetic}.rrng", "Tungsten"))
        assert {k: c["counts"] for k, c in counts.items()} == expected, ext
    for ext in ("epos", "apt"):
        counts = by_charge(veltrane.charge_state_counts(f"{synthetic}.{ext}",
                                                        f"{synthetic}.rrng", single_hits=True))
        assert {k: c["counts"] for k, c in counts.items()} == single, ext
    apt = veltrane.read_data(f"{synthetic}.apt")
    assert apt["format"] == "apt"
    for name in ("mass", "x", "y", "z", "det_x", "det_y"):
        np.testing.assert_array_equal(apt[name], data[name], err_msg=name)


def test_field_map_of_a_synthetic_run_holds_the_true_field(synthetic):
    truth = json.loads(pathlib.Path(f"{synthetic}.truth.json").read_text())
    m = veltrane.field_map(f"{synthetic}.epos", f"{synthetic}.rrng", "Tungsten", 4,
                           pair=(2, 3), bin=8.0, min_counts=500)
    i_min, j_min = round(m["x_edges"][0] / 8.0), round(m["y_edges"][0] / 8.0)
    held, judged = 0, 0
    for b in truth["bins"]:
        i, j = b["i"] - i_min, b["j"] - j_min
        if b["true_E_V_per_nm"] is None or not (0 <= i < m["E"].shape[0] and
                                                0 <= j < m["E"].shape[1]):
            continue
        if m["masked"][i, j]:
            continue
        judged += 1
        held += m["E_low"][i, j] <= b["true_E_V_per_nm"] <= m["E_high"][i, j]
    assert judged >= 40
    # 95 % intervals: about 95 % of the bins, and never far fewer.
    assert held >= 0.85 * judged, (held, judged)
    # The field rises along x by the run's gradient.
    row = m["E"][:, m["E"].shape[1] // 2]
    finite = np.isfinite(row)
    slope = np.polyfit((m["x_edges"][:-1] + 4.0)[finite], row[finite], 1)[0]
    gradient = truth["parameters"]["gradient_per_mm"]
    assert 0.7 * gradient < slope < 1.4 * gradient


def test_a_pipe_is_refused_at_once(tmp_path):
    # A named pipe with no writer would block a read for ever: it is refused
    # before it is opened, as data file and as range file. In a child with a
    # timeout, so that a regression fails instead of hanging the suite.
    fifo = tmp_path / "W.rrng"
    os.mkfifo(fifo)
    child = ("import sys, veltrane\n"
             "for read in (veltrane.read_ranges, veltrane.read_data):\n"
             "    try:\n"
             "        read(sys.argv[1])\n"
             "    except ValueError as e:\n"
             "        print(e)\n")
    done = subprocess.run([PYTHON, "-c", child, str(fifo)], check=True, capture_output=True,
                          text=True, timeout=300)
    lines = done.stdout.strip().splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.endswith("W.rrng: is not a regular file (a named pipe)"), line


# 28Si+ inside its range; 13.991-14.039 Da misses 28Si2+ (13.9885 Da) by
# 0.0025 Da, as real ranges placed around a calibrated peak do.
SILICON_RANGES = ("[Ions]\nNumber=1\nIon1=Si\n[Ranges]\nNumber=2\n"
                  "Range1=27.95 28.00 Vol:0.02 Si:1\n"
                  "Range2=13.991 14.039 Vol:0.02 Si:1\n")


def test_the_mass_tolerance_as_a_keyword(tmp_path):
    mass = np.concatenate([np.full(50, 27.977, np.float32), np.full(30, 14.01, np.float32)])
    pos = write_pos(tmp_path / "si.pos", mass)
    rrng = write_ranges(tmp_path / "Si.rrng", SILICON_RANGES)
    counts = by_charge(veltrane.charge_state_counts(pos, rrng, "Silicon"))
    near = counts[("Si", 2)]
    assert near["counts"] == 30 and near["ranges"] == [(13.991, 14.039)]
    si28 = 27.9769265325 / 2
    assert near["range_miss_da"] == [pytest.approx(si28 - 13.991, abs=1e-6)]
    ranges = veltrane.read_ranges(rrng)
    assert ranges[0]["status"] == "assigned" and ranges[0]["miss_da"] < 0
    assert "within the mass tolerance" in ranges[0]["note"]
    assert ranges[1]["miss_da"] == 0 and ranges[1]["note"] is None
    # Off (0), or narrower than the miss: the range has no charge. A number
    # is in Da with the per-cent term kept (0.3 % of 14 Da: 0.042 Da).
    for off in (0, 0.0, "0", "0.001,0.01%", "0.002,0%"):
        assert ("Si", 2) not in by_charge(veltrane.charge_state_counts(pos, rrng,
                                                                       mass_tolerance=off)), off
        assert veltrane.read_ranges(rrng, mass_tolerance=off)[0]["status"] == "no_isotope", off
    kept = veltrane.charge_state_counts(pos, rrng, mass_tolerance=0.001)
    assert ("Si", 2) in by_charge(kept) and kept["mass_tolerance"] == (0.001, 0.3)
    for bad, message in ((-1, "must be a finite number of at least 0"),
                         (float("nan"), "must be a finite number of at least 0"),
                         (2.0, "2 Da is above the largest, 1 Da"), ("5%", "above the largest"),
                         ("0.05 Da", "a mass tolerance is a mass in Da")):
        with pytest.raises(ValueError, match="^mass_tolerance: .*" + message):
            veltrane.charge_state_counts(pos, rrng, mass_tolerance=bad)
    with pytest.raises(TypeError, match="mass_tolerance must be None, a number"):
        veltrane.charge_state_counts(pos, rrng, mass_tolerance=[0.05])


def cli_counts_csv(data, ranges, *more):
    done = subprocess.run([CLI, "counts", "--csv", "--data", str(data), "--ranges", str(ranges),
                           *more], check=True, capture_output=True, text=True)
    rows = [line.split(",") for line in done.stdout.splitlines()]
    return {(row[0], row[1]): dict(zip(rows[0], row)) for row in rows[1:]}


def test_decomposed_counts_and_names_of_their_own(tmp_path):
    # 54Fe2+ shares 26.94-27.02 Da with 27Al+; a user's label "Uo1" and a
    # molecule are counted under their own names.
    text = ("[Ions]\nNumber=4\nIon1=Fe\nIon2=Al\nIon3=Uo1\nIon4=O\n[Ranges]\nNumber=5\n"
            "Range1=26.94 27.02 Vol:0.01 Fe:1\n"
            "Range2=27.85 28.05 Vol:0.01 Fe:1\n"
            "Range3=13.45 13.55 Vol:0.01 Al:1\n"
            "Range4=39.9 40.1 Vol:0.01 Uo1:1\n"
            "Range5=35.9 36.0 Vol:0.01 Fe:1 O:1\n")
    mass = np.concatenate([np.full(n, m, np.float32) for m, n in
                           ((26.98, 10), (27.95, 20), (13.5, 5), (40.0, 7), (35.95, 3))])
    pos = write_pos(tmp_path / "alloy.pos", mass)
    rrng = write_ranges(tmp_path / "alloy.rrng", text)
    counts = veltrane.charge_state_counts(pos, rrng)
    states = by_charge(counts)
    assert list(states) == [("Al", 1), ("Al", 2), ("Fe", 2)]  # by Z, then charge
    assert states[("Al", 1)]["ranges"] == [] and states[("Al", 1)]["counts"] == 0
    named = {n["name"]: n for n in counts["named"]}
    assert set(named) == {"Uo1", "FeO"}
    assert named["Uo1"]["counts"] == 7 and named["Uo1"]["ranges"] == [(39.9, 40.1)]
    # The same numbers as the command line's (to its three decimals).
    cli = cli_counts_csv(pos, rrng)
    for (symbol, charge), c in states.items():
        row = cli[(symbol, f"{charge}+")]
        assert int(row["counts"]) == c["counts"]
        assert float(row["decomposed_counts"]) == pytest.approx(c["decomposed"], abs=5e-4)
        assert float(row["decomposed_sigma"]) == pytest.approx(c["decomposed_sigma"], abs=5e-4)
    assert float(cli[("Uo1", "")]["decomposed_counts"]) == pytest.approx(
        named["Uo1"]["decomposed"], abs=5e-4)


def test_a_state_whose_ranges_cover_few_isotopes_is_warned(tmp_path):
    # 184W3+ and, at 2+, only 180W (0.12 % of W).
    text = ("[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
            "Range1=61.24 61.40 Vol:0.01 W:1\nRange2=89.90 90.05 Vol:0.01 W:1\n")
    mass = np.concatenate([np.full(300, 61.32, np.float32), np.full(5, 89.97, np.float32)])
    det = np.ones(len(mass), np.float32)
    epos = write_epos(tmp_path / "rare.epos", mass, det_x=det, det_y=det)
    rrng = write_ranges(tmp_path / "rare.rrng", text)
    message = r"W2\+: its ranges cover only 0\.12 % of W's isotopes \(180W\), so its corrected count " \
              r"is 833\.333 times the ions counted"
    with pytest.warns(veltrane.IsotopeCoverageWarning, match=message):
        counts = veltrane.charge_state_counts(epos, rrng, "W")
    assert len(counts["warnings"]) == 1
    with pytest.warns(veltrane.IsotopeCoverageWarning, match=message):
        m = veltrane.field_map(epos, rrng, "W", 4, min_counts=1)
    assert m["overall"]["isotope_coverage"] == (pytest.approx(0.12), pytest.approx(30.64))
    assert m["overall"]["caution"] == ("caution: the ranges of W2+ cover only 0.12 % of its "
                                       "isotopes (a factor of 833.333)")
    with pytest.warns(veltrane.IsotopeCoverageWarning, match=message):
        p = veltrane.field_profile(epos, rrng, "W", 4)
    assert p["overall"]["caution"] == m["overall"]["caution"]
    # A caller may make the warning an error.
    with warnings.catch_warnings():
        warnings.simplefilter("error", veltrane.IsotopeCoverageWarning)
        with pytest.raises(veltrane.IsotopeCoverageWarning):
            veltrane.charge_state_counts(epos, rrng, "W")
    # Ranges of every isotope: no warning, no caution.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        full = veltrane.field_map(epos, write_ranges(tmp_path / "W.rrng"), "W", 4, min_counts=1)
    assert full["overall"]["caution"] is None and full["warnings"] == []


def test_the_interferers_of_a_shared_range(tmp_path):
    text = ("[Ions]\nNumber=5\nIon1=Fe\nIon2=Al\nIon3=Cr\nIon4=Br\nIon5=Ba\n[Ranges]\nNumber=2\n"
            "Range1=26.94 27.02 Vol:0.01 Fe:1\nRange2=27.85 28.05 Vol:0.01 Fe:1\n")
    pos = write_pos(tmp_path / "fe.pos", np.full(10, 26.98, np.float32))
    counts = veltrane.charge_state_counts(pos, write_ranges(tmp_path / "fe.rrng", text), "Fe")
    assert len(counts["interferences"]) == 1 and len(counts["interferers"]) == 1
    shared = counts["interferers"][0]
    assert shared["range"] == (26.94, 27.02) and shared["own"] == "54Fe2+"
    labels = [i["label"] for i in shared["interferers"]]
    assert sorted(labels) == ["135Ba5+", "27Al+", "54Cr2+", "81Br3+"]
    assert all(26.94 <= i["mass_to_charge"] <= 27.02 for i in shared["interferers"])
    # The line names the three most likely, then the rest as a count.
    assert counts["interferences"][0].endswith(" and 1 less likely ion")
    assert labels[3] not in counts["interferences"][0]


def test_elements_by_any_of_their_names(tmp_path, hand_made):
    for name in ("W", "w", "Tungsten", "TUNGSTEN"):
        assert veltrane.charge_state_counts(hand_made["epos"], hand_made["rrng"],
                                            name)["symbol"] == "W", name
        m = veltrane.field_map(hand_made["epos"], hand_made["rrng"], name, 4, min_counts=0,
                               over="specimen")
        assert m["overall"]["counts"] == (RAW_2, RAW_3), name
    text = "[Ions]\nNumber=1\nIon1=O\n[Ranges]\nNumber=1\nRange1=15.98 16.01 Vol:0.01 O:1\n"
    o = write_ranges(tmp_path / "O.rrng", text)
    pos = write_pos(tmp_path / "o.pos", np.full(4, 15.995, np.float32))
    assert by_charge(veltrane.charge_state_counts(pos, o, "Oxygen"))[("O", 1)]["counts"] == 4
    with pytest.raises(ValueError, match=r"^Oxygen \(O\) is not one of the 44 elements"):
        veltrane.field_map(pos, o, "Oxygen", 2)


def test_arguments_at_their_extremes_are_refused_by_name(hand_made):
    args = (hand_made["epos"], hand_made["rrng"], "W", 4)
    for bad, message in (({"bin": float("nan")}, "the bin size must be a finite number above 0"),
                         ({"bin": -1.0}, "the bin size must be a finite number above 0"),
                         ({"bin": float("inf")}, "the bin size must be a finite number above 0"),
                         ({"min_counts": -1}, 'min_counts must be a whole number of at least 0, '
                                              'not "-1"'),
                         ({"threads": -1}, 'threads must be a whole number from 0 to 1024'),
                         ({"threads": 1025}, 'threads must be a whole number from 0 to 1024'),
                         ({"confidence": float("nan")}, "the confidence must lie between 0 and 1"),
                         ({"mass_tolerance": 1e300}, "above the largest")):
        with pytest.raises(ValueError, match=message):
            veltrane.field_map(*args, over="specimen", **bad)
    for block in (0, -1):
        with pytest.raises(ValueError, match=f'^block must be a whole number of at least 1, '
                                             f'not "{block}"$'):
            veltrane.field_profile(*args, block=block)
    with pytest.raises(ValueError, match="threads must be a whole number from 0 to 1024"):
        veltrane.charge_state_counts(hand_made["epos"], hand_made["rrng"], threads=-1)
    # The largest block is one block of every ion.
    assert len(veltrane.field_profile(*args, block=2**63 - 1)["first_ion"]) == 1


def test_a_stray_ion_far_out_does_not_make_the_arrays_huge(tmp_path):
    # 1,000 ions of the pair within 4 mm and one at (30000, 30000) mm: dense
    # arrays over both would hold 2^28 cells of 2 mm.
    rng = np.random.default_rng(11)
    mass = np.concatenate([np.full(600, 60.65, np.float32), np.full(400, 91.975, np.float32),
                           np.full(1, 60.65, np.float32)])
    det_x = np.concatenate([rng.uniform(-4, 4, 1000), [30000.0]]).astype(np.float32)
    det_y = np.concatenate([rng.uniform(-4, 4, 1000), [30000.0]]).astype(np.float32)
    epos = write_epos(tmp_path / "stray.epos", mass, det_x=det_x, det_y=det_y)
    m = veltrane.field_map(epos, write_ranges(tmp_path / "W.rrng"), "W", 4, min_counts=1)
    # The bulk's 4 bins of 2 mm a side, widened by half and a bin on either side.
    assert m["E"].size <= 64 and m["N_lower"].sum() + m["N_upper"].sum() == 1000
    out = m["outside"]
    np.testing.assert_array_equal(out["x"], [30001.0])
    np.testing.assert_array_equal(out["y"], [30001.0])
    assert out["N_upper"][0] + out["N_lower"][0] == 1
    assert any("1 ion of the pair in 1 bin lies outside the grid" in msg
               for msg in m["messages"]), m["messages"]


@pytest.mark.parametrize("command", [
    ["--list-elements"], ["--version"], ["--help"],
    ["equal-abundance", "--element", "W", "--ionisations", "1"],
    ["field", "--element", "W", "--ionisations", "1", "--ratio", "2+/1+=1"],
    ["fractions", "--element", "W", "--ionisations", "1", "--from", "20", "--to", "21"],
    ["counts"], ["counts", "--csv"], ["map", "--min-counts", "0"],
    ["map", "--min-counts", "0", "--output", "-"], ["profile"],
])
def test_every_printing_command_reports_a_full_disk(command, hand_made):
    # /dev/full takes every write into the stream's buffer and fails it when
    # the buffer is flushed: the command must say so and end with 1.
    if command[0] in ("counts", "map", "profile"):
        command = command + ["--data", str(hand_made["epos"]), "--ranges", str(hand_made["rrng"])]
        if command[0] != "counts":
            command += ["--element", "W", "--ionisations", "4", "--pair", "3+/2+"]
        if command[0] == "map":
            command += ["--over", "specimen"]
    with open("/dev/full", "w") as full:
        done = subprocess.run([CLI, *command], stdout=full, stderr=subprocess.PIPE, text=True)
    assert done.returncode == 1, done.stderr
    assert done.stderr.endswith("veltrane-curves: could not write to standard output\n"), \
        done.stderr
