"""Checks of what a technician gets: the portable binary's needs at run time,
the manual page, and the contents of the three packages cpack writes.

CTest passes the paths in the environment (see CMakeLists.txt). A package
that has not been written yet skips its class: scripts/package.sh writes
them all, and scripts/test.sh runs it before the tests."""

import gzip
import os
import re
import shutil
import stat
import subprocess
import tarfile
import tempfile
import unittest
import zipfile
from pathlib import Path

VERSION = os.environ["TESSALY_VERSION"]
# A wrong command line: 0x80070057, of which Linux keeps the low byte.
WRONG_COMMAND_LINE_STATUS = 0x57
# IMAGE_FILE_MACHINE_AMD64 and IMAGE_FILE_MACHINE_I386
WINDOWS_MACHINES = {"x64": 0x8664, "x86": 0x14C}


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def built_package(variable):
    path = Path(os.environ[variable])
    if not path.is_file():
        raise unittest.SkipTest(f"{path.name} is not built (scripts/package.sh writes it)")
    return path


def run_without_arguments(executable):
    """Runs the tool as a user would by mistake: the usage and 0x57 prove
    that it starts and runs its own code."""
    return subprocess.run([executable], capture_output=True, env={"PATH": "/usr/bin:/bin"}).returncode


class PortableBinaryTest(unittest.TestCase):
    """build/native/tessaly: only the C library at run time."""

    executable = os.environ["TESSALY_EXECUTABLE"]

    def test_needs_only_the_c_library(self):
        listing = subprocess.run(["ldd", self.executable], capture_output=True, text=True, check=True).stdout
        libraries = {line.split()[0] for line in listing.splitlines() if line.strip()}
        libraries = {Path(library).name for library in libraries}
        self.assertLessEqual(libraries, {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"},
                             listing)

    def test_needs_no_newer_glibc_than_the_package_declares(self):
        symbols = subprocess.run(["objdump", "-T", self.executable], capture_output=True, text=True,
                                 check=True).stdout
        versions = {version_tuple(found) for found in re.findall(r"\bGLIBC_([0-9.]+)\b", symbols)}
        self.assertTrue(versions, "no versioned glibc symbols: is it the dynamic executable?")
        self.assertLessEqual(max(versions), version_tuple(os.environ["TESSALY_MINIMUM_GLIBC"]))


class ManualPageTest(unittest.TestCase):
    def test_renders_without_warnings(self):
        if shutil.which("man") is None:
            self.skipTest("man is not installed")
        # As lintian checks a manual page.
        result = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                                 os.environ["TESSALY_MAN_PAGE"]],
                                capture_output=True, text=True,
                                env={**os.environ, "LC_ALL": "C.UTF-8", "MANROFFSEQ": "", "MANWIDTH": "80"})
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("", result.stderr)


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.package = built_package("TESSALY_DEB")

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.package, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_control_fields(self):
        self.assertEqual("tessaly", self.field("Package"))
        self.assertEqual(VERSION, self.field("Version"))
        self.assertEqual("amd64", self.field("Architecture"))
        self.assertEqual(f"libc6 (>= {os.environ['TESSALY_MINIMUM_GLIBC']})", self.field("Depends"))

    def test_holds_the_binary_manual_page_and_readme_owned_by_root(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.package], capture_output=True, text=True,
                                 check=True).stdout
        files = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, name = line.split(maxsplit=5)
            self.assertEqual("root/root", owner, line)
            if not mode.startswith("d"):
                files[name] = mode
        self.assertEqual({
            "./usr/bin/tessaly": "-rwxr-xr-x",
            "./usr/share/man/man1/tessaly.1.gz": "-rw-r--r--",
            "./usr/share/doc/tessaly/README.md": "-rw-r--r--",
        }, files)

    def test_installed_files_work(self):
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", self.package, root], check=True)
            self.assertEqual(WRONG_COMMAND_LINE_STATUS, run_without_arguments(Path(root, "usr/bin/tessaly")))
            with gzip.open(Path(root, "usr/share/man/man1/tessaly.1.gz"), "rt", encoding="utf-8") as page:
                self.assertIn(f'"Tessaly {VERSION}"', page.readline())


class PortableArchiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.archive = built_package("TESSALY_PORTABLE_ARCHIVE")

    def test_holds_the_executable_and_the_readme_in_one_folder(self):
        folder = self.archive.name.removesuffix(".tar.gz")
        with tarfile.open(self.archive) as archive:
            files = {member.name: member.mode for member in archive.getmembers() if member.isfile()}
        self.assertEqual({f"{folder}/tessaly", f"{folder}/README.md"}, set(files))
        self.assertEqual(0o755, files[f"{folder}/tessaly"])

    def test_unpacked_executable_runs(self):
        with tempfile.TemporaryDirectory() as directory, tarfile.open(self.archive) as archive:
            archive.extractall(directory, filter="tar")
            executable = next(Path(directory).glob("*/tessaly"))
            self.assertTrue(os.stat(executable).st_mode & stat.S_IXUSR)
            self.assertEqual(WRONG_COMMAND_LINE_STATUS, run_without_arguments(executable))


class WindowsArchiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.archive = built_package("TESSALY_WINDOWS_ARCHIVE")

    def test_holds_both_programs_of_both_architectures_and_which_one_to_run(self):
        with zipfile.ZipFile(self.archive) as archive:
            files = {name for name in archive.namelist() if not name.endswith("/")}
        self.assertEqual({"x64/tessaly.exe", "x86/tessaly.exe", "x64/tessaly-offline.exe", "x86/tessaly-offline.exe",
                          "README.txt"}, files)

    def test_each_folder_holds_the_executables_of_its_architecture(self):
        with zipfile.ZipFile(self.archive) as archive:
            for folder, machine in WINDOWS_MACHINES.items():
                for program in ["tessaly.exe", "tessaly-offline.exe"]:
                    with self.subTest(folder=folder, program=program):
                        image = archive.read(f"{folder}/{program}")
                        self.assertEqual(b"MZ", image[:2])
                        header = int.from_bytes(image[0x3C:0x40], "little")
                        self.assertEqual(b"PE\0\0", image[header:header + 4])
                        self.assertEqual(machine, int.from_bytes(image[header + 4:header + 6], "little"))

    def test_readme_opens_in_notepad_with_the_version(self):
        with zipfile.ZipFile(self.archive) as archive:
            text = archive.read("README.txt")
        # A byte order mark, or older Notepads read the Chinese as the ANSI code page.
        self.assertTrue(text.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\n", text.replace(b"\r\n", b""))
        self.assertIn(f"Tessaly {VERSION}".encode(), text)

    def test_readme_says_which_program_to_use_where(self):
        with zipfile.ZipFile(self.archive) as archive:
            text = archive.read("README.txt").decode("utf-8-sig")
        for line in ["tessaly-offline.exe D:\\Windows", "Windows PE", "WinRE"]:
            self.assertIn(line, text)


if __name__ == "__main__":
    unittest.main()
