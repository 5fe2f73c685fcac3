"""The check `make wheel` runs on a repaired wheel, in a fresh virtualenv that holds only that wheel
and with no build tree on the path (run it with `python -I`): the module must load from the
virtualenv, with the libraries the wheel carries rather than the machine's, and answer queries over
a plain and a gzip file. Exits non-zero with the reason when anything differs."""
import gzip
import json
import os
import pathlib
import platform
import sysconfig
import tempfile

import jorvane

CARRIED = ("libzstd", "libisal", "libxxhash")  # linked libraries a manylinux machine may lack
KERNELS = {"avx512", "avx2", "neon", "scalar"}


def fail(reason):
    raise SystemExit(f"wheel check: {reason}")


def mapped_libraries():
    with open("/proc/self/maps") as maps:
        return {pathlib.Path(f[-1]) for f in (line.split() for line in maps) if len(f) == 6 and ".so" in f[-1]}


def check_location():
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    module = pathlib.Path(jorvane.jorvane.__file__).resolve()
    if site not in module.parents:
        fail(f"the module was loaded from {module}, not from the virtualenv's {site}")
    for name in ("__init__.pyi", "py.typed"):
        if not (module.parent / name).is_file():
            fail(f"the wheel does not ship jorvane/{name}")
    strays = sorted(str(p) for p in mapped_libraries()
                    if p.name.startswith(CARRIED) and site not in p.resolve().parents)
    if strays:
        fail(f"libraries loaded from the machine instead of the wheel: {', '.join(strays)}")


def check_kernel():
    kernel = jorvane._active_kernel()
    expected = os.environ.get("JORVANE_EXPECT_KERNEL")
    if kernel not in KERNELS or (expected and kernel != expected):
        fail(f"active kernel {kernel!r}" + (f", expected {expected!r}" if expected else ""))
    # A processor with vector units must not be left with the scalar kernel.
    flags = pathlib.Path("/proc/cpuinfo").read_text().split()
    vector = "avx2" in flags if platform.machine() == "x86_64" else "pmull" in flags
    if vector and kernel == "scalar":
        fail("the scalar kernel runs on a processor that offers a vector kernel")
    return kernel


def check_queries(directory):
    records = [{"id": i, "user": {"name": f"u{i}"}, "price": i * 1.5 if i % 3 else None} for i in range(1000)]
    text = "".join(json.dumps(r) + "\n" for r in records).encode()
    plain, packed = directory / "events.ndjson", directory / "events.ndjson.gz"
    plain.write_bytes(text)
    packed.write_bytes(gzip.compress(text))
    q = jorvane.Query([str(plain), str(packed)], {"id": ["count", "sum"], "user.name": ["count_unique"]})
    expected_sum = sum(range(1000))
    for source in (0, 1):
        if (q.result(source, "id").count(), q.result(source, "id").sum()) != (1000, expected_sum):
            fail(f"wrong count or sum of id over {q.sources[source]}")
        if q.result(source, "user.name").count_unique() != 1000:
            fail(f"wrong distinct count over {q.sources[source]}")
    prices = [p for p in jorvane.items(packed, "price", use_float=True) if p is not None]
    if prices != [r["price"] for r in records if r["price"] is not None]:
        fail("items() over the gzip file gave other values")


def main():
    check_location()
    kernel = check_kernel()
    with tempfile.TemporaryDirectory() as directory:
        check_queries(pathlib.Path(directory))
    print(f"wheel check: jorvane {jorvane.__version__} from {pathlib.Path(jorvane.__file__).parent}, kernel {kernel}")


if __name__ == "__main__":
    main()
