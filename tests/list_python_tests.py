"""Prints the id of every test in a folder's test_*.py files as a CMake list, so that CTest runs
each on its own.

    list_python_tests.py FOLDER
"""
import os
import sys
import unittest

here = os.path.abspath(sys.argv[1])
sys.path.insert(0, here)


def ids(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from ids(item)
        else:
            yield item.id()


print(";".join(ids(unittest.defaultTestLoader.discover(here, pattern="test_*.py", top_level_dir=here))), end="")
