"""Checks the internal links of the built site: every relative link of every page must name
a file of the site and, where it has a fragment, an element id of that file.

Usage: python docs/check_links.py build/docs/html
Links to other sites are not followed (CI has no network beyond the package registries);
Sphinx's build already refuses a cross-reference it cannot resolve.
"""

from __future__ import annotations

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class Page(HTMLParser):
    """The links and the element ids of one HTML page."""

    def __init__(self) -> None:
        super().__init__()
        self.links: list[str] = []
        self.ids: set[str] = set()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        if values.get("id"):
            self.ids.add(str(values["id"]))
        if tag == "a" and values.get("name"):
            self.ids.add(str(values["name"]))
        if tag in ("a", "link") and values.get("href"):
            self.links.append(str(values["href"]))


def read(path: Path) -> Page:
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def site_pages(site: Path) -> list[Path]:
    """Returns the site's pages (not the theme's templates among its static files)."""
    return [path for path in site.rglob("*.html") if "_static" not in path.parts]


def broken_links(site: Path) -> list[str]:
    """Returns one line per internal link that leads nowhere."""
    pages = {path.resolve(): read(path) for path in site_pages(site)}
    broken = []
    for path, page in sorted(pages.items()):
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            where = f"{path.relative_to(site.resolve())}: {link}"
            if not target.exists():
                broken.append(f"{where}: no such file")
            elif parts.fragment and target in pages and parts.fragment not in pages[target].ids:
                broken.append(f"{where}: no element with id '{parts.fragment}'")
    return broken


def main() -> int:
    site = Path(sys.argv[1])
    pages = len(site_pages(site))
    broken = broken_links(site)
    for line in broken:
        print(f"broken link: {line}", file=sys.stderr)
    print(f"check_links.py: {pages} pages, {len(broken)} broken internal links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
