"""The two profile readers' rules, written apart from the writer, for the
differential test: Windows' (blanks and tabs trimmed, `;` comments, a
header's name runs to its first `]`) and Wine's (also vertical tab, form
feed and Ctrl-Z trimmed, no comments, a header's name runs to its last `]`,
a line without one is no header, and a NUL ends a name or a value once
it is trimmed). The real Wine reader checks the second set; these say which lines each reader takes for the driver's entry."""

WINDOWS, WINE = "windows", "wine"
_BLANKS = {WINDOWS: " \t", WINE: " \t\v\f\x1a"}


def decode(data):
    """The file as text, the way the readers decode it."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return data[2:len(data) - len(data) % 2].decode(
            "utf-16-le" if data[:2] == b"\xff\xfe" else "utf-16-be", "replace")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8", "replace")
    return data.decode("latin-1")


def _lines(text):
    lines, begin, i = [], 0, 0
    while i < len(text):
        if text[i] in "\r\n":
            lines.append(text[begin:i])
            if text[i] == "\r" and text[i + 1:i + 2] == "\n":
                i += 1
            begin = i + 1
        i += 1
    if begin < len(text):
        lines.append(text[begin:])
    return lines


def _as_kept(text, rules):
    """Wine keeps names and values as C strings: a NUL ends them."""
    return text.split("\0")[0] if rules == WINE else text


def entries(data, rules):
    """The entries a reader can reach (the first section of a name, the first
    line of a key in it): {(SECTION, KEY): (value, line number)}."""
    blanks = _BLANKS[rules]
    found, seen_sections, section, first_of_its_name = {}, set(), None, False
    for number, raw in enumerate(_lines(decode(data))):
        line = raw.strip(blanks)
        if not line or (line[0] == ";" and rules == WINDOWS):
            continue
        if line[0] == "[":
            end = line.rfind("]") if rules == WINE else line.find("]")
            if end != -1 or rules == WINDOWS:
                section = _as_kept(line[1:end if end != -1 else len(line)].strip(blanks),
                                   rules).upper()
                first_of_its_name = section not in seen_sections
                seen_sections.add(section)
                continue
        if section is None or not first_of_its_name:
            continue
        key, equals, value = line.partition("=")
        value = _as_kept(value.strip(blanks), rules)
        if len(value) >= 2 and value[0] in "\"'" and value[-1] == value[0]:
            value = value[1:-1]
        key = _as_kept(key.strip(blanks), rules).upper()
        found.setdefault((section, key), (value if equals else "", number))
    return found


DRIVER = ("HARDWARE", "MKAVRO.DLL")


def driver_lines(data):
    """The lines that either reader takes for the driver's entry."""
    return {entries(data, rules)[DRIVER][1] for rules in (WINDOWS, WINE)
            if DRIVER in entries(data, rules)}
