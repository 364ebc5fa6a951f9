"""Repairs the shipped damaged sample and shows what came out.

Run it after installing the package (``pip install .``). The sample,
damaged.csv beside this script, is a semicolon file with a byte-order mark,
CR LF and LF line ends, stray and unterminated quotes, short and long rows
and a byte that is not UTF-8. The results are written to a temporary
directory, so running the demo leaves nothing behind.
"""

import pathlib
import subprocess
import sys
import tempfile

import csv_vornish

SAMPLE = pathlib.Path(__file__).with_name("damaged.csv")


def show(title: str, text: str) -> None:
    print(f"--- {title} ---")
    print(text, end="" if text.endswith("\n") else "\n")
    print()


def main() -> None:
    show("damaged input (as Python sees its bytes)", "\n".join(repr(line) for line in SAMPLE.read_bytes().splitlines(True)))

    with tempfile.TemporaryDirectory() as scratch:
        clean = pathlib.Path(scratch, "damaged.clean.csv")
        quarantine = pathlib.Path(scratch, "damaged.quarantine.csv")
        # Short rows are padded (the default); rows with surplus fields are
        # set aside rather than merged, so the quarantine file has something
        # to show.
        command = ["repair", str(SAMPLE), "-o", str(clean), "--quarantine", str(quarantine), "--no-merge"]
        print("$ csv-vornish " + " ".join(command[:2]) + " -o damaged.clean.csv --quarantine damaged.quarantine.csv --no-merge")
        # The command of this interpreter's installation, not another one on PATH.
        script = pathlib.Path(sys.executable).with_name("csv-vornish")
        launcher = [str(script)] if script.exists() else [sys.executable, "-m", "csv_vornish"]
        finished = subprocess.run(launcher + command, capture_output=True, text=True, check=False)
        show(f"summary (stderr, exit status {finished.returncode})", finished.stderr)
        if finished.returncode != 0:
            sys.exit(finished.returncode)
        show("clean output", clean.read_text(encoding="utf-8"))
        show("quarantine file", quarantine.read_text(encoding="utf-8"))

    # The command line detects the encoding by default; the library does
    # when asked, and then reads the Latin-1 byte as the letter it is.
    print('--- the same file streamed with encoding="auto" (long rows merged) ---')
    with csv_vornish.open(SAMPLE, encoding="auto") as reader:
        for row in reader:
            print(row)
        print(reader.summary)


if __name__ == "__main__":
    main()
