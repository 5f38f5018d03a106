"""The help folder: every topic of help/topics.txt has its page, every relative link and
stylesheet resolves, each page's tags balance, and nothing reaches outside the folder (no
scripts, no remote resources).

usage: help_pages.py SOURCE_DIR"""
import html.parser
import os
import sys
import urllib.parse

VOID = {"meta", "link", "br", "hr", "img", "input", "col", "wbr"}


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.stack, self.links, self.problems = [], [], []

    def handle_starttag(self, tag, attrs):
        if tag == "script":
            self.problems.append("has a script")
        for name, value in attrs:
            if name in ("href", "src") and value:
                self.links.append((tag, value))
        if tag not in VOID:
            self.stack.append(tag)

    def handle_endtag(self, tag):
        if not self.stack or self.stack.pop() != tag:
            self.problems.append("</%s> at line %d does not close the open tag" % (tag, self.getpos()[0]))


def main():
    folder, failures = os.path.abspath(os.path.join(sys.argv[1], "help")), []
    with open(os.path.join(folder, "topics.txt"), encoding="utf-8") as f:
        topics = [l.split("\t")[0] for l in f if l.strip() and not l.startswith("#")]
    failures += ["topic %s has no page" % t for t in topics
                 if not os.path.isfile(os.path.join(folder, t + ".html"))]
    for root, _, files in os.walk(folder):
        for name in sorted(n for n in files if n.endswith(".html")):
            path = os.path.join(root, name)
            page = Page()
            page.feed(open(path, encoding="utf-8").read())
            page.close()
            rel = os.path.relpath(path, folder)
            failures += ["%s: %s" % (rel, p) for p in page.problems]
            if page.stack:
                failures.append("%s: unclosed %s" % (rel, page.stack))
            for tag, link in page.links:
                url = urllib.parse.urlparse(link)
                if url.scheme or url.netloc:
                    if tag != "a":
                        failures.append("%s: remote resource %s" % (rel, link))
                    continue
                target = os.path.normpath(os.path.join(root, urllib.parse.unquote(url.path)))
                if url.path and not (target.startswith(folder + os.sep) and os.path.isfile(target)):
                    failures.append("%s: link %s does not resolve" % (rel, link))
    print("\n".join(failures) or "%d topics, every page and link in place" % len(topics))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
