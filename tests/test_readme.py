"""Every ```python example of the README runs as written, in a directory holding sample files with
the names it uses, and reads its inputs without writing over any of them."""
import gzip
import json
import pathlib
import random
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.M | re.S)


def event(rnd, i):
    return {
        "id": i,
        "user": {"id": rnd.randint(1, 50), "country": rnd.choice(["fr", "de", "jp", "br"])},
        "kind": rnd.choice(["click", "view", "view", "buy"]),
        "price": round(rnd.uniform(1, 200), 2) if rnd.random() < 0.2 else None,
        "tags": rnd.sample(["new", "promo", "mobile", "web"], rnd.randint(1, 2)),
        "status": rnd.choice([200, 200, 404, 500]),
    }


def lines(records):
    return "".join(json.dumps(r) + "\n" for r in records).encode()


def write_samples(directory):
    rnd = random.Random(7)
    events = [event(rnd, i) for i in range(3000)]
    (directory / "events.ndjson").write_bytes(lines(events))
    (directory / "logs").mkdir()
    for day in range(3):
        (directory / "logs" / f"day{day}.ndjson.gz").write_bytes(gzip.compress(lines(events[day::3])))
    users = [{"users": [{"name": f"user{i}-{j}"} for j in range(3)]} for i in range(20)]
    (directory / "users.ndjson").write_bytes(lines(users))
    (directory / "config.json").write_text(json.dumps({"settings": {"retries": 3, "verbose": True}}))
    big = lines(event(rnd, i) for i in range(20_000))
    (directory / "big.ndjson").write_bytes(big)
    (directory / "big.ndjson.gz").write_bytes(gzip.compress(big))
    (directory / "good.ndjson").write_bytes(lines(events[:10]))
    (directory / "broken.ndjson").write_bytes(b'{"kind": "view"}\n{"kind": ]\n')
    (directory / "dump.json").write_text(json.dumps({"events": events[:100]}, indent=2))


def test_the_readme_has_examples():
    assert BLOCKS


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_a_readme_example_runs_as_written(tmp_path, monkeypatch, capsys, index):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    write_samples(tmp_path)
    inputs = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[index], f"README.md example {index + 1}", "exec"), {"__name__": "readme"})
    assert {p: p.read_bytes() for p in inputs} == inputs, "an example wrote over one of its inputs"
