#!/usr/bin/env python3
"""The HTML report of a real run, checked from outside the program.

    check_report.py html    TARNEL SOURCE_DIR   parsed by a real HTML parser
    check_report.py browser TARNEL SOURCE_DIR   loaded by headless Chromium

Exits 77 (skipped, with the reason on standard output) when html5lib or Chromium is
missing; CI installs both (.ci/install)."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SKIPPED = 77


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIPPED)


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def run_tarnel(tarnel, source, folder, *extra):
    """Runs the real data into `folder` with relative output names, so that two runs in two
    folders have the same command line and must give the same bytes."""
    data = os.path.join(source, "examples", "data")
    args = [tarnel, "-m", os.path.join(data, "jaspar_core.motifs"), "-i", os.path.join(data, "real_seqs.fa"),
            "-o", "sites.txt", "--summary", "motifs.tsv", "--report", "report.html", *extra]
    result = subprocess.run(args, cwd=folder, capture_output=True)
    if result.returncode != 0:
        fail("Tarnel failed: %s\n%s" % (" ".join(args), result.stderr.decode()))
    return (open(os.path.join(folder, "report.html"), "rb").read(),
            open(os.path.join(folder, "motifs.tsv"), encoding="utf-8").read(),
            open(os.path.join(folder, "sites.txt"), encoding="utf-8").read())


def elements(root, name):
    """Elements of that local name: html5lib puts SVG's in the SVG namespace."""
    return [e for e in root.iter() if isinstance(e.tag, str) and e.tag.split("}")[-1] == name]


def motif_table_rows(document):
    table = [t for t in document.iter("table") if t.get("id") == "motif-table"]
    if len(table) != 1:
        fail("the page has %d motif tables" % len(table))
    body = table[0].find("tbody")
    return [[("".join(td.itertext())).strip() for td in tr.findall("td")] for tr in body.findall("tr")]


def outside_references(document, text):
    """Every way the page could reach outside itself."""
    found = []
    for element in document.iter():
        tag = element.tag if isinstance(element.tag, str) else ""
        tag = tag.split("}")[-1]
        if tag in ("link", "img", "iframe", "object", "embed", "base", "audio", "video", "source", "frame"):
            found.append("<%s>" % tag)
        for name, value in element.attrib.items():
            name = name.split("}")[-1]
            if name in ("src", "srcset", "action", "data", "poster", "background", "formaction"):
                found.append('%s="%s"' % (name, value))
            if name == "href" and not value.startswith("#"):
                found.append('href="%s"' % value)
            if name == "style" and re.search(r"url\(\s*['\"]?[^#'\" ]", value):
                found.append('style="%s"' % value)
    for css in re.findall(r"<style[^>]*>(.*?)</style>", text, re.S):
        if "@import" in css or re.search(r"url\(\s*['\"]?[^#'\" ]", css):
            found.append("a style sheet that loads from outside")
    for scheme in ("http:", "https:", "ftp:", "//fonts", "data:"):
        if scheme in text:
            found.append(scheme)
    return found


def check_html(tarnel, source):
    try:
        import html5lib
    except ImportError:
        skip("python3-html5lib is not installed")
    work = tempfile.mkdtemp(prefix="tarnel-report-")
    try:
        first, second = os.path.join(work, "a"), os.path.join(work, "b")
        os.mkdir(first)
        os.mkdir(second)
        page, summary, sites = run_tarnel(tarnel, source, first)
        page_again, summary_again, _ = run_tarnel(tarnel, source, second, "-t", "3")
        # Workers are part of the run's description; nothing else may change with them.
        strip = lambda p: re.sub(rb"<tr><th>(Command line|Workers)</th><td>.*?</td></tr>", b"", p)
        if strip(page) != strip(page_again) or summary != summary_again:
            fail("a second run (with 3 workers) gives another report or summary")
        page_same, _, _ = run_tarnel(tarnel, source, second)
        if page_same != page:
            fail("a second run with the same command line gives another report")

        parser = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False)
        try:
            document = parser.parse(page)
        except Exception as e:  # html5lib raises ParseError with the place
            fail("not well-formed HTML: %s" % e)
        text = page.decode("utf-8")
        found = outside_references(document, text)
        if found:
            fail("the page reaches outside itself: %s" % ", ".join(sorted(set(found))[:10]))

        motifs = sum(1 for line in open(os.path.join(source, "examples", "data", "jaspar_core.motifs"))
                     if line.startswith(">"))
        rows = motif_table_rows(document)
        if len(rows) != motifs:
            fail("%d table rows for %d motifs" % (len(rows), motifs))
        lines = summary.splitlines()
        header = lines[0].split("\t")
        written_column = header.index("written")
        written = {f[0]: int(f[written_column]) for f in (line.split("\t") for line in lines[1:])}
        # Columns: rank, logo, motif, width, sequences, with window, kept, mean, sd, score
        # needed, written, ...
        table_written = [int(r[10]) for r in rows]
        if table_written != sorted(table_written, reverse=True):
            fail("the table is not by sites written, most first")
        if {r[2]: int(r[10]) for r in rows} != written:
            fail("the table's sites written differ from the summary's")
        if sum(written.values()) != len(sites.splitlines()):
            fail("sites written add up to %d, the output has %d lines" % (sum(written.values()), len(sites.splitlines())))

        details = [d for d in document.iter("div") if d.get("class") == "detail"]
        if len(details) != 20:
            fail("%d motifs in detail, 20 by default" % len(details))
        top_names = [r[2] for r in rows[:20]]
        for detail, name in zip(details, top_names):
            heading = "".join(detail.find("h3").itertext())
            if not heading.endswith(name):
                fail("detail '%s' is not the table's motif '%s'" % (heading, name))
            plots = [s for s in elements(detail, "svg") if s.get("class") == "plot"]
            sites_table = [t for t in detail.iter("table") if t.get("class") == "sites"]
            if len(plots) != 2 or len(sites_table) != 1:
                fail("detail '%s' has %d plots and %d site tables" % (name, len(plots), len(sites_table)))
            site_rows = sites_table[0].find("tbody").findall("tr")
            scores = [float("".join(tr.findall("td")[5].itertext())) for tr in site_rows]
            if len(site_rows) != 10 or scores != sorted(scores, reverse=True):
                fail("detail '%s' does not list its ten highest sites, highest first: %s" % (name, scores))
            if not any(s.get("class") == "logo" for s in elements(detail, "svg")):
                fail("detail '%s' has no logo" % name)
        # Every logo letter is one of the four glyphs the page defines.
        defined = {p.get("id") for p in elements(document, "path") if p.get("id")}
        used = {u.get("href")[1:] for u in elements(document, "use")}
        if defined != {"gA", "gC", "gG", "gT"} or not used or not used <= defined:
            fail("logo glyphs: defined %s, used %s" % (sorted(defined), sorted(used)))

        shown, _, _ = run_tarnel(tarnel, source, second, "--report-top", "3", "-n", "300")
        document = parser.parse(shown)
        if sum(1 for d in document.iter("div") if d.get("class") == "detail") != 3:
            fail("--report-top 3 does not show 3 motifs in detail")
        if len(motif_table_rows(document)) != motifs:
            fail("the sampled run's report lacks motifs")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("report: well-formed, self-contained, one row per motif, agrees with the summary, reproducible")


def png_pixels(path):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("the screenshot is not a PNG")
    pos, idat, width, height, channels = 8, b"", 0, 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", chunk[:10])
            if depth != 8 or colour not in (2, 6):
                fail("unexpected PNG layout (depth %d, colour type %d)" % (depth, colour))
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def chromium_command():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name) or (("/usr/bin/" + name) if os.path.exists("/usr/bin/" + name) else None)
        if path:
            return path
    return None


def browser(binary, profile, *args):
    command = [binary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", *args]
    return subprocess.run(command, capture_output=True, timeout=120)


def check_browser(tarnel, source):
    binary = chromium_command()
    if binary is None:
        skip("chromium is not installed")
    work = tempfile.mkdtemp(prefix="tarnel-browser-")
    try:
        page, summary, _ = run_tarnel(tarnel, source, work)
        motifs = len(summary.splitlines()) - 1
        # A copy that records every script error on the page, and clicks the width header
        # once: the table must then be sorted by width, widest first.
        text = page.decode("utf-8")
        recorder = ("<script>window.addEventListener('error',function(e){var h=document.documentElement;"
                    "h.setAttribute('data-errors',(h.getAttribute('data-errors')||'')+e.message+';')});</script>")
        clicker = ("<script>var hs=document.getElementById('motif-table').tHead.rows[0].cells;"
                   "for(var i=0;i<hs.length;i++)if(hs[i].textContent==='width')hs[i].click();</script>")
        probe = text.replace("<head>", "<head>" + recorder, 1).replace("</body>", clicker + "</body>", 1)
        probe_path = os.path.join(work, "probe.html")
        open(probe_path, "w", encoding="utf-8").write(probe)

        dumped = browser(binary, os.path.join(work, "profile1"), "--dump-dom", "file://" + probe_path)
        dom, log = dumped.stdout.decode("utf-8", "replace"), dumped.stderr.decode("utf-8", "replace")
        if dumped.returncode != 0 or "motif-table" not in dom:
            fail("chromium could not load the page (status %d): %s" % (dumped.returncode, log[-2000:]))
        errors = re.search(r'<html[^>]*data-errors="([^"]*)"', dom)
        if errors:
            fail("script errors on the page: %s" % errors.group(1))
        console = [line for line in log.splitlines() if ":CONSOLE" in line]
        if console:
            fail("the browser's console logged: %s" % console[:3])
        table = dom[dom.index('id="motif-table"'):]
        body = table[table.index("<tbody>"):table.index("</tbody>")]
        rows = re.findall(r"<tr>(.*?)</tr>", body, re.S)
        if len(rows) != motifs:
            fail("the browser's DOM has %d table rows for %d motifs" % (len(rows), motifs))
        widths = [int(re.findall(r"<td[^>]*>(.*?)</td>", r, re.S)[3]) for r in rows]
        if widths != sorted(widths, reverse=True):
            fail("a click on the width header does not sort the table by width")

        shot = os.path.join(work, "shot.png")
        page_path = os.path.join(work, "report.html")
        taken = browser(binary, os.path.join(work, "profile2"), "--window-size=1200,900", "--screenshot=" + shot,
                        "file://" + page_path)
        if taken.returncode != 0 or not os.path.exists(shot):
            fail("no screenshot: %s" % taken.stderr.decode("utf-8", "replace")[-2000:])
        width, height, pixels = png_pixels(shot)
        flat = [p for row in pixels for p in row]
        ink = sum(1 for p in flat if min(p) < 200)
        if ink < 0.01 * len(flat):
            fail("the screenshot is blank (%d dark pixels of %d)" % (ink, len(flat)))
        # The logos are drawn: each letter's colour is on the screen.
        for letter, colour in (("A", (0x10, 0x96, 0x48)), ("C", (0x25, 0x5c, 0x99)), ("G", (0xf7, 0xb3, 0x2b)),
                               ("T", (0xd6, 0x28, 0x39))):
            near = sum(1 for p in flat if all(abs(p[i] - colour[i]) <= 12 for i in range(3)))
            if near < 20:
                fail("no %s of a logo on the screenshot (%d pixels of its colour)" % (letter, near))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("report in chromium: no errors, %d rows, sortable, logos on the screenshot" % motifs)


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("html", "browser"):
        print(__doc__)
        sys.exit(2)
    (check_html if sys.argv[1] == "html" else check_browser)(sys.argv[2], sys.argv[3])
