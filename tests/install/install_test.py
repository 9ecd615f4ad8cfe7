#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks what Morvek installs and ships: the manual, the completions, the tree that
`cmake --install` makes, the Debian package and the Windows zip. One case per call.

    install_test.py --case manual|completions|installed --build DIR
    install_test.py --case deb|zip --build DIR --package FILE

The installed programs harvest sample-site/ and check a two-row list (one live stream, one
404) served by tests/server/test_server.py on 127.0.0.1. The zip case runs both programs
under Wine from a folder with a space in its name; it needs a display (xvfb-run)."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "check"))
from check_test import Failure, check, make_media, start_server  # noqa: E402

FIXTURE = os.path.join(SOURCE, "tests", "fixtures", "sample-channels.dat")
RUN_LIMIT = 120
# Where `cmake --install` and the package put each file, below the prefix.
ZSH_COMPLETION = "share/zsh/vendor-completions/_morvek-cli"  # where Debian's zsh looks
BASH_COMPLETION = "share/bash-completion/completions/morvek-cli"
INSTALLED_FILES = ("bin/morvek-cli", "libexec/morvek/morvek-check", "share/man/man1/morvek-cli.1.gz",
                   BASH_COMPLETION, ZSH_COMPLETION,
                   "share/doc/morvek/README.md", "share/doc/morvek/copyright",
                   "share/doc/morvek/changelog.gz", "share/doc/morvek/docs/serve.md",
                   "lib/systemd/system/morvek.service")
# An interactive zsh on a pseudo-terminal (zsh -f FPATH-DIR LINE): compinit with the completion's
# folder, then LINE and a key bound to complete-word; every match added is printed, one a line.
ZSH_COMPLETER = r"""
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PS1=''; fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -d $PWD/.zcompdump"
zpty -w z 'compadd() { local -a h; builtin compadd -O h "$@"; print -rl -- $h >> hits; builtin compadd "$@" }'
zpty -w z 'offer() { : >| hits; zle complete-word; : > done }; zle -N offer; bindkey "^T" offer'
rm -f done
zpty -w -n z "$2"$'\x14'
for i in {1..200}; do [[ -f done ]] && break; sleep 0.05; done
[[ -f done ]] && cat hits
zpty -d z
"""
WINDOWS_FILES = ("morvek.exe", "morvek-cli.exe", "morvek-check.exe", "README.txt")
# licenses/: Morvek's and those of the libraries linked into the programs, and their sources.
WINDOWS_LICENCES = ("morvek-LICENSE.txt", "ffmpeg-LICENSE.txt", "ffmpeg-COPYING.LGPLv2.1.txt",
                    "libxml2-Copyright.txt", "zlib-copyright.txt", "mingw-w64-runtime-copyright.txt",
                    "gcc-runtime-copyright.txt", "nlohmann-json-copyright.txt", "SOURCES.txt")
# The mingw runtimes that a static link keeps out of the programs' imports.
RUNTIME_DLLS = ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll")
WINDOW_TITLE = "Morvek v1.0"


def run(command, cwd=None, env=None, timeout=RUN_LIMIT):
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def project_version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def listed_options(text):
    """The long options a text names; "--opt=value" and "--option=value" stand for every one."""
    return set(re.findall(r"(?<![\w-])(--[a-z0-9]+(?:-[a-z0-9]+)*)", text)) - {"--opt", "--option"}


def help_options(program, *command):
    """The long options that --help lists (for the check, its own, without --check and the --check- names)."""
    rc, out, _ = run(program + list(command) + ["--help"])
    check(rc == 0, "%r --help: rc %d" % (command, rc))
    return sorted(o for o in listed_options(out) if not (command == ("check",) and o.startswith("--check")))


def all_options(program):
    """The harvest's options with the check's under their --check- names."""
    check_options = help_options(program, "check")
    return help_options(program) + ["--check-" + o[2:] for o in check_options if o not in ("--quiet", "--help", "--version")]


def check_lists_every_option(what, text, program):
    """text names exactly the options that the commands' --help lists."""
    listed = listed_options(text)
    known = set(all_options(program) + help_options(program, "check") + help_options(program, "serve"))
    check(listed == known, "%s: lists %r that no --help has, lacks %r" % (what, sorted(listed - known), sorted(known - listed)))


def case_manual(ctx):
    page = os.path.join(ctx.build, "man", "morvek-cli.1")
    rc, out, err = run(["mandoc", "-T", "lint", "-W", "warning", page])
    check(rc == 0 and out + err == "", "mandoc: %s%s" % (out, err))
    with open(page) as f:
        text = f.read().replace("\\-", "-")
    check("Morvek %s" % project_version(ctx.build) in text, "the page's version")
    check_lists_every_option("the manual", text, ctx.program)


def bash_completions(words, cwd, script):
    """What an interactive bash offers for words (split as readline splits them, "=" apart)
    through the function that script registers for morvek-cli."""
    line = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
            'function=$(complete -p morvek-cli | sed -n "s/.* -F \\([^ ]*\\) .*/\\1/p"); '
            '"$function" morvek-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"; '
            'printf "%s\\n" "${COMPREPLY[@]}"')
    rc, out, err = run(["bash", "--norc", "-ic", line, "bash", script] + words, cwd=cwd)
    check(rc == 0, "bash completion of %r: rc %d, %s" % (words, rc, err))
    return sorted(set(line for line in out.split("\n") if line))


def zsh_completions(line, cwd, folder):
    """What zsh, with compinit over folder, offers at the end of line."""
    rc, out, err = run(["zsh", "-f", "-c", ZSH_COMPLETER, "zsh", folder, line], cwd=cwd)
    check(rc == 0 and out, "zsh completion of %r: rc %d, %r %s" % (line, rc, out, err))
    return set(word.replace("\\", "") for word in out.split("\n") if word)


def check_completions(ctx, prefix):
    """The completions as installed below prefix (share/...), loaded by real shells."""
    cwd = os.path.join(ctx.work, "completions")
    os.makedirs(os.path.join(cwd, "tv lists"))
    harvest, check_options = all_options(ctx.program), help_options(ctx.program, "check")
    bash_file = os.path.join(prefix, BASH_COMPLETION)
    serve_options = help_options(ctx.program, "serve")
    table = ((["morvek-cli", "--"], harvest),
             (["morvek-cli", "check", "--"], check_options),
             (["morvek-cli", "serve", "--"], serve_options),
             (["morvek-cli", "se"], ["serve"]),
             (["morvek-cli", "ch"], ["check"]),
             (["morvek-cli", "--li"], ["--list-countries"]),
             (["morvek-cli", "--m3u", "tv"], ["tv lists"]),
             (["morvek-cli", "-o", "tv"], ["tv lists"]),
             (["morvek-cli", "--output", "=", "tv"], ["tv lists"]),
             (["morvek-cli", "--output", "="], ["tv lists"]),
             (["morvek-cli", "check", "tv"], ["tv lists"]),
             (["morvek-cli", "--country", ""], []))
    for words, want in table:
        got = bash_completions(words, cwd, bash_file)
        check(set(got) == set(want), "%r: %r, wanted %r" % (words, got, want))
    zsh_folder = os.path.dirname(os.path.join(prefix, ZSH_COMPLETION))
    for line, want in (("morvek-cli --li", {"--list-countries"}), ("morvek-cli -o tv", {"tv lists"}),
                       ("morvek-cli --output=tv", {"tv lists"}), ("morvek-cli check --ou", {"--output"}),
                       ("morvek-cli --check-ret", {"--check-retry"})):
        got = zsh_completions(line, cwd, zsh_folder)
        check(want <= got and len(got) <= 2, "zsh %r: %r" % (line, got))
    for name in (BASH_COMPLETION, ZSH_COMPLETION):
        with open(os.path.join(prefix, name)) as f:
            check_lists_every_option(name, f.read(), ctx.program)
    rc, out, _ = run(["zsh", "-fc", "print -l $fpath"])
    check("/usr/" + os.path.dirname(ZSH_COMPLETION) in out.split("\n"), "zsh does not read %s" % ZSH_COMPLETION)


def case_completions(ctx):
    """The source tree's completions, laid out as installed."""
    prefix = os.path.join(ctx.work, "source")
    for source, target in (("morvek-cli.bash", BASH_COMPLETION), ("_morvek-cli", ZSH_COMPLETION)):
        os.makedirs(os.path.dirname(os.path.join(prefix, target)), exist_ok=True)
        shutil.copy(os.path.join(SOURCE, "completions", source), os.path.join(prefix, target))
    check_completions(ctx, prefix)


def run_installed(ctx, prefix, env=None):
    """--version, a harvest of the sample site and a check of a two-row list, as installed."""
    program = [os.path.join(prefix, "bin", "morvek-cli")]
    rc, out, err = run(program + ["--version"], env=env)
    lines = out.split("\n")
    check(rc == 0 and lines[0] == "morvek-cli %s" % project_version(ctx.build), "--version: %r %s" % (out, err))
    check(lines[1].startswith("fetch: libcurl/"), "--version names no libcurl: %r" % out)
    check(lines[2].startswith("check: libavformat/") and " libxml2/" in lines[2], "check libraries: %r" % out)
    rc, _, err = run(program + ["--site", "file://%s/sample-site/" % SOURCE, "--output", "tv.dat"],
                     cwd=ctx.work, env=env)
    with open(os.path.join(ctx.work, "tv.dat"), "rb") as got, open(FIXTURE, "rb") as want:
        check(rc == 0 and got.read() == want.read(), "harvest: rc %d, %s" % (rc, err[-300:]))
    check_two_rows(ctx, program, env)


def check_two_rows(ctx, program, env):
    """morvek-cli check of a list with a live row and a gone one."""
    base = ctx.serve_media()
    with open(os.path.join(ctx.work, "two.dat"), "wb") as f:
        f.write(b"Testland|Live|300|News|a|%stv.ts|\r\nTestland|Gone|300|News|b|%smissing.ts|\r\n"
                % (base.encode(), base.encode()))
    rc, out, err = run(program + ["check", "two.dat", "--timeout", "5"], cwd=ctx.work, env=env)
    verdicts = [line.split()[0] for line in out.split("\n") if line]
    check(rc == 0 and verdicts == ["live", "error"], "check: rc %d, %r, %s" % (rc, out, err[-300:]))


def case_installed(ctx):
    prefix = os.path.join(ctx.work, "pre fix")
    rc, _, err = run(["cmake", "--install", ctx.build, "--prefix", prefix])
    check(rc == 0, "cmake --install: %s" % err)
    missing = [p for p in INSTALLED_FILES if not os.path.isfile(os.path.join(prefix, p))]
    check(not missing, "not installed: %r" % missing)
    check_completions(ctx, prefix)
    run_installed(ctx, prefix)


def case_deb(ctx):
    rc, out, _ = run(["dpkg-deb", "--field", ctx.package, "Package", "Version", "Depends", "Recommends"])
    check("Recommends: bash-completion\n" in out, "the package does not recommend bash-completion: %r" % out)
    check(rc == 0 and "Package: morvek\n" in out, "dpkg-deb --field: %r" % out)
    check("Version: %s\n" % project_version(ctx.build) in out, "package version: %r" % out)
    depends = re.search(r"^Depends: (.*)$", out, re.M)
    names = [d.split()[0] for d in depends.group(1).split(", ")] if depends else []
    for library in ("libc6", "libcurl4", "libavformat59", "libxml2", "libmicrohttpd12", "libsqlite3-0"):
        check(library in names, "Depends lacks %s: %r" % (library, names))
    rc, out, err = run(["lintian", "--fail-on", "error", ctx.package], timeout=300)
    check(rc == 0, "lintian: %s%s" % (out, err))
    root = os.path.join(ctx.work, "root")
    rc, _, err = run(["dpkg", "-x", ctx.package, root])
    check(rc == 0, "dpkg -x: %s" % err)
    missing = [p for p in INSTALLED_FILES if not os.path.isfile(os.path.join(root, "usr", p))]
    check(not missing, "not in the package: %r" % missing)
    with open(os.path.join(root, "usr", "share/doc/morvek/copyright"), encoding="utf-8") as f:
        copyright_text = f.read()
    check(copyright_text.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
          and "License: GPL-2+\n" in copyright_text, "copyright is not a DEP-5 file naming GPL-2+")
    check_completions(ctx, os.path.join(root, "usr"))
    run_installed(ctx, os.path.join(root, "usr"))


def imported_dlls(program):
    rc, out, err = run(["x86_64-w64-mingw32-objdump", "-p", program])
    check(rc == 0, "objdump: %s" % err)
    return [name.lower() for name in re.findall(r"DLL Name: (\S+)", out)]


def case_zip(ctx):
    folder = os.path.join(ctx.work, "Morvek programs")
    with zipfile.ZipFile(ctx.package) as archive:
        archive.extractall(folder)
    found = {name: os.path.join(top, name) for top, _, names in os.walk(folder) for name in names}
    check(sorted(found) == sorted(WINDOWS_FILES + WINDOWS_LICENCES), "zip holds %r" % sorted(found))
    with open(found["SOURCES.txt"], "rb") as f:
        sources = f.read()
    check(b"GNU General Public License, version 2" in sources and b"ffmpeg 7:" in sources
          and b"gcc-mingw-w64 " in sources, "SOURCES.txt lacks the licence or a version: %r" % sources)
    with open(found["README.txt"], "rb") as f:
        readme = f.read()
    check(readme.count(b"\r\n") == readme.count(b"\n") > 0, "README.txt is not CR LF throughout")
    check(readme.startswith(b"Morvek for Windows") and b"Debian" not in readme and b"--list-countries" in readme,
          "README.txt is not the users' README: %r" % readme[:100])
    for exe in ("morvek.exe", "morvek-cli.exe", "morvek-check.exe"):
        shared = [d for d in imported_dlls(found[exe]) if d in RUNTIME_DLLS]
        check(not shared, "%s needs %r" % (exe, shared))
    env = dict(os.environ, WINEPREFIX=os.path.join(ctx.work, "wine"), WINEDEBUG="-all")
    ctx.wine_prefix = env["WINEPREFIX"]
    wine = [os.path.join(SOURCE, "scripts", "wine-run.sh")]
    rc, out, err = run(wine + [found["morvek-cli.exe"], "--version"], cwd=ctx.work, env=env)
    check(rc == 0 and out.startswith("morvek-cli %s" % project_version(ctx.build)), "--version: %r %s" % (out, err))
    server, port = start_server("test_server.py", ctx.work, "site", "--root", os.path.join(SOURCE, "sample-site"),
                                "--quiet")
    check(server is not None, "web server did not start: %s" % port)
    ctx.servers.append(server)
    rc, _, err = run(wine + [found["morvek-cli.exe"], "--site", "http://127.0.0.1:%s/" % port], cwd=ctx.work,
                     env=env)
    with open(os.path.join(ctx.work, "channels.dat"), "rb") as got, open(FIXTURE, "rb") as want:
        check(rc == 0 and got.read() == want.read(), "harvest under Wine: rc %d, %s" % (rc, err[-300:]))
    check_two_rows(ctx, wine + [found["morvek-cli.exe"]], env)
    # The window program: its window opens (the built-in site cannot be reached from here).
    window = subprocess.Popen(wine + [found["morvek.exe"]], cwd=ctx.work, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        rc, out, err = run(["xdotool", "search", "--sync", "--name", WINDOW_TITLE], env=env, timeout=60)
        check(rc == 0 and out.strip() != "", "no window of morvek.exe: %s" % err)
    finally:
        window.kill()
        window.wait()


class Context:
    def __init__(self, options, work):
        self.build = os.path.abspath(options.build)
        self.package = options.package and os.path.abspath(options.package)
        self.program = [os.path.join(self.build, "morvek-cli")]
        self.work = work
        self.servers = []
        self.media_base = None
        self.wine_prefix = None

    def serve_media(self):
        if self.media_base is None:
            media = os.path.join(self.work, "media")
            os.mkdir(media)
            make_media(media)
            server, port = start_server("test_server.py", self.work, "media", "--root", media, "--quiet")
            check(server is not None, "web server did not start: %s" % port)
            self.servers.append(server)
            self.media_base = "http://127.0.0.1:%s/" % port
        return self.media_base

    def close(self):
        for server in self.servers:
            server.terminate()
            server.wait(10)
        if self.wine_prefix:
            env = dict(os.environ, WINEPREFIX=self.wine_prefix)
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, check=False)
            subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=env, check=False)


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True, choices=sorted(CASES))
    parser.add_argument("--build", required=True, help="the build folder (native, or windows for zip)")
    parser.add_argument("--package", help="the .deb or .zip for the deb and zip cases")
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="morvek-install-")
    ctx = Context(options, work)
    try:
        CASES[options.case](ctx)
    except Failure as failure:
        print("FAIL %s: %s" % (options.case, failure))
        return 1
    finally:
        ctx.close()
        shutil.rmtree(work, ignore_errors=True)
    print("PASS %s" % options.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
