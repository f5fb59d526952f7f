# Type stubs of the compiled module (python/module.cpp).
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

__version__: str
indicators: List[Tuple[str, str]]
decoder: bool

class Error(RuntimeError): ...
class NotVideoError(Error): ...

class Analyzer:
    def __init__(self, width: int, height: int, fps: float = 25.0) -> None: ...
    def analyze(self, luma: npt.NDArray[np.uint8]) -> Dict[str, float]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def frames(self) -> int: ...

def analyze_file(
    path: bytes,
    width: Optional[int] = None,
    height: Optional[int] = None,
    fps: Optional[float] = None,
    frames: Optional[int] = None,
    start: Optional[int] = None,
    threads: Optional[int] = None,
    json: Optional[bytes] = None,
    report: Optional[bytes] = None,
    profile: Optional[bytes] = None,
) -> Dict[str, Any]: ...
def check_profile(profile: str) -> str: ...
def printable_name(name: bytes) -> str: ...
def probe(path: bytes) -> Optional[str]: ...
