#!/usr/bin/env python3
"""Makes the seed corpora under fuzz/corpus/ from real backups of the sample database.

    python3 fuzz/make_seeds.py [PATH_TO_VELABACKUP]      (default: build/velabackup)

Saves a small sample database in both text modes, then takes from the archives: the archives themselves
and an encrypted one (unzip), their document (document), a few data files with their tables' column counts
(datafile), the members of the uncompressed one in the restore target's member list (restore), and
connection strings (keyvalue). Rerunning replaces the seeds; the names are content hashes, so unchanged seeds stay put.
"""
import hashlib
import pathlib
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
DOCUMENT = "{622494E8-4265-4A3E-81A7-8E785532AC06}"
SEPARATOR = b"\n~~member~~\n"
MAX_SEED = 16 * 1024


def write(target: str, data: bytes) -> None:
    if len(data) > MAX_SEED:
        return
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def main() -> None:
    tool = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "velabackup")
    for folder in CORPUS.glob("*"):
        for seed in folder.glob("*"):
            seed.unlink()
    with tempfile.TemporaryDirectory(prefix="vela-seeds-") as temp:
        temp = pathlib.Path(temp)
        source = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + str(temp / "sample.db")
        subprocess.run([tool, "sample", "-c", source, "--rows", "3"], check=True, stdout=subprocess.DEVNULL)
        archives = {}
        for mode in ("compressed", "uncompressed"):
            archives[mode] = temp / f"{mode}.vbk"
            subprocess.run([tool, "save", "-c", source, "-f", archives[mode], "--mode", mode], check=True,
                           stdout=subprocess.DEVNULL)
            write("unzip", archives[mode].read_bytes())
        # An encrypted backup, under the password the unzip target reads with.
        (temp / "password").write_text("fuzz\n")
        encrypted = temp / "encrypted.vbk"
        subprocess.run([tool, "save", "-c", source, "-f", encrypted, "--no-data", "Measurements",
                        "--archive-password-file", temp / "password"], check=True, stdout=subprocess.DEVNULL)
        write("unzip", encrypted.read_bytes())

        with zipfile.ZipFile(archives["uncompressed"]) as archive:
            members = {name: archive.read(name) for name in archive.namelist()}
        document = members[DOCUMENT]
        write("document", document)

        # The data files, each behind its table's column count (the data file target's first byte).
        root = ET.fromstring(document)
        for table in root.iter("Table"):
            name = table.get("FileName")
            if name in members:
                columns = len(table.find("Columns") or [])
                write("datafile", bytes([columns]) + members[name])

        write("restore", SEPARATOR.join(name.encode() + b"\n" + data for name, data in members.items()))
        # The smallest whole backup: the document and the one table it keeps.
        first = root.find("Tables/Table")
        for table in list(root.find("Tables")):
            if table is not first:
                root.find("Tables").remove(table)
        small = {DOCUMENT: ET.tostring(root)}
        small[first.get("FileName")] = members[first.get("FileName")]
        small.update({n: d for n, d in members.items() if len(d) == 1})  # the mode files
        write("restore", SEPARATOR.join(name.encode() + b"\n" + data for name, data in small.items()))

    # key, value and connection string, split at NUL bytes.
    for key, value, text in [
        (b"Data Source", b"/tmp/shop.db", b"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=shop.db"),
        (b"Password", b' a;b"c ', b"Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=shop;UserID=app"),
        (b"Initial Catalog", b"shop", b'Provider=SQLOLEDB.1;Data Source="db,5433";Initial Catalog="x;y"'),
        (b"UserID", b'"quoted"', b'UserID="a""b";Password=" p ";'),
    ]:
        write("keyvalue", key + b"\0" + value + b"\0" + text)


if __name__ == "__main__":
    main()
