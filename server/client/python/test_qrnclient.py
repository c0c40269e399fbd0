"""Tests of qrnclient.py against engine_sim --listen through the stand-in
(scripts/test_host_side.sh runs them):

    QRNCLIENT_LIBRARY=.../libqrnclient.so QRN_STANDIN_ADDRESS=HOST:PORT \\
    QRNCLIENT_TEST_SILENT=HOST:PORT QRNCLIENT_TEST_HEADER=.../qrnclient.h \\
    python3 -m unittest test_qrnclient

QRN_STANDIN_ADDRESS: a listener with simspectro beside its driver;
QRNCLIENT_TEST_SILENT: one whose client has no driver (nothing answers)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import qrnclient

ADDRESS = os.environ["QRN_STANDIN_ADDRESS"]
SILENT = os.environ["QRNCLIENT_TEST_SILENT"]
HEADER = os.environ["QRNCLIENT_TEST_HEADER"]
LIBRARY = os.environ[qrnclient.LIBRARY_VARIABLE]


def session_at(address):
    os.environ["QRN_STANDIN_ADDRESS"] = address
    return qrnclient.Session()


def header_statuses():
    """The qrn_status enum of the header: (name, number) pairs."""
    with open(HEADER) as header:
        enum = re.search(r"typedef enum qrn_status \{(.*?)\} qrn_status;", header.read(), re.S)
    pairs = re.findall(r"^\s*(QRN_[A-Z_]+) = (\d+)", enum.group(1), re.M)
    return [(name, int(number)) for name, number in pairs]


class StatusTable(unittest.TestCase):
    def test_every_status_of_the_header_has_its_name(self):
        statuses = header_statuses()
        self.assertGreaterEqual(len(statuses), 16)
        library = qrnclient.load_library()
        for name, number in statuses:
            self.assertEqual(qrnclient.Status[name[len("QRN_"):]], number, name)
            self.assertEqual(qrnclient.status_name(number), name)
            self.assertEqual(library.qrn_status_name(number).decode(), name)
            error = qrnclient.QrnError(number, "why")
            self.assertEqual((error.number, error.name, error.status), (number, name, number))
            self.assertIn("%s (%d): why" % (name, number), str(error))
        self.assertEqual(sorted(n for _, n in statuses), [s.value for s in qrnclient.Status])

    def test_a_status_this_module_does_not_know_keeps_its_number(self):
        unknown = max(n for _, n in header_statuses()) + 1
        error = qrnclient.QrnError(unknown, "newer")
        self.assertEqual((error.status, error.number, error.name),
                         (unknown, unknown, "status %d" % unknown))


class Measurement(unittest.TestCase):
    def test_measures_31_values_and_reads_answers(self):
        with session_at(ADDRESS) as session:
            self.assertEqual(session.send("Hello"), "Hello")
            self.assertRegex(session.send("QuarnClientDriverVersion"), r"^\d+\.\d+\.\d+$")
            self.assertEqual(session.send("Init|simspectro|", 10000), "")
            session.require("Connect", 10000)
            self.assertEqual(session.ask_number("GetWavelengths"), 31)
            session.require("Measure", 10000)
            values = session.spectrum(1)
            self.assertEqual(len(values), 31)
            self.assertTrue(all(0 < value < 1.5 for value in values), values)
            self.assertEqual(session.spectral_data_all(1), values)
            with self.assertRaises(qrnclient.QrnError) as caught:
                session.send("Zero")
            self.assertEqual(caught.exception.status, qrnclient.Status.ERROR_ANSWER)
            self.assertEqual(caught.exception.text, 'Unknown command "Zero"')
            self.assertEqual(session.last_answer(), 'ERROR|Unknown command "Zero"')
            with self.assertRaises(qrnclient.QrnError) as caught:
                session.ask_number("GetSerialNumber")
            self.assertEqual(caught.exception.status, qrnclient.Status.BAD_ANSWER)

    def test_the_instruments_false_and_no_value_are_failures(self):
        with session_at(ADDRESS) as session:
            session.send("Init|simspectro|", 10000)
            # Nothing measured since the library loaded: -1 everywhere.
            self.assertEqual(session.spectral_data_all(0), [qrnclient.NO_VALUE] * 31)
            with self.assertRaises(qrnclient.InstrumentError) as caught:
                session.spectrum(0)
            self.assertEqual((caught.exception.code, caught.exception.text),
                             (4, "No measurement data"))
            self.assertEqual(caught.exception.status, qrnclient.Status.OK)
            self.assertFalse(session.ask_flag("SetOption|Aperture|XYZ|"))
            with self.assertRaises(qrnclient.InstrumentError) as caught:
                session.require("SetOption|Aperture|XYZ|")
            self.assertIn("answered false (its error 9: Invalid value for setting)",
                          str(caught.exception))
            # Measure without Connect: the instrument refuses.
            with self.assertRaises(qrnclient.InstrumentError) as caught:
                session.require("Measure", 10000)
            self.assertEqual(caught.exception.code, 1)


class TimeOutsThreadsAndClose(unittest.TestCase):
    def test_a_command_nothing_answers_times_out(self):
        with session_at(SILENT) as session:
            started = time.time()
            with self.assertRaises(qrnclient.QrnError) as caught:
                session.send("Hello", timeout_ms=300)
            self.assertEqual(caught.exception.status, qrnclient.Status.TIMED_OUT)
            self.assertLess(time.time() - started, 3)

    def test_a_closed_session_refuses_every_call(self):
        session = session_at(ADDRESS)
        session.close()
        session.close()
        self.assertTrue(session.closed)
        calls = [lambda: session.send("Hello"), lambda: session.ask_flag("Connect"),
                 lambda: session.ask_number("GetAngles"), lambda: session.spectrum(0),
                 lambda: session.last_answer(), lambda: session.cancel(),
                 lambda: session.system_error]
        for call in calls:
            with self.assertRaises(qrnclient.SessionClosedError) as caught:
                call()
            self.assertEqual(caught.exception.status, qrnclient.Status.NOT_SENT)
        # The process's one session is free again.
        with session_at(ADDRESS) as again:
            self.assertEqual(again.send("Hello"), "Hello")
        self.assertTrue(again.closed)

    def test_two_threads_share_a_session(self):
        answers, busy = [], []

        def hello(session):
            for _ in range(20):
                while True:
                    try:
                        answers.append(session.send("Hello"))
                        break
                    except qrnclient.QrnError as error:
                        self.assertEqual(error.status, qrnclient.Status.BUSY)
                        busy.append(error)
                        time.sleep(0.001)

        with session_at(ADDRESS) as session:
            threads = [threading.Thread(target=hello, args=(session,)) for _ in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(30)
        self.assertEqual(answers, ["Hello"] * 40)

    def test_a_call_while_another_waits_is_busy_and_close_cancels_the_wait(self):
        outcome = []
        session = session_at(SILENT)

        def wait():
            try:
                session.send("Hello", timeout_ms=20000)
            except qrnclient.QrnError as error:
                outcome.append(error.status)

        waiting = threading.Thread(target=wait)
        waiting.start()
        time.sleep(0.3)
        with self.assertRaises(qrnclient.QrnError) as caught:
            session.send("Hello", timeout_ms=100)
        self.assertEqual(caught.exception.status, qrnclient.Status.BUSY)
        started = time.time()
        session.close()
        waiting.join(5)
        self.assertLess(time.time() - started, 5)
        self.assertEqual(outcome, [qrnclient.Status.CANCELLED])


class LibraryFound(unittest.TestCase):
    """The module copied into a folder of its own, run from another."""

    def run_copy(self, with_library, variable):
        folder = tempfile.mkdtemp()
        elsewhere = tempfile.mkdtemp()
        try:
            shutil.copy(qrnclient.__file__, folder)
            if with_library:
                for name in ("libqrnclient.so", "libwfapi.so"):
                    shutil.copy(os.path.join(os.path.dirname(LIBRARY), name), folder)
            environment = dict(os.environ, PYTHONPATH=folder, QRN_STANDIN_ADDRESS=ADDRESS)
            environment.pop(qrnclient.LIBRARY_VARIABLE)
            if variable is not None:
                environment[qrnclient.LIBRARY_VARIABLE] = variable
            program = ("import qrnclient\nwith qrnclient.Session() as s: print(s.send('Hello'))")
            return subprocess.run([sys.executable, "-c", program], cwd=elsewhere,
                                  env=environment, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        finally:
            shutil.rmtree(folder)
            shutil.rmtree(elsewhere)

    def test_by_the_environment_variable(self):
        ran = self.run_copy(False, LIBRARY)
        self.assertEqual((ran.returncode, ran.stdout), (0, "Hello\n"), ran.stderr)

    def test_beside_the_module(self):
        ran = self.run_copy(True, None)
        self.assertEqual((ran.returncode, ran.stdout), (0, "Hello\n"), ran.stderr)

    def test_a_variable_naming_no_file_says_so(self):
        ran = self.run_copy(True, "/nonexistent/libqrnclient.so")
        self.assertNotEqual(ran.returncode, 0)
        self.assertIn("LibraryError: qrnclient: QRNCLIENT_LIBRARY names "
                      "/nonexistent/libqrnclient.so, which is not a file", ran.stderr)


if __name__ == "__main__":
    unittest.main()
