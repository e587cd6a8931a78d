"""The benchmarks: scripts that print figures, never assert on time.

Run them as modules from the repository root, e.g. ``python -m bench.run
--quick``; they import each other as ``bench.*`` and the plain models as
``tessarin_reference``.
"""
