"""Prints every real-driver test id as a CMake list, so that CTest runs each on its own."""
import os
import unittest

here = os.path.dirname(os.path.abspath(__file__))


def ids(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from ids(item)
        else:
            yield item.id()


print(";".join(ids(unittest.defaultTestLoader.discover(here, pattern="test_*.py", top_level_dir=here))), end="")
