"""jadefox against dict comprehensions, numpy and pandas (python -m bench)."""
