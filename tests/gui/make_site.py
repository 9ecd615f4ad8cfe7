#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes a directory site in the line forms the harvest reads: television/tvbar.htm linking one
page per country, and each country page with its channel rows. Used by the GUI tests and the
GUI-vs-console benchmark; `make_site.py OUT --channels 2000` writes a large one."""

import argparse
import os

ABOUT_WORDS = [
    "News and current affairs", "Music videos around the clock", "Sports, football and racing",
    "Movies and series", "Cartoons for kids", "Religious programmes", "Local community channel",
    "Weather and traffic", "Documentaries on nature", "Shopping channel", "Parliament live",
    "Comedy and entertainment", "University education", "Talk radio with video",
]
STREAM_CLASSES = ["m", "r", "w"]


def index_line(page, name):
    # The name runs to the end of the line; the closing tag follows on the next line.
    return f'<a class="rb" href="{page}" target="c">{name}\n</a><br>'


def name_line(channel, homepage, anchor, new=False):
    # Field 6 at ">" is the name (field 7 after a "NEW!:<br" field 4), field 10 at '"' the
    # homepage.
    mark = "NEW!:<br>" if new else ""
    return (f'<tr><td class="name" valign="top"><span class="c" id="{anchor}">{mark}<b>'
            f'<a href="{homepage}" target="_blank">{channel}</a></b></span>')


def stream_line(kind, url, bitrate, anchor):
    return f"<a class=\"{kind}\" href=\"javascript:w('2','{url}','{anchor}')\">{bitrate}K</a> <b>"


def about_line(about, quality=2):
    return (f' </td><td class="q"><img src="q{quality}.gif" alt="quality"></td>'
            f'<td class="t">LIVE</td><td class="a">{about}</td></tr>')


def country_page(title, channels):
    """channels: dicts with channel, homepage, streams [(kind, url, bitrate)], about, new."""
    lines = [f"<html><head><title>{title} - live television</title></head>", "<body>",
             '<table class="list" cellspacing="0">',
             "<tr><th>Channel</th><th>Streams</th><th>Quality</th><th>Type</th><th>About</th></tr>"]
    for number, c in enumerate(channels, 1):
        anchor = f"c{number}"
        lines.append(name_line(c["channel"], c["homepage"], anchor, c.get("new", False)))
        lines.append('</td><td class="s">')
        for kind, url, bitrate in c["streams"]:
            lines.append(stream_line(kind, url, bitrate, anchor))
        lines.append(about_line(c["about"], number % 4))
    lines += ["</table>", "</body>", "</html>"]
    return "\r\n".join(lines) + "\r\n"


def write_site(root, countries):
    """countries: list of (name, page file name, channels). Writes root/television/..."""
    tv = os.path.join(root, "television")
    os.makedirs(tv, exist_ok=True)
    index = ["<html><body>", "<p>Countries</p>"]
    for name, page, channels in countries:
        index.append(index_line(page, name))
        with open(os.path.join(tv, page), "wb") as f:
            f.write(country_page(name, channels).encode("latin-1"))
    index.append("</body></html>")
    with open(os.path.join(tv, "tvbar.htm"), "wb") as f:
        f.write(("\n".join(index) + "\n").encode("latin-1"))


def generated_countries(total, per_country):
    countries = []
    n = 0
    country = 0
    while n < total:
        country += 1
        channels = []
        for i in range(min(per_country, total - n)):
            n += 1
            kind = STREAM_CLASSES[n % 3]
            about = ABOUT_WORDS[n % len(ABOUT_WORDS)] + ("." if n % 4 == 0 else "")
            channels.append({
                "channel": f"Channel {country:03d}-{i + 1:02d}",
                "homepage": f"http://www{n % 7}.example.tv/c{country:03d}/{i + 1}.html",
                "streams": [(kind, f"mms://media{n % 5}.example.tv/live/{country:03d}_{i + 1}",
                             str(100 + (n * 37) % 900))],
                "about": about,
                "new": n % 11 == 0,
            })
        countries.append((f"COUNTRY {country:03d}", f"country_{country:03d}.htm", channels))
    return countries


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out", help="folder to write the site into")
    parser.add_argument("--channels", type=int, default=2000)
    parser.add_argument("--per-country", type=int, default=50)
    args = parser.parse_args()
    write_site(args.out, generated_countries(args.channels, args.per_country))


if __name__ == "__main__":
    main()
