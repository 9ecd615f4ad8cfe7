#!/usr/bin/env python3
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
    return f'<a class="rb" href="{page}">{name}</a><br>'


def name_lines(channel, homepage, new=False):
    # Field 6 at ">" holds the name (field 7 after a "NEW!:<br" field 4); field 10 at '"' the
    # homepage.
    mark = "NEW!:<br>" if new else ""
    return [f'<tr><td class="name" valign="top"><a class="n" target="_blank" href="{homepage}"'
            f'>{mark}<b><i>  {channel} </a></i></b></td>']


def stream_line(kind, url, bitrate):
    return f"<a class=\"{kind}\" title='watch' href='{url}'>{bitrate}K</a>"


def about_line(about):
    return f' </td><td class="q"><font size="1"><span><i><b><u>{about}</td></tr>'


def country_page(channels):
    """channels: dicts with channel, homepage, streams [(kind, url, bitrate)], about, new."""
    lines = ["<html><head><title>Channels</title></head><body><table>"]
    for c in channels:
        lines += name_lines(c["channel"], c["homepage"], c.get("new", False))
        lines.append('<td class="l">')
        for kind, url, bitrate in c["streams"]:
            lines.append(stream_line(kind, url, bitrate))
        lines.append(about_line(c["about"]))
    lines.append("</table></body></html>")
    return "\r\n".join(lines) + "\r\n"


def write_site(root, countries):
    """countries: list of (name, page file name, channels). Writes root/television/..."""
    tv = os.path.join(root, "television")
    os.makedirs(tv, exist_ok=True)
    index = ["<html><body>", "<p>Countries</p>"]
    for name, page, channels in countries:
        index.append(index_line(page, name))
        with open(os.path.join(tv, page), "wb") as f:
            f.write(country_page(channels).encode("latin-1"))
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
