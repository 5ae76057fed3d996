"""Region text in samtools notation (chr1, chr1:100, chr1:1,000-2,000, {name:with:colons}:5-9)."""

# Every rule here follows htslib as samtools 1.16 ships it, quirks included, because the command
# promises the same output for the same region text: numbers wrap like C's 64-bit integers, commas
# anywhere after the first digit are dropped, "k"/"M"/"G" suffixes and exponents scale, a start of
# 0 followed by "-" yields nothing, and "chr1:-5" means the first five bases.

_INT64 = 1 << 64
_POS_MAX = 0x7FFFFFFF7FFFFFFF  # htslib's "to the end of the sequence"
_SPACE = " \t\n\v\f\r"
_DIGITS = "0123456789"


def _wrap64(n):
    n &= _INT64 - 1
    return n - _INT64 if n >= 1 << 63 else n


def _wrap32(n):
    n &= (1 << 32) - 1
    return n - (1 << 32) if n >= 1 << 31 else n


def _at(text, i):
    # C strings end in NUL; so does this view of a str that holds none (parse() cuts at the first).
    return text[i] if i < len(text) else "\0"


def parse_decimal(text, i):
    """(value, index after the number) as hts_parse_decimal reads text[i:]; the index stays at i
    when no digit was found."""
    start = i
    while _at(text, i) in _SPACE:
        i += 1
    negative = _at(text, i) == "-"
    if _at(text, i) in "+-":
        i += 1
    n = digits = decimals = exponent = 0
    while i < len(text):
        c = text[i]
        if c in _DIGITS:
            digits += 1
            n = _wrap64(10 * n + ord(c) - 48)
        elif c != ",":
            break
        i += 1
    if _at(text, i) == ".":
        i += 1
        while _at(text, i) in _DIGITS:
            decimals += 1
            digits += 1
            n = _wrap64(10 * n + ord(text[i]) - 48)
            i += 1
    c = _at(text, i)
    if c in "eE":
        i += 1
        minus = _at(text, i) == "-"
        if _at(text, i) in "+-":
            i += 1
        while _at(text, i) in _DIGITS:
            exponent = _wrap32(10 * exponent + ord(text[i]) - 48)
            i += 1
        if minus:
            exponent = _wrap32(-exponent)
    elif c in "kKmMgG":
        exponent = {"k": 3, "m": 6, "g": 9}[c.lower()]
        i += 1
    exponent -= decimals
    # Past 64 factors of ten every 64-bit value is 0, and past 20 divisions so is every quotient.
    if exponent > 0:
        n = _wrap64(n * 10 ** min(exponent, 64))
    elif exponent < 0:
        divisor = 10 ** min(-exponent, 20)
        n = -(-n // divisor) if n < 0 else n // divisor
    return (_wrap64(-n) if negative else n), (i if digits else start)


def parse(region, lookup):
    """(name, beg, end) with 0-based beg and exclusive end as htslib resolves `region` (end may be
    past the record), or, for a region samtools reports as missing, the error htslib prints about
    it ("" where it prints none).

    `lookup(name)` tells whether a record of that name exists."""
    found = _locate(region, lookup)
    if isinstance(found, str):
        return found
    name, beg, end = found
    if beg is None or beg >= end:
        return ""
    return found


def for_fetch(region, lookup):
    """What Fasta.get_region reads for `region`, in get_seq's 1-based inclusive terms:
    (name, start, end) with end None for "to the end of the record"; (name, None, None) for a name
    the file lacks; or the parser's error text. A start of 0 and a start past the end stay as
    written, so that get_seq's warnings and bounds rules apply to them."""
    found = _locate(region, lookup)
    if isinstance(found, str) or found[1] is None:
        return found
    name, beg, end = found
    if end < 0:  # "chr1:5--3", which samtools reports as missing: no get_seq end is below 0
        return "Coordinates must be > 0"
    return name, beg + 1, (None if end == _POS_MAX else end)


def names_looked_up(regions):
    """Every name that resolving any of `regions` may look up, whatever the lookups answer: the
    text, the text before its last colon, and for a text in braces what they enclose."""
    texts = [region.split("\0", 1)[0] for region in regions]
    names = set(texts)
    names.update(text[:text.rindex(":")] for text in texts if ":" in text)
    for text in texts:
        if text.startswith("{"):
            close = text.find("}")
            if close >= 0:
                names.update((text[1:close], text[1:-1]))
    return names


def _locate(region, lookup):
    """parse()'s (name, beg, end) before beg and end are compared, (name, None, None) for a name
    the file lacks, or a non-empty error text."""
    region = region.split("\0", 1)[0]
    quoted = 0
    s = 0  # where the name starts
    s_len = len(region)
    if region.startswith("{"):
        close = region.find("}")
        if close < 0:
            return f'Mismatching braces in "{region}"'
        s, s_len, quoted = 1, s_len - 1, 1
        colon = close + 1 if _at(region, close + 1) == ":" else -1
    else:
        colon = region.rfind(":")
    if colon < 0:
        name = region[s : s + s_len - quoted]
        return (name, 0, _POS_MAX) if lookup(name) else (name, None, None)
    if not quoted and lookup(region):
        if lookup(region[:colon]):
            return f"Range is ambiguous. Use {{{region}}} or {{{region[:colon]}}}{region[colon:]} instead"
        return region, 0, _POS_MAX
    name = region[s : colon - quoted]
    if not lookup(name):
        return name, None, None

    value, hyphen = parse_decimal(region, colon + 1)
    beg = _wrap64(value - 1)
    after = _at(region, hyphen)
    if beg < 0:
        if beg != -1 and after == "-" and colon + 1 < len(region):
            return "Coordinates must be > 0"
        if after in _DIGITS or after in "\0,":
            return name, 0, (_POS_MAX if beg == -1 else _wrap64(-(beg + 1)))
        if beg < -1:
            return f'Unexpected string "{region[hyphen:]}" after region'
    if after == "\0":
        end = _POS_MAX
    elif after == "-":
        end, rest = parse_decimal(region, hyphen + 1)
        if rest < len(region) and region[rest] != ",":
            return f'Unexpected string "{region[rest:]}" after region'
    else:
        return f'Unexpected string "{region[hyphen:]}" after region'
    if end == 0:
        end = _POS_MAX
    return name, beg, end


def clamp(beg, end, length):
    """The 0-based half-open bases samtools reads for (beg, end) on a record of `length` bases;
    beg and end compare as unsigned numbers there, so a beg of -1 reads nothing."""
    if beg < 0 or beg >= length:
        beg = length
    if end < 0 or end >= length:
        end = length
    return min(beg, end), end
