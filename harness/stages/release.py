"""Placeholder until the release branch lands."""
def run(report): raise NotImplementedError
