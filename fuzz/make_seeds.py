"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Each seed is a small damaged CSV text behind the option bytes its target
reads first. The corpora are committed; run this again only to change them:

    python3 fuzz/make_seeds.py
"""

from pathlib import Path

# Selector values of the option reader's table of interesting bytes.
COMMA, SEMI, TAB, PIPE, DQUOTE, APOS, SPACE, CR, LF, NUL, C3, EF, FF, LETTER = range(14)

DAMAGED = [
    b'id,name,note\n1,"He said "hi, there" ok",x\n2,b,c\n',
    b'a,b,c\n1,"unterminated,2\n3,4,5\n',
    b"a,b\r\nc,d\re,f\n\rg,h",
    b"\xef\xbb\xbfa;b;c\n1;2;3\n4;5\n6;7;8;9\n",
    b"a,\xff\xfeb,c\n\xc3\x28,\xe2\x82,d\n\xf0\x9f\x98\x80,ok\n",
    b"a,b,c\n1,2\n3,4,5,6,7\n\n\nx\n",
    b"'abc'\t'def'\n'abc'\tdef\n'a' b'  \n",
    b'"a""b",c\n"""",""\n"a"x""\n',
    b'"abc" d e,f\n"abc"  ,d\nx"y"z,1\n',
    b'a|b|c\n"x|y"|z|w\n|||\n',
    b'"' + b'a"' * 200 + b"\n" + b'"' + b'b" ' * 50 + b",x\n",
    b'"a\rb",c\nd\n"a\r\nb",c\n',
    b"\xef\xbb\xbf\xef\xbb\xbfa,b\n",
    b"caf\xc3\xa9\xc3\xa9x\xc3\xa9y\n",
    b'"',
    b"\n\n",
    b"   ",
]


def tokenizer_options(i: int) -> bytes:
    delimiters = [COMMA, SEMI, TAB, PIPE, SPACE, DQUOTE, C3, LF]
    quotes = [DQUOTE, APOS, DQUOTE, APOS, DQUOTE, DQUOTE, APOS, CR]
    return bytes([delimiters[i % 8], quotes[i % 8], i % 2 ^ 1])


def pipeline_options(i: int) -> bytes:
    # delimiter mode (odd: given), delimiter, quote, flags, width selector
    delimiter_given = i % 3 != 0
    flags = [0b1111, 0b0111, 0b1000, 0b1101, 0b1110, 0b0101][i % 6]
    widths = [3, 1, 0, 4, 0xF0, 2]
    delimiters = [COMMA, SEMI, TAB, PIPE, C3, FF]
    return bytes([int(delimiter_given), delimiters[i % 6], [DQUOTE, APOS][i % 2],
                  flags, widths[i % 6]])


def roundtrip_options(i: int) -> bytes:
    flags = [0b1111, 0b1100, 0b0011, 0b1000][i % 4]
    delimiters = [COMMA, SEMI, TAB, PIPE, SPACE, NUL]
    quotes = [DQUOTE, APOS, DQUOTE, LETTER]
    return bytes([i % 2, delimiters[i % 6], quotes[i % 4], flags, i % 6])


# Dialect seeds: preambles, blanks after delimiters, single quotes, other
# separators, on top of the damaged texts above.
DIALECT_EXTRA = [
    b"Sales report\n\n-----\nid, city, price\n1, Oslo, 2.5\n2, 'Graz, AT', 3\n",
    b"# exported\n# by hand\na:b:c\n1:09:30:x\n2:10:15:y\n",
    b"name^note\n'Ann'^'a^b'\n'Bo'^'c'\n",
    b",,,\nx~y~z\n1~2~3\n4~5\n",
    b"Title\r\rid\tv\r\n'a'\t'b'\n1\t2",
]


def dialect_options(i: int) -> bytes:
    return bytes([i % 2])


def dispatch_options(i: int) -> bytes:
    # Bit 1 of the flags turns on initial-space skipping.
    delimiters = [COMMA, SEMI, TAB, PIPE, SPACE, DQUOTE, C3, LF]
    quotes = [DQUOTE, APOS, DQUOTE, APOS, DQUOTE, DQUOTE, APOS, CR]
    return bytes([delimiters[i % 8], quotes[i % 8], [1, 3, 0, 2][i % 4]])


# Inputs past one 64-byte block, so that fields, quotes and line ends fall
# on block boundaries and in the last, partial block.
LONG = [
    b"a" * 63 + b",b\n" + b"c" * 64 + b"\r\n" + b'"' + b"d" * 62 + b'",e\n',
    b'"' + b"x,y\n" * 40 + b'"' + b",z\n" + b"\xc3\xa9" * 70 + b"\n",
    b",".join([b"f%d" % k for k in range(60)]) + b"\n" + b'"a""' * 30 + b'"\n',
]


def stream_options(i: int) -> bytes:
    # flags, delimiter, quote, width, preamble, chunk size (two bytes), threads
    flags = [0b0001111, 0b0000110, 0b0101001, 0b1010111, 0b0000000, 0b0100111][i % 6]
    delimiters = [COMMA, SEMI, TAB, PIPE, SPACE, C3]
    preamble = [0, 0, 0xC1, 0, 0xC2, 0][i % 6]
    chunk = [(0, 0), (3, 0), (15, 0), (63, 1), (6, 0), (200, 0)][i % 6]
    return bytes([flags, delimiters[i % 6], [DQUOTE, APOS][i % 2], i % 5, preamble,
                  *chunk, i % 4])


def arrow_options(i: int) -> bytes:
    # flags, delimiter, quote, width, row bound, byte bound
    flags = [0b00001111, 0b01010110, 0b10110001, 0b00101110, 0b11010111][i % 5]
    delimiters = [COMMA, SEMI, TAB, PIPE, C3]
    return bytes([flags, delimiters[i % 5], [DQUOTE, APOS][i % 2], i % 6, i % 4, [3, 40, 255][i % 3]])


def decompress_seeds() -> list[bytes]:
    # Option byte: codec (0 gzip, 1 bzip2, 2 xz), bit 2 "the payload is the
    # compressed stream", bits 3-6 the piece size's power of two. Raw seeds
    # carry real streams, several members or streams in a row among them.
    import bz2
    import gzip
    import lzma

    packers = [lambda b: gzip.compress(b, mtime=0), bz2.compress,
               lambda b: lzma.compress(b, preset=0)]
    seeds = []
    for i, text in enumerate(DAMAGED):
        codec = i % 3
        piece = (i * 5) % 14
        seeds.append(bytes([codec | (piece << 3)]) + text)
        stream = packers[codec](text) + (packers[codec](text[:3]) if i % 2 else b"")
        seeds.append(bytes([codec | 0x04 | (piece << 3)]) + stream)
    return seeds


def main() -> None:
    root = Path(__file__).resolve().parent / "corpus"
    for target, options in (("tokenizer", tokenizer_options),
                            ("pipeline", pipeline_options),
                            ("writer_roundtrip", roundtrip_options),
                            ("dialect", dialect_options),
                            ("stream", stream_options),
                            ("arrow", arrow_options)):
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        texts = DAMAGED + DIALECT_EXTRA if target == "dialect" else DAMAGED
        for i, text in enumerate(texts):
            (folder / f"seed-{i:02d}").write_bytes(options(i) + text)
    folder = root / "decompress"
    folder.mkdir(parents=True, exist_ok=True)
    for i, seed in enumerate(decompress_seeds()):
        (folder / f"seed-{i:02d}").write_bytes(seed)
    folder = root / "dispatch"
    folder.mkdir(parents=True, exist_ok=True)
    for i, text in enumerate(DAMAGED + LONG):
        (folder / f"seed-{i:02d}").write_bytes(dispatch_options(i) + text)


if __name__ == "__main__":
    main()
