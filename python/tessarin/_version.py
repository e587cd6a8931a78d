"""The package's version, read by the build (pyproject.toml, CMake) from here."""

__version__ = "0.2.0"
