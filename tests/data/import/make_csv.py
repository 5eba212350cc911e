#!/usr/bin/env python3
"""Writes the CSV files the import tests read back: the same rows through Python's
csv module, once quoting every field and once quoting only where needed, in code
page 932 with CR LF line ends. Run from this folder; the files are kept in git."""
import csv

ROWS = [
    # Id, Name, Amount, Born, Flag
    [1, "plain", "1.5", "2001/02/03", "True"],
    [2, "a,b", "-2.25", "1999/12/31", "False"],
    [3, 'say "hi"', "0", "2024/02/29", "True"],
    [4, "it's", "1e3", "1900/01/01", "False"],
    [5, "表ソ能", "12345.75", "2010/10/10", "True"],
    [6, "山田, \"太郎\"", "-0.5", "1970/01/01", "False"],
    [7, "ｱｲｳ", "3.25", "2000/01/01", "True"],
    [8, "", "", "", ""],
]

for name, quoting in (("quote_all.csv", csv.QUOTE_ALL), ("quote_minimal.csv", csv.QUOTE_MINIMAL)):
    with open(name, "w", encoding="cp932", newline="") as f:
        writer = csv.writer(f, quoting=quoting)
        writer.writerow(["Id", "Name", "Amount", "Born", "Flag"])
        writer.writerows(ROWS)
