"""Tests of scripts/synthetic-dataset's alloy runs: its range file is read
with one range per shared peak, its truth holds the ions the files hold, and
every element's charges are drawn at its own field."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import veltrane

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON = os.environ.get("VELTRANE_PYTHON", sys.executable)
SCRIPT = str(ROOT / "scripts" / "synthetic-dataset")
IONS = 200_000
CR_OFFSET = 1.5


def run_script(*args):
    return subprocess.run([PYTHON, SCRIPT, *args], capture_output=True, text=True)


@pytest.fixture(scope="module")
def steel(tmp_path_factory):
    out = tmp_path_factory.mktemp("steel")
    done = run_script("--alloy", "steel", "--offset-element", f"Cr:+{CR_OFFSET}", "--ions",
                      str(IONS), "--truth-bin", "8", "--output-dir", str(out), "--name", "steel")
    assert done.returncode == 0, done.stderr
    stem = out / "steel"
    return {"stem": stem, "truth": json.loads(pathlib.Path(f"{stem}.truth.json").read_text()),
            "epos": f"{stem}.epos", "rrng": f"{stem}.rrng"}


def charge_of(ion, symbol):
    """2 of "Fe2+", 1 of "Fe+"."""
    return int(ion[len(symbol):-1] or 1)


def test_shared_peaks_get_one_range_labelled_by_the_ion_expected_most(steel):
    truth = steel["truth"]
    ranges = veltrane.read_ranges(steel["rrng"])
    assert len(ranges) == len(truth["ranges"]) > 30
    for r0, r1 in zip(ranges, ranges[1:]):
        assert r0["high"] < r1["low"]
    for r, t in zip(ranges, truth["ranges"]):
        assert (r["low"], r["high"]) == (t["low"], t["high"])
        assert r["status"] == "assigned" and r["ions"] == [(t["label"], 1)]
        assert charge_of(t["ion"], t["label"]) == r["charge"]
        # The label is the species expected most often in the range.
        top = max(t["species"], key=lambda s: s["expected_ions"])
        assert (top["element"], top["charge"]) == (t["label"], r["charge"])
    # 54Fe2+, 54Cr2+ and 27Al+; 56Fe2+ and 28Si+; 58Ni2+, 58Fe2+ and 29Si+;
    # 54Fe+ and 54Cr+.
    for mass, label, shared in ((26.97, "Fe2+", {"Fe2+", "Cr2+", "Al+"}),
                                (27.97, "Fe2+", {"Fe2+", "Si+"}),
                                (28.97, "Fe2+", {"Fe2+", "Ni2+", "Si+"}),
                                (53.94, "Fe+", {"Fe+", "Cr+"})):
        holding = [t for t in truth["ranges"] if t["low"] <= mass <= t["high"]]
        assert len(holding) == 1, mass
        t = holding[0]
        assert t["ion"] == label and t["shared"]
        assert {s["ion"] for s in t["species"] if s["expected_ions"] > 0} == shared, mass
        # Each of them has ions in the range.
        assert all(s["true_ions"] > 0 for s in t["species"] if s["ion"] in shared), mass


def test_truth_counts_are_the_ions_of_the_files(steel):
    truth = steel["truth"]
    species = sum(s["ions"] for s in truth["species"])
    assert species == IONS - truth["background_ions"]
    assert sum(e["ions"] for e in truth["elements"]) == species
    assert sum(b["ions"] for b in truth["bins"]) == species
    assert sum(b["background_ions"] for b in truth["bins"]) == truth["background_ions"]
    for b in truth["bins"]:
        assert sum(e["ions"] for e in b["elements"].values()) == b["ions"]
    # Drawn as expected: within counting noise of the expected ions.
    for s in truth["species"]:
        if s["expected_ions"] > 20:
            assert abs(s["ions"] - s["expected_ions"]) < 5 * np.sqrt(s["expected_ions"]), s

    # Every range's ions, species by species, are those the file holds there;
    # the module counts each element and charge over the ranges labelled so.
    mass = veltrane.read_data(steel["epos"])["mass"].astype(np.float64)
    labelled = {}
    for t in truth["ranges"]:
        held = np.count_nonzero((mass >= t["low"]) & (mass <= t["high"]))
        assert held == t["ions"] == sum(s["true_ions"] for s in t["species"]) + \
            t["background_ions"], t
        key = (t["label"], charge_of(t["ion"], t["label"]))
        labelled[key] = labelled.get(key, 0) + held
    with pytest.warns(veltrane.IsotopeCoverageWarning):  # Si+ and Ni2+ ranged at a minor isotope
        counts = veltrane.charge_state_counts(steel["epos"], steel["rrng"])
    # (Species of the decomposition alone, such as 27Al+ under 54Fe2+, have no
    # ranges of their own.)
    assert {(c["symbol"], c["charge"]): c["counts"] for c in counts["charges"]
            if c["ranges"]} == labelled
    # The decomposition of every range's count gives each species' true ions,
    # all isotopes included, within its stated uncertainty.
    true_ions = {}
    for t in truth["species"]:
        key = (t["element"], t["charge"])
        true_ions[key] = true_ions.get(key, 0) + t["ions"]
    judged = 0
    for c in counts["charges"]:
        key = (c["symbol"], c["charge"])
        if key not in true_ions or not np.isfinite(c["decomposed"]) or c["decomposed_sigma"] <= 0:
            continue
        judged += 1
        assert abs(c["decomposed"] - true_ions[key]) < 5 * c["decomposed_sigma"] + 3, (key, c)
    assert judged >= 10


def fields_of_the_run(truth, data):
    """The field of the run's map at every ion of the file (no offset)."""
    p = truth["parameters"]
    x, y = data["det_x"].astype(np.float64), data["det_y"].astype(np.float64)
    t = np.arange(len(x)) / (len(x) - 1)
    dx, dy = x - p["bump_at_mm"][0], y - p["bump_at_mm"][1]
    return (p["field"] + p["gradient_per_mm"] * x + p["drift"] * (t - 0.5)
            + p["bump"] * np.exp(-(dx * dx + dy * dy) / (2.0 * p["bump_width_mm"] ** 2)))


def test_each_element_is_drawn_at_its_own_field(steel):
    truth = steel["truth"]
    data = veltrane.read_data(steel["epos"])
    E = fields_of_the_run(truth, data)
    # The mean fields of the run and its bins are those of the ions there
    # (the background, 2 %, stands in the same places).
    assert truth["mean_E_V_per_nm"] == pytest.approx(E.mean(), abs=0.01)
    b = truth["truth_bin_mm"]
    i = np.floor(data["det_x"] / b).astype(int)
    j = np.floor(data["det_y"] / b).astype(int)
    for entry in truth["bins"]:
        if entry["ions"] >= 1000:
            inside = (i == entry["i"]) & (j == entry["j"])
            assert entry["E_V_per_nm"] == pytest.approx(E[inside].mean(), abs=0.05), entry
    elements = {e["symbol"]: e for e in truth["elements"]}
    assert elements["Cr"]["offset_V_per_nm"] == CR_OFFSET
    for symbol, e in elements.items():
        offset = CR_OFFSET if symbol == "Cr" else 0.0
        assert e["mean_E_V_per_nm"] == pytest.approx(E.mean() + offset, abs=0.03), symbol

    # The share of 2+ among the ions of Fe and Cr is the model's at each
    # element's own fields; Cr's at the map's fields would be far from it.
    grid = np.arange(E.min() - 0.05, E.max() + CR_OFFSET + 0.06, 0.01)

    def share_2(name, n, offset):
        f = np.asarray(veltrane.fractions(name, n, grid, method="accurate")["f"])
        return np.interp(E + offset, grid, f[1]).mean()

    ions = {(s["element"], s["charge"]): s["ions"] for s in truth["species"]}
    for symbol, name in (("Fe", "Iron"), ("Cr", "Chromium")):
        n = elements[symbol]["ionisations"]
        total = elements[symbol]["ions"]
        p = share_2(name, n, CR_OFFSET if symbol == "Cr" else 0.0)
        sigma = np.sqrt(total * p * (1 - p))
        assert abs(ions[(symbol, 2)] - total * p) < 5 * sigma, symbol
    unmoved = elements["Cr"]["ions"] * share_2("Chromium", elements["Cr"]["ionisations"], 0.0)
    assert abs(ions[("Cr", 2)] - unmoved) > 20 * np.sqrt(unmoved)


@pytest.mark.parametrize("args, message", [
    (["--alloy", "steel", "--offset-element", "W:+1"], "names W, which is not an element"),
    (["--elements", "Fe:0.5,Iron:0.5"], "Fe is named twice"),
    (["--elements", "Fe:0.5,Cr"], "element:fraction"),
    (["--elements", "Fe:0,Cr:1"], "fraction of Fe must be a number above 0"),
    (["--alloy", "steel", "--ionisations", "5"], "whole number from 1 to 4"),
    (["--elements", "Be:0.5,Fe:0.5", "--ionisations", "4"], "n up to 3 only"),
    (["--alloy", "steel", "--pair", "3+/2+"], "--pair is for a run of one element"),
    (["--alloy", "steel", "--field", "1"], "must stay above 0 V/nm"),
])
def test_bad_alloys_are_refused_with_a_message(tmp_path, args, message):
    done = run_script(*args, "--ions", "1000", "--output-dir", str(tmp_path))
    assert done.returncode != 0
    assert message in done.stderr
    assert not list(tmp_path.iterdir())
