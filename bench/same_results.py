"""Whether two runs found the same: the JSON documents of two `keltran detect --json` runs
compared on what a scientist reads, structure by structure (formula, members, score) and formula
by formula (verdict, law, kind, canonical form), with each difference listed.

    python bench/same_results.py A.json B.json
"""

import json
import math
import sys


def _score(c):
    return None if c.get("score_infinite") else c.get("score")


def structures(doc):
    """formula -> (member ids, score, verdict, law)"""
    out = {}
    for c in doc["candidates"]:
        members = tuple(sorted(m["id"] if isinstance(m, dict) else m for m in c["members"]))
        key = c["formula"]
        while key in out:  # two structures of one formula: told apart by their order
            key += "'"
        out[key] = (members, _score(c), c.get("verdict"), c.get("law"))
    return out


def verdicts(doc):
    return {
        f["id"]: (f["verdict"], f["law"], f["kind"], f["canonical"], f["formula"])
        for f in doc["formulas"]
    }


def close(a, b):
    if a is None or b is None:
        return a == b
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)


def compare(a, b):
    diffs = []
    sa, sb = structures(a), structures(b)
    for f in sorted(set(sa) | set(sb)):
        if f not in sa or f not in sb:
            diffs.append(f"structure {f!r} only in {'B' if f not in sa else 'A'}")
            continue
        (ma, xa, va, la), (mb, xb, vb, lb) = sa[f], sb[f]
        if ma != mb:
            diffs.append(f"structure {f!r}: members differ ({len(ma)} vs {len(mb)})")
        if not close(xa, xb):
            diffs.append(f"structure {f!r}: score {xa} vs {xb}")
        if (va, la) != (vb, lb):
            diffs.append(f"structure {f!r}: verdict {va} {la} vs {vb} {lb}")
    fa, fb = verdicts(a), verdicts(b)
    for i in sorted(set(fa) | set(fb)):
        if fa.get(i) != fb.get(i):
            diffs.append(f"formula {i}: {fa.get(i)} vs {fb.get(i)}")
    return diffs


def main():
    a, b = (json.load(open(p)) for p in sys.argv[1:3])
    diffs = compare(a, b)
    print(
        f"{len(structures(a))} and {len(structures(b))} structures, "
        f"{len(verdicts(a))} and {len(verdicts(b))} formulas: {len(diffs)} differences"
    )
    for d in diffs[:50]:
        print("  " + d)
    sys.exit(1 if diffs else 0)


if __name__ == "__main__":
    main()
