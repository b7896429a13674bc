#!/usr/bin/env python3
"""The results workbook as spreadsheet readers that nobody here wrote see it.

Downloads records from the simulated instrument, a few changed to the awkward
cases (EDITS), with `--format xlsx`; opens the workbook with openpyxl or
converts it with LibreOffice headless under each --locale; and checks every
cell's type and value against the records: measured values are numbers, valid
dates and times are dates and times, what no cell can hold is the text the
.xls shows. Then each chart's series and points, as its XML names them; and
LibreOffice prints the sheet of charts (--picture keeps that page as a PNG).

Exit status: 0 all as expected, 1 a difference (each one printed), 77 the
reader is not installed (CTest reports the test as skipped).
"""

import argparse
import collections
import datetime
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile

SKIPPED = 77
RING_SLOTS = 2000
RECORD_BYTES = 32
TABLE = RING_SLOTS * RECORD_BYTES  # then 6 floats of Co and 6 of tgDo
POINTER = 5   # the download wraps round the end of the ring
COUNT = 100   # ring indices 1905..1999 and 0..4
KIND_SAMPLE, KIND_EMPTY_CELL = 0x01, 0x81

RECORD_HEADER = ["Time", "Date", "Nc", "Sample", "Temp.,\u0421", "U,V", "F,Hz", None, "Ex,Co", "tgDx"]
TABLE_HEADER = ["Nc", "Co,pF", "tgDo"]
FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
FLT_DENORM_MIN = struct.unpack("<f", b"\x01\x00\x00\x00")[0]
NEGATIVE_NAN = struct.unpack("<f", b"\x00\x00\xc0\xff")[0]


def get_float(data, at):
    return struct.unpack_from("<f", data, at)[0]


def set_clock(record, hour, minute, day, month, year):
    record[9], record[8], record[11], record[12], record[13] = hour, minute, day, month, year


def set_values(record, *values):
    for at, value in zip((16, 20, 24, 28), values):
        struct.pack_into("<f", record, at, value)


# Ring index, what it shows, the change; every changed record is a result.
EDITS = [
    (1950, "values no number cell can hold", lambda r: set_values(r, math.inf, -math.inf, math.nan, NEGATIVE_NAN)),
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


def make_archive(sim, folder, edited):
    """The simulator's default archive file; edited: with EDITS, an infinite Co and a negative NaN tgDo."""
    path = os.path.join(folder, "awkward.bin")
    subprocess.run([sim, "--dump-archive", path, "--dump-only"], check=True)
    if not edited:
        return path
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for index, _, change in EDITS:
        record = memoryview(data)[index * RECORD_BYTES:(index + 1) * RECORD_BYTES]
        if record[4] not in (KIND_SAMPLE, KIND_EMPTY_CELL):
            record[4] = KIND_SAMPLE
        change(record)
    struct.pack_into("<f", data, TABLE + 4 * 2, math.inf)
    struct.pack_into("<f", data, TABLE + 24 + 4 * 4, NEGATIVE_NAN)
    with open(path, "wb") as f:
        f.write(data)
    return path


# --- what the workbook must hold, straight from the record bytes

# kind: number, date, time, text or empty; text: the field as the .xls shows it.
Cell = collections.namedtuple("Cell", "kind value fmt text", defaults=(None, "General", ""))
NUMBER_FORMATS = {1: "0.0", 4: "0.0000", 5: "0.00000"}


def text_cell(text):
    return Cell("text", text, text=text)


def real(value, decimals):
    """printf's "%.Nf" as glibc writes it, infinities and signed NaNs as text."""
    if math.isnan(value):
        return text_cell("-nan" if math.copysign(1.0, value) < 0 else "nan")
    if math.isinf(value):
        return text_cell("inf" if value > 0 else "-inf")
    return Cell("number", value, NUMBER_FORMATS[decimals], "%.*f" % (decimals, value))


def whole(value):
    return Cell("number", value, text=str(value))


def from_bcd(byte):
    return None if byte >> 4 > 9 or byte & 15 > 9 else (byte >> 4) * 10 + (byte & 15)


def time_cell(bcd_hour, bcd_minute):
    text = "%02x:%02x" % (bcd_hour, bcd_minute)
    hour, minute = from_bcd(bcd_hour), from_bcd(bcd_minute)
    if hour is None or minute is None or hour > 23 or minute > 59:
        return text_cell(text)
    return Cell("time", datetime.time(hour, minute), "hh:mm", text)


def date_cell(bcd_day, bcd_month, bcd_year):
    text = "%02x.%02x.%02x" % (bcd_day, bcd_month, bcd_year)
    day, month, year = from_bcd(bcd_day), from_bcd(bcd_month), from_bcd(bcd_year)
    try:
        # The century rule of the program's documentation: 69..99 are 19xx, 00..68 are 20xx.
        return Cell("date", datetime.date(year + (1900 if year >= 69 else 2000), month, day), "dd.mm.yy", text)
    except (TypeError, ValueError):
        return text_cell(text)


def record_row(r):
    temp = struct.unpack_from("<b", r, 6)[0]
    return [time_cell(r[9], r[8]), date_cell(r[11], r[12], r[13]), whole(r[5]), whole(r[2] | r[3] << 8),
            whole(temp) if temp > -50 else Cell("empty"), real(get_float(r, 16), 1), real(get_float(r, 20), 1),
            text_cell("Co,pF" if r[4] == KIND_EMPTY_CELL else "Ex"), real(get_float(r, 24), 4),
            real(get_float(r, 28), 5)]


def header_row(labels):
    return [text_cell(label) if label else Cell("empty") for label in labels]


def written_records(data, count):
    """The records a download of `count` writes, in the file's order."""
    for i in range(count):
        at = (POINTER - count + i) % RING_SLOTS * RECORD_BYTES
        if data[at + 4] in (KIND_SAMPLE, KIND_EMPTY_CELL):
            yield data[at:at + RECORD_BYTES]


def expected_sheet(data, count):
    rows = [header_row(RECORD_HEADER)] + [record_row(r) for r in written_records(data, count)]
    rows += [[], header_row(TABLE_HEADER)]
    for i in range(6):
        rows.append([whole(i + 1), real(get_float(data, TABLE + 4 * i) * 1e12, 4),
                     real(get_float(data, TABLE + 24 + 4 * i), 5)])
    return rows


CHART_TITLES = {KIND_SAMPLE: "tgDx of the samples", KIND_EMPTY_CELL: "tgDo of the empty cells"}


def expected_charts(data, count):
    """{chart title: {cell: [(date and time, tgD) of each record with a valid date, time and tgD]}}"""
    charts = {title: collections.defaultdict(list) for title in CHART_TITLES.values()}
    for r in written_records(data, count):
        time_of, date_of, value = (record_row(r)[i] for i in (0, 1, 9))
        if (time_of.kind, date_of.kind, value.kind) == ("time", "date", "number"):
            charts[CHART_TITLES[r[4]]][r[5]].append((datetime.datetime.combine(date_of.value, time_of.value), value.value))
    for points in (points for series in charts.values() for points in series.values()):
        points.sort(key=lambda point: point[0])  # stable: one moment's records keep the file's order
    return charts


def download(program, sim, folder, archive, output, count):
    link = os.path.join(folder, "com2")
    simulator = subprocess.Popen([sim, "--quiet", "--archive-file", archive, "--pointer", str(POINTER),
                                  "--link", link], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.lexists(link):
            if simulator.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("velorix-sim did not start")
            time.sleep(0.02)
        # No real serial port of the machine is ever tried.
        env = dict(os.environ, **{"VELORIX_COM%d" % n: "/nonexistent/com%d" % n for n in range(1, 10)})
        env["VELORIX_COM2"] = link
        run = subprocess.run([program, "--count", str(count), "--format", "xlsx", "--output", output],
                             cwd=folder, env=env, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    finally:
        simulator.terminate()
        simulator.wait()
    if run.returncode != 0:
        raise RuntimeError("velorix-archive ended with %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))


# --- comparing

DIFFERENCES = []


def check(ok, where, message):
    if not ok:
        DIFFERENCES.append(f"{where}: {message}")


def same_number(have, want, rel=1e-15):
    return have == want or math.isclose(have, want, rel_tol=rel, abs_tol=0.0)


def cells_to_check(rows):
    """(row number from 1, column letter, row, expected cell) for the ten columns of every row."""
    for number, row in enumerate(rows, start=1):
        for column in range(10):
            yield number, chr(ord("A") + column), row, row[column] if column < len(row) else Cell("empty")


def check_with_openpyxl(path, rows, charts):
    try:
        import openpyxl
    except ImportError:
        print("openpyxl is not installed (Debian: python3-openpyxl)")
        sys.exit(SKIPPED)
    book = openpyxl.load_workbook(path)
    check(book.sheetnames == ["Results", "Charts"], "workbook", f"sheets {book.sheetnames}")
    check_charts(path, charts, lambda letters, row: book["Charts"][f"{letters}{row}"].value)
    sheet = book.worksheets[0]
    check(sheet.freeze_panes == "A2", "sheet", f"frozen at {sheet.freeze_panes}, not below the header")
    check(sheet.max_row == len(rows), "sheet", f"{sheet.max_row} rows, want {len(rows)}")
    widths = collections.defaultdict(int)
    for number, letter, row, want in cells_to_check(rows):
        cell = sheet[f"{letter}{number}"]
        where, have = f"{letter}{number} {want!r}", cell.value
        widths[letter] = max(widths[letter], len(want.text))
        if want.kind == "empty":
            check(have is None, where, f"holds {have!r}")
            continue
        check(cell.number_format == want.fmt, where, f"number format {cell.number_format}")
        if want.kind == "number":
            check(cell.data_type == "n" and not cell.is_date and isinstance(have, (int, float))
                  and same_number(float(have), want.value), where, f"holds {have!r} ({cell.data_type})")
        elif want.kind == "date":
            check(cell.is_date and have == datetime.datetime.combine(want.value, datetime.time()), where,
                  f"holds {have!r}")
        elif want.kind == "time":
            check(cell.is_date and have == want.value, where, f"holds {have!r}")
        else:
            check(cell.data_type == "s" and have == want.value, where, f"holds {have!r}")
        if number == 1 or (row and row[0].text == "Nc"):
            check(bool(cell.font.b), where, "a header that is not bold")
    for letter, longest in widths.items():
        width = sheet.column_dimensions[letter].width
        check(width is not None and width >= longest, f"column {letter}", f"width {width} for texts of {longest} characters")


NS = {"office": "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
      "table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
      "text": "urn:oasis:names:tc:opendocument:xmlns:text:1.0"}


def attr(element, prefix, name):
    return element.get("{%s}%s" % (NS[prefix], name))


def fods_cells(path):
    """Rows of (value type, value, shown text) from the first sheet of a flat ODF spreadsheet."""
    rows = []
    for row in ET.parse(path).getroot().find(".//table:table", NS).iter("{%s}table-row" % NS["table"]):
        cells = []
        for cell in row:
            if cell.tag in ("{%s}table-cell" % NS["table"], "{%s}covered-table-cell" % NS["table"]):
                kind = attr(cell, "office", "value-type")
                value = attr(cell, "office", {"float": "value", "date": "date-value", "time": "time-value"}.get(kind, ""))
                shown = "\n".join("".join(p.itertext()) for p in cell.findall("text:p", NS))
                cells += [(kind, value, shown)] * min(int(attr(cell, "table", "number-columns-repeated") or 1), 16)
        rows += [cells] * min(int(attr(row, "table", "number-rows-repeated") or 1), 4)
    return rows


# --- the charts

CHART_NS = {"c": "http://schemas.openxmlformats.org/drawingml/2006/chart"}


def charts_in_xml(path):
    """{title: [(name cell, x range, y range), ...]} as xl/charts/chart*.xml name them."""
    charts = {}
    with zipfile.ZipFile(path) as book:
        for name in (n for n in book.namelist() if re.fullmatch(r"xl/charts/chart\d+\.xml", n)):
            chart = ET.fromstring(book.read(name)).find("c:chart", CHART_NS)
            charts["".join(chart.find("c:title", CHART_NS).itertext())] = [
                tuple(ser.findtext(f + "/c:f", "", CHART_NS) for f in ("c:tx/c:strRef", "c:xVal/c:numRef", "c:yVal/c:numRef"))
                for ser in chart.iter("{%s}ser" % CHART_NS["c"])]
    return charts


def cell_range(reference):
    """'Charts!$R$4:$R$21' as (column letters, first row, last row)."""
    found = re.fullmatch(r"Charts!\$([A-Z]+)\$(\d+)(?::\$\1\$(\d+))?", reference) or re.match("()(0)(-1)", "")
    return found.group(1), int(found.group(2)), int(found.group(3) or found.group(2))


def check_charts(path, expected, cell_at):
    """Each chart that has points: a series per cell in order, over the columns (read by cell_at, unless
    None) of the Charts sheet that hold its name and points."""
    found = charts_in_xml(path)
    check(set(found) == {title for title, points in expected.items() if points}, "charts", f"{sorted(found)}")
    for title, series in found.items():
        cells = sorted(expected.get(title, {}))
        check(len(series) == len(cells), title, f"{len(series)} series for the cells {cells}")
        for (name, xs, ys), cell in zip(series, cells):
            points, (letters, row, _) = expected[title][cell], cell_range(name)
            (x_letters, first, last), (y_letters, y_first, y_last) = cell_range(xs), cell_range(ys)
            where = f"{title} cell {cell}"
            check((first, last) == (y_first, y_last) and last - first + 1 == len(points), where,
                  f"x {xs}, y {ys} for {len(points)} points")
            if cell_at is None:
                continue
            check(cell_at(letters, row) == f"Cell {cell}", where, f"named by {name}")
            have = [(cell_at(x_letters, first + i), cell_at(y_letters, first + i)) for i in range(len(points))]
            bad = [i for i, ((when, value), (x, y)) in enumerate(zip(points, have))
                   if not (x == when and isinstance(y, float) and same_number(y, value))]
            check(not bad, where, f"{len(bad)} points differ, the first {have[bad[0]] if bad else ''}")


def render_charts(path, picture, libreoffice, folder, charts):
    """LibreOffice prints the workbook, the charts that have points on the last page; picture: that page."""
    pdf = libreoffice(path, "pdf")
    page = re.search(r"^Pages:\s+(\d+)", subprocess.check_output(["pdfinfo", pdf], text=True), re.M).group(1)
    text = subprocess.check_output(["pdftotext", "-f", page, "-l", page, pdf, "-"], text=True)
    for title, points in charts.items():
        check((title in text) == bool(points), "printed Charts sheet", f"{title}: points {bool(points)}, printed {title in text}")
    if picture:
        base = os.path.join(folder, "charts")
        subprocess.run(["pdftoppm", "-png", "-r", "110", "-f", page, "-l", page, "-singlefile", pdf, base], check=True)
        subprocess.run(["convert", base + ".png", "-trim", "+repage", "-bordercolor", "white", "-border", "16",
                        "-strip", picture], check=True)


def check_with_libreoffice(path, rows, charts, locale, folder, picture):
    soffice = shutil.which("soffice")
    if soffice is None:
        print("LibreOffice is not installed (Debian: libreoffice-calc-nogui)")
        sys.exit(SKIPPED)
    env = dict(os.environ, LC_ALL=locale, LANG=locale, LANGUAGE="", HOME=os.path.join(folder, "home"))

    def libreoffice(path, form):
        out = os.path.join(folder, "converted-" + locale)
        subprocess.run([soffice, "-env:UserInstallation=file://" + os.path.join(folder, "lo-profile-" + locale),
                        "--headless", "--norestore", "--convert-to", form, "--outdir", out, path],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        return os.path.join(out, os.path.splitext(os.path.basename(path))[0] + "." + form)

    started = time.monotonic()
    cells = fods_cells(libreoffice(path, "fods"))
    check_charts(path, charts, None)
    render_charts(path, picture, libreoffice, folder, charts)
    comma = locale.startswith("de_")
    checked = collections.Counter()
    for number, letter, _, want in cells_to_check(rows):
        have_row = cells[number - 1] if number <= len(cells) else []
        column = ord(letter) - ord("A")
        kind, value, shown = have_row[column] if column < len(have_row) else (None, None, "")
        where = f"{locale} {letter}{number} {want!r}"
        checked[want.kind] += 1
        if want.kind == "empty":
            check(kind is None, where, f"holds {kind} {shown!r}")
        elif want.kind == "number":
            check(kind == "float" and value is not None and same_number(float(value), want.value, 1e-14), where,
                  f"is {kind} {value!r}")
            if abs(want.value) < 1e15:  # beyond, a spreadsheet shows only 15 digits
                text = str(int(want.value)) if want.fmt == "General" else want.text
                check(shown == (text.replace(".", ",") if comma else text), where, f"shown as {shown!r}")
        elif want.kind in ("date", "time"):
            iso = want.value.isoformat() if want.kind == "date" else "PT%02dH%02dM00S" % (want.value.hour,
                                                                                         want.value.minute)
            check(kind == want.kind and value == iso, where, f"is {kind} {value!r}")
            check(shown == want.text, where, f"shown as {shown!r}")
        else:
            check(kind == "string" and shown == want.value, where, f"is {kind} {shown!r}")
    print(f"LibreOffice under {locale}: {time.monotonic() - started:.1f} s to convert; " +
          ", ".join(f"{n} {kind} cells" for kind, n in sorted(checked.items())))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reader", choices=["openpyxl", "libreoffice"], required=True)
    parser.add_argument("--locale", action="append", default=[], help="libreoffice: a locale to convert under")
    parser.add_argument("--program", required=True, help="velorix-archive")
    parser.add_argument("--sim", required=True, help="velorix-sim")
    parser.add_argument("--count", type=int, default=COUNT, help="records to download")
    parser.add_argument("--unedited", action="store_true", help="the simulator's archive as it is, without EDITS")
    parser.add_argument("--picture", help="libreoffice: keep the printed Charts sheet as this PNG")
    args = parser.parse_args()

    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix="velorix-workbook-")
    try:
        archive = make_archive(os.path.abspath(args.sim), folder, not args.unedited)
        workbook = os.path.join(folder, "results.xlsx")
        download(os.path.abspath(args.program), os.path.abspath(args.sim), folder, archive, workbook, args.count)
        data = open(archive, "rb").read()
        rows, charts = expected_sheet(data, args.count), expected_charts(data, args.count)
        if args.reader == "openpyxl":
            check_with_openpyxl(workbook, rows, charts)
        else:
            for locale in args.locale or ["de_DE.UTF-8", "en_US.UTF-8"]:
                check_with_libreoffice(workbook, rows, charts, locale, folder, args.picture and os.path.abspath(args.picture))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for line in DIFFERENCES:
        print(line)
    print(f"{args.reader}: {len(rows)} rows, {len(DIFFERENCES)} differences, {time.monotonic() - started:.1f} s in all")
    return 1 if DIFFERENCES else 0


if __name__ == "__main__":
    sys.exit(main())
