"""Types of the jorvane module for editors and type checkers.

The module itself is the extension built from src/python; tests/test_stub.py
checks that every name, parameter and default here is the module's own.
Incomplete and Corrupted live in jorvane._errors, typed there.
"""

import os
from collections.abc import Callable
from typing import Any, Literal, Protocol, TypeAlias, final, type_check_only

__all__ = [
    "__version__", "Query", "Source", "QueryResult", "Accumulator", "NumericBuffer", "Items", "items",
    "kvitems", "Table", "table", "group_by", "write_ndjson", "ndjson_lines", "table_batches", "describe",
    "write_parquet", "write_csv", "_arrow_export_counters", "_active_kernel", "Count", "CountUnique",
    "ValueCounts", "Exists", "Min", "Max", "Sum", "Mean", "Product", "Mode", "Types", "Values", "ValuesUnique",
]

__version__: str

@type_check_only
class _Readable(Protocol):
    # Called with a byte count; bytes, or str for an uncompressed source.
    def read(self, size: int, /) -> bytes | str: ...

# One source: a path or glob, a path object, a URL, JSON text, a file-like object or a Source.
# Lists of sources, and of accumulators, are typed list[Any]: a list's type parameter does not
# widen, so list[str | Accumulator] would refuse a list[str] (elements are checked at run time).
_SourceForm: TypeAlias = str | os.PathLike[str] | bytes | bytearray | _Readable | Source
# One accumulator (an object or a bare name such as "count") or a list of them.
_Accumulators: TypeAlias = str | Accumulator | list[Any]
_Mode: TypeAlias = Literal["auto", "pipelined", "batched"] | None
_OnMulti: TypeAlias = Literal["error", "first", "last", "list"]
# Columns of a table: {name: path}, or a list of paths each naming its column.
_Columns: TypeAlias = dict[str, str] | list[str] | tuple[str, ...]
# Called with the bytes scanned and one partial result per query; a true answer stops the scan.
_Progress: TypeAlias = Callable[[int, list[QueryResult]], object]

@final
class Query:
    def __new__(
        cls,
        sources: _SourceForm | list[Any] | dict[str, Any],
        queries: str | list[str] | dict[str, _Accumulators],
        accumulators: _Accumulators | None = None,
        *,
        max_threads: int | None = None,
        mode: _Mode = None,
        use_float: bool = False,
        limit: int | None = None,
        progress: _Progress | None = None,
        progress_interval: int | None = None,
    ) -> Query: ...
    def result(self, source: int | str | None = None, query: int | str | None = None) -> QueryResult: ...
    @property
    def sources(self) -> list[str]: ...
    @property
    def queries(self) -> list[str]: ...
    @property
    def accumulators(self) -> list[list[str]]: ...
    @property
    def mode(self) -> str: ...
    @property
    def n_sources(self) -> int: ...
    @property
    def n_queries(self) -> int: ...

@final
class Source:
    def __new__(
        cls,
        obj: str | os.PathLike[str] | bytes | bytearray | _Readable,
        *,
        progress: _Progress | None = None,
        progress_interval: int | None = None,
        name: str | None = None,
        compression: Literal["gzip", "zstd", "none"] | None = None,
    ) -> Source: ...

@final
class QueryResult:
    def count(self) -> int | None: ...
    def count_unique(self) -> int | None: ...
    def exists(self) -> bool | None: ...
    def min(self) -> float | None: ...
    def max(self) -> float | None: ...
    def sum(self) -> float | None: ...
    def mean(self) -> float | None: ...
    def product(self) -> float | None: ...
    def agg_skipped(self) -> int: ...
    def mode(self) -> list[list[Any]] | None: ...
    def value_counts(self) -> dict[Any, int] | None: ...
    def types(self) -> set[str] | None: ...
    @property
    def is_partial(self) -> bool: ...
    @property
    def bytes_covered(self) -> int | None: ...

@final
class Accumulator: ...

@final
class NumericBuffer:
    def __len__(self) -> int: ...
    @property
    def buffer(self) -> bytes: ...
    @property
    def skipped(self) -> int: ...

@final
class Items:
    def __iter__(self) -> Items: ...
    def __next__(self) -> Any: ...
    def stop(self, query_idx: int) -> None: ...
    def results(self) -> list[QueryResult]: ...
    @property
    def n_queries(self) -> int: ...

def items(
    source: _SourceForm,
    queries: str | list[str],
    *,
    with_index: bool = False,
    limit: int | None = None,
    accumulators: _Accumulators | None = None,
    mode: _Mode = None,
    use_float: bool = False,
) -> Items: ...
def kvitems(
    source: _SourceForm,
    queries: str | list[str],
    *,
    with_index: bool = False,
    limit: int | None = None,
    accumulators: _Accumulators | None = None,
    mode: _Mode = None,
    use_float: bool = False,
) -> Items: ...

@final
class Table:
    def __len__(self) -> int: ...
    # A numpy array for a typed column, a list otherwise.
    def column(self, name: str) -> Any: ...
    def to_dict(self) -> dict[str, Any]: ...
    # A pandas DataFrame, a polars DataFrame and a pyarrow Table: none of them is needed to
    # import jorvane, so their types are not named here.
    def to_pandas(self) -> Any: ...
    def to_polars(self) -> Any: ...
    def to_arrow(self) -> Any: ...
    @property
    def names(self) -> list[str]: ...
    @property
    def dtypes(self) -> list[tuple[str, str]]: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def bytes_covered(self) -> int | None: ...

def table(
    source: _SourceForm,
    rows: str,
    columns: _Columns,
    *,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
    use_float: bool = False,
    dtypes: dict[str, str] | None = None,
) -> Table: ...
def group_by(
    source: _SourceForm,
    rows: str,
    by: str | dict[str, str] | list[str] | tuple[str, ...],
    agg: dict[str, str | tuple[str] | tuple[str, str]],
    *,
    on_multi: _OnMulti = "error",
    max_groups: int | None = ...,
    mode: _Mode = None,
    use_float: bool = False,
) -> Table: ...
def write_ndjson(
    source: _SourceForm,
    path: str | os.PathLike[str],
    rows: str,
    *,
    fields: _Columns | None = None,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
) -> int: ...
def ndjson_lines(
    source: _SourceForm,
    rows: str,
    *,
    fields: _Columns | None = None,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
) -> NdjsonLines: ...
def table_batches(
    source: _SourceForm,
    rows: str,
    columns: _Columns,
    *,
    batch_rows: int = 65536,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
    use_float: bool = False,
    dtypes: dict[str, str] | None = None,
) -> TableBatches: ...
def describe(
    source: _SourceForm,
    *,
    limit_bytes: int | None = None,
    distinct_cap: int = 1000,
    mode: _Mode = None,
) -> Description: ...
def write_parquet(
    source: _SourceForm,
    path: str | os.PathLike[str],
    rows: str,
    columns: _Columns,
    *,
    dtypes: dict[str, str] | None = None,
    batch_rows: int = 65536,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
    compression: str = "zstd",
) -> int: ...
def write_csv(
    source: _SourceForm,
    path: str | os.PathLike[str],
    rows: str,
    columns: _Columns,
    *,
    dtypes: dict[str, str] | None = None,
    batch_rows: int = 65536,
    on_multi: _OnMulti = "error",
    limit: int | None = None,
    mode: _Mode = None,
    include_header: bool = True,
) -> int: ...
def _arrow_export_counters() -> tuple[int, int]: ...
def _active_kernel() -> Literal["avx512", "avx2", "neon", "scalar"]: ...

def Count() -> Accumulator: ...
def CountUnique() -> Accumulator: ...
def ValueCounts() -> Accumulator: ...
def Exists() -> Accumulator: ...
def Min() -> Accumulator: ...
def Max() -> Accumulator: ...
def Sum() -> Accumulator: ...
def Mean() -> Accumulator: ...
def Product() -> Accumulator: ...
def Mode() -> Accumulator: ...
def Types() -> Accumulator: ...
def Values(into: list[Any] | None = None, numeric: bool = False) -> Accumulator: ...
def ValuesUnique(into: list[Any] | None = None, numeric: bool = False) -> Accumulator: ...

# Returned by the functions above; not attributes of the module.
@final
@type_check_only
class Description:
    def __len__(self) -> int: ...
    # Every path in first-seen order, to {"count": int, "types": {name: int}, "distinct": int | None}.
    def paths(self) -> dict[str, dict[str, Any]]: ...
    @property
    def max_depth(self) -> int: ...
    @property
    def bytes_scanned(self) -> int: ...

@final
@type_check_only
class TableBatches:
    def __iter__(self) -> TableBatches: ...
    def __next__(self) -> Table: ...

@final
@type_check_only
class NdjsonLines:
    def __iter__(self) -> NdjsonLines: ...
    def __next__(self) -> bytes: ...
