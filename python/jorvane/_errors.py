"""Exceptions raised for input that ends early or is malformed.

Both carry the message, the absolute byte offset of the problem and the
per-query results accumulated up to that byte; ``recover()`` gives those back.
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from . import QueryResult


class _PartialResultsError(Exception):
    def __init__(self, message: str, offset: int, partials: Iterable[QueryResult] | None) -> None:
        super().__init__(message)
        self.message = message
        self.offset = offset
        self.partials: list[QueryResult] = list(partials) if partials is not None else []

    def recover(self) -> list[QueryResult]:
        """The per-query results accumulated before the error."""
        return self.partials

    def __str__(self) -> str:
        return self.message


class Incomplete(_PartialResultsError, ValueError):
    """The input ended inside a value (an open string or unclosed containers)."""


class Corrupted(_PartialResultsError, ValueError):
    """The input is not well-formed JSON."""
