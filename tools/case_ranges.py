"""Case mappings of UTF-16 code units written as compact C++ ranges: runs of
units that move by the same delta, or every second unit of a run (the
upper/lower pairs of many scripts)."""


def write_ranges(out, array_type, array_name, mapping):
    """mapping: {unit: delta} of the units that change. Writes the array
    `constexpr array_type array_name[]` of {first, last, delta, alternating}."""
    ranges = []  # [first, last, delta, alternating]
    for unit in sorted(mapping):
        delta = mapping[unit]
        if ranges and ranges[-1][2] == delta:
            first, last, _, alternating = ranges[-1]
            if unit == last + 1 and not alternating:
                ranges[-1][1] = unit
                continue
            if unit == last + 2 and (alternating or first == last):
                ranges[-1][1:] = [unit, delta, True]
                continue
        ranges.append([unit, unit, delta, False])

    out.write("constexpr %s %s[] = {\n" % (array_type, array_name))
    for first, last, delta, alternating in ranges:
        out.write("    {0x%04X, 0x%04X, %d, %s},\n" % (first, last, delta, "true" if alternating else "false"))
    out.write("};\n")
