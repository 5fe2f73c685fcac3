"""Every ```python example of the README runs as written, in a directory of sample files with the
names it uses, and writes over none of its inputs."""
import gzip
import json
import pathlib
import random
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.M | re.S)


def write_samples(directory):
    rnd = random.Random(7)

    def events(n):
        return [{"id": i, "user": {"id": rnd.randint(1, 50), "country": rnd.choice(["fr", "de", "jp"])},
                 "kind": rnd.choice(["click", "view", "buy"]), "status": rnd.choice([200, 404]),
                 "price": round(rnd.uniform(1, 200), 2) if rnd.random() < 0.2 else None,
                 "tags": rnd.sample(["new", "promo", "mobile", "web"], rnd.randint(1, 2))} for i in range(n)]

    def lines(records):
        return "".join(json.dumps(r) + "\n" for r in records).encode()

    (directory / "logs").mkdir()
    big = lines(events(20_000))
    files = {"events.ndjson": lines(events(3000)), "big.ndjson": big, "big.ndjson.gz": gzip.compress(big),
             "logs/a.ndjson.gz": gzip.compress(lines(events(500))), "logs/b.ndjson.gz": gzip.compress(lines(events(9))),
             "users.ndjson": lines({"users": [{"name": f"u{i}"}, {"name": f"v{i}"}]} for i in range(20)),
             "config.json": b'{"settings": {"retries": 3, "verbose": true}}',
             "good.ndjson": lines(events(10)), "broken.ndjson": b'{"kind": "view"}\n{"kind": ]\n',
             "dump.json": json.dumps({"events": events(100)}, indent=2).encode()}
    for name, data in files.items():
        (directory / name).write_bytes(data)
    return {directory / name: data for name, data in files.items()}


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_a_readme_example_runs_as_written(tmp_path, monkeypatch, capsys, index):
    pytest.importorskip("pyarrow")
    inputs = write_samples(tmp_path)
    monkeypatch.chdir(tmp_path)
    exec(compile(BLOCKS[index], f"README.md example {index + 1}", "exec"), {"__name__": "readme"})
    assert {path: path.read_bytes() for path in inputs} == inputs, "an example wrote over one of its inputs"
