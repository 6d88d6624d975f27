"""Post-field-ionisation after Kingham, as NumPy arrays (types of the C++ module)."""

import os
from typing import Literal, Optional, Sequence, TypedDict, Union, overload

import numpy as np
import numpy.typing as npt

class ElementData(TypedDict):
    name: str
    symbol: str
    atomic_number: int
    period: int
    mass: float
    work_function: float
    energies: list[Optional[float]]
    energy_flags: list[Optional[str]]
    work_function_source: str
    ionisation_source: str

class StepCurve(TypedDict):
    j: int
    E: npt.NDArray[np.float64]
    F: npt.NDArray[np.float64]
    Q: npt.NDArray[np.float64]

class Fractions(TypedDict):
    E: npt.NDArray[np.float64]
    Q: npt.NDArray[np.float64]
    f: npt.NDArray[np.float64]
    E_ob: npt.NDArray[np.float64]

class EqualAbundance(TypedDict):
    pair: tuple[int, int]
    E_ob: float
    F: Optional[float]

class InputShift(TypedDict):
    input: str
    minus: float
    plus: float

class FieldFromRatio(TypedDict, total=False):
    pair: tuple[int, int]
    ratio: float
    E: float
    crossings: list[tuple[float, str]]
    monotonic: bool
    interval: tuple[float, float]
    confidence: float
    ratio_interval: tuple[float, float]
    sensitivity: list[InputShift]

class FieldsFromRatios(TypedDict):
    pair: tuple[int, int]
    ratio: npt.NDArray[np.float64]
    E: npt.NDArray[np.float64]

class FieldsFromCounts(TypedDict):
    pair: tuple[int, int]
    confidence: float
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]
    ratio: npt.NDArray[np.float64]
    ratio_low: npt.NDArray[np.float64]
    ratio_high: npt.NDArray[np.float64]

Path = Union[str, os.PathLike[str]]

class Dataset(TypedDict, total=False):
    mass: npt.NDArray[np.float32]
    x: npt.NDArray[np.float32]
    y: npt.NDArray[np.float32]
    z: npt.NDArray[np.float32]
    det_x: npt.NDArray[np.float32]
    det_y: npt.NDArray[np.float32]
    tof: npt.NDArray[np.float32]
    v_dc: npt.NDArray[np.float32]
    v_pulse: npt.NDArray[np.float32]
    multiplicity: npt.NDArray[np.uint32]
    pulse_delta: npt.NDArray[np.uint32]
    format: Literal["pos", "epos", "apt"]
    voltage_unit: Optional[Literal["V", "kV"]]
    notes: list[str]

class Isotope(TypedDict):
    label: str
    mass_number: int
    mass: float
    abundance_percent: float

class Range(TypedDict):
    low: float
    high: float
    ions: list[tuple[str, int]]
    name: str
    colour: Optional[str]
    volume: Optional[float]
    charge: Optional[int]
    status: Literal["assigned", "ambiguous", "no_isotope", "unknown_element", "molecular",
                    "no_ion"]
    fitting_charges: list[int]
    isotopes: list[Isotope]
    abundance_percent: float
    miss_da: float
    message: Optional[str]
    note: Optional[str]
    line: int

class ChargeCount(TypedDict):
    symbol: str
    charge: int
    counts: int
    background: float
    net: float
    abundance_percent: float
    corrected: float
    decomposed: float
    decomposed_sigma: float
    inseparable_from: Optional[str]
    isotopes: list[Isotope]
    ranges: list[tuple[float, float]]
    range_miss_da: list[float]

class NamedCount(TypedDict):
    name: str
    counts: int
    background: float
    net: float
    decomposed: float
    decomposed_sigma: float
    inseparable_from: Optional[str]
    ranges: list[tuple[float, float]]

class Interferer(TypedDict):
    label: str
    species: str
    charge: int
    mass_to_charge: float
    share: float
    in_file: bool

class SharedRange(TypedDict):
    range: tuple[float, float]
    own: str
    interferers: list[Interferer]
    more: int
    incomplete: bool
    message: str

class ChargeStateCounts(TypedDict):
    symbol: Optional[str]
    charges: list[ChargeCount]
    named: list[NamedCount]
    messages: list[str]
    warnings: list[str]
    interferences: list[str]
    interferers: list[SharedRange]
    mass_tolerance: tuple[float, float]
    ions: int
    counted_ions: int
    single_hits: bool
    background: bool

class OverallField(TypedDict):
    pair: tuple[int, int]
    counts: tuple[int, int]
    net: tuple[float, float]
    factor: float
    isotope_coverage: tuple[float, float]
    caution: Optional[str]
    confidence: float
    ratio: float
    ratio_interval: tuple[float, float]
    E: float
    E_low: float
    E_high: float

class MapBins(TypedDict):
    x: npt.NDArray[np.float64]
    y: npt.NDArray[np.float64]
    N_lower: npt.NDArray[np.int64]
    N_upper: npt.NDArray[np.int64]
    masked: npt.NDArray[np.bool_]
    ratio: npt.NDArray[np.float64]
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]

class FieldMap(TypedDict):
    over: Literal["detector", "specimen"]
    bin: float
    x_edges: npt.NDArray[np.float64]
    y_edges: npt.NDArray[np.float64]
    N_lower: npt.NDArray[np.int64]
    N_upper: npt.NDArray[np.int64]
    net_lower: npt.NDArray[np.float64]
    net_upper: npt.NDArray[np.float64]
    ratio: npt.NDArray[np.float64]
    ratio_low: npt.NDArray[np.float64]
    ratio_high: npt.NDArray[np.float64]
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]
    masked: npt.NDArray[np.bool_]
    outside: MapBins
    without_position: int
    overall: OverallField
    messages: list[str]
    warnings: list[str]

class FieldProfile(TypedDict):
    block: int
    first_ion: npt.NDArray[np.int64]
    last_ion: npt.NDArray[np.int64]
    N_lower: npt.NDArray[np.int64]
    N_upper: npt.NDArray[np.int64]
    net_lower: npt.NDArray[np.float64]
    net_upper: npt.NDArray[np.float64]
    ratio: npt.NDArray[np.float64]
    ratio_low: npt.NDArray[np.float64]
    ratio_high: npt.NDArray[np.float64]
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]
    v_dc: npt.NDArray[np.float64]
    voltage_unit: Optional[Literal["V", "kV"]]
    overall: OverallField
    messages: list[str]
    warnings: list[str]

class JointElement(TypedDict):
    """An element's part in a joint field: its own field (the others' charge
    states free), its model's n, and the ions in the ranges named after it."""
    found: bool
    E: float
    E_low: float
    E_high: float
    n: int
    charges: npt.NDArray[np.int64]
    counts: npt.NDArray[np.float64]
    ions: float
    used: bool
    note: Optional[str]

class JointWords(TypedDict):
    answer: str
    test: str
    elements: list[str]
    notes: list[str]

class Decomposition(TypedDict):
    species: list[str]
    amount: npt.NDArray[np.float64]
    sigma: npt.NDArray[np.float64]
    separable: npt.NDArray[np.bool_]
    inseparable_from: list[Optional[str]]

class JointField(TypedDict):
    found: bool
    E: float
    E_low: float
    E_high: float
    confidence: float
    p_value: float
    G2: float
    dof: int
    at_edge: bool
    used: list[str]
    elements: dict[str, JointElement]
    notes: list[str]
    no_field: Optional[str]
    words: JointWords
    symbols: list[str]
    decomposition: Decomposition
    range_counts: npt.NDArray[np.uint64]
    ions: int
    background: bool
    messages: list[str]

class JointFieldMap(TypedDict):
    over: Literal["detector", "specimen"]
    bin: float
    x_edges: npt.NDArray[np.float64]
    y_edges: npt.NDArray[np.float64]
    ions: npt.NDArray[np.int64]
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]
    p_value: npt.NDArray[np.float64]
    G2: npt.NDArray[np.float64]
    dof: npt.NDArray[np.int64]
    masked: npt.NDArray[np.bool_]
    at_edge: npt.NDArray[np.bool_]
    symbols: list[str]
    element_E: dict[str, npt.NDArray[np.float64]]
    element_E_low: dict[str, npt.NDArray[np.float64]]
    element_E_high: dict[str, npt.NDArray[np.float64]]
    element_ions: dict[str, npt.NDArray[np.float64]]
    element_used: dict[str, npt.NDArray[np.bool_]]
    overall: JointField
    without_position: int
    messages: list[str]

class JointFieldProfile(TypedDict, total=False):
    block: int
    first_ion: npt.NDArray[np.int64]
    last_ion: npt.NDArray[np.int64]
    ions: npt.NDArray[np.int64]
    E: npt.NDArray[np.float64]
    E_low: npt.NDArray[np.float64]
    E_high: npt.NDArray[np.float64]
    p_value: npt.NDArray[np.float64]
    G2: npt.NDArray[np.float64]
    dof: npt.NDArray[np.int64]
    masked: npt.NDArray[np.bool_]
    at_edge: npt.NDArray[np.bool_]
    symbols: list[str]
    element_E: dict[str, npt.NDArray[np.float64]]
    element_E_low: dict[str, npt.NDArray[np.float64]]
    element_E_high: dict[str, npt.NDArray[np.float64]]
    element_ions: dict[str, npt.NDArray[np.float64]]
    element_used: dict[str, npt.NDArray[np.bool_]]
    v_dc: npt.NDArray[np.float64]
    voltage_unit: Optional[Literal["V"]]
    kfR: npt.NDArray[np.float64]
    R: npt.NDArray[np.float64]
    kf: Optional[float]
    overall: JointField
    messages: list[str]

Elements = Union[None, str, Sequence[str]]
Ionisations = Union[None, int, str, dict[str, int]]

class CalculationError(RuntimeError): ...

class IsotopeCoverageWarning(UserWarning):
    """A charge state's ranges cover so few of its element's isotopes (below 10 %) that its
    isotope-corrected count is a large multiple of the ions counted."""

MassTolerance = Union[None, float, str]
"""None: 0.05 Da or 0.3 % of m/q, whichever is larger; a number: Da, the per-cent term kept
(0 switches the tolerance off); a text as --mass-tolerance: "0.08", "0.5%", "0.08,0.5%"."""

def elements() -> list[str]:
    """The 44 element names, as the window lists them."""

def element(name: str) -> ElementData:
    """The built-in data of an element; ValueError with the closest names if unknown."""

def curves(
    element: str,
    n: int,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
) -> list[StepCurve]:
    """The sweeps of a calculation, bit for bit the numbers of data.txt."""

__version__: str
"""The program's version, as veltrane-curves --version prints it."""

def fractions(
    element: str,
    n: int,
    E: npt.ArrayLike,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
) -> Fractions:
    """Charge-state fractions of the cascade from 1+ at the fields E (V/nm)."""

def equal_abundance(
    element: str,
    n: int,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
) -> list[EqualAbundance]:
    """Over-barrier and equal-abundance fields of every step, V/nm."""

@overload
def field_from_ratio(
    element: str,
    n: int,
    pair: tuple[int, int] = (2, 3),
    ratio: Optional[float] = None,
    counts: Optional[Sequence[float]] = None,
    confidence: float = 0.95,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
    sensitivity: bool = False,
) -> FieldFromRatio:
    """The field of a measured ratio N(upper)/N(lower), or of counts (N(lower), N(upper))."""

@overload
def field_from_ratio(
    element: str,
    n: int,
    pair: tuple[int, int] = (2, 3),
    *,
    ratio: Union[npt.NDArray[np.floating], Sequence[float]],
    confidence: float = 0.95,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
) -> FieldsFromRatios:
    """The fields of an array of ratios (E NaN where the model has none), one table of the
    model's ratio curve for all of them; sensitivity is for a single ratio."""

def field_from_counts(
    element: str,
    n: int,
    pair: tuple[int, int],
    lower: npt.ArrayLike,
    upper: npt.ArrayLike,
    confidence: float = 0.95,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
) -> FieldsFromCounts:
    """The fields of counts (N(lower), N(upper)) broadcast together, with Wilson intervals;
    NaN where both counts are 0, -inf/inf for an interval end without a field."""

def read_data(path: Path) -> Dataset:
    """The ions of a .pos, .epos or .apt file, the columns it has, as stored."""

@overload
def read_ranges(path: Path, notes: Literal[False] = False,
                mass_tolerance: MassTolerance = None) -> list[Range]:
    """The ranges of a .rrng or .rng file with the charge their isotopes fit (or the isotope
    nearest to a range within the mass tolerance)."""

@overload
def read_ranges(path: Path, notes: Literal[True],
                mass_tolerance: MassTolerance = None) -> tuple[list[Range], list[str]]:
    """The ranges and the file's notes (each starting with the path)."""

def charge_state_counts(
    data: Path,
    ranges: Path,
    element: Optional[str] = None,
    single_hits: bool = False,
    background: bool = False,
    threads: int = 0,
    mass_tolerance: MassTolerance = None,
) -> ChargeStateCounts:
    """The ions of each element and charge inside their ranges, isotope-corrected, and every
    range's count decomposed into the species that may share it; names that are no element
    counted under their own. The element by symbol, English name or the window list's text,
    any element of the isotope table. Warns (IsotopeCoverageWarning) of states whose ranges
    cover less than 10 % of their isotopes."""

@overload
def field_map(
    data: Path,
    ranges: Path,
    element: str,
    n: int,
    pair: tuple[int, int] = (2, 3),
    over: Literal["detector", "specimen"] = "detector",
    bin: float = 2.0,
    min_counts: int = 100,
    confidence: float = 0.95,
    single_hits: bool = False,
    background: bool = False,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
    mass_tolerance: MassTolerance = None,
) -> FieldMap:
    """The pair's field in square bins: 2-D arrays of shape (len(x_edges) - 1,
    len(y_edges) - 1) over the bulk of the ions (bins far beyond it in outside); N 0 and
    ratio/E NaN in empty bins, ratio/E NaN in masked ones. The element by any of its names
    ("Tungsten", "W"), one of the model's 44."""

@overload
def field_profile(
    data: Path,
    ranges: Path,
    element: str,
    n: int,
    pair: tuple[int, int] = (2, 3),
    block: int = 1000000,
    confidence: float = 0.95,
    single_hits: bool = False,
    background: bool = False,
    work_function: Optional[float] = None,
    energies: Optional[Sequence[float]] = None,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "accurate",
    mass_tolerance: MassTolerance = None,
) -> FieldProfile:
    """The pair's field in blocks of ions along the run, with the blocks' mean DC voltage.
    The element by its name or its symbol ("Tungsten", "W")."""

def joint_field(
    data: Path,
    ranges: Path,
    elements: Elements = None,
    ionisations: Ionisations = None,
    confidence: float = 0.95,
    background: bool = False,
    single_hits: bool = False,
    min_counts: float = 100.0,
    method: Literal["accurate", "exact"] = "accurate",
    threads: int = 0,
    mass_tolerance: MassTolerance = None,
) -> JointField:
    """The one field (V/nm) of several elements from the range counts themselves, with
    its profile-likelihood interval and the likelihood-ratio test of one field against
    each element's charge states of their own (p_value, G2, dof); each element's own
    field; the decomposition of the ranges into every species. elements: None or "all"
    for every element of the range file ranged and counted at two charges or more, a list
    of names or symbols, or a text as on the command line ("Fe,Cr"). ionisations: None
    (each element's highest counted charge), one n for all, or a dict by element. E is
    NaN when the counts bound the field on one side only (that end -inf or inf); found is
    False, with no_field saying why, when no field is given. ValueError with the command
    line's message for bad input; Ctrl-C stops it."""

@overload
def field_map(
    data: Path,
    ranges: Path,
    *,
    elements: Elements,
    ionisations: Ionisations = None,
    over: Literal["detector", "specimen"] = "detector",
    bin: float = 2.0,
    min_counts: float = 100.0,
    confidence: float = 0.95,
    single_hits: bool = False,
    background: bool = False,
    threads: int = 0,
    mass_tolerance: MassTolerance = None,
) -> JointFieldMap:
    """The joint field of several elements in square bins: 2-D arrays of shape
    (len(x_edges) - 1, len(y_edges) - 1), NaN where a bin is masked (no element with
    min_counts ions in its own ranges) or empty; each element's own field by symbol."""

@overload
def field_profile(
    data: Path,
    ranges: Path,
    *,
    elements: Elements,
    ionisations: Ionisations = None,
    block: int = 1000000,
    kf: Optional[float] = None,
    min_counts: float = 100.0,
    confidence: float = 0.95,
    single_hits: bool = False,
    background: bool = False,
    threads: int = 0,
    mass_tolerance: MassTolerance = None,
) -> JointFieldProfile:
    """The joint field of several elements in blocks of ions along the run, with each
    block's mean DC voltage v_dc in volts, kfR = v_dc / E in nm and, with the field
    factor kf, the tip radius R = v_dc / (kf E) a reconstruction assumes."""

def probability(
    E: npt.ArrayLike,
    B: npt.ArrayLike,
    phi: npt.ArrayLike,
    m: npt.ArrayLike,
    n: npt.ArrayLike,
    m_ion: npt.ArrayLike,
    u: npt.ArrayLike,
    threads: int = 0,
    method: Literal["accurate", "exact"] = "exact",
) -> npt.NDArray[np.float64]:
    """The model in atomic units, broadcast over every argument."""
