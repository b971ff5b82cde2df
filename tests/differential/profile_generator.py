"""Seeded generator of configuration files in the shapes found in the wild:
sections and keys in mixed case, duplicates, comments, blank lines, blanks
and tabs around names and '=', quoted values, CRLF/LF/CR line endings, a
missing final line ending, UTF-8 marks, UTF-16 in both byte orders, 8-bit
text, long lines and empty files.

Some files also get the shapes on which Windows' reader and Wine's
disagree: text with brackets after a header, a doubled ']', a header
without its ']', form feed, vertical tab and Ctrl-Z around names and
values (Wine trims them, Windows does not), and a NUL in a header's or a
key's name (where Wine's name ends)."""
import random

SECTIONS = ["Hardware", "hardware", "HARDWARE", "HardWare", "Settings", "Hardware Options",
            "Module 1", "Paths", "Hardware2", "Hard ware", "Ger\xe4te"]
KEYS = ["MKAVRO.DLL", "mkavro.dll", "MKavro.Dll", "MKAVRO.DL", "MDEMO.DLL", "MIO16.DLL",
        "Gain", "Channels", "SampleRate", "Path", "Stra\xdfe", "KAVRO"]
WORDS = ["KAVRO", "DAQ", "Cards", "Driver", "Demo", "Board", "16", "C:\\DASYLab\\Drivers",
         "1000", "on", "off", "=", ";", "[x]", "M\xfcller", "\xa9 1998"]
TARGET_VALUE = "KAVRO DAQ Cards Driver"


# Whether the file being generated gets the shapes the readers disagree on.
_disagreeing = False


def _blanks(rng):
    if _disagreeing and rng.random() < 0.3:
        return rng.choice(["\f", "\v", "\x1a", " \f", "\t\x1a"])
    return rng.choice(["", "", "", " ", "  ", "\t", " \t "])


def _value(rng, eight_bit):
    roll = rng.random()
    if roll < 0.15:
        value = TARGET_VALUE
    elif roll < 0.2:
        value = ""
    elif roll < 0.25:
        value = "x" * rng.randint(1000, 20000)
    else:
        value = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 5)))
    if not eight_bit:
        value = value.encode("latin-1").decode("ascii", "ignore")
    quote = rng.choice(["", "", "", "\"", "'"])
    return quote + value + quote


def _line(rng, eight_bit, in_section):
    roll = rng.random()
    if roll < 0.08:
        return _blanks(rng)
    if roll < 0.16:
        return _blanks(rng) + ";" + rng.choice(["", " note", " MKAVRO.DLL=old", " [Hardware]"])
    if roll < 0.2 and in_section:
        return _blanks(rng) + rng.choice(KEYS)  # a key without '='
    key = rng.choice(KEYS)
    if not eight_bit:
        key = key.encode("latin-1").decode("ascii", "ignore") or "K"
    if _disagreeing and rng.random() < 0.1:
        key += rng.choice(["\0x", " \0"])
    return _blanks(rng) + key + _blanks(rng) + "=" + _blanks(rng) + _value(rng, eight_bit) + _blanks(rng)


def _header(rng, eight_bit):
    name = rng.choice(SECTIONS)
    if not eight_bit:
        name = name.encode("latin-1").decode("ascii", "ignore") or "S"
    trailing = rng.choice(["", "", "", " ; comment", "\t;x"])
    if _disagreeing and rng.random() < 0.3:
        close, trailing = rng.choice(
            [("]", " ; see [notes]"), ("]]", ""), ("", ""), ("]", "x]"), ("\0x]", ""), (" \0]", "")])
        return _blanks(rng) + "[" + name + close + trailing
    return _blanks(rng) + "[" + name + "]" + trailing


def generate(seed):
    """Returns (description, bytes) of one configuration file."""
    global _disagreeing
    rng = random.Random(seed)
    _disagreeing = rng.random() < 0.3
    encoding = rng.choices(["ansi", "utf-8-sig", "utf-16-le", "utf-16-be"], [70, 10, 10, 10])[0]
    eight_bit = encoding == "ansi" and rng.random() < 0.4
    endings = rng.choice(["crlf", "lf", "cr", "mixed"])
    if rng.random() < 0.03:
        lines = []
    else:
        lines = [_line(rng, eight_bit, False) for _ in range(rng.choice([0, 0, 0, 1, 2]))]
        for _ in range(rng.randint(0, 7)):
            lines.append(_header(rng, eight_bit))
            lines.extend(_line(rng, eight_bit, True) for _ in range(rng.randint(0, 8)))

    def ending():
        if endings == "mixed":
            return rng.choice(["\r\n", "\n"])
        return {"crlf": "\r\n", "lf": "\n", "cr": "\r"}[endings]

    text = "".join(line + ending() for line in lines)
    if lines and rng.random() < 0.3:
        text = text.rstrip("\r\n")  # no line ending after the last line
    if encoding == "ansi":
        data = text.encode("latin-1")
    elif encoding == "utf-8-sig":
        data = text.encode("utf-8-sig")
    else:
        data = (b"\xff\xfe" if encoding == "utf-16-le" else b"\xfe\xff") + text.encode(encoding)
    shapes = ", shapes the readers disagree on" if _disagreeing else ""
    return f"{encoding}, {endings} endings, {len(lines)} lines{shapes}", data
