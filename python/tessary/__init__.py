"""Exact moments and sketches of data columns, computed natively."""

from tessary import _native
from tessary._native import *  # noqa: F401,F403
from tessary._native import __version__

__all__ = list(_native.__all__)
