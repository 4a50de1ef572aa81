import os
import sys

# The fuzz tests share the suite's test doubles and bit helpers (tests/python/support.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
