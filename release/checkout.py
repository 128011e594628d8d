"""The checkout the release check runs in: the commit a ZIP names, whether it is one to
trust, its build, and every program the check runs, each with a time limit.

A program that outlives its limit is stopped with everything it started (it runs in a
process group of its own) and the check ends with status 2, saying which one it was. No
program is handed anything from the ZIP but files the check wrote under names of its own.

Nothing of the caller's environment reaches a program the check runs but PATH (and, for git
reading the checkout's refs and objects, the caller's HOME, where git finds the user's
configuration). git never goes online: a partial clone, whose objects git would fetch when it
misses one, is refused before any object is looked up, and every git command runs with lazy
fetching, replace objects and grafts off. The commit's files are taken out by git archive in a
repository of the check's own that borrows the checkout's objects and nothing else: no
configuration, attributes file, replace refs or grafts of the user's, so its line ends are the
commit's. The build gets a short list of variables of its own (build_environment).
"""

import os
import signal
import subprocess

from show import show

GIT_SECONDS = 60
TOOL_SECONDS = 60  # tar, openssl, osslsigncode and release_zip.py
BUILD_SECONDS = 1800  # ZELMORTH_VERIFY_BUILD_SECONDS for a slower machine
HEX_DIGITS = {"sha1": 40, "sha256": 64}


class Cannot(Exception):
    """The check cannot be made: status 2 and the message as one line."""


class TimedOut(Cannot):
    """A program outlived its time limit."""


class BuildFailed(Cannot):
    """The commit's release could not be built: its log is kept."""


def clean_environment(**more):
    """The environment of a program the check runs: PATH and the locale C, and what is
    named, nothing else of the caller's."""
    env = {"PATH": os.environ.get("PATH", os.defpath), "LC_ALL": "C", "LANG": "C"}
    env.update(more)
    return env


def git_environment():
    """git's environment: the caller's HOME, so that git reads the user's configuration
    (safe.directory among it), and no GIT_* variable of the caller's. Lazy fetching, replace
    objects and grafts are off. git honours GIT_NO_LAZY_FETCH since its security releases of May
    2024 (Debian 12's 2.39.5 does) and ignores it before, so it is the refusal of partial
    clones (full_clone) that keeps every git offline."""
    env = clean_environment(GIT_NO_LAZY_FETCH="1", GIT_NO_REPLACE_OBJECTS="1",
                            GIT_GRAFT_FILE=os.devnull, GIT_TERMINAL_PROMPT="0")
    if "HOME" in os.environ:
        env["HOME"] = os.environ["HOME"]
    return env


def stop(process):
    """Ends the process and everything in its group."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def run(command, what, seconds=TOOL_SECONDS, **options):
    """Runs a command of this machine's in a process group of its own, in a clean
    environment unless it is given one, its output taken and never shown, and stops it after
    seconds, or when the check itself is stopped."""
    options.setdefault("stdin", subprocess.DEVNULL)
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    options.setdefault("env", clean_environment())
    process = subprocess.Popen(command, start_new_session=True, **options)
    try:
        out, err = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        stop(process)
        raise TimedOut(f"{what} did not finish within {seconds} s, so it was stopped") from None
    except BaseException:
        stop(process)
        raise
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def git(top, *arguments):
    return run(["git", "-C", top, *arguments], "git " + arguments[0], GIT_SECONDS,
               env=git_environment())


def full_clone(top):
    """Refuses a partial clone: git would fetch any object it misses from the promisor remote,
    so a ZIP could decide that the check goes online."""
    partial = git(top, "config", "--get", "extensions.partialClone").stdout.strip()
    promisors = git(top, "config", "--type=bool", "--get-regexp",
                    r"^remote\..*\.promisor$").stdout.split(b"\n")
    if partial or any(line.endswith(b" true") for line in promisors):
        raise Cannot(
            "this checkout is a partial clone, from which git fetches missing objects, so the "
            "check cannot keep offline in it; check in a full clone (git clone without "
            "--filter), or fetch everything here first (git fetch --refetch, then "
            "git config --unset extensions.partialClone and remote.<name>.promisor)"
        )


def id_digits(top):
    """How many hex digits the checkout's object ids have (40 for SHA-1, 64 for SHA-256)."""
    found = git(top, "rev-parse", "--show-object-format")
    digits = HEX_DIGITS.get(found.stdout.decode("ascii", "replace").strip())
    if found.returncode or digits is None:
        raise Cannot("git cannot tell this checkout's object format")
    return digits


def object_kind(top, object_id):
    """What the full object id names in the checkout: "commit" only when git resolves it to
    that very commit, else what it is (a tag object, ...), or None when the checkout does not
    have it."""
    found = git(top, "rev-parse", "--verify", "-q", "--end-of-options", object_id + "^{commit}")
    if found.returncode == 0 and found.stdout.strip() == object_id.encode():
        return "commit"
    found = git(top, "cat-file", "-t", "--end-of-options", object_id)
    if found.returncode != 0:
        return None
    kind = found.stdout.decode("ascii", "replace").strip()
    return "a name that git resolves to another commit" if kind == "commit" else f"a {kind} object"


def commit_time(top, commit):
    """The commit's own time (the committer's), as release.sh takes it by default."""
    found = git(top, "show", "-s", "--no-show-signature", "--format=%ct", "--end-of-options",
                commit)
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


def number_setting(name, default, most, what):
    text = os.environ.get(name, "")
    if not text:
        return default
    if not text.isdigit() or not 0 < int(text) <= most:
        raise Cannot(f"{name} is not a number of {what} up to {most}")
    return int(text)


def archive(top, scratch, commit):
    """Takes the commit's files out into scratch/source with git archive, run in a bare
    repository of the check's own that borrows the checkout's objects: the source folder."""
    objects = git(top, "rev-parse", "--git-path", "objects")
    view, source = os.path.join(scratch, "objects.git"), os.path.join(scratch, "source")
    fixed = clean_environment(GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.devnull,
                              HOME=scratch, GIT_NO_LAZY_FETCH="1", GIT_NO_REPLACE_OBJECTS="1",
                              GIT_GRAFT_FILE=os.devnull, GIT_TERMINAL_PROMPT="0")
    format_name = {40: "sha1", 64: "sha256"}[len(commit)]
    made = run(["git", "init", "-q", "--bare", "--template=", f"--object-format={format_name}",
                view], "git init", GIT_SECONDS, env=fixed)
    if objects.returncode or made.returncode:
        raise Cannot("git cannot make a repository of the check's own to take the commit out")
    with open(os.path.join(view, "objects", "info", "alternates"), "wb") as out:
        out.write(os.path.join(os.fsencode(top), objects.stdout.rstrip(b"\n")) + b"\n")
    os.makedirs(source)
    tar = os.path.join(scratch, "source.tar")
    with open(tar, "wb") as out:
        taken = run(["git", "--git-dir", view, "-c", "core.autocrlf=false", "-c", "core.eol=lf",
                     "-c", f"core.attributesFile={os.devnull}", "archive", "--format=tar", commit],
                    "git archive", GIT_SECONDS, stdout=out, env=fixed)
    unpacked = taken.returncode == 0 and run(["tar", "-xf", tar, "-C", source],
                                             "tar").returncode == 0
    os.remove(tar)
    if not unpacked:
        raise Cannot(f"git archive cannot take commit {commit} out of this checkout")
    return source


def build_environment(scratch, commit, epoch):
    """All that the build is handed: PATH, a HOME and TMPDIR of its own in the scratch folder,
    the locale C, the commit and its time, git kept out of the checkout around it, and how
    many compilers run at once when ZELMORTH_VERIFY_BUILD_JOBS says so. No CXXFLAGS,
    MAKEFLAGS, CMAKE_* or any other setting of the caller's reaches it."""
    home, tmp = os.path.join(scratch, "home"), os.path.join(scratch, "tmp")
    os.makedirs(home)
    os.makedirs(tmp)
    env = clean_environment(HOME=home, TMPDIR=tmp, SOURCE_DATE_EPOCH=str(epoch),
                            ZELMORTH_COMMIT=commit, GIT_CEILING_DIRECTORIES=scratch,
                            GIT_CONFIG_NOSYSTEM="1")
    jobs = number_setting("ZELMORTH_VERIFY_BUILD_JOBS", 0, 256, "compilers at once")
    if jobs:
        env["CMAKE_BUILD_PARALLEL_LEVEL"] = str(jobs)
    return env


def build(top, scratch, commit, epoch):
    """Builds the commit's release unsigned with its own release.sh: (the source folder, the
    folder of its release tooling)."""
    seconds = number_setting("ZELMORTH_VERIFY_BUILD_SECONDS", BUILD_SECONDS, 86400, "seconds")
    source = archive(top, scratch, commit)
    tools = tooling(source)
    if tools is None:
        raise Cannot(f"commit {commit} has no release/release.sh to build its release with")
    env = build_environment(scratch, commit, epoch)
    log_path = os.path.join(scratch, "build.log")
    with open(log_path, "wb") as log:
        try:
            status = run([f"./{tools}/release.sh"], f"the build of commit {commit}", seconds,
                         cwd=source, env=env, stdout=log, stderr=subprocess.STDOUT).returncode
        except TimedOut as fault:
            raise BuildFailed(f"{fault.args[0]} (ZELMORTH_VERIFY_BUILD_SECONDS gives it longer); "
                              f"its log is in {show(log_path, spaces=True)}") from None
    if status != 0:
        raise BuildFailed(
            f"the release of commit {commit} could not be built here; its log is in "
            f"{show(log_path, spaces=True)}"
        )
    return source, tools
