"""The README's command-line section is each program's --help, word for word; every option
--help names is in the program's man page and bash completion; each page renders cleanly (when
man is installed) and each completion file loads.

usage: readme_help.py SOURCE_DIR BIN_DIR"""
import os
import re
import shutil
import subprocess
import sys

PROGRAMS = {  # command -> (man page, completion file), relative to the source folder
    "VRLEng31": ("agent/VRLEng31.1", "agent/VRLEng31.bash-completion"),
    "VRL31": ("console/VRL31.1", "console/VRL31.bash-completion"),
    "VRLCfg31": ("config/VRLCfg31.1", "config/VRLCfg31.bash-completion"),
    "vrlmail": ("mailengine/tools/vrlmail.1", "mailengine/tools/vrlmail.bash-completion"),
}
HELP = [["VRLEng31"], ["VRL31"], ["VRLCfg31"], ["vrlmail"], ["vrlmail", "send"], ["vrlmail", "fetch"]]


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=30, **kw)


def main():
    source, bindir = sys.argv[1], sys.argv[2]
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
    text = lambda path: open(os.path.join(source, path), encoding="utf-8").read()
    readme, failures = text("README.md"), []
    for words in HELP:
        command = " ".join(words + ["--help"])
        out = run(words + ["--help"], env=env)
        m = re.search(r"^### `%s`\n\n((?:    .*\n|\n)+)" % re.escape(command), readme, re.M)
        if out.returncode != 0 or not m:
            failures.append("%s: exit %d, README section: %s" % (command, out.returncode, bool(m)))
            continue
        documented = "\n".join(l[4:] for l in m.group(1).rstrip("\n").split("\n"))
        if documented != out.stdout.rstrip("\n"):
            failures.append("README differs from `%s`:\n--- README\n%s\n--- program\n%s"
                            % (command, documented, out.stdout.rstrip("\n")))
        for path in PROGRAMS[words[0]]:
            page = re.sub(r"\\f[BIRP]", " ", text(path).replace("\\-", "-"))
            for option in sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", out.stdout))):
                if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), page):
                    failures.append("%s does not name %s (from `%s`)" % (path, option, command))
    for man, completion in PROGRAMS.values():
        if shutil.which("man"):  # the page renders without a warning
            r = run(["man", "--warnings", "-l", os.path.join(source, man)],
                    env=dict(env, MANWIDTH="80", LC_ALL="C.UTF-8"))
            if r.returncode != 0 or r.stderr.strip():
                failures.append("%s does not render cleanly: %s" % (man, r.stderr.strip()))
        r = run(["bash", "-c", "source '%s'" % os.path.join(source, completion)])
        if r.returncode != 0 or r.stderr:
            failures.append("%s does not load: %s" % (completion, r.stderr.strip()))
    for f in failures:
        print("FAIL:", f)
    print("%d problem(s)" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
