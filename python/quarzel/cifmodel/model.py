"""The object model classes, implemented natively in quarzel_core."""

from quarzel_core import CifBlock, CifFile, CifSaveFrame

__all__ = ["CifFile", "CifBlock", "CifSaveFrame"]
