"""Generates a corpus of CSV files of known dialect, for dialect detection.

Every file is a small table with a random dialect (delimiter among
``, ; TAB | space : ^ ~ #``, double or single quotes, blanks after the
delimiter or not), a preamble of 0 to 5 rows (titles, notes, comments, blank
rows, separator rows), a header or not, typed and text columns, and, in most
files, some of the damage the repair engine deals with: ragged rows, stray
quotes, invalid UTF-8, mixed line ends, a byte-order mark. The true dialect
of each file goes into ``truth.json`` beside the files.

The corpus is a pure function of ``--seed`` and ``--count``; nothing is
downloaded and nothing is committed but this script::

    python bench/dialect_corpus.py bench/data/dialect --count 600
"""

from __future__ import annotations

import argparse
import json
import random
import string
from dataclasses import asdict, dataclass
from pathlib import Path

DELIMITERS = [",", ";", "\t", "|", " ", ":", "^", "~", "#"]
# Commas and semicolons dominate real exports; the rest still come up.
DELIMITER_WEIGHTS = [30, 16, 12, 9, 6, 6, 4, 4, 4]
# Delimiters that exports write with a blank after them ("a, b, c").
SPACED = {",", ";", "|"}

FIRST = ["Ann", "Bob", "Cy", "Dana", "Eve", "Finn", "Gus", "Hana", "Ivo", "Jo", "Kai", "Lea", "Mo", "Nils"]
LAST = ["Smith", "Berg", "Okafor", "Lindqvist", "Moreau", "Tanaka", "Novak", "Rossi", "Kim", "Silva"]
CITIES = ["Oslo", "Lyon", "Porto", "Graz", "Turku", "Gent", "Cork", "Bern", "Split", "Riga", "Malmo"]
WORDS = ["alpha", "beta", "gamma", "red", "green", "blue", "north", "south", "open", "closed",
         "pending", "shipped", "small", "large", "prime", "basic"]
PHRASES = ["fragile, handle with care", "call before delivery", "left at door; signed",
           "gift wrap", "customer said \"urgent\"", "back order: 2 weeks", "n/a for now",
           "paid in full", "see note #4", "ok ~ checked", "price^2 discount", "box | crate"]
HEADER_WORDS = ["id", "name", "city", "amount", "price", "qty", "date", "time", "created", "status",
                "note", "code", "email", "active", "score", "total", "country", "ref", "type", "rank"]

TITLES = ["Quarterly sales report", "Customer export", "Inventory snapshot", "Payroll summary",
          "Monthly figures", "Shipment log", "Survey results (draft)"]
NOTES = ["Generated 2023-10-01 by the export tool", "Source: ERP export, region North",
         "Prepared by finance; do not distribute", "Confidential", "Rows: all accounts",
         "Exported at 09:30 from the main office", "Version 2 - corrected figures"]
SEPARATORS = ["----------", "==========", "**********", "__________"]


@dataclass(frozen=True)
class Truth:
    file: str
    # None for a single-column file.
    delimiter: str | None
    quote_char: str
    skip_initial_space: bool
    skip_rows: int
    header: bool
    columns: int
    damage: tuple[str, ...] = ()
    # Which family of files it belongs to: "plain" for the original corpus,
    # otherwise one of LAYOUTS.
    layout: str = "plain"
    comment: str | None = None
    header_rows: int = 1
    skip_footer: int = 0
    # Each table's (rows before it, columns, header); empty: the one table
    # the fields above describe.
    tables: tuple[tuple[int, int, bool], ...] = ()

    def table_list(self) -> list[tuple[int, int, bool]]:
        return [tuple(t) for t in self.tables] or [(self.skip_rows, self.columns, self.header)]


def _value(rng: random.Random, kind: str, row: int) -> str:
    if kind == "int":
        return str(rng.randint(-50, 100000))
    if kind == "id":
        return str(1000 + row)
    if kind == "float":
        return f"{rng.uniform(-1000, 1000):.{rng.randint(1, 3)}f}"
    if kind == "date":
        return f"20{rng.randint(10, 29)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
    if kind == "eudate":
        return f"{rng.randint(1, 28):02d}/{rng.randint(1, 12):02d}/20{rng.randint(10, 29)}"
    if kind == "time":
        return f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"
    if kind == "bool":
        return rng.choice(["true", "false"])
    if kind == "word":
        return rng.choice(WORDS)
    if kind == "name":
        return f"{rng.choice(FIRST)} {rng.choice(LAST)}"
    if kind == "city":
        return rng.choice(CITIES)
    if kind == "code":
        return "".join(rng.choice(string.ascii_uppercase) for _ in range(2)) + "-" + str(rng.randint(100, 999))
    if kind == "email":
        return f"{rng.choice(FIRST).lower()}.{rng.choice(LAST).lower()}@example.org"
    if kind == "phrase":
        return rng.choice(PHRASES) if rng.random() < 0.5 else rng.choice(WORDS)
    raise ValueError(kind)


TYPED = ["int", "id", "float", "date", "eudate", "time", "bool"]
TEXT = ["word", "name", "city", "code", "email", "phrase"]


class _Writer:
    """Formats fields in one dialect, quoting what must be quoted."""

    def __init__(self, delimiter: str, quote: str, spaced: bool, quote_text: bool) -> None:
        self.delimiter = delimiter
        self.quote = quote
        self.spaced = spaced
        self.quote_text = quote_text
        self.quoted_any = False

    def field(self, text: str, is_text: bool) -> str:
        special = (self.delimiter in text or self.quote in text or "\n" in text or "\r" in text
                   or text[:1] in (" ", "\t") or (self.spaced and text[:1] in ("'", '"')))
        if special or (self.quote_text and is_text):
            self.quoted_any = True
            return self.quote + text.replace(self.quote, self.quote * 2) + self.quote
        return text

    def join(self, fields: list[str]) -> str:
        return (self.delimiter + " " if self.spaced else self.delimiter).join(fields)


def _preamble(rng: random.Random, count: int, delimiter: str, width: int) -> list[str]:
    rows = []
    for _ in range(count):
        kind = rng.choice(["title", "note", "comment", "blank", "separator", "delimiters", "keyvalue"])
        if kind == "title":
            rows.append(rng.choice(TITLES))
        elif kind == "note":
            rows.append(rng.choice(NOTES))
        elif kind == "comment":
            rows.append(("// " if delimiter == "#" else "# ") + rng.choice(NOTES))
        elif kind == "blank":
            rows.append("")
        elif kind == "separator":
            rows.append(rng.choice(SEPARATORS))
        elif kind == "delimiters":
            rows.append(delimiter * (width - 1))
        else:
            rows.append(f"{rng.choice(['Date', 'Author', 'Period', 'Unit'])}: {rng.choice(['2023-Q3', 'J. Doe', 'EUR', 'monthly'])}")
    return rows


def make_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    delimiter = rng.choices(DELIMITERS, DELIMITER_WEIGHTS)[0]
    quote = '"' if rng.random() < 0.75 else "'"
    spaced = delimiter in SPACED and rng.random() < 0.3
    width = rng.randint(2, 9)
    kinds = [rng.choice(TYPED if rng.random() < 0.5 else TEXT) for _ in range(width)]
    if not any(k in TYPED for k in kinds):
        kinds[rng.randrange(width)] = rng.choice(TYPED)
    # Single quotes are only ever seen when something is quoted with them.
    quote_text = rng.random() < (0.6 if quote == "'" else 0.25)
    header = rng.random() < 0.7
    nrows = rng.randint(8, 120)
    writer = _Writer(delimiter, quote, spaced, quote_text)

    lines: list[str] = []
    preamble_rows = rng.choice([0, 0, 0, 1, 2, 3, 4, 5])
    lines += _preamble(rng, preamble_rows, delimiter, width)
    if header:
        names = rng.sample(HEADER_WORDS, width)
        lines.append(writer.join([writer.field(n, True) for n in names]))

    damage: set[str] = set()
    damaged = rng.random() < 0.7
    ragged = damaged and rng.random() < 0.5
    stray = damaged and rng.random() < 0.4
    for r in range(nrows):
        values = [_value(rng, k, r) for k in kinds]
        fields = [writer.field(v, k in TEXT) for v, k in zip(values, kinds)]
        if stray and r > 0 and rng.random() < 0.05:
            text_columns = [i for i, k in enumerate(kinds) if k in TEXT]
            if text_columns:
                i = rng.choice(text_columns)
                fields[i] = f'{quote}He said {quote}hi{quote} twice{quote}'
                writer.quoted_any = True
                damage.add("stray quotes")
        if ragged and r > 0 and rng.random() < 0.04:
            if rng.random() < 0.5 and len(fields) > 1:
                fields.pop()
            else:
                fields.append(writer.field(_value(rng, "word", r), True))
            damage.add("ragged rows")
        lines.append(writer.join(fields))

    if damaged and rng.random() < 0.4:
        line_ends = [rng.choice(["\n", "\r\n", "\r"]) for _ in lines]
        # A lone CR before an empty line ended by LF would read as one CR LF,
        # and the blank row would vanish from the count.
        for i in range(1, len(lines)):
            if line_ends[i - 1] == "\r" and lines[i] == "" and line_ends[i] != "\r":
                line_ends[i - 1] = "\r\n"
        damage.add("mixed line ends")
    else:
        end = rng.choice(["\n", "\n", "\r\n"])
        line_ends = [end] * len(lines)
    body = "".join(line + end for line, end in zip(lines, line_ends)).encode("utf-8")

    if damaged and rng.random() < 0.4:
        data = bytearray(body)
        start = len("".join(l + e for l, e in zip(lines[: preamble_rows + header + 1], line_ends)).encode())
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(start, len(data)) if start < len(data) else 0
            # Only letters are replaced, so no line end or separator is lost.
            if chr(data[at]).isalpha():
                data[at] = rng.choice([0xFF, 0xC3, 0xFE, 0x80])
                damage.add("invalid bytes")
        body = bytes(data)
    if rng.random() < 0.1:
        body = b"\xef\xbb\xbf" + body

    prefix = "//" if delimiter == "#" else "#"
    truth = Truth(
        file=name,
        delimiter=delimiter,
        quote_char=quote if writer.quoted_any else '"',
        skip_initial_space=spaced,
        skip_rows=preamble_rows,
        header=header,
        columns=width,
        damage=tuple(sorted(damage)),
        comment=prefix if any(line.startswith(prefix + " ") for line in lines[:preamble_rows]) else None,
    )
    return body, truth


def generate(folder: Path, count: int = 600, seed: int = 13, layouts: int = 0) -> list[Truth]:
    """Writes ``count`` files and ``truth.json`` into ``folder``; returns the truths.

    ``layouts`` more files of each kind in LAYOUTS follow the ``count``
    plain ones; the plain files are the same whatever ``layouts`` is.
    """
    folder.mkdir(parents=True, exist_ok=True)
    truths = []
    for i in range(count):
        rng = random.Random(seed * 1_000_003 + i)
        name = f"{i:04d}.csv"
        body, truth = make_file(rng, name)
        (folder / name).write_bytes(body)
        truths.append(truth)
    for layout_index, layout in enumerate(LAYOUTS):
        for i in range(layouts):
            rng = random.Random((seed * 1_000_003 + i) * 31 + layout_index + 1)
            name = f"{layout.replace(' ', '-')}-{i:04d}.csv"
            body, truth = LAYOUTS[layout](rng, name)
            (folder / name).write_bytes(body)
            truths.append(truth)
    (folder / "truth.json").write_text(json.dumps([asdict(t) for t in truths], indent=1), encoding="utf-8")
    return truths


# Cells of the kinds that mislead delimiter detection in real exports.
PROSE = ["Delivered to the north gate and signed by the driver", "Customer asked for a new invoice",
         "Left with the neighbour at number 12", "Paid by card at the counter", "No answer at the door",
         "Box was damaged in transit but the goods are fine", "Returned to sender after two attempts",
         "Please call the office before noon", "Order split over two shipments", "Waiting for stock"]
ANCHORS = ["https://example.org/docs#intro", "page.html#top", "#A-1042", "ref#7", "item #12", "https://example.org/a:b"]
# Office exports name their columns in words.
SPOKEN_NAMES = ["Order date", "Unit price", "Customer name", "Delivery note", "Time of day", "Net amount",
                "Ref no", "Link", "Remarks", "Ratio", "Item", "Status", "Booked at", "Total (EUR)"]
REAL_DELIMITERS = [";", ";", ";", ";", "\t", "|", ","]


def _real_value(rng: random.Random, kind: str, row: int, decimal_comma: bool) -> str:
    if kind == "prose":
        return rng.choice(PROSE)
    if kind == "money":
        value = f"{rng.uniform(0, 100000):.2f}"
        return value.replace(".", ",") if decimal_comma else value
    if kind == "clock":
        return f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}"
    if kind == "stamp":
        return f"{rng.randint(1, 28):02d}.{rng.randint(1, 12):02d}.20{rng.randint(10, 29)} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}"
    if kind == "anchor":
        return rng.choice(ANCHORS)
    if kind == "ratio":
        return f"{rng.randint(1, 9)}:{rng.randint(1, 9)}"
    return _value(rng, kind, row)


REAL_KINDS = ["prose", "money", "clock", "stamp", "anchor", "ratio", "name", "id", "int", "city"]


def make_real_cells_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """A table whose cells hold blanks, decimal commas, "#" and ":" (prose,
    money, times, anchors, ratios), as exports of office tools do."""
    delimiter = rng.choice(REAL_DELIMITERS)
    decimal_comma = delimiter != "," and rng.random() < 0.7
    width = rng.choice([2, 2, 3, 3, 4, 5, 6, 8])
    kinds = [rng.choice(REAL_KINDS) for _ in range(width)]
    # At least one of the misleading kinds, and one that is not prose.
    kinds[rng.randrange(width)] = rng.choice(["prose", "money", "clock", "anchor", "stamp"])
    if all(k == "prose" for k in kinds):
        kinds[0] = "id"
    header = rng.random() < 0.8
    quote_text = rng.random() < 0.3
    writer = _Writer(delimiter, '"', False, quote_text)
    lines = []
    if header:
        names = rng.sample(SPOKEN_NAMES if rng.random() < 0.6 else HEADER_WORDS, width)
        lines.append(writer.join([writer.field(n, True) for n in names]))
    for r in range(rng.choice([rng.randint(4, 10), rng.randint(10, 80)])):
        values = [_real_value(rng, k, r, decimal_comma) for k in kinds]
        lines.append(writer.join([writer.field(v, k in ("prose", "name", "city", "anchor")) for v, k in zip(values, kinds)]))
    end = rng.choice(["\n", "\r\n"])
    body = "".join(line + end for line in lines).encode("utf-8")
    return body, Truth(name, delimiter, '"', False, 0, header, width, (), "real cells")


def make_damaged_header_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """A file of the plain kind with a header, whose header row has a field
    too many or too few, or a stray quote inside a name."""
    while True:
        body, truth = make_file(rng, name)
        if truth.header and truth.columns >= 3 and not truth.skip_initial_space:
            break
    lines = body.split(b"\n") if b"\r" not in body else None
    if lines is None or body.startswith(b"\xef\xbb\xbf"):
        # Keep the rewrite simple: only LF files without a byte-order mark.
        return make_damaged_header_file(rng, name)
    at = truth.skip_rows
    header = lines[at].decode("utf-8")
    delimiter = truth.delimiter
    fields = header.split(delimiter)
    if len(fields) != truth.columns or any(truth.quote_char in f or '"' in f or "'" in f for f in fields):
        return make_damaged_header_file(rng, name)
    # Under a blank delimiter a row a word short is a title: only the quote.
    damage = rng.choice(["stray quote"] if delimiter == " " else ["extra field", "missing field", "stray quote"])
    if damage == "extra field":
        fields.insert(rng.randint(1, len(fields)), rng.choice(["note", "extra", "comment", "misc"]))
    elif damage == "missing field":
        fields.pop(rng.randrange(1, len(fields)))
    else:
        i = rng.randrange(len(fields))
        cut = rng.randint(1, max(1, len(fields[i]) - 1))
        fields[i] = fields[i][:cut] + truth.quote_char + fields[i][cut:]
    lines[at] = delimiter.join(fields).encode("utf-8")
    body = b"\n".join(lines)
    return body, Truth(name, delimiter, truth.quote_char, False, truth.skip_rows, True, truth.columns,
                       tuple(sorted({*truth.damage, "damaged header"})), "damaged header", truth.comment)


def make_single_column_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """One column: nothing separates fields, so there is no delimiter."""
    kind = rng.choice(["int", "id", "float", "date", "word", "city", "email"])
    # A name over words is a word like the others: only typed columns get one.
    header = kind in TYPED and rng.random() < 0.7
    lines = [rng.choice(HEADER_WORDS)] if header else []
    lines += [_value(rng, kind, r) for r in range(rng.randint(5, 60))]
    end = rng.choice(["\n", "\r\n"])
    body = "".join(line + end for line in lines).encode("utf-8")
    return body, Truth(name, None, '"', False, 0, header, 1, (), "single column")



# What wraps a table in exports: comment lines, footers, stacked tables and
# headers of two rows. Each file is one small table (or several) of a random
# dialect, with the damage the repair handles: ragged rows, stray quotes,
# invalid bytes, mixed line ends.
TOTAL_WORDS = ["Total", "Sum", "Gesamt", "Summe", "TOTAL", "Grand total"]
FOOTER_NOTES = ["Source: ERP export, region North", "Note: figures are provisional", "End of report",
                "Generated by the export tool", "* estimated", "Source: national statistics office"]
GROUPS = ["Revenue", "Cost", "Volume", "Margin", "Orders", "Returns"]
SUBNAMES = ["Q1", "Q2", "Q3", "Q4", "net", "gross", "min", "max", "EU", "US", "2023", "2024"]
NUMERIC = ["int", "float"]


class _Table:
    """One generated table: its header rows and data rows, formatted."""

    def __init__(self, rng: random.Random, writer: _Writer, width: int, rows: int, header: bool,
                 kinds: list[str] | None = None) -> None:
        self.width = width
        self.kinds = kinds or [rng.choice(TYPED if rng.random() < 0.55 else TEXT) for _ in range(width)]
        if not any(k in TYPED for k in self.kinds):
            self.kinds[rng.randrange(width)] = rng.choice(TYPED)
        self.header = [writer.join([writer.field(n, True) for n in rng.sample(HEADER_WORDS, width)])] if header else []
        self.values = [[_value(rng, k, r) for k in self.kinds] for r in range(rows)]
        self.writer = writer
        self.damage: set[str] = set()

    def lines(self, rng: random.Random, damaged: bool) -> list[str]:
        out = []
        for r, values in enumerate(self.values):
            fields = [self.writer.field(v, k in TEXT) for v, k in zip(values, self.kinds)]
            if damaged and r > 0 and rng.random() < 0.05:
                if rng.random() < 0.5 and len(fields) > 2:
                    fields.pop()
                else:
                    fields.append(self.writer.field(rng.choice(WORDS), True))
                self.damage.add("ragged rows")
            out.append(self.writer.join(fields))
        return out


def _dialect(rng: random.Random) -> tuple[str, str, bool, _Writer]:
    delimiter = rng.choices(DELIMITERS, DELIMITER_WEIGHTS)[0]
    quote = '"' if rng.random() < 0.8 else "'"
    spaced = delimiter in SPACED and rng.random() < 0.2
    writer = _Writer(delimiter, quote, spaced, rng.random() < (0.6 if quote == "'" else 0.2))
    return delimiter, quote, spaced, writer


def _finish(rng: random.Random, lines: list[str], damaged: bool, damage: set[str]) -> bytes:
    """Joins lines with line ends (mixed ones in some damaged files) and
    puts invalid bytes into letters of some of them."""
    if damaged and rng.random() < 0.3:
        ends = [rng.choice(["\n", "\r\n"]) for _ in lines]
        damage.add("mixed line ends")
    else:
        ends = [rng.choice(["\n", "\r\n"])] * len(lines)
    data = bytearray("".join(line + end for line, end in zip(lines, ends)).encode("utf-8"))
    if damaged and rng.random() < 0.3:
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(data))
            if chr(data[at]).isalpha() and data[at] < 0x80:
                data[at] = rng.choice([0xFF, 0xFE])
                damage.add("invalid bytes")
    return bytes(data)


def _quote_of(writer: _Writer, quote: str) -> str:
    return quote if writer.quoted_any else '"'


def make_comments_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """Comment lines before and inside a table; in some files instead a
    column of values that start with "#" (colours), which are no comments."""
    delimiter, quote, spaced, writer = _dialect(rng)
    colours = delimiter != "#" and rng.random() < 0.2
    prefix = None if colours else ("//" if delimiter == "#" or rng.random() < 0.25 else "#")
    width = rng.randint(2, 7)
    header = rng.random() < 0.75
    damaged = rng.random() < 0.6
    table = _Table(rng, writer, width, rng.randint(8, 60), header)
    if colours:
        table.kinds[0] = "colour"
        for values in table.values:
            values[0] = "#" + "".join(rng.choice("0123456789ABCDEF") for _ in range(6))
    body = table.lines(rng, damaged)
    top = [] if prefix is None else [f"{prefix} {rng.choice(NOTES)}" for _ in range(rng.randint(0, 2))]
    if prefix is not None:
        for _ in range(rng.randint(1 if not top else 0, 3)):
            body.insert(rng.randint(1, len(body)), f"{prefix} {rng.choice(NOTES)}")
    lines = top + table.header + body
    damage = set(table.damage)
    data = _finish(rng, lines, damaged, damage)
    return data, Truth(name, delimiter, _quote_of(writer, quote), spaced, len(top), header, width,
                       tuple(sorted(damage)), "comments", prefix)


def make_footer_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """A table ending in a totals row (sums in its number columns), notes or
    a source line, or both; some files end in a last data row that only
    looks like a totals row (a word first, numbers that are no sums)."""
    delimiter, quote, spaced, writer = _dialect(rng)
    width = rng.randint(3, 7)
    kinds = [rng.choice(TEXT)] + [rng.choice(TYPED + TEXT) for _ in range(width - 1)]
    kinds[rng.randrange(1, width)] = rng.choice(NUMERIC)
    header = rng.random() < 0.85
    damaged = rng.random() < 0.5
    table = _Table(rng, writer, width, rng.randint(5, 50), header, kinds)
    body = table.lines(rng, False)
    footer: list[str] = []
    style = rng.choice(["totals", "totals", "totals and notes", "notes", "no sums"])
    if style in ("totals", "totals and notes", "no sums"):
        cells = [writer.field(rng.choice(TOTAL_WORDS), True)]
        for k, column in zip(kinds[1:], list(zip(*table.values))[1:]):
            if k in NUMERIC:
                decimals = max((len(v.split(".")[1]) if "." in v else 0) for v in column)
                total = sum(float(v) for v in column)
                if style == "no sums":
                    total += rng.randint(1, 50)
                cells.append(f"{total:.{decimals}f}")
            else:
                cells.append("")
        row = writer.join(cells)
        if style == "no sums":
            body.append(row)
        else:
            footer.append(row)
    if style in ("totals and notes", "notes"):
        if rng.random() < 0.5:
            footer.append("")
        footer += [rng.choice(FOOTER_NOTES) for _ in range(rng.randint(1, 2))]
    if footer and footer[0] != "" and rng.random() < 0.3:
        footer.insert(0, "")
    preamble = rng.choice([0, 0, 1, 2])
    lines = _preamble(rng, preamble, delimiter, width) + table.header + body + footer
    damage = set(table.damage)
    data = _finish(rng, lines, damaged, damage)
    prefix = "//" if delimiter == "#" else "#"
    comment = prefix if any(line.startswith(prefix + " ") for line in lines[:preamble]) else None
    return data, Truth(name, delimiter, _quote_of(writer, quote), spaced, preamble, header, width,
                       tuple(sorted(damage)), "footer", comment, 1, len(footer))


def make_stacked_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """Two or three tables one after another, blank rows between them; each
    later one has another width or a header of its own."""
    delimiter, quote, spaced, writer = _dialect(rng)
    damaged = rng.random() < 0.5
    lines: list[str] = []
    preamble = rng.choice([0, 0, 1, 2])
    first_width = rng.randint(2, 7)
    lines += _preamble(rng, preamble, delimiter, first_width)
    tables = []
    damage: set[str] = set()
    width = first_width
    for t in range(rng.choice([2, 2, 3])):
        if t > 0:
            lines += [""] * rng.randint(1, 2)
            header = rng.random() < 0.8
            width = rng.choice([w for w in range(2, 8) if w != width]) if not header or rng.random() < 0.6 else width
        else:
            header = rng.random() < 0.8
        table = _Table(rng, writer, width, rng.randint(4, 30), header)
        tables.append((len(lines), width, header))
        lines += table.header + table.lines(rng, damaged)
        damage |= table.damage
    data = _finish(rng, lines, damaged, damage)
    prefix = "//" if delimiter == "#" else "#"
    comment = prefix if any(line.startswith(prefix + " ") for line in lines[:preamble]) else None
    first = tables[0]
    return data, Truth(name, delimiter, _quote_of(writer, quote), spaced, first[0], first[2], first[1],
                       tuple(sorted(damage)), "stacked tables", comment, 1, 0, tuple(tables))


def make_two_row_header_file(rng: random.Random, name: str) -> tuple[bytes, Truth]:
    """A row of group names spread over empty cells above the column names,
    over typed columns: ``,Revenue,,Cost,`` above ``id,Q1,Q2,Q1,Q2``."""
    delimiter, quote, spaced, writer = _dialect(rng)
    groups = rng.randint(1, 3)
    span = rng.randint(2, 3)
    lead = rng.randint(1, 2)
    width = lead + groups * span
    kinds = [rng.choice(["id", "word", "name", "city", "code"]) for _ in range(lead)]
    kinds += [rng.choice(NUMERIC) for _ in range(groups * span)]
    damaged = rng.random() < 0.5
    table = _Table(rng, writer, width, rng.randint(5, 40), False, kinds)
    names = rng.sample(SUBNAMES, span)
    group_cells = [""] * lead
    name_cells = rng.sample(HEADER_WORDS, lead)
    for g in rng.sample(GROUPS, groups):
        group_cells += [g] + [""] * (span - 1)
        name_cells += names
    if lead > 0 and rng.random() < 0.3:
        group_cells[0] = rng.choice(["Region", "Item", "Key"])
    header = [writer.join([writer.field(c, True) if c else "" for c in group_cells]),
              writer.join([writer.field(c, True) for c in name_cells])]
    preamble = rng.choice([0, 0, 1, 2])
    lines = _preamble(rng, preamble, delimiter, width) + header + table.lines(rng, damaged)
    damage = set(table.damage)
    data = _finish(rng, lines, damaged, damage)
    prefix = "//" if delimiter == "#" else "#"
    comment = prefix if any(line.startswith(prefix + " ") for line in lines[:preamble]) else None
    return data, Truth(name, delimiter, _quote_of(writer, quote), spaced, preamble, True, width,
                       tuple(sorted(damage)), "two-row header", comment, 2)


LAYOUTS = {
    "comments": make_comments_file,
    "footer": make_footer_file,
    "stacked tables": make_stacked_file,
    "two-row header": make_two_row_header_file,
    "real cells": make_real_cells_file,
    "damaged header": make_damaged_header_file,
    "single column": make_single_column_file,
}


def load_truths(folder: Path) -> list[Truth]:
    return [Truth(**{**t, "damage": tuple(t["damage"]), "tables": tuple(tuple(x) for x in t["tables"])}) for t in json.loads((folder / "truth.json").read_text(encoding="utf-8"))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path, help="where the files go (bench/data/... is ignored by git)")
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--layouts", type=int, default=0, help="files of each layout kind besides the plain ones")
    args = parser.parse_args()
    truths = generate(args.folder, args.count, args.seed, args.layouts)
    print(f"{len(truths)} files in {args.folder}")


if __name__ == "__main__":
    main()
