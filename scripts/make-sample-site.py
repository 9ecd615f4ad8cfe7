#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes the bundled sample directory (sample-site/television/) and the channel file that a
harvest of it must give (tests/fixtures/sample-channels.dat).

The pages use the line forms the harvester recognises, inside ordinary-looking HTML. Every
name and address is invented (example.com / .test hosts). The output is the same on every
run: run it again after changing the tables and commit the pages and the fixture.
"""
import os
import random
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SITE = os.path.join(ROOT, "sample-site", "television")
FIXTURE = os.path.join(ROOT, "tests", "fixtures", "sample-channels.dat")

# (file, raw name on the index page, name the harvester gives, line end, final line feed)
COUNTRIES = [
    ("norway.htm", "NORWAY", "Norway", "\n", True),
    ("france.htm", "france", "France", "\r\n", True),
    ("austria.htm", "\xd6STERREICH", "\xd6sterreich", "\r\n", True),
    ("brazil.htm", "Brazil", "Brazil", "\n", False),  # last line without a line feed
    ("atlantis.htm", "ATLANTIS", None, "\n", True),  # linked but missing
    ("canada.htm", "CANADA", "Canada", "\r\n", True),
    ("uk.htm", "UNITED KINGDOM", "United kingdom", "\n", True),
    ("usa.htm", "USA", "USA", "\r\n", True),
    ("usa_east.htm", "usa (east)", "USA", "\n", True),
]

WORDS_A = ["Nord", "Sol", "Vale", "Lumen", "Kappa", "Orbit", "Delta", "Pine", "Harbor", "Ridge",
           "Aurora", "Mosaic", "Cobalt", "Falcon", "Meadow", "Signal", "Vista", "Echo", "Summit",
           "Coral", "Tundra", "Prairie", "Beacon", "Lantern"]
WORDS_B = ["TV", "Vision", "Channel", "One", "24", "Live", "Plus", "Screen", "Net", "Kanal"]
LATIN1_NAMES = ["T\xe9l\xe9 C\xf4te", "\xc9cran Bleu", "S\xe3o Vale TV", "F\xf8rde Kanal",
                "M\xfcnster Eins", "\xc0 la Une", "Gr\xfcnwald TV", "Cora\xe7\xe3o TV"]
ABOUTS = [
    "News and current affairs.", "Christian music and worship.", "Local community channel.",
    "Weather forecast and radar.", "University lectures and research.", "Home shopping.",
    "Government and parliament live.", "Soccer, golf and motor racing.",
    "Music videos around the clock.", "State broadcaster, general programming.",
    "Regional television.", "Cartoons for children.", "News &amp; sport..", "Evening prayer.",
    "Film classics", "Talk shows and comedy. ", "Documentaries about NASA missions.",
    "Commercial entertainment.", "Jazz and blues music.", "Catholic mass daily.",
]
RATES = ["28", "56", "100", "150", "225", "300", "350", "500", "700", "1000"]
CATEGORIES = [
    ("Religious", ["religious", "christian", "catholic", "pray", "belief", "church", "catol",
                   "bisdom", "spiritual", "christan", "cathedral", "faith"]),
    ("General", ["general", "nasjonal", "state"]),
    ("Sports", ["sports", "racing", "soccer", "golf", "football", "cycling"]),
    ("Weather", ["weather", "forecast", "radar"]),
    ("Music", ["music"]),
    ("News", ["news"]),
    ("Education", ["education", "university", "research", "nasa"]),
    ("Local", ["local"]),
    ("Shopping", ["shopping", "commercial"]),
    ("Government", ["government"]),
    ("Community", ["community"]),
]


def category(about):
    lower = "".join(c.lower() if "A" <= c <= "Z" else c for c in about)
    for name, keywords in CATEGORIES:
        if any(k in lower for k in keywords):
            return name
    return "Unknown"


def slug(name):
    ascii_name = unicodedata.normalize("NFKD", name).encode("ascii", "ignore").decode()
    return "".join(c.lower() if c.isalnum() else "-" for c in ascii_name).strip("-")


def stream_line(kind, url, rate, row_id):
    return "<a class=\"%s\" href=\"javascript:w('2','%s','%s')\">%sK</a> <b>" % (
        kind, url, row_id, rate)


def row(rng, row_id, name, about, streams, new_mark):
    """The lines of one table row, and the channel it gives (None without a stream)."""
    homepage = "http://www.%s.example.com/" % slug(name)
    mark = "NEW!:<br>" if new_mark else ""
    lines = [
        "<tr><td class=\"name\" valign=\"top\"><span class=\"c\" id=\"%s\">%s<b><a href=\"%s\" "
        "target=\"_blank\">%s</a></b></span>" % (row_id, mark, homepage, name),
        "</td><td class=\"s\">",
    ]
    for i in range(streams):
        kind = rng.choice("mrw")
        host = slug(name)
        url = rng.choice(["mms://media.%s.example.com/live%d" % (host, i),
                          "http://stream.%s.test/tv%d.asx" % (host, i),
                          "rtsp://live.%s.example.com/feed%d" % (host, i)])
        rate = rng.choice(RATES)
        lines.append(stream_line(kind, url, rate, row_id))
    lines.append(" </td><td class=\"q\"><img src=\"q%d.gif\" alt=\"quality\"></td>"
                 "<td class=\"t\">LIVE</td><td class=\"a\">%s</td></tr>" % (rng.randint(1, 4), about))
    if streams == 0:
        return lines, None
    cut = about[:-1] if about.endswith(".") else about
    return lines, [name, rate, category(cut), cut, url, homepage]


def country_page(rng, index, country, shown_name, count):
    head = [
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">",
        "<html>",
        "<head><title>%s - live television</title>" % shown_name,
        "<link rel=\"stylesheet\" href=\"../tv.css\" type=\"text/css\"></head>",
        "<body>",
        "<h1>%s</h1>" % shown_name,
        "<table class=\"list\" cellspacing=\"0\">",
        "<tr><th>Channel</th><th>Streams</th><th>Quality</th><th>Type</th><th>About</th></tr>",
    ]
    lines, channels = list(head), []
    for n in range(count):
        row_id = "%s%d" % (country[:2], n + 1)
        if (n + index) % 9 == 4:
            name = LATIN1_NAMES[(n + index) % len(LATIN1_NAMES)]
        else:
            name = "%s %s" % (rng.choice(WORDS_A), rng.choice(WORDS_B))
        about = rng.choice(ABOUTS)
        streams = 1
        if n == 3:
            streams = 3  # several stream links: the last one counts
        elif n == 7:
            streams = 0  # no stream link: no channel
        row_lines, channel = row(rng, row_id, name, about, streams, new_mark=(n == 5))
        lines += row_lines
        if channel:
            channels.append([shown_name] + channel)
    lines += ["</table>", "<p class=\"foot\">Streams open in your media player.</p>",
              "</body>", "</html>"]
    return lines, channels


def index_page(countries):
    lines = [
        "<html>",
        "<head><title>Television by country</title></head>",
        "<body class=\"bar\">",
        "<p><b>Countries</b></p>",
    ]
    for page, raw, _, _, _ in countries:
        lines.append("<a class=\"rb\" href=\"%s\" target=\"c\">%s" % (page, raw))
        lines.append("</a><br>")
    lines += ["<p><a href=\"../index.htm\" target=\"_top\">Home</a></p>", "</body>", "</html>"]
    return "\r\n".join(lines) + "\r\n"


def main():
    rng = random.Random(1206)
    os.makedirs(SITE, exist_ok=True)
    os.makedirs(os.path.dirname(FIXTURE), exist_ok=True)
    with open(os.path.join(SITE, "tvbar.htm"), "w", encoding="latin-1", newline="") as f:
        f.write(index_page(COUNTRIES))
    expected = []
    for index, (page, _, shown, eol, final_lf) in enumerate(COUNTRIES):
        if shown is None:
            continue
        lines, channels = country_page(rng, index, page.split(".")[0], shown, 18 + 3 * index)
        text = eol.join(lines) + (eol if final_lf else "")
        with open(os.path.join(SITE, page), "w", encoding="latin-1", newline="") as f:
            f.write(text)
        expected += channels
    with open(FIXTURE, "w", encoding="latin-1", newline="") as f:
        for channel in expected:
            f.write("|".join(channel) + "\r\n")
    print("%d channels on %d pages" % (len(expected), len(COUNTRIES) - 1))


if __name__ == "__main__":
    main()
