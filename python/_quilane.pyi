# The typed and documented interface lives in the quilane package's stubs; the extension module
# holds the same classes.
from quilane import GyrelIndex as GyrelIndex
from quilane import IdMapIndex as IdMapIndex
from quilane import __version__ as __version__

__all__ = ["GyrelIndex", "IdMapIndex", "__version__"]
