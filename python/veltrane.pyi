"""Post-field-ionisation after Kingham, as NumPy arrays (types of the C++ module)."""

from typing import Literal, Optional, Sequence, TypedDict

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

class CalculationError(RuntimeError): ...

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
