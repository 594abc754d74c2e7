#!/usr/bin/env python3
"""Summarises how a tarnwick-cli run read its Source, phase by phase.

Reads an `strace -e trace=pread64,write -e signal=none` log of the run and
splits it where the progress lines on stderr name a new phase (collecting free
sectors, searching, tidying, rescuing). For each phase it prints the reads, the
bytes read, the reads that did not start where the one before ended (a seek on
a disk) and the bytes that an earlier read of the run had already read.

    bench/read_pattern.py STRACE_LOG SOURCE_FD
"""
import re
import sys

PHASES = [("Collecting free sectors", "free space"), ("Searching file", "search"),
          ("Tidying up the list", "tidy"), ("Rescuing file", "carve")]
PREAD = re.compile(r"pread64\((\d+), .*?, (\d+), (\d+)\)\s+=\s+(-?\d+)")
WRITE = re.compile(r'write\(2, "(.*?)"')
UNIT = 4096  # re-reads are counted in pages of this size


def main():
    log, fd = sys.argv[1], int(sys.argv[2])
    order, stats = [], {}
    phase = "open"
    seen = set()
    last_end = None

    def current():
        if phase not in stats:
            stats[phase] = {"reads": 0, "bytes": 0, "jumps": 0, "again": 0}
            order.append(phase)
        return stats[phase]

    with open(log, errors="replace") as f:
        for line in f:
            w = WRITE.search(line)
            if w:
                for text, name in PHASES:
                    if text in w.group(1):
                        phase = name
                continue
            m = PREAD.search(line)
            if not m or int(m.group(1)) != fd:
                continue
            offset, got = int(m.group(3)), int(m.group(4))
            if got <= 0:
                continue
            st = current()
            st["reads"] += 1
            st["bytes"] += got
            if last_end is not None and offset != last_end:
                st["jumps"] += 1
            last_end = offset + got
            for page in range(offset // UNIT, (offset + got + UNIT - 1) // UNIT):
                if page in seen:
                    st["again"] += UNIT
                else:
                    seen.add(page)

    mib = 1 << 20
    print(f"{'phase':<11} {'reads':>9} {'MiB read':>10} {'jumps':>8} {'MiB again':>10}")
    for name in order:
        st = stats[name]
        print(f"{name:<11} {st['reads']:>9} {st['bytes'] / mib:>10.1f} {st['jumps']:>8} "
              f"{st['again'] / mib:>10.1f}")


if __name__ == "__main__":
    main()
