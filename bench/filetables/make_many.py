#!/usr/bin/env python3
"""Makes the many-tables file database: TABLES tables of ROWS rows, 4 columns each.

    make_many.py PATH [TABLES] [ROWS] [--own]

--own declares the tables as the file provider does and marks the file as one of its own, so that a save
describes the tables in the document alone; without it the file is another program's, whose tables
travel with their own statements.
"""
import os
import sqlite3
import sys

args = [a for a in sys.argv[1:] if not a.startswith("--")]
own = "--own" in sys.argv
path = args[0]
tables = int(args[1]) if len(args) > 1 else 200
rows = int(args[2]) if len(args) > 2 else 100
if os.path.exists(path):
    os.remove(path)
db = sqlite3.connect(path)
if own:
    db.execute("PRAGMA application_id=1447379009")
    create = ('CREATE TABLE "t{0}" ("id" INTEGER CONSTRAINT "PrimaryKey" PRIMARY KEY AUTOINCREMENT,'
              ' "name" VARCHAR(50) NOT NULL, "amount" DOUBLE, "note" TEXT)')
else:
    create = "CREATE TABLE t{0} (id INTEGER PRIMARY KEY, name TEXT NOT NULL, amount REAL, note TEXT)"
for t in range(tables):
    db.execute(create.format(t))
    db.executemany(f"INSERT INTO t{t} VALUES (?, ?, ?, ?)",
                   ((i, f"name {t}-{i}", i * 1.5, None if i % 7 == 0 else f"note {i}") for i in range(1, rows + 1)))
    db.execute(f'CREATE INDEX "t{t}.name" ON t{t} (name)')
db.commit()
db.close()
