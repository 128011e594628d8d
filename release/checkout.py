"""The checkout the release check runs in: the commit a ZIP names, whether it is one to
trust, its build, and every program the check runs, each with a time limit.

A program that outlives its limit is stopped with everything it started (it runs in a
process group of its own) and the check ends with status 2, saying which one it was. No
program is handed anything from the ZIP but files the check wrote under names of its own.
"""

import os
import signal
import subprocess

from show import show

GIT_SECONDS = 60
TOOL_SECONDS = 60  # tar, openssl, osslsigncode and release_zip.py
BUILD_SECONDS = 1800  # ZELMORTH_VERIFY_BUILD_SECONDS for a slower machine


class Cannot(Exception):
    """The check cannot be made: status 2 and the message as one line."""


class BuildFailed(Cannot):
    """The commit's release could not be built: its log is kept."""


def stop(process):
    """Ends the process and everything in its group."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def run(command, what, seconds=TOOL_SECONDS, **options):
    """Runs a command of this machine's in a process group of its own, its output taken and
    never shown, and stops it after seconds."""
    options.setdefault("stdin", subprocess.DEVNULL)
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    process = subprocess.Popen(command, start_new_session=True, **options)
    try:
        out, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        stop(process)
        raise Cannot(f"{what} did not finish within {seconds} s, so it was stopped") from None
    except BaseException:
        stop(process)
        raise
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def git(top, *arguments):
    return run(["git", "-C", top, *arguments], "git " + arguments[0], GIT_SECONDS)


def object_kind(top, name):
    """What the object name is in the checkout (commit, tag, tree, blob), or None when the
    checkout does not have it."""
    found = git(top, "cat-file", "-t", "--end-of-options", name)
    return found.stdout.decode("ascii", "replace").strip() if found.returncode == 0 else None


def commit_time(top, commit):
    """The commit's own time (the committer's), as release.sh takes it by default."""
    found = git(top, "show", "-s", "--format=%ct", "--end-of-options", commit)
    text = found.stdout.strip()
    if found.returncode or not text.isdigit() or len(text) > 12:
        raise Cannot(f"git cannot tell the time of commit {commit}")
    return int(text)


def trusted_on(top, commit, trust):
    """The ref on which the commit is found: the main line or one of the refs trust names."""
    refs = []  # (what git is handed, what the user is told)
    for ref in ("refs/remotes/origin/main", "refs/heads/main"):
        if git(top, "rev-parse", "--verify", "-q", ref + "^{commit}").returncode == 0:
            refs.append((ref, ref.split("/", 2)[2]))
            break
    for ref in trust:
        found = git(top, "rev-parse", "--verify", "-q", "--end-of-options", ref + "^{commit}")
        if ref.startswith("-") or found.returncode != 0:
            raise Cannot(f"--trust {show(ref)} names no commit in this checkout")
        refs.append((ref, show(ref)))
    if not refs:
        raise Cannot(
            "this checkout has no main line (origin/main or main); "
            "name a ref you trust with --trust"
        )
    for ref, shown in refs:
        ancestor = git(top, "merge-base", "--is-ancestor", commit, ref + "^{commit}")
        if ancestor.returncode == 0:
            return shown
    raise Cannot(
        f"commit {commit} is not on {' or '.join(shown for _, shown in refs)}, so it is not "
        "built: a commit off the main line may run anything (name a ref you trust with --trust)"
    )


def tooling(source):
    """The folder of a commit's release tooling: release/, or scripts/ in the commits from
    before it had a folder of its own; None when it has neither."""
    for folder in ("release", "scripts"):
        if os.path.isfile(os.path.join(source, folder, "release.sh")):
            return folder
    return None


def build_seconds():
    text = os.environ.get("ZELMORTH_VERIFY_BUILD_SECONDS", "")
    if not text:
        return BUILD_SECONDS
    if not text.isdigit() or not 0 < int(text) <= 86400:
        raise Cannot("ZELMORTH_VERIFY_BUILD_SECONDS is not a number of seconds up to a day")
    return int(text)


def build(top, scratch, commit, epoch):
    """Builds the commit's release unsigned with its own release.sh: the source folder."""
    seconds = build_seconds()
    source = os.path.join(scratch, "source")
    os.makedirs(source)
    archive = os.path.join(scratch, "source.tar")
    with open(archive, "wb") as out:
        taken = run(["git", "-C", top, "archive", "--format=tar", commit], "git archive",
                    GIT_SECONDS, stdout=out)
    unpacked = taken.returncode == 0 and run(
        ["tar", "-xf", archive, "-C", source], "tar").returncode == 0
    os.remove(archive)
    if not unpacked:
        raise Cannot(f"git archive cannot take commit {commit} out of this checkout")
    tools = tooling(source)
    if tools is None:
        raise Cannot(f"commit {commit} has no release/release.sh to build its release with")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZELMORTH_SIGN_")}
    env.update(SOURCE_DATE_EPOCH=str(epoch), ZELMORTH_COMMIT=commit)
    log_path = os.path.join(scratch, "build.log")
    with open(log_path, "wb") as log:
        try:
            status = run([f"./{tools}/release.sh"], f"the build of commit {commit}", seconds,
                         cwd=source, env=env, stdout=log, stderr=subprocess.STDOUT).returncode
        except Cannot as fault:
            raise BuildFailed(f"{fault.args[0]} (ZELMORTH_VERIFY_BUILD_SECONDS gives it longer); "
                              f"its log is in {show(log_path, spaces=True)}") from None
    if status != 0:
        raise BuildFailed(
            f"the release of commit {commit} could not be built here; its log is in "
            f"{show(log_path, spaces=True)}"
        )
    return source, tools
