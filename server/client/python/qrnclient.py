"""qrnclient: the host side of the instrument channels, for Python 3.7 and later.

A Session opens the two virtual channels of the current remote session, sends
one command at a time and returns its one response. It wraps the client
library (qrnclient.dll on Windows, libqrnclient.so elsewhere) through ctypes::

    import qrnclient

    with qrnclient.Session() as session:
        session.send("Init|simspectro|", timeout_ms=10000)
        session.require("Connect", timeout_ms=10000)
        session.require("Measure", timeout_ms=120000)
        values = session.spectrum(0)

Every call raises QrnError when it does not get the answer it asked for: the
exception carries the status (its name and number, as qrnclient.h has them),
the answer's text (the driver's reason after ERROR|) or why there is none, and
the command. A command that reaches the instrument library always answers OK:
what the instrument reports comes as data (OK|false, a value of -1).
ask_flag and spectral_data_all return that data as it came; require and
spectrum raise InstrumentError for it instead, with the instrument's own error
code and text (GetLastErrorCode, GetLastErrorString).

The library: the file that QRNCLIENT_LIBRARY names when that is set, else the
one beside this module, else the system's search (the loader's path; PATH on
Windows). One session per process at a time (qrn_open's rule); a session may be
shared by threads, and a call made while another runs on it raises QrnError
with Status.BUSY at once, as the library answers it (cancel excepted). Texts
go out encoded and come back decoded with the session's encoding (UTF-8 unless
given); bytes commands are sent as they are, and last_answer_bytes gives an
answer's bytes unchanged.
"""
import ctypes
import enum
import os
import struct
import threading

__all__ = ["Session", "Status", "QrnError", "InstrumentError", "SessionClosedError",
           "LibraryError", "load_library", "status_name", "LIBRARY_VARIABLE", "NO_VALUE",
           "MAX_PACKET_BYTES", "MAX_COMMAND_BYTES", "SPECTRAL_VALUES", "DEFAULT_TIMEOUT_MS"]

# As qrnclient.h defines them.
MAX_PACKET_BYTES = 5000
MAX_COMMAND_BYTES = 4996
SPECTRAL_VALUES = 31
DEFAULT_TIMEOUT_MS = 5000
# The environment variable that names the library file.
LIBRARY_VARIABLE = "QRNCLIENT_LIBRARY"
# What an instrument library returns for a value it could not give (no
# measurement yet, an index out of range); GetLastErrorCode then says why.
NO_VALUE = -1.0


class Status(enum.IntEnum):
    """qrnclient.h's qrn_status: QRN_ and the member's name; the values never change."""
    OK = 0
    ERROR_ANSWER = 1
    TIMED_OUT = 2
    NOT_SENT = 3
    CHANNEL_FAILURE = 4
    NO_CHANNEL_FUNCTIONS = 5
    ACCESS_DENIED = 6
    OPEN_FAILED = 7
    BAD_ANSWER = 8
    TEXT_TOO_LONG = 9
    INVALID_ARGUMENT = 10
    INCOMPLETE_ANSWER = 11
    OUT_OF_STEP = 12
    BUSY = 13
    CANCELLED = 14
    ALREADY_OPEN = 15


def status_name(status):
    """The header's name of a status number ("QRN_TIMED_OUT"), or "status N" for
    one this module does not know (a newer library's)."""
    try:
        return "QRN_" + Status(status).name
    except ValueError:
        return "status %d" % status


class QrnError(Exception):
    """A call that did not get the answer it asked for.

    status: a Status (or the plain number of one this module does not know);
    number and name: the status's number and header name; text: the answer's
    text (the reason after ERROR|), or why there is none; command: the command
    sent, when there was one; system_error: the platform's error number of a
    failed channel function or open (0: none)."""

    def __init__(self, status, text="", command=None, system_error=0):
        number = int(status)
        try:
            self.status = Status(number)
        except ValueError:
            self.status = number
        self.number = number
        self.name = status_name(number)
        self.text = text
        self.command = command
        self.system_error = system_error
        Exception.__init__(self, self._message())

    def _message(self):
        message = "%s (%d)" % (self.name, self.number)
        if self.command is not None:
            message = "%s: %s" % (_printable(self.command), message)
        if self.text:
            message += ": " + self.text
        if self.system_error:
            message += " (system error %d)" % self.system_error
        return message


class InstrumentError(QrnError):
    """The channel worked (status OK) but the instrument reported a failure: a
    false, or NO_VALUE where a value was asked for. answer: what it answered;
    code and text: the instrument's GetLastErrorCode and GetLastErrorString
    (code None when even those were not answered)."""

    def __init__(self, command, answer, code, text):
        self.answer = answer
        self.code = code
        QrnError.__init__(self, Status.OK, text, command)

    def _message(self):
        message = "%s: the instrument answered %s" % (_printable(self.command), self.answer)
        if self.code is None:
            return message + " (its error could not be asked: %s)" % self.text
        return message + " (its error %d: %s)" % (self.code, self.text or "no text")


class SessionClosedError(QrnError):
    """A call on a session after close (or while it closes): nothing was sent."""

    def __init__(self, command=None):
        QrnError.__init__(self, Status.NOT_SENT, "the session is closed", command)


class LibraryError(OSError):
    """The client library could not be loaded: the message names the file and
    where its name came from."""


def _printable(command):
    if isinstance(command, bytes):
        return command.decode("utf-8", "replace")
    return command


def _library_file_name():
    return "qrnclient.dll" if os.name == "nt" else "libqrnclient.so"


def _library_path():
    """The library file to load, and where that choice came from."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return named, LIBRARY_VARIABLE
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _library_file_name())
    if os.path.isfile(beside):
        return beside, "beside " + os.path.abspath(__file__)
    return _library_file_name(), "the system's search"


_libraries = {}
_libraries_lock = threading.Lock()


def load_library(path=None):
    """The client library, loaded once per file and declared for ctypes: the
    file given, else as the module's text says."""
    origin = "the caller"
    if path is None:
        path, origin = _library_path()
    with _libraries_lock:
        if path in _libraries:
            return _libraries[path]
        # __stdcall on 32-bit Windows; the platform's only convention elsewhere.
        loader = ctypes.CDLL
        if os.name == "nt" and struct.calcsize("P") == 4:
            loader = ctypes.WinDLL
        if origin == LIBRARY_VARIABLE and not os.path.isfile(path):
            raise LibraryError("qrnclient: %s names %s, which is not a file"
                               % (LIBRARY_VARIABLE, path))
        try:
            library = loader(path)
        except OSError as error:
            raise LibraryError("qrnclient: cannot load %s (from %s): %s; set %s to the library's "
                               "path" % (path, origin, error, LIBRARY_VARIABLE))
        _declare(library)
        _libraries[path] = library
        return library


def _declare(library):
    handle = ctypes.c_void_p
    size_p = ctypes.POINTER(ctypes.c_size_t)
    functions = [
        ("qrn_open", ctypes.c_int, [ctypes.POINTER(ctypes.c_void_p)]),
        ("qrn_close", None, [handle]),
        ("qrn_cancel", ctypes.c_int, [handle]),
        ("qrn_send", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t, size_p]),
        ("qrn_ask_number", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_uint,
                                          ctypes.POINTER(ctypes.c_double)]),
        ("qrn_ask_flag", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_uint,
                                        ctypes.POINTER(ctypes.c_int)]),
        ("qrn_spectral_data_all", ctypes.c_int, [handle, ctypes.c_int, ctypes.c_uint,
                                                 ctypes.POINTER(ctypes.c_double)]),
        ("qrn_last_answer", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_size_t, size_p]),
        ("qrn_system_error", ctypes.c_uint, [handle]),
        ("qrn_open_problem", ctypes.c_char_p, []),
        ("qrn_status_name", ctypes.c_char_p, [ctypes.c_int]),
    ]
    for name, result, arguments in functions:
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryError("qrnclient: %s has no function %s: not the client library, or "
                               "an older one" % (library._name, name))
        function.restype = result
        function.argtypes = arguments


class Session(object):
    """An open pair of channels. Use it with `with`, or call close() once done:
    until then no other session opens in this process.

    Session(library=None, encoding="utf-8"): library is the client library's
    path (default: as the module's text says)."""

    def __init__(self, library=None, encoding="utf-8"):
        self._library = load_library(library)
        self._encoding = encoding
        # Guards the handle, the count of calls inside the library and the
        # closing flag: close waits until no call is inside before freeing.
        self._state = threading.Condition()
        self._calls = 0
        self._busy = False
        self._closing = False
        self._handle = None
        handle = ctypes.c_void_p()
        status = self._library.qrn_open(ctypes.byref(handle))
        if status != Status.OK:
            # Both are this thread's, kept until its next qrn_open.
            problem = (self._library.qrn_open_problem() or b"").decode(encoding, "replace")
            raise QrnError(status, problem, system_error=self._library.qrn_system_error(None))
        self._handle = handle

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        self.close()
        return False

    def __del__(self):
        # A session dropped unclosed would keep every later one from opening.
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self):
        with self._state:
            return self._handle is None or self._closing

    def close(self):
        """Ends a call running on another thread (it raises QrnError CANCELLED),
        waits until it has returned, then closes the channels. Closing again
        does nothing; any other call afterwards raises SessionClosedError."""
        with self._state:
            if self._closing or self._handle is None:
                while self._handle is not None:
                    self._state.wait()
                return
            self._closing = True
            handle = self._handle
            # A call may be about to enter the library, where one cancel
            # would miss it: cancel until it has returned.
            while self._calls:
                self._library.qrn_cancel(handle)
                self._state.wait(0.05)
        self._library.qrn_close(handle)
        with self._state:
            self._handle = None
            self._state.notify_all()

    def cancel(self):
        """From any thread: ends the call running now (it raises QrnError
        with Status.CANCELLED once sent, OUT_OF_STEP before) or, when none
        runs, the next one, before it writes anything (OUT_OF_STEP)."""
        handle = self._enter(None, exclusive=False)
        try:
            self._library.qrn_cancel(handle)
        finally:
            self._leave(exclusive=False)

    def send(self, command, timeout_ms=0, data_channel=False):
        """Sends a command (str, or bytes as they are) and returns its answer's
        text: after OK|, or the whole of a bare answer (the driver's version).
        timeout_ms bounds the whole call (0: DEFAULT_TIMEOUT_MS). Raises
        QrnError for any other status; an ERROR answer's reason is its text."""
        data = self._command_bytes(command)
        length = ctypes.c_size_t()
        handle = self._enter(command)
        try:
            # The length first, then the whole answer however long it is.
            status = self._library.qrn_send(handle, data, len(data), 1 if data_channel else 0,
                                            timeout_ms, None, 0, ctypes.byref(length))
            answer = self._last_answer(handle)
            system_error = self._library.qrn_system_error(handle)
        finally:
            self._leave()
        text = self._decode(_answer_text(answer))
        if status != Status.OK:
            raise QrnError(status, text, command, system_error)
        return text

    def ask_number(self, command, timeout_ms=0):
        """A numeric answer ("OK|12", "OK|0.5", "OK|inf") as a float. What the
        instrument gives for a value it does not have comes as it is: NO_VALUE
        (-1) from GetSpectralData, GetSampleData, GetWavelengthValue."""
        value = ctypes.c_double()
        self._typed(command, lambda handle, data: self._library.qrn_ask_number(
            handle, data, timeout_ms, ctypes.byref(value)))
        return value.value

    def ask_flag(self, command, timeout_ms=0):
        """A yes/no answer ("OK|true", "OK|false") as a bool: False is the
        instrument's refusal, not an error; require raises for it."""
        value = ctypes.c_int()
        self._typed(command, lambda handle, data: self._library.qrn_ask_flag(
            handle, data, timeout_ms, ctypes.byref(value)))
        return value.value != 0

    def spectral_data_all(self, angle, timeout_ms=0):
        """GetSpectralDataAll|angle|: the 31 values as they came, NO_VALUE (-1)
        where the instrument had none (all of them before any measurement);
        spectrum raises for those."""
        values = (ctypes.c_double * SPECTRAL_VALUES)()
        command = "GetSpectralDataAll|%d|" % angle
        self._typed(command, lambda handle, data: self._library.qrn_spectral_data_all(
            handle, angle, timeout_ms, values))
        return list(values)

    def require(self, command, timeout_ms=0):
        """ask_flag, raising InstrumentError (with the instrument's error code
        and text) when the instrument answers false."""
        if not self.ask_flag(command, timeout_ms):
            raise self._instrument_error(command, "false")

    def spectrum(self, angle, timeout_ms=0):
        """spectral_data_all, raising InstrumentError (with the instrument's
        error code and text) when a value is NO_VALUE or not a number."""
        values = self.spectral_data_all(angle, timeout_ms)
        missing = [i for i, value in enumerate(values) if value == NO_VALUE or value != value]
        if missing:
            raise self._instrument_error(
                "GetSpectralDataAll|%d|" % angle,
                "%g, its value for none, at %d of %d wavelengths"
                % (values[missing[0]], len(missing), SPECTRAL_VALUES))
        return values

    def instrument_error(self, timeout_ms=0):
        """The instrument's last error: (GetLastErrorCode, GetLastErrorString)."""
        code = int(self.ask_number("GetLastErrorCode", timeout_ms))
        return code, self.send("GetLastErrorString", timeout_ms)

    def last_answer(self):
        """The last call's response exactly as it came ("OK|12abc",
        "ERROR|No driver loaded"), decoded; or why none came."""
        return self._decode(self.last_answer_bytes())

    def last_answer_bytes(self):
        handle = self._enter(None)
        try:
            return self._last_answer(handle)
        finally:
            self._leave()

    @property
    def system_error(self):
        """The platform's error number of the last call that failed on a channel."""
        handle = self._enter(None)
        try:
            return self._library.qrn_system_error(handle)
        finally:
            self._leave()

    def _instrument_error(self, command, answer):
        try:
            code, text = self.instrument_error()
        except QrnError as error:
            code, text = None, str(error)
        return InstrumentError(command, answer, code, text)

    def _typed(self, command, call):
        data = self._command_bytes(command)
        handle = self._enter(command)
        try:
            status = call(handle, data)
            if status == Status.OK:
                return
            answer = self._last_answer(handle)
            system_error = self._library.qrn_system_error(handle)
        finally:
            self._leave()
        raise QrnError(status, self._decode(_answer_text(answer)), command, system_error)

    def _enter(self, command, exclusive=True):
        """The handle, for a call that counts as inside the library until
        _leave. An exclusive one (all but cancel) holds the session's one turn,
        so that its answer and its last answer are its own."""
        with self._state:
            if self._handle is None or self._closing:
                raise SessionClosedError(command)
            if exclusive:
                if self._busy:
                    raise QrnError(Status.BUSY, "another call on this session is running",
                                   command)
                self._busy = True
            self._calls += 1
            return self._handle

    def _leave(self, exclusive=True):
        with self._state:
            if exclusive:
                self._busy = False
            self._calls -= 1
            self._state.notify_all()

    def _last_answer(self, handle):
        length = ctypes.c_size_t()
        if self._library.qrn_last_answer(handle, None, 0, ctypes.byref(length)) != Status.OK:
            return b""
        text = ctypes.create_string_buffer(length.value + 1)
        self._library.qrn_last_answer(handle, text, len(text), ctypes.byref(length))
        return text.raw[:length.value]

    def _command_bytes(self, command):
        if isinstance(command, bytes):
            return command
        return command.encode(self._encoding)

    def _decode(self, data):
        return data.decode(self._encoding, "replace")


def _answer_text(answer):
    """The text of a response as qrn_send gives it: after OK| or ERROR|, or the
    whole of any other response (or of why none came)."""
    for kind in (b"OK", b"ERROR"):
        if answer == kind:
            return b""
        if answer.startswith(kind + b"|"):
            return answer[len(kind) + 1:]
    return answer
