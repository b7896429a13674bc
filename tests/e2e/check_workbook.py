#!/usr/bin/env python3
"""The results workbook as spreadsheet readers that nobody here wrote see it.

Downloads records from the simulated instrument with `--format xlsx`, then
opens the workbook with openpyxl (--reader openpyxl) or converts it with
LibreOffice headless under each --locale (--reader libreoffice), and checks
every cell's type and value against the records themselves, read from the
simulator's archive file: measured values are numbers, valid dates and times
are dates and times, what no cell can hold is the text the .xls shows.

The archive is the simulator's default one with a few records changed to the
awkward cases: infinities and NaNs, the largest floats, clock bytes that are
not BCD, days the calendar lacks, the century of two-digit years.

Exit status: 0 all as expected, 1 a difference (each one printed), 77 the
reader is not installed (CTest reports the test as skipped).
"""

import argparse
import datetime
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

SKIPPED = 77
RING_SLOTS = 2000
RECORD_BYTES = 32
POINTER = 5   # the download wraps round the end of the ring
COUNT = 100   # ring indices 1905..1999 and 0..4
KIND_SAMPLE, KIND_EMPTY_CELL = 0x01, 0x81

RECORD_HEADER = ["Time", "Date", "Nc", "Sample", "Temp.,\u0421", "U,V", "F,Hz", None, "Ex,Co", "tgDx"]
TABLE_HEADER = ["Nc", "Co,pF", "tgDo"]
FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
FLT_DENORM_MIN = struct.unpack("<f", b"\x01\x00\x00\x00")[0]
NEGATIVE_NAN = struct.unpack("<f", b"\x00\x00\xc0\xff")[0]


# --- the archive file: 2000 records of 32 bytes in ring order, then 6 co and 6 tgDo floats

def get_float(data, at):
    return struct.unpack_from("<f", data, at)[0]


def put_float(data, at, value):
    struct.pack_into("<f", data, at, value)


def load_archive(path):
    data = bytearray(open(path, "rb").read())
    records = [data[i * RECORD_BYTES:(i + 1) * RECORD_BYTES] for i in range(RING_SLOTS)]
    table = RING_SLOTS * RECORD_BYTES
    co = [get_float(data, table + 4 * i) for i in range(6)]
    tgdo = [get_float(data, table + 24 + 4 * i) for i in range(6)]
    return records, co, tgdo


def save_archive(path, records, co, tgdo):
    table = bytearray(48)
    for i in range(6):
        put_float(table, 4 * i, co[i])
        put_float(table, 24 + 4 * i, tgdo[i])
    with open(path, "wb") as out:
        out.write(b"".join(bytes(r) for r in records) + bytes(table))


def set_clock(record, hour, minute, day, month, year):
    record[9], record[8], record[11], record[12], record[13] = hour, minute, day, month, year


def set_values(record, u=None, f=None, ex_co=None, tg_d=None):
    for at, value in ((16, u), (20, f), (24, ex_co), (28, tg_d)):
        if value is not None:
            put_float(record, at, value)


# Ring index, what it shows, the change; every changed record is a result.
EDITS = [
    (1950, "values no number cell can hold",
     lambda r: set_values(r, math.inf, -math.inf, math.nan, NEGATIVE_NAN)),
    (1951, "the largest and smallest floats",
     lambda r: set_values(r, FLT_MAX, -FLT_MAX * 0.5, -FLT_MAX, FLT_DENORM_MIN)),
    (1952, "an hour and a year that are not BCD", lambda r: set_clock(r, 0x1A, 0x05, 0x01, 0x02, 0x0F)),
    (1953, "a minute that is not BCD on 29 February 2001",
     lambda r: set_clock(r, 0x09, 0x1A, 0x29, 0x02, 0x01)),
    (1954, "midnight on a leap day of 2000", lambda r: set_clock(r, 0x00, 0x00, 0x29, 0x02, 0x00)),
    (1955, "year 68 is 2068", lambda r: set_clock(r, 0x08, 0x30, 0x01, 0x01, 0x68)),
    (1956, "year 69 is 1969", lambda r: set_clock(r, 0x08, 0x30, 0x01, 0x01, 0x69)),
    (1957, "a minute to midnight on 11.08.89", lambda r: set_clock(r, 0x23, 0x59, 0x11, 0x08, 0x89)),
    (1958, "hour 24 on day 0", lambda r: set_clock(r, 0x24, 0x00, 0x00, 0x01, 0x10)),
    (1959, "minute 60 in month 13", lambda r: set_clock(r, 0x12, 0x60, 0x01, 0x13, 0x10)),
    (1960, "31 April", lambda r: set_clock(r, 0x08, 0x00, 0x31, 0x04, 0x10)),
]


def make_archive(sim, folder):
    base = os.path.join(folder, "default.bin")
    subprocess.run([sim, "--dump-archive", base, "--dump-only"], check=True)
    records, co, tgdo = load_archive(base)
    for index, _, change in EDITS:
        record = records[index]
        if record[4] not in (KIND_SAMPLE, KIND_EMPTY_CELL):
            record[4] = KIND_SAMPLE
        change(record)
    co[2] = math.inf
    tgdo[4] = NEGATIVE_NAN
    path = os.path.join(folder, "awkward.bin")
    save_archive(path, records, co, tgdo)
    return path


# --- what the workbook must hold, straight from the record bytes

class Cell:
    """kind: number, date, time, text or empty; text: the field as the .xls shows it."""

    def __init__(self, kind, value=None, fmt="General", text=""):
        self.kind, self.value, self.fmt, self.text = kind, value, fmt, text

    def __repr__(self):
        return f"{self.kind} {self.value!r} {self.fmt} {self.text!r}"


def c_fixed(value, decimals):
    """printf's "%.Nf" as glibc writes it, infinities and signed NaNs included."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return "%.*f" % (decimals, value)


NUMBER_FORMATS = {1: "0.0", 4: "0.0000", 5: "0.00000"}


def real(value, decimals):
    text = c_fixed(value, decimals)
    if not math.isfinite(value):
        return Cell("text", text, text=text)
    return Cell("number", value, NUMBER_FORMATS[decimals], text)


def whole(value):
    return Cell("number", value, text=str(value))


def from_bcd(byte):
    return None if byte >> 4 > 9 or byte & 15 > 9 else (byte >> 4) * 10 + (byte & 15)


def time_cell(bcd_hour, bcd_minute):
    text = "%02x:%02x" % (bcd_hour, bcd_minute)
    hour, minute = from_bcd(bcd_hour), from_bcd(bcd_minute)
    if hour is None or minute is None or hour > 23 or minute > 59:
        return Cell("text", text, text=text)
    return Cell("time", datetime.time(hour, minute), "hh:mm", text)


def date_cell(bcd_day, bcd_month, bcd_year):
    text = "%02x.%02x.%02x" % (bcd_day, bcd_month, bcd_year)
    day, month, year = from_bcd(bcd_day), from_bcd(bcd_month), from_bcd(bcd_year)
    try:
        # The century rule of the program's documentation: 69..99 are 19xx, 00..68 are 20xx.
        date = datetime.date(year + (1900 if year >= 69 else 2000), month, day)
    except (TypeError, ValueError):
        return Cell("text", text, text=text)
    return Cell("date", date, "dd.mm.yy", text)


def record_row(r):
    temp = struct.unpack_from("<b", r, 6)[0]
    return [
        time_cell(r[9], r[8]),
        date_cell(r[11], r[12], r[13]),
        whole(r[5]),
        whole(r[2] | r[3] << 8),
        whole(temp) if temp > -50 else Cell("empty"),
        real(get_float(r, 16), 1),
        real(get_float(r, 20), 1),
        Cell("text", "Co,pF" if r[4] == KIND_EMPTY_CELL else "Ex", text="Co,pF" if r[4] == KIND_EMPTY_CELL else "Ex"),
        real(get_float(r, 24), 4),
        real(get_float(r, 28), 5),
    ]


def header_row(labels):
    return [Cell("text", label, text=label) if label else Cell("empty") for label in labels]


def expected_sheet(archive_path):
    records, co, tgdo = load_archive(archive_path)
    rows = [header_row(RECORD_HEADER)]
    for i in range(COUNT):
        r = records[(POINTER - COUNT + i) % RING_SLOTS]
        if r[4] in (KIND_SAMPLE, KIND_EMPTY_CELL):
            rows.append(record_row(r))
    rows.append([])
    rows.append(header_row(TABLE_HEADER))
    for i in range(6):
        rows.append([whole(i + 1), real(co[i] * 1e12, 4), real(tgdo[i], 5)])
    return rows


# --- one download from the simulator

def download(program, sim, folder, archive, output):
    link = os.path.join(folder, "com2")
    simulator = subprocess.Popen([sim, "--quiet", "--archive-file", archive, "--pointer", str(POINTER),
                                  "--link", link], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.lexists(link):
            if simulator.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("velorix-sim did not start")
            time.sleep(0.02)
        env = dict(os.environ)
        for n in range(1, 10):  # no real serial port of the machine is ever tried
            env["VELORIX_COM%d" % n] = "/nonexistent/com%d" % n
        env["VELORIX_COM2"] = link
        run = subprocess.run([program, "--count", str(COUNT), "--format", "xlsx", "--output", output],
                             cwd=folder, env=env, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             timeout=120)
    finally:
        simulator.terminate()
        simulator.wait()
    if run.returncode != 0:
        raise RuntimeError("velorix-archive ended with %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))


# --- comparing

class Differences:
    def __init__(self):
        self.found = []

    def check(self, ok, where, message):
        if not ok:
            self.found.append(f"{where}: {message}")


def same_number(have, want, rel=1e-15):
    return have == want or math.isclose(have, want, rel_tol=rel, abs_tol=0.0)


def column_letter(column):
    return chr(ord("A") + column)


def check_with_openpyxl(path, rows, diffs):
    try:
        import openpyxl
    except ImportError:
        print("openpyxl is not installed (Debian: python3-openpyxl)")
        sys.exit(SKIPPED)
    book = openpyxl.load_workbook(path)
    diffs.check(len(book.worksheets) == 1, "workbook", f"{len(book.worksheets)} worksheets")
    sheet = book.worksheets[0]
    diffs.check(sheet.freeze_panes == "A2", "sheet", f"frozen at {sheet.freeze_panes}, not below the header")
    diffs.check(sheet.max_row == len(rows), "sheet", f"{sheet.max_row} rows, want {len(rows)}")
    widths = {}
    for row_number, want_row in enumerate(rows, start=1):
        for column in range(max(len(want_row), 10)):
            want = want_row[column] if column < len(want_row) else Cell("empty")
            cell = sheet.cell(row=row_number, column=column + 1)
            where = f"{cell.coordinate} {want!r}"
            widths[column] = max(widths.get(column, 0), len(want.text))
            have = cell.value
            if want.kind == "empty":
                diffs.check(have is None, where, f"holds {have!r}")
                continue
            diffs.check(cell.number_format == want.fmt, where, f"number format {cell.number_format}")
            if want.kind == "number":
                diffs.check(cell.data_type == "n" and not cell.is_date and isinstance(have, (int, float))
                            and same_number(float(have), want.value), where, f"holds {have!r} ({cell.data_type})")
            elif want.kind == "date":
                diffs.check(cell.is_date and have == datetime.datetime.combine(want.value, datetime.time()),
                            where, f"holds {have!r}")
            elif want.kind == "time":
                diffs.check(cell.is_date and have == want.value, where, f"holds {have!r}")
            else:
                diffs.check(cell.data_type == "s" and have == want.value, where, f"holds {have!r}")
            if row_number == 1 or (want_row and want_row[0].text == "Nc"):
                diffs.check(bool(cell.font.b), where, "a header that is not bold")
    for column, longest in widths.items():
        width = sheet.column_dimensions[column_letter(column)].width
        diffs.check(width is not None and width >= longest, f"column {column_letter(column)}",
                    f"width {width} for texts of {longest} characters")


NS = {
    "office": "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
    "table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
    "text": "urn:oasis:names:tc:opendocument:xmlns:text:1.0",
}


def attr(element, prefix, name):
    return element.get("{%s}%s" % (NS[prefix], name))


def fods_cells(path):
    """Rows of (value type, value, shown text) from the first sheet of a flat ODF spreadsheet."""
    sheet = ET.parse(path).getroot().find(".//table:table", NS)
    rows = []
    for row in sheet.iter("{%s}table-row" % NS["table"]):
        cells = []
        for cell in row:
            if cell.tag not in ("{%s}table-cell" % NS["table"], "{%s}covered-table-cell" % NS["table"]):
                continue
            kind = attr(cell, "office", "value-type")
            value = {"float": attr(cell, "office", "value"), "date": attr(cell, "office", "date-value"),
                     "time": attr(cell, "office", "time-value")}.get(kind)
            shown = "\n".join("".join(p.itertext()) for p in cell.findall("text:p", NS))
            repeat = int(attr(cell, "table", "number-columns-repeated") or 1)
            cells.extend([(kind, value, shown)] * min(repeat, 16))
        repeat = int(attr(row, "table", "number-rows-repeated") or 1)
        rows.extend([cells] * min(repeat, 4))
    return rows


def shown_number(value, want, comma):
    if isinstance(value, int) or want.fmt == "General":
        return str(int(value))
    return want.text.replace(".", ",") if comma else want.text


def check_with_libreoffice(path, rows, locale, folder, diffs):
    soffice = shutil.which("soffice")
    if soffice is None:
        print("LibreOffice is not installed (Debian: libreoffice-calc-nogui)")
        sys.exit(SKIPPED)
    out = os.path.join(folder, "converted-" + locale)
    profile = os.path.join(folder, "lo-profile-" + locale)
    env = dict(os.environ, LC_ALL=locale, LANG=locale, LANGUAGE="", HOME=os.path.join(folder, "home"))
    started = time.monotonic()
    subprocess.run([soffice, "-env:UserInstallation=file://" + profile, "--headless", "--norestore",
                    "--convert-to", "fods", "--outdir", out, path],
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    seconds = time.monotonic() - started
    converted = os.path.join(out, os.path.splitext(os.path.basename(path))[0] + ".fods")
    cells = fods_cells(converted)
    comma = locale.startswith("de_")
    counts = {"number": 0, "date": 0, "time": 0, "text": 0}
    for row_number, want_row in enumerate(rows):
        have_row = cells[row_number] if row_number < len(cells) else []
        for column in range(10):
            want = want_row[column] if column < len(want_row) else Cell("empty")
            kind, value, shown = have_row[column] if column < len(have_row) else (None, None, "")
            where = f"{locale} {column_letter(column)}{row_number + 1} {want!r}"
            if want.kind == "empty":
                diffs.check(kind is None, where, f"holds {kind} {shown!r}")
                continue
            counts[want.kind] += 1
            if want.kind == "number":
                ok = kind == "float" and value is not None and same_number(float(value), want.value, 1e-14)
                diffs.check(ok, where, f"is {kind} {value!r}")
                if abs(want.value) < 1e15:  # beyond, a spreadsheet shows only 15 digits
                    diffs.check(shown == shown_number(want.value, want, comma), where, f"shown as {shown!r}")
            elif want.kind == "date":
                diffs.check(kind == "date" and value == want.value.isoformat(), where, f"is {kind} {value!r}")
                diffs.check(shown == want.text, where, f"shown as {shown!r}")
            elif want.kind == "time":
                iso = "PT%02dH%02dM00S" % (want.value.hour, want.value.minute)
                diffs.check(kind == "time" and value == iso, where, f"is {kind} {value!r}")
                diffs.check(shown == want.text, where, f"shown as {shown!r}")
            else:
                diffs.check(kind == "string" and shown == want.value, where, f"is {kind} {shown!r}")
    print(f"LibreOffice under {locale}: {seconds:.1f} s to convert; {counts['number']} numbers, "
          f"{counts['date']} dates, {counts['time']} times, {counts['text']} texts as expected"
          if not diffs.found else f"LibreOffice under {locale}: {seconds:.1f} s to convert")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reader", choices=["openpyxl", "libreoffice"], required=True)
    parser.add_argument("--locale", action="append", default=[], help="libreoffice: a locale to convert under")
    parser.add_argument("--program", required=True, help="velorix-archive")
    parser.add_argument("--sim", required=True, help="velorix-sim")
    parser.add_argument("--keep", help="leave the files in this folder")
    args = parser.parse_args()
    args.program, args.sim = os.path.abspath(args.program), os.path.abspath(args.sim)

    started = time.monotonic()
    folder = args.keep or tempfile.mkdtemp(prefix="velorix-workbook-")
    os.makedirs(folder, exist_ok=True)
    try:
        archive = make_archive(args.sim, folder)
        workbook = os.path.join(folder, "results.xlsx")
        download(args.program, args.sim, folder, archive, workbook)
        rows = expected_sheet(archive)
        diffs = Differences()
        if args.reader == "openpyxl":
            check_with_openpyxl(workbook, rows, diffs)
        else:
            for locale in args.locale or ["de_DE.UTF-8", "en_US.UTF-8"]:
                check_with_libreoffice(workbook, rows, locale, folder, diffs)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    for line in diffs.found:
        print(line)
    print(f"{args.reader}: {len(rows)} rows, {len(diffs.found)} differences, {time.monotonic() - started:.1f} s in all")
    return 1 if diffs.found else 0


if __name__ == "__main__":
    sys.exit(main())
