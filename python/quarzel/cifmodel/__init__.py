"""The object model: CifFile, CifBlock and CifSaveFrame."""

from .model import CifBlock, CifFile, CifSaveFrame

__all__ = ["CifFile", "CifBlock", "CifSaveFrame"]
