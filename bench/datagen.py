"""Deterministic test-data generator for the benchmarks.

Writes three kinds of CSV file into bench/data/ (git-ignored), reusing a
file that already exists with the requested name:

* ``clean``: a header and ten mixed columns (ints, floats, words, some
  non-ASCII words, quoted fields holding commas and doubled quotes), LF line
  ends, every row well formed;
* ``damaged``: the same kind of rows with short and long rows, stray quotes
  inside quoted fields, quotes inside unquoted fields, invalid UTF-8 bytes,
  blank lines, and LF, CR LF and lone CR line ends mixed;
* ``stray``: a single line ``"`` + ``a"`` * n + ``a",x`` where every quote
  but the last is stray, the worst case of the closing-quote look-ahead;
* further adversarial shapes for checking that every stage stays linear:
  ``stray_lines`` (many 1 KB lines of stray quotes), ``doubled`` (one
  field of doubled quotes), ``unterminated`` (an opening quote that takes
  the rest of a many-line file), ``invalid`` (rows of invalid UTF-8),
  ``blank`` (only blank lines, which the heuristics never count) and
  ``wide`` (one row of single-byte fields).

Rows are drawn from a pool of distinct row bodies so that hundreds of
megabytes are written in seconds, while neighbouring rows still differ.

Command line: ``python bench/datagen.py KIND --size-mb N [--data-dir DIR]``
prints the path of the file.
"""

from __future__ import annotations

import argparse
import os
import random
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
KINDS = ("clean", "damaged", "stray", "stray_lines", "doubled", "unterminated",
         "invalid", "blank", "wide")
WORST_CASES = KINDS[2:]

HEADER = b"id,count,price,city,category,name,score,date,qty,note\n"
CITIES = ["Berlin", "Lyon", "Oslo", "Porto", "Quito", "Zürich", "São Paulo",
          "Kraków", "Seoul", "Austin", "Nairobi", "Malmö", "Reykjavík", "Tōkyō"]
CATEGORIES = ["alpha", "beta", "gamma", "delta", "omega", "misc", "hardware",
              "software", "books", "garden", "tools", "toys"]
FIRST = ["Ana", "Ben", "Chloé", "Dmitri", "Eve", "Farid", "Grace", "Hugo",
         "Inès", "Jon", "Kai", "Lena", "Mo", "Nia", "Omar", "Pia"]
LAST = ["Smith", "Ng", "Okafor", "Müller", "García", "Rossi", "Kowalski",
        "Tanaka", "Dubois", "Silva", "Novak", "Haddad"]
WORDS = ["late", "shipped", "returned", "fragile", "urgent", "ok", "pending",
         "gift", "bulk", "sample", "damaged", "priority", "refund", "hold"]
POOL_SIZE = 20_000
CHUNK_ROWS = 50_000


def _note(rng: random.Random) -> str:
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 5)))
    roll = rng.random()
    if roll < 0.25:
        return f'"{words}, {rng.choice(WORDS)}"'
    if roll < 0.30:
        return f'"said ""{rng.choice(WORDS)}"", then {words}"'
    return words


def _clean_fields(rng: random.Random) -> list[str]:
    """Nine columns after the id; the name column is always quoted."""
    return [
        str(rng.randint(-1_000_000, 1_000_000)),
        f"{rng.uniform(0, 10_000):.2f}",
        rng.choice(CITIES),
        rng.choice(CATEGORIES),
        f'"{rng.choice(LAST)}, {rng.choice(FIRST)}"',
        f"{rng.uniform(-1, 1):.6f}",
        f"20{rng.randint(10, 25)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
        str(rng.randint(0, 500)),
        _note(rng),
    ]


def _damage(fields: list[str], rng: random.Random) -> bytes:
    """One damaged row body (no id, no line end)."""
    roll = rng.random()
    if roll < 0.06:
        fields = fields[: len(fields) - rng.randint(1, 4)]
    elif roll < 0.12:
        fields = fields + [rng.choice(WORDS) for _ in range(rng.randint(1, 3))]
    elif roll < 0.16:
        # A stray quote pair inside a quoted field, closed by a later quote.
        fields[4] = f'"{rng.choice(LAST)} "the {rng.choice(WORDS)}" {rng.choice(FIRST)}"'
    elif roll < 0.19:
        fields[3] = f'{fields[3]}"{rng.choice(WORDS)}'
    body = ",".join(fields).encode("utf-8")
    if rng.random() < 0.03:
        cut = rng.randrange(len(body) + 1)
        bad = rng.choice([b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xf8\x88"])
        body = body[:cut] + bad + body[cut:]
    return body


def _pool(kind: str, seed: int) -> list[bytes]:
    rng = random.Random(seed)
    if kind == "clean":
        return [",".join(_clean_fields(rng)).encode("utf-8") for _ in range(POOL_SIZE)]
    return [_damage(_clean_fields(rng), rng) for _ in range(POOL_SIZE)]


def _write_rows(path: Path, kind: str, size: int, seed: int) -> None:
    pool = _pool(kind, seed)
    rng = random.Random(seed + 1)
    endings = [b"\n"] * 6 + [b"\r\n"] * 3 + [b"\r"]
    written = 0
    row_id = 0
    with open(path, "wb") as out:
        out.write(HEADER)
        written += len(HEADER)
        while written < size:
            bodies = rng.choices(pool, k=CHUNK_ROWS)
            parts = []
            for body in bodies:
                if kind == "clean":
                    line = b"%d,%s\n" % (row_id, body)
                else:
                    ending = rng.choice(endings)
                    line = b"%d,%s%s" % (row_id, body, ending)
                    if rng.random() < 0.01:
                        line += ending
                row_id += 1
                parts.append(line)
                written += len(line)
                if written >= size:
                    break
            out.write(b"".join(parts))


def _write_stray(path: Path, size: int) -> None:
    pairs = max(1, (size - 5) // 2)
    with open(path, "wb") as out:
        out.write(b'"')
        block = b'a"' * 65_536
        remaining = pairs
        while remaining:
            n = min(remaining, 65_536)
            out.write(block if n == 65_536 else b'a"' * n)
            remaining -= n
        out.write(b'a",x\n')


def _write_repeated(path: Path, size: int, head: bytes, unit: bytes, tail: bytes) -> None:
    """head + unit * n + tail, about `size` bytes, written in large blocks."""
    count = max(1, (size - len(head) - len(tail)) // len(unit))
    per_block = max(1, (1 << 20) // len(unit))
    with open(path, "wb") as out:
        out.write(head)
        block = unit * per_block
        while count:
            n = min(count, per_block)
            out.write(block if n == per_block else unit * n)
            count -= n
        out.write(tail)


_REPEATED = {
    "stray_lines": (b"", b'"' + b'a"' * 500 + b'a",x\n', b""),
    "doubled": (b'"', b'a""', b'",x\n'),
    "unterminated": (b'"', b"abc,def;ghi\tjkl|mno\n", b""),
    "invalid": (b"", b"\xff\xfe,\xc3(,\xe2\x82,\xed\xa0\x80,\xf4\x90\x80\x80\n", b""),
    "blank": (b"", b"  \t\r\n", b""),
    "wide": (b"", b"a,", b"z\n"),
}


def ensure(kind: str, size_mb: float, data_dir: Path | None = None, seed: int = 7) -> Path:
    """Path of a generated file of about `size_mb` megabytes (10**6 bytes)."""
    if kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r}; expected one of {KINDS}")
    if size_mb <= 0:
        raise ValueError("size must be positive")
    directory = Path(data_dir) if data_dir else DATA_DIR
    directory.mkdir(parents=True, exist_ok=True)
    label = f"{size_mb:g}".replace(".", "p")
    path = directory / f"{kind}-{label}mb-s{seed}.csv"
    if path.exists():
        return path
    size = int(size_mb * 1_000_000)
    tmp = path.with_suffix(".tmp")
    if kind == "stray":
        _write_stray(tmp, size)
    elif kind in _REPEATED:
        _write_repeated(tmp, size, *_REPEATED[kind])
    else:
        _write_rows(tmp, kind, size, seed)
    os.replace(tmp, path)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("kind", choices=KINDS)
    parser.add_argument("--size-mb", type=float, default=50.0)
    parser.add_argument("--data-dir", type=Path, default=None)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    print(ensure(args.kind, args.size_mb, args.data_dir, args.seed))


if __name__ == "__main__":
    main()
