"""The Debian packages as a user gets them: built with CPack from a build folder,
checked with lintian, extracted with dpkg-deb into a temporary root and run from
there.

Usage: python3 tests/package/test_package.py BUILD_DIR
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "build/release")
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
from harness import BANNER  # noqa: E402  (the console's banner, byte for byte)


def run(argv, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 120)
    return subprocess.run(argv, **kwargs)


def control_field(deb, field):
    return run(["dpkg-deb", "--field", deb, field], check=True).stdout.strip()


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for old in glob.glob(os.path.join(BUILD_DIR, "*.deb")):
            os.remove(old)
        built = run(["cpack", "-G", "DEB"], cwd=BUILD_DIR)
        if built.returncode != 0:
            raise AssertionError(f"cpack failed:\n{built.stdout}\n{built.stderr}")
        cls.console_deb = cls.find("quvoconnect_")
        cls.simulators_deb = cls.find("quvoconnect-simulators_")
        # The SIP phone is built wherever liblinphone is, and install-deps.sh test installs it.
        cls.sipphone_deb = cls.find("quvoconnect-sipphone_")
        cls.debs = (cls.console_deb, cls.simulators_deb, cls.sipphone_deb)
        cls.root = tempfile.mkdtemp(prefix="quvo-package-")
        for deb in cls.debs:
            run(["dpkg-deb", "-x", deb, cls.root], check=True)
        cls.work = tempfile.mkdtemp(prefix="quvo-package-run-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)
        shutil.rmtree(cls.work, ignore_errors=True)

    @staticmethod
    def find(prefix):
        found = glob.glob(os.path.join(BUILD_DIR, prefix + "*.deb"))
        if len(found) != 1:
            raise AssertionError(f"expected one {prefix}*.deb in {BUILD_DIR}, found {found}")
        return found[0]

    def env(self):
        """No session bus and private settings: the console runs unbound and writes
        nothing of the user's."""
        env = {k: v for k, v in os.environ.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        env.update(HOME=self.work, XDG_CONFIG_HOME=os.path.join(self.work, "config"),
                   XDG_RUNTIME_DIR=self.work, LC_ALL="C.UTF-8")
        return env

    def console(self, *args, stdin=""):
        return run([os.path.join(self.root, "usr", "bin", "quvoconnect"), *args], input=stdin, env=self.env(),
                   timeout=30)

    def test_control_data_and_dependencies(self):
        self.assertEqual(control_field(self.console_deb, "Version"), "1.0-1")
        for deb in self.debs:
            depends = control_field(deb, "Depends")
            # From dpkg-shlibdeps: the run-time libraries, never their -dev packages.
            self.assertIn("libsdbus-c++1", depends)
            self.assertIn("libc6", depends)
            self.assertNotIn("-dev", depends)
        self.assertIn("libcurl4", control_field(self.console_deb, "Depends"))
        self.assertIn("liblinphone", control_field(self.sipphone_deb, "Depends"))
        self.assertEqual(control_field(self.sipphone_deb, "Version"), "1.0-1")
        # The dependencies resolve on this system.
        simulated = run(["apt-get", "install", "--simulate", "--no-install-recommends", *self.debs])
        self.assertEqual(simulated.returncode, 0, simulated.stdout + simulated.stderr)

    def test_lintian_reports_no_errors(self):
        if not shutil.which("lintian"):
            self.fail("lintian is missing: scripts/install-deps.sh test installs it")
        checked = run(["lintian", "--fail-on", "error", "--allow-root", *self.debs], timeout=600)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_files_land_where_a_linux_tool_keeps_them(self):
        for path in ("usr/bin/quvoconnect", "usr/bin/quvo-softphone-sim", "usr/bin/quvo-emapp-sim",
                     "usr/share/man/man1/quvoconnect.1.gz", "usr/share/man/man1/quvo-softphone-sim.1.gz",
                     "usr/share/dbus-1/interfaces/com.quelbo.QUVO.xml", "usr/share/doc/quvoconnect/README.md",
                     "usr/share/doc/quvoconnect/docs/testing.md",
                     "usr/share/doc/quvoconnect/copyright", "usr/share/doc/quvoconnect-simulators/copyright",
                     "usr/bin/quvo-sipphone", "usr/share/man/man1/quvo-sipphone.1.gz",
                     "usr/share/doc/quvoconnect-sipphone/copyright",
                     "usr/share/doc/quvoconnect-sipphone/changelog.Debian.gz",
                     "usr/lib/systemd/user/quvo-sipphone.service"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)
        with open(os.path.join(SOURCE_DIR, "contract", "com.quelbo.QUVO.xml"), "rb") as source, \
                open(os.path.join(self.root, "usr/share/dbus-1/interfaces/com.quelbo.QUVO.xml"), "rb") as packed:
            self.assertEqual(packed.read(), source.read())

    def test_the_login_service_unit_passes_systemd_analyze(self):
        if not shutil.which("systemd-analyze"):
            self.fail("systemd-analyze is missing: scripts/install-deps.sh test installs it")
        # The unit as installed, its program and manual page those of the extracted package
        # (a user manager's check takes no other root).
        with open(os.path.join(self.root, "usr/lib/systemd/user/quvo-sipphone.service")) as f:
            unit = f.read().replace("/usr/bin/", os.path.join(self.root, "usr/bin/"))
        runtime = tempfile.mkdtemp(prefix="quvo-unit-")
        self.addCleanup(shutil.rmtree, runtime, ignore_errors=True)
        path = os.path.join(runtime, "quvo-sipphone.service")
        with open(path, "w") as f:
            f.write(unit)
        env = dict(self.env(), XDG_RUNTIME_DIR=runtime, MANPATH=os.path.join(self.root, "usr/share/man"))
        checked = run(["systemd-analyze", "verify", "--user", path], env=env, timeout=60)
        self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))
        with open(os.path.join(self.root, "usr/lib/systemd/user/quvo-sipphone.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/bin/quvo-sipphone ", unit)
        self.assertIn("Restart=on-failure", unit)

    def test_version(self):
        result = self.console("--version")
        self.assertEqual((result.returncode, result.stdout), (0, "QUVOConnect 1.0\n"))

    def test_piped_help_session(self):
        result = self.console(stdin="Help\nQuit\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith(BANNER + "> \n\tRunProgram\n\tShowProgram\n"), result.stdout)
        self.assertTrue(result.stdout.endswith("\tHelp [command]\n\tQuit\n\n> "), result.stdout)
        self.assertEqual(result.stdout.count("\n\t"), 37)

    def test_simulators_and_sip_phone_run_from_the_package(self):
        for program in ("quvo-softphone-sim", "quvo-emapp-sim", "quvo-sipphone"):
            result = run([os.path.join(self.root, "usr", "bin", program), "--help"], env=self.env(), timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("Usage: " + program, result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
