"""End-to-end runs of the real tessaly.exe under Wine: the x86-64 build in
every case, the i686 build (under WoW64) in the I686 cases.

Each case sets up a copy of the template prefix (see wine_prefix.py): the
COMPONENTS hive in Wine's registry format, the winsxs tree, the servicing
Version key and a stand-in wcp.dll of the tool's architecture. The tool runs
through the x86-64 launcher, which starts either build and reports its whole
32-bit exit code; its standard output is compared byte for byte, and the
hive is read back while the Wine server still holds it.

CTest names the two build trees in TESSALY_WIN64_BUILD and
TESSALY_WIN32_BUILD. The template comes from TESSALY_WINE_TEMPLATE when
CTest has made it; run alone (python3 -m unittest test_end_to_end, with the
build trees named), the module makes its own in a temporary work directory.
"""

import re
import shutil
import unittest
from pathlib import Path

import wine_prefix
from component_store import (SUMMARY_NOTHING_FOUND, SUMMARY_REPAIRED, Binary, Dword, String, banner,
                             console_bytes, hive_text, record_name, repaired_message)
from wine_prefix import WinePrefix, windows_path


class Build(wine_prefix.CrossBuild):
    """A cross-built tool with its stand-in servicing libraries, and the
    registry view through which its process reads HKLM\\SOFTWARE."""

    def __init__(self, preset, registry_view):
        super().__init__(preset)
        self.registry_view = registry_view

    @property
    def tool(self):
        return self.directory / "tessaly.exe"

    @property
    def stand_ins(self):
        return self.directory / "tests" / "wcp"

    def require(self, *others):
        self.require_built(self.tool, self.stand_ins / "wcp.dll", *others)


X86_64 = Build("win64", "64")
# A 32-bit process on 64-bit Windows: HKLM\SOFTWARE is WOW6432Node to it.
I686 = Build("win32", "32")

HIVE_FILE = r"C:\windows\system32\config\COMPONENTS"
# What System32\config\COMPONENTS names in a 32-bit process.
WOW64_HIVE_FILE = r"C:\windows\syswow64\config\COMPONENTS"
STORE = r"C:\windows\winsxs"
STORE_ROOT = "\\\\?\\" + STORE + "\\"
SERVICING_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\Version"
SERVICING_VALUE = "10.0.19041.3745"
SERVICING_DIRECTORY = r"C:\windows\servicing\stack"
SERVICING_DIRECTORY_VALUE = r"%SystemRoot%\servicing\stack"
MOUNTED_HIVE = r"HKLM\COMPONENTS"
EXPORTED_HIVE = r"HKEY_LOCAL_MACHINE\COMPONENTS"
COMPONENTS = r"DerivedData\Components"

E_NOTIMPL = 0x80004001
E_NOINTERFACE = 0x80004002
STATUS_PRIVILEGE_NOT_HELD = 0xC0000061

_template = wine_prefix.SuiteTemplate()


def setUpModule():
    _template.open()
    X86_64.require(X86_64.launcher)


def tearDownModule():
    _template.close()


class Case:
    """One prepared prefix and the run of one build of the tool in it."""

    def __init__(self, build=X86_64):
        self.build = build
        self.prefix = WinePrefix(_template.path)
        try:
            self.prefix.start()
        except BaseException:
            self.prefix.close()
            raise

    def close(self):
        self.prefix.close()

    def write_hive(self, keys, hive_file=HIVE_FILE):
        self.write_hive_bytes(hive_text(keys).encode("ascii"), hive_file)

    def write_hive_bytes(self, data, hive_file=HIVE_FILE):
        path = self.prefix.host_path(hive_file)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def install_servicing_stack(self, stand_in="wcp.dll"):
        """The Version key naming the servicing directory, with a stand-in
        library there as wcp.dll (none when stand_in is None)."""
        self.install_stand_in(stand_in)
        self.prefix.reg_add(SERVICING_KEY, SERVICING_VALUE, "REG_EXPAND_SZ", SERVICING_DIRECTORY_VALUE,
                            view=self.build.registry_view)

    def install_stand_in(self, stand_in):
        directory = self.prefix.host_path(SERVICING_DIRECTORY)
        directory.mkdir(parents=True, exist_ok=True)
        if stand_in is not None:
            shutil.copyfile(self.build.stand_ins / stand_in, directory / "wcp.dll")

    def write_file(self, component, relative_path, contents):
        path = self.prefix.host_path(STORE + "\\" + component + "\\" + relative_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(contents)

    def run_tool(self, *launcher_options):
        """Runs the tool; returns its exit code and its standard output."""
        result = self.prefix.run(windows_path(X86_64.launcher), *launcher_options, windows_path(self.build.tool),
                                 check=False)
        match = re.search(rb"exit code 0x([0-9A-F]{8})", result.stderr)
        if result.returncode != 0 or match is None:
            raise AssertionError(f"the launcher failed ({result.returncode}): {result.stderr!r}")
        return int(match.group(1), 16), result.stdout

    def mounted_hive(self):
        return self.prefix.export_key(MOUNTED_HIVE)


class WineTestCase(unittest.TestCase):
    maxDiff = None

    def new_case(self, build=X86_64):
        case = Case(build)
        self.addCleanup(case.close)
        return case

    def new_completing_case(self):
        """A case in which the run would complete: a servicing stack and a
        hive with an empty components list."""
        case = self.new_case()
        case.install_servicing_stack()
        case.write_hive({COMPONENTS: {}})
        return case

    def assertRun(self, run, exit_code, text):
        """The run printed exactly text (as the console bytes) and ended with exit_code."""
        actual_code, output = run
        # The text first, for a readable difference; then every byte.
        self.assertEqual(text.replace("\n", "\r\n"), output.decode("gbk", "replace"))
        self.assertEqual(console_bytes(text), output)
        self.assertEqual(f"0x{exit_code:08X}", f"0x{actual_code:08X}")


def exported(keys):
    """The export of a hive written from keys: every key under the mount
    point, the implied parents included, with its values."""
    expected = {EXPORTED_HIVE: {}}
    for path, values in keys.items():
        parts = path.split("\\")
        for depth in range(1, len(parts)):
            expected.setdefault(EXPORTED_HIVE + "\\" + "\\".join(parts[:depth]), {})
        expected[EXPORTED_HIVE + "\\" + path] = {name: _exported_value(value) for name, value in values.items()}
    return expected


def _exported_value(value):
    if isinstance(value, Dword):
        return "REG_DWORD", value.value
    if isinstance(value, Binary):
        return "REG_BINARY", value.data
    return "REG_SZ", value.text


# The repair run. Files are listed in the order Wine lists them (by name, case
# not considered), which is the order of the messages.
WALKED = "amd64_a-walked_31bf3856ad364e35_10.0.19041.1_none_5a1c2e3f4b6d7089"
WALKED_CF_201 = "amd64_b-walked-cf201_31bf3856ad364e35_10.0.19041.1_none_0000000000000002"
LINK_TARGET = "shadow-of-22link"

# relative path, contents, record (None: no record), record afterwards
WALKED_FILES = [
    ("01dcd-true.dll", b"DCD\x01\x02", Dword(0x02), Dword(0x02)),
    ("02dcd-false.dll", b"MZ\x90\x00", Dword(0x02), Dword(0x00)),
    ("03dcs-true.dll", b"DCS\x00", Dword(0x20), Dword(0x20)),
    ("04dcs-claim-on-dcd.dll", b"DCD\x00", Dword(0x20), Dword(0x00)),
    ("05both-claims-on-dcs.dll", b"DCS\x00", Dword(0x22), Dword(0x20)),
    ("06both-claims-on-dcd.dll", b"DCD\x00", Dword(0x22), Dword(0x22)),
    ("07other-bits.dll", b"PE\x00\x00", Dword(0x0122), Dword(0x0120)),
    ("08lower-case.dll", b"dcd\x00", Dword(0x02), Dword(0x00)),
    ("09two-bytes.dll", b"DC", Dword(0x02), Dword(0x02)),
    ("10empty.dll", b"", Dword(0x22), Dword(0x22)),
    ("11binary-record.dll", b"XYZ", Binary(b"\x02\x00\x00\x00"), Binary(b"\x02\x00\x00\x00")),
    ("12no-record.dll", b"XYZ", None, None),
    ("13no-claim.dll", b"XYZ", Dword(0x0101), Dword(0x0101)),
    ("14ABC.txt", b"XYZ", Dword(0x02), Dword(0x00)),
    ("15a@b.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("16x_y.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("17abcdefghijklmnopqrstuvwxyz.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("18abcdefghijklmnopqrs.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("19文件.dll", b"MZ\x90", Dword(0x20), Dword(0x00)),
    ("20Δ_b.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("21res\\Inner.dll", b"XYZ", Dword(0x02), Dword(0x00)),
    ("21res\\sub\\x.dll", b"XYZ", Dword(0x20), Dword(0x00)),
]
# A symbolic link to a directory, which Wine shows as a reparse point: not followed.
LINKED_FILE = ("22link\\x.dll", Dword(0x02))

PASSED_OVER_RECORD = ("dcd-false.dll", b"XYZ", Dword(0x02))
PASSED_OVER = {
    "amd64_c-dv-string_31bf3856ad364e35_10.0.19041.1_none_0000000000000003": {"CF": Dword(0x200), "DV": String("1")},
    "amd64_d-dv-dword_31bf3856ad364e35_10.0.19041.1_none_0000000000000004": {"CF": Dword(0x200), "DV": Dword(0)},
    "amd64_e-cf-without-200_31bf3856ad364e35_10.0.19041.1_none_0000000000000005": {"CF": Dword(0xFFFFFDFF)},
    "amd64_f-cf-binary_31bf3856ad364e35_10.0.19041.1_none_0000000000000006": {"CF": Binary(b"\x00\x02\x00\x00")},
    "amd64_g-no-cf_31bf3856ad364e35_10.0.19041.1_none_0000000000000007": {},
}
WITHOUT_DIRECTORY = "amd64_h-no-directory_31bf3856ad364e35_10.0.19041.1_none_0000000000000008"


def repair_run_hive(after):
    """The hive of the repair run: records as written, or as they should be
    afterwards when after is true."""
    walked = {"CF": Dword(0x200)}
    for relative_path, _, record, record_after in WALKED_FILES:
        if record is not None:
            walked[record_name(relative_path)] = record_after if after else record
    walked[record_name(LINKED_FILE[0])] = LINKED_FILE[1]
    keys = {
        COMPONENTS + "\\" + WALKED: walked,
        COMPONENTS + "\\" + WALKED_CF_201: {"CF": Dword(0x201),
                                            record_name("dcs-false.dll"): Dword(0x00 if after else 0x20)},
    }
    for component, values in PASSED_OVER.items():
        keys[COMPONENTS + "\\" + component] = {**values, record_name(PASSED_OVER_RECORD[0]): PASSED_OVER_RECORD[2]}
    keys[COMPONENTS + "\\" + WITHOUT_DIRECTORY] = {"CF": Dword(0x200), record_name("a.dll"): Dword(0x02)}
    return keys


class RepairRunTest(WineTestCase):
    """One run over a store with true and false claims of every kind; the
    tests look at its output, its exit code and the hive afterwards."""

    build = X86_64

    @classmethod
    def setUpClass(cls):
        cls.case = Case(cls.build)
        try:
            cls.prepare_store(cls.case)
            cls.outcome = cls.case.run_tool()
            cls.hive = cls.case.mounted_hive()
        except BaseException:
            cls.case.close()
            raise

    @classmethod
    def prepare_store(cls, case):
        case.install_servicing_stack()
        case.write_hive(repair_run_hive(after=False))
        for relative_path, contents, _, _ in WALKED_FILES:
            case.write_file(WALKED, relative_path, contents)
        case.write_file(LINK_TARGET, "x.dll", b"XYZ")
        link = case.prefix.host_path(STORE + "\\" + WALKED + "\\22link")
        link.symlink_to(Path("..", LINK_TARGET), target_is_directory=True)
        case.write_file(WALKED_CF_201, "dcs-false.dll", b"XYZ")
        for component in PASSED_OVER:
            case.write_file(component, PASSED_OVER_RECORD[0], PASSED_OVER_RECORD[1])

    @classmethod
    def tearDownClass(cls):
        cls.case.close()

    def test_reports_each_false_claim_and_closes_with_the_repaired_summary(self):
        repaired = [STORE_ROOT + WALKED + "\\" + relative_path
                    for relative_path, _, record, record_after in WALKED_FILES if record != record_after]
        repaired.append(STORE_ROOT + WALKED_CF_201 + "\\dcs-false.dll")
        self.assertRun(self.outcome, 0, banner() + "".join(map(repaired_message, repaired)) + SUMMARY_REPAIRED)

    def test_clears_only_false_claims_and_leaves_everything_else(self):
        self.assertEqual(exported(repair_run_hive(after=True)), self.hive)


class I686RepairRunTest(RepairRunTest):
    """The same run by the i686 tool under WoW64, with the i686 wcp.dll. The
    path hash is called through a fast-call pointer, so each record with a
    hashed name (subdirectory, underscore, over 25 characters) is found only
    if that call works. The hive is read through SysNative; System32\\config
    would lead to SysWOW64\\config, where a file that does not load waits."""

    build = I686

    @classmethod
    def setUpClass(cls):
        I686.require_under_wow64()
        super().setUpClass()

    @classmethod
    def prepare_store(cls, case):
        super().prepare_store(case)
        case.write_hive_bytes(b"not a registry\n", WOW64_HIVE_FILE)


class SummaryTest(WineTestCase):
    """Completed scans that change nothing."""

    def test_nothing_to_repair(self):
        component = "amd64_only-true-claims_31bf3856ad364e35_10.0.19041.1_none_0000000000000001"
        files = [("dcd.dll", b"DCD!", Dword(0x02)), ("dcs.dll", b"DCSx", Dword(0x20)),
                 ("res\\both.dll", b"DCD", Dword(0x22))]
        empty_list = {COMPONENTS: {}}
        true_claims = {COMPONENTS + "\\" + component:
                       {"CF": Dword(0x200), **{record_name(path): record for path, _, record in files}}}
        for name, keys in [("empty components list", empty_list), ("only true claims", true_claims)]:
            with self.subTest(name):
                case = self.new_case()
                case.install_servicing_stack()
                case.write_hive(keys)
                for path, contents, _ in files:
                    case.write_file(component, path, contents)
                self.assertRun(case.run_tool(), 0, banner() + SUMMARY_NOTHING_FOUND)
                self.assertEqual(exported(keys), case.mounted_hive())


class FileAccessTest(WineTestCase):
    def test_file_open_for_writing_elsewhere_is_passed_over(self):
        component = "amd64_held-file_31bf3856ad364e35_10.0.19041.1_none_0000000000000001"
        case = self.new_case()
        case.install_servicing_stack()
        case.write_hive({COMPONENTS + "\\" + component: {
            "CF": Dword(0x200), record_name("01held.dll"): Dword(0x02), record_name("02free.dll"): Dword(0x02)}})
        case.write_file(component, "01held.dll", b"XYZ")
        case.write_file(component, "02free.dll", b"XYZ")
        held = STORE + "\\" + component + "\\01held.dll"
        self.assertRun(case.run_tool("--hold-for-writing", held), 0,
                       banner() + repaired_message(STORE_ROOT + component + "\\02free.dll") + SUMMARY_REPAIRED)
        records = case.mounted_hive()[EXPORTED_HIVE + "\\" + COMPONENTS + "\\" + component]
        self.assertEqual(("REG_DWORD", 0x02), records[record_name("01held.dll")])
        self.assertEqual(("REG_DWORD", 0x00), records[record_name("02free.dll")])


class RunGateTest(WineTestCase):
    """Failures before the servicing stack is bound: the hive stays unmounted."""

    def test_windows_other_than_10_is_refused(self):
        message = "程序仅支持Windows 10以及对应的服务器版本，暂时不支持其他系统！\n"
        for version in ["win81", "win7"]:
            with self.subTest(version):
                case = self.new_completing_case()
                case.prefix.set_windows_version(version)
                self.assertRun(case.run_tool(), E_NOTIMPL, banner() + message)
                self.assertIsNone(case.mounted_hive())

    def test_missing_privilege_ends_the_run_with_its_ntstatus(self):
        message = ("特权提升失败 hr=0xC0000061，可能是域配置不允许提升特权 或者 其他杀毒软件干扰所致，"
                   "建议你联系管理员或者反馈给我们。\n")
        for privilege in ["SeBackupPrivilege", "SeRestorePrivilege"]:
            with self.subTest(privilege):
                case = self.new_completing_case()
                self.assertRun(case.run_tool("--without-privilege", privilege), STATUS_PRIVILEGE_NOT_HELD,
                               banner() + message)
                self.assertIsNone(case.mounted_hive())


class ServicingStackTest(WineTestCase):
    def test_missing_version_key(self):
        case = self.new_case()
        case.write_hive({COMPONENTS: {}})
        self.assertRun(case.run_tool(), E_NOINTERFACE, banner() + "无法获取CBS目录 lStatus=2。\n")
        self.assertIsNone(case.mounted_hive())

    def test_version_key_without_usable_value(self):
        directory = SERVICING_DIRECTORY_VALUE
        scenarios = {
            "no values": [],
            "only REG_SZ and an unnamed REG_EXPAND_SZ": [("10.0.1", "REG_SZ", directory),
                                                         (None, "REG_EXPAND_SZ", directory)],
            "accepted value with empty data": [("10.0.1", "REG_EXPAND_SZ", "")],
        }
        for name, values in scenarios.items():
            with self.subTest(name):
                case = self.new_case()
                case.write_hive({COMPONENTS: {}})
                case.prefix.create_key(SERVICING_KEY)
                for value_name, value_type, data in values:
                    case.prefix.reg_add(SERVICING_KEY, value_name, value_type, data)
                self.assertRun(case.run_tool(), E_NOINTERFACE, banner() + "无法获取CBS目录。\n")
                self.assertIsNone(case.mounted_hive())

    def test_binds_from_the_first_named_expandable_value(self):
        # Wine lists values by name, Windows in the order they were written;
        # here both orders are the same: unnamed, 1.plain, 2.expandable, 3.later.
        case = self.new_case()
        case.write_hive({COMPONENTS: {}})
        case.install_stand_in("wcp.dll")
        case.prefix.reg_add(SERVICING_KEY, None, "REG_EXPAND_SZ", r"%SystemRoot%\nowhere")
        case.prefix.reg_add(SERVICING_KEY, "1.plain", "REG_SZ", SERVICING_DIRECTORY)
        case.prefix.reg_add(SERVICING_KEY, "2.expandable", "REG_EXPAND_SZ", SERVICING_DIRECTORY_VALUE)
        case.prefix.reg_add(SERVICING_KEY, "3.later", "REG_EXPAND_SZ", r"%SystemRoot%\nowhere")
        self.assertRun(case.run_tool(), 0, banner() + SUMMARY_NOTHING_FOUND)

    def test_servicing_library_that_does_not_bind(self):
        for stand_in in [None, "wcp_without_hash.dll", "wcp_without_downcase.dll"]:
            with self.subTest(stand_in or "no wcp.dll"):
                case = self.new_case()
                case.write_hive({COMPONENTS: {}})
                case.install_servicing_stack(stand_in)
                self.assertRun(case.run_tool(), E_NOINTERFACE, banner() + "无法加载CBS。\n")
                self.assertIsNone(case.mounted_hive())


class HiveLoadingTest(WineTestCase):
    def test_missing_hive_file(self):
        case = self.new_case()
        case.install_servicing_stack()
        self.assertRun(case.run_tool(), 0x80070002, banner() + "COMPONENTS注册表不存在，无法执行修复。\n")
        self.assertIsNone(case.mounted_hive())

    def test_hive_that_does_not_load(self):
        # Wine loads only its own registry format; anything else, a Windows
        # hive file included, fails with ERROR_NOT_REGISTRY_FILE (1017).
        for name, contents in [("empty file", b""), ("regf hive", b"regf" + bytes(4092)),
                               ("text", b"not a registry\n")]:
            with self.subTest(name):
                case = self.new_case()
                case.install_servicing_stack()
                case.write_hive_bytes(contents)
                self.assertRun(case.run_tool(), 0x800703F9,
                               banner() + "COMPONENTS注册表无法加载，lStatus=0x000003F9。无法执行修复。\n")
                # Nothing of the file is mounted; Wine leaves the empty mount point behind.
                self.assertIn(case.mounted_hive(), [None, {EXPORTED_HIVE: {}}])

    def test_hive_without_components_list(self):
        for name, keys in [("no keys", {}), ("DerivedData only", {"DerivedData": {"x": Dword(1)}})]:
            with self.subTest(name):
                case = self.new_case()
                case.install_servicing_stack()
                case.write_hive(keys)
                self.assertRun(case.run_tool(), 0x80070002,
                               banner() + "COMPONENTS注册表无法打开，lStatus=0x00000002。无法执行修复。\n")
                # The hive stays mounted after the tool has ended.
                self.assertEqual(exported(keys), case.mounted_hive())


class I686HiveLoadingTest(WineTestCase):
    @classmethod
    def setUpClass(cls):
        I686.require_under_wow64()
        super().setUpClass()

    def test_hive_only_behind_the_redirected_system32_is_missing(self):
        # Read through System32, this hive would load and the run would complete.
        case = self.new_case(I686)
        case.install_servicing_stack()
        case.write_hive({COMPONENTS: {}}, WOW64_HIVE_FILE)
        self.assertRun(case.run_tool(), 0x80070002, banner() + "COMPONENTS注册表不存在，无法执行修复。\n")
        self.assertIsNone(case.mounted_hive())


if __name__ == "__main__":
    unittest.main()
