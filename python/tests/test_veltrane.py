"""Tests of the Python module against the C++ program's own outputs."""

import os
import pathlib
import subprocess
import threading
import time

import numpy as np
import pytest

import veltrane
from ctrl_c import interrupted_by_ctrl_c

CLI = os.environ.get("VELTRANE_CLI", "veltrane-curves")
ROOT = pathlib.Path(__file__).resolve().parents[2]


def cli_bytes(*args):
    return subprocess.run([CLI, *args, "--output", "-"], check=True, capture_output=True).stdout


def export_text(steps, n):
    """data.txt as the program writes it, from the module's arrays ('%g' is C's %g)."""
    lines = []
    if n == 1:
        lines.append("#E-field [V/nm],probability 1-P for 1. ionisation,"
                     "probability P for 2. ionisation")
    for step in steps:
        if n > 1:
            lines.append(f"#{step['j'] + 1}. ionisation")
            lines.append("#E-field [V/nm],probability 1-P,probability P")
        for E, Q in zip(step["E"], step["Q"]):
            lines.append(",".join("nan" if np.isnan(x) else "%g" % x for x in (E, Q, 1.0 - Q)))
    return ("\n".join(lines) + "\n").encode()


def test_curves_are_the_numbers_of_the_command_line():
    steps = veltrane.curves("Tungsten", 2, work_function=4.55, energies=[7.864, 16.37, 26.0])
    assert [s["j"] for s in steps] == [1, 2]
    assert all(s["E"].dtype == np.float64 for s in steps)
    np.testing.assert_array_equal(steps[0]["E"], steps[0]["F"] * 514.2)
    expected = cli_bytes("--element", "Tungsten", "--ionisations", "2", "--work-function", "4.55",
                         "--energies", "7.864,16.37,26.0")
    assert export_text(steps, 2) == expected
    golden = (ROOT / "tests" / "data" / "tungsten_n2.txt").read_bytes()
    assert expected == golden


def test_built_in_values_and_elements():
    assert len(veltrane.elements()) == 44
    assert veltrane.elements()[8] == "Calicum"
    w = veltrane.element("Tungsten")
    assert w["energies"] == [7.86403, 16.37, 26.0, 38.2, 51.6]
    assert w["period"] == 6 and w["mass"] == 183.84 and w["symbol"] == "W"
    assert veltrane.element("Beryllium")["energies"][4] is None
    steps = veltrane.curves("Tungsten", 1)
    assert export_text(steps, 1) == cli_bytes("--element", "Tungsten", "--ionisations", "1")


def test_probability_broadcasts_and_equals_the_scalar_call():
    # The example point of the model, whose value an independent
    # implementation printed: 0.18673400329299111.
    assert veltrane.probability(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1) == 0.18673400329299111
    E = np.array([[0.04], [0.05]])
    u = np.array([0.0, 0.1, 0.2])
    Q = veltrane.probability(E, 0.7, 0.16, 3, 1, 26.981, u)
    assert Q.shape == (2, 3)
    for i in range(2):
        for k in range(3):
            scalar = veltrane.probability(float(E[i, 0]), 0.7, 0.16, 3, 1, 26.981, float(u[k]))
            assert Q[i, k] == scalar
    assert np.isnan(veltrane.probability(0.1, 0.7, 0.16, 3, 1, 26.981, 0.1))
    with pytest.raises(ValueError, match="whole numbers"):
        veltrane.probability(0.05, 0.7, 0.16, 2.5, 1, 26.981, 0.1)


def test_the_gil_is_released():
    # While a long call runs on one thread, this one keeps running Python:
    # with the GIL held it could take no step until the call returned.
    worker = threading.Thread(target=lambda: veltrane.curves("Tungsten", 2, threads=1))
    worker.start()
    steps = 0
    while steps < 1000:
        steps += 1
        time.sleep(0)
    still_running = worker.is_alive()
    worker.join()
    assert still_running


def test_bad_input_raises_value_error_with_the_command_lines_text():
    with pytest.raises(ValueError, match=r'unknown element "Tungstn"; closest: Tungsten'):
        veltrane.curves("Tungstn", 1)
    with pytest.raises(ValueError, match=r"--energies needs 3 values for 2 ionisations, got 2"):
        veltrane.curves("Tungsten", 2, energies=[7.8, 16.3])
    with pytest.raises(ValueError, match=r"Beryllium has no 5th ionisation energy"):
        veltrane.curves("Beryllium", 4)
    with pytest.raises(ValueError, match=r"from 1 to 4"):
        veltrane.fractions("Tungsten", 5, [20.0])
    with pytest.raises(ValueError, match=r"a ratio must be a finite number above 0"):
        veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), ratio=-1.0)
    with pytest.raises(ValueError, match=r"the counts of 1\+ and 2\+ are both zero"):
        veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), counts=(0, 0))
    with pytest.raises(ValueError, match=r"3\+ and 1\+ are not neighbouring charge states"):
        veltrane.field_from_ratio("Tungsten", 2, pair=(1, 3), ratio=1.0)
    with pytest.raises(ValueError, match=r"4\+ is not a charge state of 2 ionisations"):
        veltrane.field_from_ratio("Tungsten", 2, pair=(3, 4), ratio=1.0)


def test_fractions_and_the_field_from_a_ratio():
    E = np.array([19.0, 20.0, 21.0, 25.0])
    result = veltrane.fractions("Tungsten", 1, E)
    assert result["f"].shape == (2, 4) and result["Q"].shape == (1, 4)
    np.testing.assert_allclose(result["f"].sum(axis=0), 1.0, rtol=0, atol=1e-12)
    assert result["Q"][0, 3] == 0.0  # above the over-barrier field
    assert 22.0 < result["E_ob"][0] < 23.5
    r = result["f"][1, 1] / result["f"][0, 1]
    back = veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), ratio=r)
    assert abs(back["E"] - 20.0) < 1e-3
    counted = veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), counts=(1000, 1000))
    low, high = counted["interval"]
    assert low < counted["E"] < high


def test_pairs_in_either_order_mean_the_same():
    high_low = veltrane.field_from_ratio("Tungsten", 1, pair=(2, 1), ratio=2.0)
    low_high = veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), ratio=2.0)
    assert high_low["E"] == low_high["E"]
    # Counts are (N(lower), N(upper)) of the sorted pair, in either order.
    a = veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), counts=(1200, 960))
    b = veltrane.field_from_ratio("Tungsten", 1, pair=(2, 1), counts=(1200, 960))
    assert a["E"] == b["E"] and a["interval"] == b["interval"]
    assert a["confidence"] == 0.95
    assert a["E"] == veltrane.field_from_ratio("Tungsten", 1, pair=(1, 2), ratio=0.8)["E"]


def test_version_and_fields_that_are_not_above_zero():
    assert veltrane.__version__.count(".") == 2
    # One rule with the command line's fractions --from (field_fault).
    for bad, message in (([20.0, 0.0], r"^E\[1\] = 0 is not above 0 V/nm$"),
                         ([-5.0], r"^E\[0\] = -5 is not above 0 V/nm$")):
        with pytest.raises(ValueError, match=message):
            veltrane.fractions("Tungsten", 1, np.array(bad))
    with pytest.raises(ValueError, match=r"^E\[0\] = nan is not a finite number$"):
        veltrane.fractions("Tungsten", 1, np.array([float("nan")]))


def test_ctrl_c_interrupts_a_long_call():
    with interrupted_by_ctrl_c():
        veltrane.curves("Iron", 4, threads=1)


def test_the_example_draws_a_png(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    out = tmp_path / "kingham.png"
    subprocess.run(["python3" if not os.environ.get("VELTRANE_PYTHON") else
                    os.environ["VELTRANE_PYTHON"], str(ROOT / "examples" / "kingham_curves.py"),
                    str(out)], check=True, env=env)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_accurate_and_the_exact_evaluation():
    E = np.array([19.0, 20.0, 21.0])
    accurate = veltrane.fractions("Tungsten", 1, E)
    exact = veltrane.fractions("Tungsten", 1, E, method="exact")
    np.testing.assert_allclose(accurate["f"], exact["f"], rtol=1e-5, atol=1e-12)
    assert abs(accurate["E_ob"][0] - exact["E_ob"][0]) < 1e-6
    # probability stays the adaptive integration unless asked otherwise.
    args = (0.05, 0.7, 0.16, 3, 1, 26.981, 0.1)
    assert veltrane.probability(*args) == 0.18673400329299111
    assert abs(veltrane.probability(*args, method="accurate") - 0.18673400329299111) < 1e-6
    with pytest.raises(ValueError, match='method must be "accurate" or "exact", not "fast"'):
        veltrane.fractions("Tungsten", 1, E, method="fast")


def test_sensitivity_of_the_field():
    result = veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=1.0, sensitivity=True)
    rows = {row["input"]: row for row in result["sensitivity"]}
    assert list(rows)[0] == "work function \u00b10.1 eV"
    # Step 2 binds with I3: a higher I3 needs a higher field.
    assert rows["I3 \u00b11 %"]["minus"] < 0 < rows["I3 \u00b11 %"]["plus"]
    assert "sensitivity" not in veltrane.field_from_ratio("Tungsten", 4, pair=(2, 3), ratio=1.0)
