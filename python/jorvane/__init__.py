"""jorvane: a streaming JSON query engine."""

from . import jorvane as _ext
from .jorvane import *  # noqa: F401,F403

__all__ = list(_ext.__all__)
__version__ = _ext.__version__
