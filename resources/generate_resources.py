#!/usr/bin/env python3
"""Writes the dialog forms and the program icon of this folder.

    python3 resources/generate_resources.py

The outputs (main_dialog.ui, about_dialog.ui, velorix-32.xpm, velorix-16.xpm)
are committed; run this again only after changing the tables below.

Dialog units to pixels
----------------------
The dialog templates are laid out in dialog units: a horizontal unit is a
quarter of the dialog font's average character width, a vertical unit an
eighth of its character height. Both dialogs use an 8-point sans-serif font;
at 96 dpi its base units are taken as 6 px (average width) and 13 px (height),
the classic metrics of an 8-point dialog font. Each rectangle is converted
corner by corner, like the platform's MapDialogRect does:
    left   = round(x * 6 / 4)        top    = round(y * 13 / 8)
    right  = round((x + w) * 6 / 4)  bottom = round((y + h) * 13 / 8)
with halves rounded up, so controls that touch in the template touch on
screen too. The dialog's client area is the template size converted the same
way (212 x 134 units -> 318 x 218 px; 217 x 55 units -> 326 x 89 px).
"""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
ICON_SIZE = (32, 32)
AVG_CHAR_WIDTH = 6
CHAR_HEIGHT = 13


def mul_div(value, num, den):
    # Rounds halves away from zero, as the platform's MulDiv does.
    q, r = divmod(abs(value) * num, den)
    if 2 * r >= den:
        q += 1
    return q if value >= 0 else -q


def to_pixels(x, y, w, h):
    left = mul_div(x, AVG_CHAR_WIDTH, 4)
    top = mul_div(y, CHAR_HEIGHT, 8)
    right = mul_div(x + w, AVG_CHAR_WIDTH, 4)
    bottom = mul_div(y + h, CHAR_HEIGHT, 8)
    return left, top, right - left, bottom - top


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def pixel_geometry(x, y, w, h):
    return (f'   <property name="geometry">\n    <rect>\n     <x>{x}</x>\n     <y>{y}</y>\n'
            f'     <width>{w}</width>\n     <height>{h}</height>\n    </rect>\n   </property>\n')


def geometry(rect):
    return pixel_geometry(*to_pixels(*rect))


def pixel_widget(cls, name, origin, size, props=""):
    """A control placed by the template but sized in pixels."""
    x, y, _, _ = to_pixels(origin[0], origin[1], 0, 0)
    return f'  <widget class="{cls}" name="{name}">\n{pixel_geometry(x, y, *size)}{props}  </widget>\n'


def prop(name, kind, value):
    return f'   <property name="{name}">\n    <{kind}>{value}</{kind}>\n   </property>\n'


def widget(cls, name, rect, props=""):
    return f'  <widget class="{cls}" name="{name}">\n{geometry(rect)}{props}  </widget>\n'


def form(cls, name, title, size, children, tabstops, customwidgets=""):
    w, h = mul_div(size[0], AVG_CHAR_WIDTH, 4), mul_div(size[1], CHAR_HEIGHT, 8)
    stops = "".join(f"  <tabstop>{t}</tabstop>\n" for t in tabstops)
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<!-- Written by generate_resources.py from the dialog template; edit the script, not this file. -->\n'
        '<ui version="4.0">\n'
        f' <class>{cls}</class>\n'
        f' <widget class="QDialog" name="{name}">\n'
        f'  <property name="geometry">\n   <rect>\n    <x>0</x>\n    <y>0</y>\n'
        f'    <width>{w}</width>\n    <height>{h}</height>\n   </rect>\n  </property>\n'
        f'  <property name="minimumSize">\n   <size>\n    <width>{w}</width>\n    <height>{h}</height>\n   </size>\n  </property>\n'
        f'  <property name="maximumSize">\n   <size>\n    <width>{w}</width>\n    <height>{h}</height>\n   </size>\n  </property>\n'
        '  <property name="font">\n   <font>\n    <pointsize>8</pointsize>\n   </font>\n  </property>\n'
        f'  <property name="windowTitle">\n   <string>{esc(title)}</string>\n  </property>\n'
        + "".join(children)
        + ' </widget>\n'
        + customwidgets
        + ' <tabstops>\n' + stops + ' </tabstops>\n'
        ' <resources/>\n <connections/>\n</ui>\n')


def indent(block):
    return "".join("  " + line + "\n" if line else "\n" for line in block.rstrip("\n").split("\n"))


def main_dialog():
    text = lambda s: prop("text", "string", esc(s))
    # Group boxes come first so that they lie beneath the controls they frame;
    # the tab order below is the template's control order.
    children = [
        widget("QGroupBox", "statusGroup", (3, 89, 205, 28),
               prop("title", "string", "Status bar") + prop("alignment", "set", "Qt::AlignHCenter")),
        widget("QGroupBox", "samplesGroup", (17, 37, 81, 27), prop("title", "string", "Number of samples")),
        widget("QLineEdit", "IDC_CLOCK", (67, 4, 68, 23), prop("focusPolicy", "enum", "Qt::StrongFocus")),
        widget("QLabel", "IDC_STATUS", (3, 121, 205, 9),
               prop("frameShape", "enum", "QFrame::Panel") + prop("frameShadow", "enum", "QFrame::Sunken")
               + prop("text", "string", "") + prop("alignment", "set", "Qt::AlignLeading|Qt::AlignLeft|Qt::AlignVCenter")
               + prop("textFormat", "enum", "Qt::PlainText")),
        widget("QProgressBar", "IDC_PROGRESS", (7, 99, 198, 11),
               prop("minimum", "number", 0) + prop("maximum", "number", 100) + prop("value", "number", 0)
               + prop("textVisible", "bool", "false")),
        widget("QLineEdit", "IDC_SAMPLE_COUNT", (33, 48, 36, 12), ""),
        widget("QPushButton", "IDC_READ_ARCHIVE", (117, 43, 81, 18),
               text("Reading archive") + prop("autoDefault", "bool", "true") + prop("default", "bool", "false")),
        widget("velorix::UpDownControl", "IDC_SAMPLE_SPIN", (70, 48, 9, 11), ""),
        widget("QCheckBox", "IDC_EXPORT_EXCEL", (16, 71, 139, 11), text("Export in Excel")),
    ]
    children = [indent(c) for c in children]
    custom = (' <customwidgets>\n  <customwidget>\n   <class>velorix::UpDownControl</class>\n'
              '   <extends>QWidget</extends>\n   <header>qt_window/qt_up_down_control.h</header>\n'
              '  </customwidget>\n </customwidgets>\n')
    return form("MainDialog", "IDD_MAIN", "Velorix-5  Reading archive", (212, 134), children,
                ["IDC_CLOCK", "IDC_SAMPLE_COUNT", "IDC_READ_ARCHIVE", "IDC_EXPORT_EXCEL"], custom)


def about_dialog():
    children = [
        # A static icon takes the size of its icon, whatever the template says
        # (20 x 20 units would be 30 x 32 px and cut the 32 px icon).
        pixel_widget("QLabel", "aboutIcon", (11, 17), ICON_SIZE,
                     prop("alignment", "set", "Qt::AlignLeading|Qt::AlignLeft|Qt::AlignTop")),
        widget("QLabel", "aboutVersion", (40, 10, 119, 8),
               prop("text", "string", "Quorvel V2.9") + prop("textFormat", "enum", "Qt::PlainText")),
        widget("QPushButton", "IDOK", (178, 7, 32, 14),
               prop("text", "string", "OK") + prop("default", "bool", "true")),
    ]
    children = [indent(c) for c in children]
    return form("AboutDialog", "IDD_ABOUTBOX", "About Velorix-5", (217, 55), children, ["IDOK"])


# --- the icon ----------------------------------------------------------------
# The 16 colours of the classic palette; the icon uses a few of them.
PALETTE = {
    "k": "#000000", "r": "#800000", "g": "#008000", "o": "#808000",
    "n": "#000080", "p": "#800080", "t": "#008080", "s": "#C0C0C0",
    "d": "#808080", "R": "#FF0000", "G": "#00FF00", "y": "#FFFF00",
    "b": "#0000FF", "m": "#FF00FF", "c": "#00FFFF", "w": "#FFFFFF",
}


def draw_icon(size):
    """A measuring cell: two capacitor plates with a dielectric between them
    and a lead on each side, on a rounded navy tile."""
    px = [[" "] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = c

    corner = 3 if size >= 32 else 2
    last = size - 1
    for y in range(size):
        for x in range(size):
            dx = max(corner - x, x - (last - corner), 0)
            dy = max(corner - y, y - (last - corner), 0)
            if dx * dx + dy * dy <= corner * corner:
                px[y][x] = "n"
    # a dark rim along the tile's edge
    for y in range(size):
        for x in range(size):
            if px[y][x] == "n":
                for nx, ny in ((x - 1, y), (x + 1, y), (x, y - 1), (x, y + 1)):
                    if not (0 <= nx < size and 0 <= ny < size) or px[ny][nx] == " ":
                        px[y][x] = "k"
                        break
    if size >= 32:
        fill(4, 15, 11, 16, "w")    # left lead
        fill(20, 15, 27, 16, "w")   # right lead
        fill(15, 9, 16, 22, "c")    # dielectric
        fill(12, 6, 14, 25, "y")    # plates
        fill(17, 6, 19, 25, "y")
        fill(12, 25, 14, 25, "o")   # plate shading
        fill(17, 25, 19, 25, "o")
    else:
        fill(2, 7, 4, 8, "w")
        fill(11, 7, 13, 8, "w")
        fill(7, 5, 8, 10, "c")
        fill(5, 3, 6, 12, "y")
        fill(9, 3, 10, 12, "y")
    return ["".join(row) for row in px]


def xpm(name, rows):
    used = sorted({c for row in rows for c in row})
    lines = [f"/* XPM */", f"static const char *{name}[] = {{",
             f'"{len(rows[0])} {len(rows)} {len(used)} 1",']
    for c in used:
        lines.append(f'"{c} c {"None" if c == " " else PALETTE[c]}",')
    lines += [f'"{row}",' for row in rows[:-1]] + [f'"{rows[-1]}"', "};", ""]
    return "\n".join(lines)


def write(name, text):
    with open(os.path.join(HERE, name), "w", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    write("main_dialog.ui", main_dialog())
    write("about_dialog.ui", about_dialog())
    write("velorix-32.xpm", xpm("velorix_32", draw_icon(32)))
    write("velorix-16.xpm", xpm("velorix_16", draw_icon(16)))
