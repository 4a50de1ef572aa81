"""The project's build and test harness: what the nox sessions in noxfile.py
are made of. Each module has one job; none of it ships in the wheel."""
