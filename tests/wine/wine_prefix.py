"""Wine prefixes for the end-to-end suite.

Creating a prefix takes Wine several seconds, so one template prefix is made
per suite run (set to report Windows 10) and every case works in a copy of
it, in the same work directory. The copy hard-links the template's files,
except the registry files, which the Wine server rewrites in place when it
saves, and the "wineserver" file, which names the server's socket directory
under the temporary folder: each copy gets its own server, and the directory
is removed with the copy.

Run as a program, `wine_prefix.py create-template WORK` makes the template
in WORK/template (replacing what WORK holds) and `wine_prefix.py remove WORK`
stops every server of a prefix in WORK and removes it all.
"""

import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TEMPLATE_WINDOWS_VERSION = "win10"

# Files of the template that a copy gets as copies rather than hard links.
_COPIED_FILES = {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"}
# Recorded by Wine on first use; a copy must not share its server directory.
_SERVER_DIRECTORY_FILE = "wineserver"
_SERVER_LINGER_SECONDS = 120
# Written in the work directory, with the reason, where no template could be
# made; the suites then skip.
_UNAVAILABLE_FILE = "wine-unavailable"
# Disk taken by a WoW64 prefix of Debian's Wine 8, measured.
_PREFIX_MIB = 1300
# A step of making the template, at most: it takes about 20 s here, and two
# tries of both steps stay within the fixture's own time limit.
_BOOT_STEP_SECONDS = 120


class WineNotInstalled(Exception):
    pass


def find_wine():
    """Paths of wine64 and wineserver."""
    for directory in [os.path.dirname(shutil.which("wine64") or ""), "/usr/lib/wine", "/usr/bin"]:
        wine64 = Path(directory, "wine64")
        wineserver = Path(directory, "wineserver")
        if directory and wine64.is_file() and wineserver.is_file():
            return wine64, wineserver
    raise WineNotInstalled("wine64 is not installed")


def require_wine32():
    """32-bit programs start through the 32-bit loader beside wine64, which
    itself is one: some kernels are built without 32-bit support, and exec
    then fails with "Exec format error"."""
    wine64, _ = find_wine()
    loader = Path(wine64.resolve().parent, "wine")
    if not loader.is_file():
        raise WineNotInstalled("wine32 is not installed")
    reason = _loader_failure(str(loader))
    if reason:
        raise WineNotInstalled("this kernel cannot run 32-bit programs (" + reason + ")")


@functools.cache
def _loader_failure(loader):
    """Why the 32-bit loader does not start, or None; asked once per run."""
    try:
        result = subprocess.run([loader, "--version"], capture_output=True, timeout=60, check=False)
    except OSError as error:
        return str(error)
    if result.returncode != 0:
        return "%s --version exited with %d" % (loader, result.returncode)
    return None


def _wine_environment(prefix):
    environment = dict(os.environ)
    environment.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        # Unix file names are read as UTF-8 whatever the caller's locale.
        LC_ALL="C.UTF-8",
        # No Mono or Gecko installers while the prefix is made.
        WINEDLLOVERRIDES="mscoree,mshtml=",
    )
    environment.pop("DISPLAY", None)
    return environment


def _server_directory(prefix):
    record = Path(prefix, _SERVER_DIRECTORY_FILE)
    if not record.is_file():
        return None
    name = record.read_text().strip()
    if not re.fullmatch(r"wine-[A-Za-z0-9]+", name):
        return None
    return Path(tempfile.gettempdir(), name)


def _stop_server(prefix):
    _, wineserver = find_wine()
    environment = _wine_environment(prefix)
    subprocess.run([str(wineserver), "-k"], env=environment, stderr=subprocess.DEVNULL, check=False)
    # Waits until the server has saved its registry and gone.
    subprocess.run([str(wineserver), "-w"], env=environment, stderr=subprocess.DEVNULL, check=False)


def _remove_server_directory(prefix):
    server_directory = _server_directory(prefix)
    if server_directory is not None:
        shutil.rmtree(server_directory, ignore_errors=True)


def template_path(work_directory):
    return Path(work_directory, "template")


def create_template(work_directory):
    """Makes the template, trying twice. Where Wine cannot make a prefix on
    this machine at all, raises WineNotInstalled with Wine's own words, the
    free space and the attempts' exit codes, and records that reason in the
    work directory for the suites to skip with."""
    remove_work_directory(work_directory)
    path = template_path(work_directory)
    path.parent.mkdir(parents=True)
    failures = []
    for _ in range(2):
        failure = _boot_template(path)
        if failure is None:
            return path
        failures.append(failure)
        _stop_server(path)
        _remove_server_directory(path)
        shutil.rmtree(path, ignore_errors=True)
    free_mib = shutil.disk_usage(path.parent).free // (1024 * 1024)
    reason = "Wine could not make a prefix here (%s; %d MiB free in %s, a prefix takes about %d MiB)" % (
        "; ".join(failures), free_mib, path.parent, _PREFIX_MIB)
    Path(work_directory, _UNAVAILABLE_FILE).write_text(reason + "\n")
    raise WineNotInstalled(reason)


def _boot_template(path):
    """Boots a new prefix at path set to report Windows 10; None when done,
    else what failed, with the end of what Wine printed."""
    wine64, _ = find_wine()
    environment = _wine_environment(path)
    try:
        for command in (["wineboot", "-i"],
                        ["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", TEMPLATE_WINDOWS_VERSION, "/f"]):
            try:
                result = subprocess.run([str(wine64)] + command, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False,
                                        timeout=_BOOT_STEP_SECONDS)
            except subprocess.TimeoutExpired:
                return "%s did not finish in %d s" % (command[0], _BOOT_STEP_SECONDS)
            if result.returncode != 0:
                return "%s exited with %d: %s" % (command[0], result.returncode, _loader_words(result.stderr))
    finally:
        _stop_server(path)
    # The copies need neither the template's server nor its directory.
    _remove_server_directory(path)
    Path(path, _SERVER_DIRECTORY_FILE).unlink(missing_ok=True)
    return None


def _loader_words(stderr):
    """The loader's own lines ("wine: ..."), which say why a program did not
    start, or else the last lines Wine printed."""
    lines = [line.strip() for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
    said = [line for line in lines if line.startswith("wine: ")] or lines
    return " / ".join(said[-3:])


def remove_work_directory(work_directory):
    """Stops the server of every prefix in the work directory (a case ended
    by force leaves its server running) and removes them all."""
    work_directory = Path(work_directory)
    if not work_directory.exists():
        return
    for prefix in work_directory.iterdir():
        if Path(prefix, _SERVER_DIRECTORY_FILE).is_file():
            _stop_server(prefix)
            _remove_server_directory(prefix)
    shutil.rmtree(work_directory, ignore_errors=True)


class SuiteTemplate:
    """The template prefix a test module's cases copy: the one CTest made
    (TESSALY_WINE_TEMPLATE), or, for a module run alone, one of its own in a
    temporary work directory, removed by close(). Opening skips the module
    where wine64 is missing or cannot make a prefix."""

    def __init__(self):
        self.path = None
        self._own_work_directory = None

    def open(self):
        skip_without_wine64()
        if os.environ.get("TESSALY_WINE_TEMPLATE"):
            self.path = Path(os.environ["TESSALY_WINE_TEMPLATE"])
            unavailable = Path(self.path.parent, _UNAVAILABLE_FILE)
            if unavailable.is_file():
                raise unittest.SkipTest(unavailable.read_text().strip())
        else:
            self._own_work_directory = Path(tempfile.mkdtemp(prefix="tessaly-wine-"))
            try:
                self.path = create_template(self._own_work_directory)
            except WineNotInstalled as error:
                raise unittest.SkipTest(str(error))

    def close(self):
        if self._own_work_directory is not None:
            remove_work_directory(self._own_work_directory)


def skip_without_wine64():
    try:
        find_wine()
    except WineNotInstalled as error:
        raise unittest.SkipTest(str(error))


def skip_without_wine32():
    """Skips the calling class where 32-bit programs cannot run, with the
    reason that CTest's skip expression matches."""
    try:
        require_wine32()
    except WineNotInstalled as error:
        raise unittest.SkipTest(str(error))


class CrossBuild:
    """A cross-built build tree, which CTest names in an environment variable
    (TESSALY_WIN64_BUILD, TESSALY_WIN32_BUILD). Each suite names the
    programs it runs and says in require() which must be built."""

    def __init__(self, preset):
        self.preset = preset
        self.variable = f"TESSALY_{preset.upper()}_BUILD"

    @property
    def directory(self):
        if not os.environ.get(self.variable):
            raise RuntimeError(f"{self.variable} is not set: run the suite through CTest, "
                               f"or set it to the build tree of the {self.preset} preset")
        return Path(os.environ[self.variable])

    @property
    def launcher(self):
        return self.directory / "tests" / "run_with_exit_code.exe"

    def require_built(self, *programs):
        for built in programs:
            if not built.is_file():
                raise RuntimeError(f"{built} is missing: build the {self.preset} preset first "
                                   f"(cmake --build --preset {self.preset})")

    def require_under_wow64(self):
        """Skips the calling class without 32-bit Wine; the build must be there."""
        skip_without_wine32()
        self.require()


def windows_path(path):
    """The Wine path of a Linux path, through drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def _link_or_copy(source, destination):
    if Path(source).name in _COPIED_FILES:
        return shutil.copy2(source, destination)
    try:
        os.link(source, destination)
    except OSError:
        shutil.copy2(source, destination)
    return destination


class WinePrefix:
    """A copy of the template with its own Wine server, kept alive from
    start() to close() so that a hive mounted by one program can be read by
    the next."""

    def __init__(self, template):
        self.wine64, self.wineserver = find_wine()
        # Beside the template, so that its files can be hard-linked.
        self.path = Path(tempfile.mkdtemp(prefix="case-", dir=Path(template).parent))
        shutil.copytree(template, self.path, symlinks=True, dirs_exist_ok=True,
                        copy_function=_link_or_copy,
                        ignore=lambda directory, names: [_SERVER_DIRECTORY_FILE] if _SERVER_DIRECTORY_FILE in names else [])
        self.environment = _wine_environment(self.path)
        self._server_started = False

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exception):
        self.close()

    def start(self):
        # Persistent between the case's programs; should the suite be killed,
        # the server still ends this long after its last program.
        subprocess.run([str(self.wineserver), f"-p{_SERVER_LINGER_SECONDS}"], env=self.environment, check=True)
        self._server_started = True

    def close(self):
        if self._server_started:
            _stop_server(self.path)
            self._server_started = False
        _remove_server_directory(self.path)
        shutil.rmtree(self.path, ignore_errors=True)

    def host_path(self, windows_path):
        """The Linux path of a path on drive C:."""
        drive, _, rest = windows_path.partition(":")
        if drive.upper() != "C":
            raise ValueError(f"not on drive C: {windows_path}")
        return self.path.joinpath("drive_c", *[part for part in rest.split("\\") if part])

    def run(self, *arguments, check=True):
        """Runs a Windows program and returns its CompletedProcess with the
        output as bytes. The output goes through files, not pipes: the first
        program of a session starts Wine's service processes, which inherit
        its standard handles and outlive it, so a pipe would never close."""
        with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
            result = subprocess.run([str(self.wine64), *arguments], env=self.environment,
                                    stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
            stdout.seek(0)
            stderr.seek(0)
            result.stdout = stdout.read()
            result.stderr = stderr.read()
        if check:
            result.check_returncode()
        return result

    def set_windows_version(self, version):
        self.reg_add(r"HKCU\Software\Wine", "Version", "REG_SZ", version)

    def create_key(self, key):
        self.run("reg", "add", key, "/f")

    def reg_add(self, key, name, value_type, data, view=None):
        """Adds a value; a name of None is the key's default value. view
        "32" writes where 32-bit programs read HKLM\\SOFTWARE (WOW6432Node)."""
        name_arguments = ["/ve"] if name is None else ["/v", name]
        view_arguments = [] if view is None else [f"/reg:{view}"]
        self.run("reg", "add", key, *name_arguments, "/t", value_type, "/d", data, "/f", *view_arguments)

    def export_key(self, key):
        """The key and its subkeys as {key path: {value name: (type, data)}}, or
        None when the key does not exist. Read through `reg export`, whose
        UTF-16 file keeps every name; `reg query` prints through the console
        code page, which turns characters outside it into '?'."""
        exported = self.path / "drive_c" / "export.reg"
        result = self.run("reg", "export", key, r"C:\export.reg", "/y", check=False)
        if result.returncode != 0:
            return None
        try:
            return parse_registry_export(exported.read_bytes().decode("utf-16"))
        finally:
            exported.unlink()


def parse_registry_export(text):
    """Parses the .reg text `reg export` writes (REG_SZ, REG_EXPAND_SZ,
    REG_DWORD and REG_BINARY values) into {key path: {name: (type, data)}},
    where data is a str for strings, an int for REG_DWORD and bytes for
    REG_BINARY."""
    lines = []
    for line in text.replace("\r\n", "\n").split("\n"):
        if lines and lines[-1].endswith("\\") and not lines[-1].startswith("["):
            lines[-1] = lines[-1][:-1] + line.strip()
        else:
            lines.append(line)
    keys = {}
    values = None
    for line in lines:
        if line.startswith("[") and line.endswith("]"):
            values = keys.setdefault(line[1:-1], {})
            continue
        if values is None or not line or line.startswith("Windows Registry Editor"):
            continue
        name, data = _split_value_line(line)
        values[name] = _parse_value_data(data)
    return keys


def _split_value_line(line):
    if line.startswith("@="):
        return "", line[2:]
    match = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
    if match is None:
        raise ValueError(f"unexpected line in registry export: {line!r}")
    return _unescape(match.group(1)), match.group(2)


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def _parse_value_data(data):
    if data.startswith('"'):
        return "REG_SZ", _unescape(data[1:-1])
    if data.startswith("dword:"):
        return "REG_DWORD", int(data[len("dword:"):], 16)
    if data.startswith("hex:"):
        return "REG_BINARY", _hex_bytes(data[len("hex:"):])
    if data.startswith("hex(2):"):
        return "REG_EXPAND_SZ", _hex_bytes(data[len("hex(2):"):]).decode("utf-16-le").rstrip("\0")
    raise ValueError(f"unexpected value data in registry export: {data!r}")


def _hex_bytes(text):
    return bytes(int(part, 16) for part in text.split(",") if part)


def main(arguments):
    try:
        if len(arguments) == 2 and arguments[0] == "create-template":
            create_template(arguments[1])
            return 0
        if len(arguments) == 2 and arguments[0] == "remove":
            remove_work_directory(arguments[1])
            return 0
    except WineNotInstalled as error:
        print(error)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
