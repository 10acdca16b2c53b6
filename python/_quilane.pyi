# The typed and documented interface lives in the quilane package's stubs; the extension module
# holds the same classes.
from quilane import GyrelIndex as GyrelIndex
from quilane import IdMapIndex as IdMapIndex
from quilane import __version__ as __version__
from quilane import get_num_threads as get_num_threads
from quilane import set_num_threads as set_num_threads

__all__ = ["GyrelIndex", "IdMapIndex", "__version__"]
