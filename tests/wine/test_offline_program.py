"""The real tessaly-offline.exe under Wine, on offline Windows images written
by the project's generators: the x86-64 build in every class, the i686 build
(under WoW64) in the I686 subclasses.

Each class prepares one image in a copy of the template prefix (see
wine_prefix.py), on drive C: or reached through Z:, and runs the program
through the x86-64 launcher, which reports its whole 32-bit exit code and
can hold a file open. Where the Linux tool answers the same question, it
runs on a copy of the same image, and the outputs are compared after
mapping each tool's WINDOWS_DIR to one form: the messages must be equal byte
for byte, and the hives the two tools save equal but for the base block's
stamps.

CTest names the build trees in TESSALY_WIN64_BUILD, TESSALY_WIN32_BUILD and
TESSALY_NATIVE_BUILD (the Linux tool and the image generators; build/native
of this repository when unset), and the template in TESSALY_WINE_TEMPLATE;
run alone, the module makes its own template in a temporary work directory.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

import wine_prefix
from wine_prefix import WinePrefix, windows_path

_REPOSITORY = Path(__file__).resolve().parents[2]


class WindowsBuild(wine_prefix.CrossBuild):
    """tessaly-offline.exe and the helpers its cases run, in a cross-built tree."""

    @property
    def program(self):
        return self.directory / "tessaly-offline.exe"

    @property
    def file_security(self):
        return self.directory / "tests" / "file_security.exe"

    def require(self, *others):
        self.require_built(self.program, *others)


X86_64 = WindowsBuild("win64")
I686 = WindowsBuild("win32")


class NativeBuild:
    """The Linux tool and the image generators."""

    @property
    def directory(self):
        return Path(os.environ.get("TESSALY_NATIVE_BUILD") or _REPOSITORY / "build" / "native")

    def require(self):
        for name in ("tessaly", "make_sample_image", "make_benchmark_image"):
            if not (self.directory / name).is_file():
                raise RuntimeError(f"{self.directory / name} is missing: build the native preset first "
                                   f"(cmake --build --preset native)")

    def run(self, program, *arguments):
        return subprocess.run([str(self.directory / program), *map(str, arguments)], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120, check=False)

    def make_sample_image(self, out):
        """make_sample_image OUT, without the symbolic link among its files.
        The image holds shell32.lnk.dll as a symbolic link to a file, which
        the Linux tool sees as a link and passes over, but Wine follows as a
        plain file, whose record the Windows program then repairs: the two
        tools would differ in one record for a reason that is Wine's alone."""
        self.run("make_sample_image", out).check_returncode()
        links = [path for path in Path(out).rglob("*") if path.is_symlink()]
        assert [link.name for link in links] == ["shell32.lnk.dll"], links
        links[0].unlink()

    def make_dirty_image(self, out):
        """A benchmark image of 50 components and 200 files whose COMPONENTS
        hive is dirty: its newest pages only in COMPONENTS.LOG1 and .LOG2."""
        self.run("make_benchmark_image", out, "--components", "50", "--files", "200",
                 "--dirty").check_returncode()


NATIVE = NativeBuild()

S_OK = 0x00000000
E_PATH_NOT_FOUND = 0x80070003
E_FILE_NOT_FOUND = 0x80070002
E_SHARING_VIOLATION = 0x80070020
E_BAD_DB = 0x800703F1
E_INVALID_ARGUMENT = 0x80070057

_template = wine_prefix.SuiteTemplate()


def setUpModule():
    _template.open()
    X86_64.require(X86_64.launcher, X86_64.file_security)
    NATIVE.require()


def tearDownModule():
    _template.close()


class I686Build:
    """Mixed in before a test class: its cases, run by the i686 build under
    WoW64."""
    build = I686

    @classmethod
    def setUpClass(cls):
        I686.require_under_wow64()
        super().setUpClass()


@dataclass
class Run:
    exit_code: int
    output: bytes
    errors: bytes  # the program's standard error, without the launcher's line


_EXIT_CODE_LINE = re.compile(rb"exit code 0x([0-9A-F]{8})\r?\n\Z")


class Image:
    """A prefix of the template holding one Windows image, and the runs of
    one build of the program on it."""

    def __init__(self, build):
        self.build = build
        self.prefix = WinePrefix(_template.path)
        try:
            self.prefix.start()
        except BaseException:
            self.prefix.close()
            raise
        self.argument = r"C:\image\Windows"
        self.host = self.host_path(self.argument)

    def close(self):
        self.prefix.close()

    def host_path(self, windows_path_on_c):
        return self.prefix.host_path(windows_path_on_c)

    @property
    def config(self):
        return self.host / "System32" / "config"

    def run(self, *arguments, hold=None):
        """Runs the program through the launcher (holding the file `hold`
        open for writing when given)."""
        launcher_options = [] if hold is None else ["--hold-for-writing", hold]
        program = windows_path(self.build.program)
        result = self.prefix.run(windows_path(X86_64.launcher), *launcher_options, program, *arguments, check=False)
        match = _EXIT_CODE_LINE.search(result.stderr)
        if result.returncode != 0 or match is None:
            raise AssertionError(f"the launcher failed ({result.returncode}): {result.stderr!r}")
        return Run(int(match.group(1), 16), result.stdout, result.stderr[:match.start()])

    def file_security(self, *arguments):
        result = self.prefix.run(windows_path(X86_64.file_security), *arguments, check=False)
        if result.returncode != 0:
            raise AssertionError(f"file_security {' '.join(arguments)} failed ({result.returncode}): "
                                 f"{result.stderr!r}")
        return result.stdout.decode("ascii").replace("\r\n", "\n")


def tree_state(root):
    """Every name under root with its kind, bytes and modification time."""
    state = {}
    for path in sorted(Path(root).rglob("*")):
        facts = path.lstat()
        contents = path.read_bytes() if path.is_file() and not path.is_symlink() else None
        state[str(path.relative_to(root))] = (facts.st_mode, facts.st_mtime_ns, contents)
    return state


def file_state(path):
    facts = Path(path).stat()
    return Path(path).read_bytes(), facts.st_mtime_ns


def common_form(output, windows_directory, separator):
    """The output with the tool's WINDOWS_DIR as "<WINDOWS_DIR>" and the
    names below it joined with "\\"."""
    lines = []
    for line in output.decode("utf-8").split("\n"):
        start = line.find(windows_directory)
        if start >= 0:
            rest = line[start + len(windows_directory):]
            path, space, message = rest.partition(" ")
            line = line[:start] + "<WINDOWS_DIR>" + path.replace(separator, "\\") + space + message
        lines.append(line)
    return "\n".join(lines)


def sequence_numbers(hive):
    return int.from_bytes(hive[4:8], "little"), int.from_bytes(hive[8:12], "little")


class OfflineTestCase(unittest.TestCase):
    """Cases that share one image, in a prefix of the class's own: prepare()
    sets up what they look at, and a failure there leaves nothing behind."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.image = Image(cls.build)
        try:
            cls.prepare()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        cls.image.close()

    def assertRunEndedWith(self, run, exit_code):
        """The full 32-bit exit code, and nothing on standard error."""
        self.assertEqual(f"0x{exit_code:08X}", f"0x{run.exit_code:08X}")
        self.assertEqual(b"", run.errors)

    def assertSavedHivesMatch(self, linux_hive, windows_hive):
        """Byte for byte, but for the base block's sequence numbers (4..11),
        timestamp (12..19) and checksum (508..511)."""
        self.assertEqual(len(linux_hive), len(windows_hive))

        def masked(hive):
            return hive[:4] + bytes(16) + hive[20:508] + bytes(4) + hive[512:]

        linux_masked, windows_masked = masked(linux_hive), masked(windows_hive)
        if linux_masked != windows_masked:
            first = next(i for i, (a, b) in enumerate(zip(linux_masked, windows_masked)) if a != b)
            self.fail(f"the saved hives differ first at offset 0x{first:X}: "
                      f"{linux_masked[first:first + 16].hex()} (Linux) != {windows_masked[first:first + 16].hex()}")
        # Each saved hive is clean: it needs no log to open.
        first, second = sequence_numbers(windows_hive)
        self.assertEqual(first, second)


class BesideLinuxTestCase(OfflineTestCase):
    """Cases that compare the program with the Linux tool, which runs on a
    copy of the same image in a folder of the class's own."""

    linux_root = None

    @classmethod
    def copy_for_linux(cls):
        cls.linux_root = Path(tempfile.mkdtemp(prefix="tessaly-linux-image-"))
        shutil.copytree(cls.image.host.parent, cls.linux_root, symlinks=True, dirs_exist_ok=True)
        cls.linux_directory = str(cls.linux_root / "Windows")

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        if cls.linux_root is not None:
            shutil.rmtree(cls.linux_root, ignore_errors=True)

    def assertSameAsLinux(self, run, linux):
        """Both tools printed the same lines, paths aside, with the same exit code."""
        self.assertEqual(0, linux.returncode, linux.stderr)
        self.assertEqual(common_form(linux.stdout, self.linux_directory, "/"),
                         common_form(run.output, self.image.argument, "\\"))
        self.assertRunEndedWith(run, linux.returncode)


class OfflineRepairRunTest(BesideLinuxTestCase):
    """A dry run, a repair and a clean run of the sample image, each compared
    with the Linux tool's run on a copy of the same image: the same records,
    the same lines, exit code 0; the dry run and the clean run write nothing,
    the repair keeps the original as a hard-linked backup."""

    build = X86_64

    @classmethod
    def prepare(cls):
        NATIVE.make_sample_image(cls.image.host.parent)
        cls.copy_for_linux()
        cls.run_both()

    @classmethod
    def run_both(cls):
        cls.original_hive = (cls.image.config / "COMPONENTS").read_bytes()
        cls.original_inode = (cls.image.config / "COMPONENTS").stat().st_ino
        cls.before_dry_run = tree_state(cls.image.host)
        cls.dry_run = cls.image.run("--dry-run", cls.image.argument)
        cls.after_dry_run = tree_state(cls.image.host)
        cls.repair = cls.image.run(cls.image.argument)
        cls.after_repair = tree_state(cls.image.host)
        cls.clean_run = cls.image.run("-j", "1", cls.image.argument)
        cls.after_clean_run = tree_state(cls.image.host)

        cls.linux_dry_run = NATIVE.run("tessaly", "--dry-run", cls.linux_directory)
        cls.linux_repair = NATIVE.run("tessaly", cls.linux_directory)
        cls.linux_clean_run = NATIVE.run("tessaly", "-j", "1", cls.linux_directory)

    def test_dry_run_lists_what_the_linux_tool_lists_and_writes_nothing(self):
        self.assertIn("试运行：发现 8 处异常，未作任何更改。", self.dry_run.output.decode("utf-8"))
        self.assertSameAsLinux(self.dry_run, self.linux_dry_run)
        self.assertEqual(self.before_dry_run, self.after_dry_run)

    def test_repair_reports_what_the_linux_tool_repairs(self):
        self.assertEqual(8, self.repair.output.decode("utf-8").count("执行修复成功！"))
        self.assertSameAsLinux(self.repair, self.linux_repair)

    def test_paths_name_the_folders_as_they_are_on_the_disk(self):
        # The engine asks for "winsxs"; the disk has "WinSxS", and Windows
        # would open either, so only the printed name tells them apart.
        component = "amd64_microsoft-windows-notepad_31bf3856ad364e35_10.0.19041.3636_none_2f1c4a8b93d7e605"
        line = ("发现 " + self.image.argument + "\\WinSxS\\" + component + "\\Help\\en-US\\index.htm "
                "存在异常，执行修复成功！\n")
        self.assertIn(line, self.repair.output.decode("utf-8"))

    def test_repair_keeps_the_original_as_a_hard_link_and_saves_a_new_file(self):
        config = self.image.config
        backup = config / "COMPONENTS.tessaly-backup"
        self.assertEqual(self.original_inode, backup.stat().st_ino)
        self.assertEqual(self.original_hive, backup.read_bytes())
        self.assertNotEqual(self.original_inode, (config / "COMPONENTS").stat().st_ino)
        # The same files as the Linux tool leaves: no leftovers, no log copies.
        self.assertEqual(sorted(os.listdir(self.linux_root / "Windows" / "System32" / "config")),
                         sorted(os.listdir(config)))
        self.assertEqual(["COMPONENTS", "COMPONENTS.tessaly-backup", "SOFTWARE"], sorted(os.listdir(config)))

    def test_saved_hive_matches_the_linux_tools(self):
        self.assertSavedHivesMatch((self.linux_root / "Windows" / "System32" / "config" / "COMPONENTS").read_bytes(),
                                   (self.image.config / "COMPONENTS").read_bytes())

    def test_clean_run_finds_nothing_and_writes_nothing(self):
        self.assertSameAsLinux(self.clean_run, self.linux_clean_run)
        self.assertEqual(self.linux_clean_run.stdout, self.clean_run.output)
        self.assertEqual(self.after_repair, self.after_clean_run)


class I686OfflineRepairRunTest(I686Build, OfflineRepairRunTest):
    pass


class OfflineDirtyHiveTest(BesideLinuxTestCase):
    """A hive left dirty, with its newest pages only in its two logs, on an
    image reached through Z:: recovered in memory and repaired as the Linux
    tool does; the logs are copied beside the backup and never written."""

    build = X86_64

    @classmethod
    def prepare(cls):
        # The same folder, reached through Z:.
        cls.image.argument = windows_path(cls.image.host)
        NATIVE.make_dirty_image(cls.image.host.parent)
        cls.copy_for_linux()
        config = cls.image.config
        cls.original_hive = (config / "COMPONENTS").read_bytes()
        cls.logs_before = {name: file_state(config / name) for name in ("COMPONENTS.LOG1", "COMPONENTS.LOG2")}
        cls.repair = cls.image.run(cls.image.argument)
        cls.clean_run = cls.image.run(cls.image.argument)
        cls.logs_after = {name: file_state(config / name) for name in cls.logs_before}
        cls.linux_repair = NATIVE.run("tessaly", cls.linux_directory)

    def test_image_is_dirty(self):
        first, second = sequence_numbers(self.original_hive)
        self.assertNotEqual(first, second)

    def test_repairs_what_the_linux_tool_repairs(self):
        self.assertIn("执行修复成功！", self.repair.output.decode("utf-8"))
        self.assertSameAsLinux(self.repair, self.linux_repair)

    def test_saved_hive_matches_the_linux_tools_and_a_second_run_finds_nothing(self):
        self.assertSavedHivesMatch((self.linux_root / "Windows" / "System32" / "config" / "COMPONENTS").read_bytes(),
                                   (self.image.config / "COMPONENTS").read_bytes())
        self.assertIn("没有发现任何问题", self.clean_run.output.decode("utf-8"))
        self.assertRunEndedWith(self.clean_run, S_OK)

    def test_backup_and_copies_of_the_logs_hold_what_the_run_found(self):
        config = self.image.config
        self.assertEqual(self.original_hive, (config / "COMPONENTS.tessaly-backup").read_bytes())
        for name, (contents, _) in self.logs_before.items():
            with self.subTest(name):
                copy = config / name.replace("COMPONENTS", "COMPONENTS.tessaly-backup")
                self.assertEqual(contents, copy.read_bytes())
                # A copy, never a link: Windows writes logs in place.
                self.assertNotEqual((config / name).stat().st_ino, copy.stat().st_ino)

    def test_logs_are_never_written(self):
        self.assertEqual(self.logs_before, self.logs_after)


class I686OfflineDirtyHiveTest(I686Build, OfflineDirtyHiveTest):
    pass


def _not_a_windows_directory(argument, reason_pattern):
    return re.escape("无法使用Windows目录 " + argument + "：") + reason_pattern + r"\n"


# The reason in parentheses or after the colon is the system's own text.
_SYSTEM_WORDS = r"[^\n（）]+"


class OfflineWrongFolderTest(OfflineTestCase):
    """A WINDOWS_DIR the program cannot work on: one line naming it, before
    the banner, with the full exit code; nothing written."""

    build = X86_64

    @classmethod
    def prepare(cls):
        NATIVE.make_sample_image(cls.image.host.parent)
        # A Windows folder whose config folder lacks SOFTWARE, its
        # folders named in another letter case than the program asks for.
        without_software = cls.image.host_path(r"C:\without-software\Windows\system32\Config")
        without_software.mkdir(parents=True)
        shutil.copyfile(cls.image.config / "COMPONENTS", without_software / "COMPONENTS")
        cls.drive = cls.image.host_path("C:\\")

    def assertRefused(self, argument, pattern, exit_code):
        before = self.images_state()
        run = self.image.run(argument)
        self.assertRegex(run.output.decode("utf-8"), r"\A" + pattern + r"\Z")
        self.assertRunEndedWith(run, exit_code)
        self.assertEqual(before, self.images_state())

    def images_state(self):
        return [tree_state(self.drive / folder) for folder in ("image", "without-software")]

    def test_missing_folder(self):
        argument = r"C:\image\Windowz"
        self.assertRefused(argument, _not_a_windows_directory(argument, _SYSTEM_WORDS), E_PATH_NOT_FOUND)

    def test_file_instead_of_a_folder(self):
        argument = r"C:\image\Windows\System32\config\SOFTWARE"
        self.assertRefused(argument, _not_a_windows_directory(argument, _SYSTEM_WORDS), E_PATH_NOT_FOUND)

    def test_folder_without_system32_config(self):
        argument = r"C:\image"
        reason = re.escape("其中没有 System32\\config 目录（") + _SYSTEM_WORDS + re.escape("）")
        self.assertRefused(argument, _not_a_windows_directory(argument, reason), E_PATH_NOT_FOUND)

    def test_missing_software_hive(self):
        # The folders as they are named on the disk, as the Linux tool names them.
        argument = r"C:\without-software\Windows"
        line = "SOFTWARE注册表 " + argument + "\\system32\\Config\\SOFTWARE 不存在，无法执行修复。\n"
        self.assertRefused(argument, re.escape(line), E_FILE_NOT_FOUND)


class I686OfflineWrongFolderTest(I686Build, OfflineWrongFolderTest):
    pass


# Wine keeps a DACL only as the file's mode bits and reports one built from
# them: this one, which gives Everyone nothing, reads back as SYSTEM's and
# the owner's entries alone, where a file the program made without carrying
# it would grant Everyone reading.
_RESTRICTED_DACL = "D:P(A;;FA;;;SY)(A;;FA;;;BA)"
# Wine reports every file as archived, so only these two can tell.
_HIDDEN_AND_SYSTEM = 0x02 | 0x04


class OfflineFileMetadataTest(OfflineTestCase):
    """The new COMPONENTS keeps the DACL and the hidden and system attributes
    that the original had, set and read through Win32."""

    build = X86_64

    @classmethod
    def prepare(cls):
        NATIVE.make_sample_image(cls.image.host.parent)
        cls.hive = cls.image.argument + r"\System32\config\COMPONENTS"
        cls.default = cls.image.file_security("get", cls.hive)
        cls.image.file_security("set", cls.hive, _RESTRICTED_DACL, f"{_HIDDEN_AND_SYSTEM:X}")
        cls.kept = cls.image.file_security("get", cls.hive)
        cls.original_inode = (cls.image.config / "COMPONENTS").stat().st_ino
        cls.repair = cls.image.run(cls.image.argument)
        cls.saved = cls.image.file_security("get", cls.hive)

    def test_wine_keeps_what_was_set(self):
        self.assertNotEqual(self.default, self.kept)
        self.assertNotIn(";;;WD)", self.kept)
        attributes = int(re.search(r"^attributes 0x([0-9A-F]{8})$", self.kept, re.M).group(1), 16)
        self.assertEqual(_HIDDEN_AND_SYSTEM, attributes & _HIDDEN_AND_SYSTEM)

    def test_new_hive_carries_the_dacl_and_attributes(self):
        self.assertRunEndedWith(self.repair, S_OK)
        self.assertIn("执行修复成功！", self.repair.output.decode("utf-8"))
        self.assertNotEqual(self.original_inode, (self.image.config / "COMPONENTS").stat().st_ino)
        self.assertEqual(self.kept, self.saved)


class I686OfflineFileMetadataTest(I686Build, OfflineFileMetadataTest):
    pass


class OfflineHeldHiveTest(OfflineTestCase):
    """COMPONENTS held open for writing by another process, which may be
    saving it: a repair, which must hold it without write sharing, names the
    file and stops with 0x80070020, writing nothing (no backup, no copies of
    the dirty hive's logs); a dry run only reads, and lists as usual."""

    build = X86_64

    @classmethod
    def prepare(cls):
        NATIVE.make_dirty_image(cls.image.host.parent)
        cls.hive = cls.image.argument + r"\System32\config\COMPONENTS"
        cls.before = tree_state(cls.image.config)
        cls.repair = cls.image.run(cls.image.argument, hold=cls.hive)
        cls.after_repair = tree_state(cls.image.config)
        cls.held_dry_run = cls.image.run("-n", cls.image.argument, hold=cls.hive)
        cls.dry_run = cls.image.run("-n", cls.image.argument)

    def test_repair_names_the_held_hive_and_writes_nothing(self):
        line = (self.hive + " 正被其他程序使用，无法保存修复。请关闭使用它的程序后再运行。未执行任何修复。\n")
        self.assertEqual(line, self.repair.output.decode("utf-8"))
        self.assertRunEndedWith(self.repair, E_SHARING_VIOLATION)
        self.assertEqual(self.before, self.after_repair)

    def test_dry_run_reads_a_held_hive(self):
        self.assertIn("处异常，未作任何更改。", self.dry_run.output.decode("utf-8"))
        self.assertRunEndedWith(self.held_dry_run, S_OK)
        self.assertEqual(self.dry_run.output, self.held_dry_run.output)


class I686OfflineHeldHiveTest(I686Build, OfflineHeldHiveTest):
    pass


class OfflineCommandLineTest(OfflineTestCase):
    """--help, --version and an option refused, with the full exit codes.
    Needs no image: one prefix serves them all."""

    build = X86_64

    def test_help_prints_the_usage_in_utf8(self):
        for option in ["--help", "-h"]:
            with self.subTest(option):
                run = self.image.run(option)
                self.assertRunEndedWith(run, S_OK)
                usage = run.output.decode("utf-8")
                self.assertTrue(usage.startswith("用法：tessaly-offline.exe [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"),
                                usage)
                self.assertIn("\n输出重定向到文件或管道时，以 UTF-8 编码写出。\n", usage)
                self.assertIn("\nUsage: tessaly-offline.exe [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n", usage)
                self.assertTrue(usage.endswith("\nOutput redirected to a file or a pipe is written as UTF-8.\n"), usage)
                self.assertNotIn("\r", usage)

    def test_version_is_the_linux_tools(self):
        linux = NATIVE.run("tessaly", "--version")
        self.assertEqual(0, linux.returncode)
        self.assertRegex(linux.stdout.decode("ascii"), r"\Atessaly \d+(\.\d+)+\n\Z")
        run = self.image.run("--version")
        self.assertRunEndedWith(run, S_OK)
        self.assertEqual(b"tessaly-offline " + linux.stdout[len(b"tessaly "):], run.output)

    def test_unknown_option_prints_the_usage_on_standard_error(self):
        run = self.image.run("--bogus", r"C:\image\Windows")
        self.assertEqual(f"0x{E_INVALID_ARGUMENT:08X}", f"0x{run.exit_code:08X}")
        self.assertEqual(b"", run.output)
        errors = run.errors.decode("utf-8")
        self.assertTrue(errors.startswith("tessaly-offline：未知选项 / unknown option: --bogus\n用法："), errors)
        self.assertEqual(self.image.run("--help").output, run.errors.partition(b"\n")[2])


class I686OfflineCommandLineTest(I686Build, OfflineCommandLineTest):
    pass


if __name__ == "__main__":
    unittest.main()
