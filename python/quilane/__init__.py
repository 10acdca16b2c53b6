"""Compressed vector index: float32 vectors stored as a norm plus 2-, 3- or 4-bit codes after a
seeded random orthogonal transform, searched by top-k inner product over NumPy batches."""

from _quilane import GyrelIndex, IdMapIndex, __version__

__all__ = ["GyrelIndex", "IdMapIndex", "__version__"]
