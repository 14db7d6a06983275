"""Checks of the built Windows executables themselves: their architecture,
the DLLs they need, their manifest and version resource, and the exports of
the stand-in servicing libraries the Wine suite uses.

Both builds, x86-64 and i686, must be there; CTest names their build trees
in TESSALY_WIN64_BUILD and TESSALY_WIN32_BUILD."""

import os
import re
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from pe_image import PeImage, fixed_file_version

REPOSITORY = Path(__file__).resolve().parents[2]
BUILD_VARIABLES = {"x86-64": "TESSALY_WIN64_BUILD", "i686": "TESSALY_WIN32_BUILD"}
# IMAGE_FILE_MACHINE_AMD64 and IMAGE_FILE_MACHINE_I386
MACHINES = {"x86-64": 0x8664, "i686": 0x14C}

RT_VERSION = 16
RT_MANIFEST = 24
LANGUAGE_EN_US = 1033
LANGUAGE_ZH_CN = 2052

# DLLs that every Windows 10 has; the C++ and GCC runtimes are linked in.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shlwapi.dll", "ntdll.dll", "version.dll", "msvcrt.dll"}
# Windows PE has these too; the offline program draws its hash key from bcrypt.
OFFLINE_PROGRAM_DLLS = {"kernel32.dll", "advapi32.dll", "bcrypt.dll", "msvcrt.dll"}
PROGRAMS = ["tessaly.exe", "tessaly-offline.exe"]
REGISTRY_FUNCTIONS = {"RegOpenKeyW", "RegOpenKeyExW", "RegEnumValueW", "RegEnumKeyW", "RegQueryValueExW",
                      "RegSetValueExW", "RegLoadKeyW", "RegCloseKey"}
IS_OS_ORDINAL = 437
ASSEMBLY_V3 = "{urn:schemas-microsoft-com:asm.v3}"
STAND_IN_EXPORTS = {
    "wcp.dll": ["RtlDowncaseUCSCharacter", "RtlHashLUnicodeString"],
    "wcp_without_hash.dll": ["RtlDowncaseUCSCharacter"],
    "wcp_without_downcase.dll": ["RtlHashLUnicodeString"],
}


def project_version():
    text = (REPOSITORY / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*Tessaly\s+VERSION\s+(\d+)\.(\d+)\.(\d+)\.(\d+)", text)
    return tuple(int(part) for part in match.groups())


class ExecutableImageTest(unittest.TestCase):
    def builds(self):
        """(architecture, build directory) of each build, as subtests."""
        for architecture, variable in BUILD_VARIABLES.items():
            with self.subTest(architecture):
                if not os.environ.get(variable):
                    self.fail(f"{variable} is not set: run the suite through CTest, or set it to the build tree")
                build = Path(os.environ[variable])
                if not (build / "tessaly.exe").is_file():
                    self.fail(f"{build / 'tessaly.exe'} is missing: build the {build.name} preset first")
                yield architecture, build

    def test_executables_and_libraries_are_built_for_their_architecture(self):
        for architecture, build in self.builds():
            images = [*[build / program for program in PROGRAMS], build / "tests" / "run_with_exit_code.exe",
                      *[build / "tests" / "wcp" / library for library in STAND_IN_EXPORTS]]
            for image in images:
                self.assertEqual(MACHINES[architecture], PeImage(image).machine, image.name)

    def test_imports_only_system_dlls_and_the_expected_entry_points(self):
        for _, build in self.builds():
            imports = PeImage(build / "tessaly.exe").imports()
            self.assertLessEqual(set(imports), SYSTEM_DLLS)
            self.assertEqual(REGISTRY_FUNCTIONS, set(imports["advapi32.dll"]))
            # IsOS by ordinal only: older shlwapi builds do not export the name.
            self.assertEqual([IS_OS_ORDINAL, "PathFileExistsW"], imports["shlwapi.dll"])
            self.assertEqual(["RtlAdjustPrivilege"], imports["ntdll.dll"])
            self.assertEqual(["VerQueryValueW"], imports["version.dll"])
            # The Windows version comes from the process environment block.
            everything = {entry for entries in imports.values() for entry in entries}
            self.assertFalse(everything & {"GetVersionExW", "GetVersionExA", "GetVersion", "RtlGetVersion"})

    def test_offline_program_loads_no_registry_hive_and_needs_only_system_dlls(self):
        for _, build in self.builds():
            imports = PeImage(build / "tessaly-offline.exe").imports()
            self.assertLessEqual(set(imports), OFFLINE_PROGRAM_DLLS)
            # Hives are read and written by the program's own code, never mounted.
            everything = {entry for entries in imports.values() for entry in entries}
            self.assertFalse({name for name in everything if isinstance(name, str) and name.startswith("Reg")})

    def test_manifest_requires_administrator_and_declares_no_compatibility(self):
        for _, build in self.builds():
            for program in PROGRAMS:
                manifests = [r for r in PeImage(build / program).resources() if r.type == RT_MANIFEST]
                self.assertEqual([(1, LANGUAGE_EN_US)], [(r.name, r.language) for r in manifests], program)
                assembly = ElementTree.fromstring(manifests[0].data)
                levels = assembly.findall(f".//{ASSEMBLY_V3}requestedExecutionLevel")
                self.assertEqual([{"level": "requireAdministrator", "uiAccess": "false"}], [e.attrib for e in levels])
                self.assertNotIn(b"compatibility", manifests[0].data)

    def test_version_resource_carries_the_project_version(self):
        self.assertEqual((1, 0, 0, 1001), project_version())
        for _, build in self.builds():
            for program in PROGRAMS:
                versions = [r for r in PeImage(build / program).resources() if r.type == RT_VERSION]
                self.assertEqual([(1, LANGUAGE_ZH_CN)], [(r.name, r.language) for r in versions], program)
                version = fixed_file_version(versions[0].data)
                self.assertEqual(project_version(), version.file_version)
                self.assertEqual(project_version(), version.product_version)

    def test_stand_in_servicing_libraries_export_undecorated_names(self):
        for _, build in self.builds():
            for library, exports in STAND_IN_EXPORTS.items():
                image = PeImage(build / "tests" / "wcp" / library)
                self.assertEqual(exports, image.exports(), library)
                self.assertLessEqual(set(image.imports()), SYSTEM_DLLS, library)


if __name__ == "__main__":
    unittest.main()
