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


def main():
    source, bindir = sys.argv[1], sys.argv[2]
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    failures = []
    for words in HELP:
        command = " ".join(words + ["--help"])
        out = subprocess.run(words + ["--help"], env=env, capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            failures.append("%s: exit %d" % (command, out.returncode))
            continue
        m = re.search(r"^### `%s`\n\n((?:    .*\n|\n)+)" % re.escape(command), readme, re.M)
        if not m:
            failures.append("README has no section \"### `%s`\"" % command)
            continue
        documented = "\n".join(l[4:] for l in m.group(1).rstrip("\n").split("\n"))
        if documented != out.stdout.rstrip("\n"):
            failures.append("README differs from `%s`:\n--- README\n%s\n--- program\n%s"
                            % (command, documented, out.stdout.rstrip("\n")))
        man, completion = PROGRAMS[words[0]]
        texts = {}
        for path in (man, completion):
            with open(os.path.join(source, path), encoding="utf-8") as f:
                texts[path] = re.sub(r"\\f[BIRP]", " ", f.read().replace("\\-", "-"))
        for option in sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", out.stdout))):
            for path, text in texts.items():
                if not re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(option), text):
                    failures.append("%s does not name %s (from `%s`)" % (path, option, command))
    for man, completion in PROGRAMS.values():
        if shutil.which("man"):  # the page renders without a warning
            r = subprocess.run(["man", "--warnings", "-l", os.path.join(source, man)], capture_output=True,
                               text=True, timeout=30, env=dict(env, MANWIDTH="80", LC_ALL="C.UTF-8"))
            if r.returncode != 0 or r.stderr.strip():
                failures.append("%s does not render cleanly: %s" % (man, r.stderr.strip()))
        r = subprocess.run(["bash", "-c", "source '%s'" % os.path.join(source, completion)],
                           capture_output=True, text=True, timeout=30)
        if r.returncode != 0 or r.stderr:
            failures.append("%s does not load: %s" % (completion, r.stderr.strip()))
    for f in failures:
        print("FAIL:", f)
    print("%d problem(s)" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
