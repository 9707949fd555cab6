"""Prints every end-to-end test id as a CMake list, so that CTest runs each on its own."""
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)


def ids(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from ids(item)
        else:
            yield item.id()


print(";".join(ids(unittest.defaultTestLoader.discover(here, pattern="test_*.py"))), end="")
