"""Typo-tolerant search-as-you-type over search terms."""

from _tessarin import PrefixSearch

__all__ = ["PrefixSearch"]
