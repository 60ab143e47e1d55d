#!/usr/bin/env python3
"""Puts the pictures into the technical guide itself, so the one HTML file
users copy beside the DLL shows them: every <img id="shot-NAME" src="...">
gets src="data:image/png;base64,..." of PICTURES/NAME.png.

    embed.py GUIDE.html PICTURES_FOLDER
"""
import base64
import os
import re
import sys


def main():
    guide, folder = sys.argv[1], sys.argv[2]
    with open(guide, encoding="utf-8") as f:
        text = f.read()
    missing = []

    def replace(match):
        name = match.group(2)
        path = os.path.join(folder, name + ".png")
        if not os.path.exists(path):
            missing.append(path)
            return match.group(0)
        with open(path, "rb") as picture:
            data = base64.b64encode(picture.read()).decode("ascii")
        return '%sid="shot-%s" src="data:image/png;base64,%s"' % (match.group(1), name, data)

    text = re.sub(r'(<img\s+)id="shot-([a-z0-9-]+)"\s+src="[^"]*"', replace, text)
    if missing:
        sys.exit("no picture: " + ", ".join(missing))
    with open(guide, "w", encoding="utf-8", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
