"""Placeholder until the roots branch lands."""
ROOT_STAGES: tuple[str, ...] = ()
def run_root(report, name): raise NotImplementedError
def prepare_all(report): raise NotImplementedError
def run_newcomer(report): raise NotImplementedError
