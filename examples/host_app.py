#!/usr/bin/env python3
"""A host application in Python, on the client library's C interface through
ctypes: loads the instrument library on the client, connects, measures and
prints the 31 spectral values, 400 to 700 nm.

    python3 host_app.py [PATH-OF-THE-LIBRARY]

without a path: qrnclient.dll (Windows) or libqrnclient.so (elsewhere) from
the system's library path."""
import ctypes
import os
import struct
import sys

OK = 0
SPECTRAL_VALUES = 31


def load(path):
    # __stdcall on 32-bit Windows; the platform's only convention elsewhere.
    if os.name == "nt" and struct.calcsize("P") == 4:
        library = ctypes.WinDLL(path)
    else:
        library = ctypes.CDLL(path)
    session_p = ctypes.POINTER(ctypes.c_void_p)
    library.qrn_open.argtypes = [session_p]
    library.qrn_close.argtypes = [ctypes.c_void_p]
    library.qrn_close.restype = None
    library.qrn_send.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                 ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t,
                                 ctypes.POINTER(ctypes.c_size_t)]
    library.qrn_last_answer.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                        ctypes.POINTER(ctypes.c_size_t)]
    library.qrn_spectral_data_all.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint,
                                              ctypes.POINTER(ctypes.c_double)]
    library.qrn_system_error.argtypes = [ctypes.c_void_p]
    library.qrn_system_error.restype = ctypes.c_uint
    library.qrn_open_problem.restype = ctypes.c_char_p
    library.qrn_status_name.restype = ctypes.c_char_p
    return library


def last_answer(library, session):
    """The last call's whole answer, however long: its size first."""
    length = ctypes.c_size_t()
    library.qrn_last_answer(session, None, 0, ctypes.byref(length))
    text = ctypes.create_string_buffer(length.value + 1)
    library.qrn_last_answer(session, text, len(text), ctypes.byref(length))
    return text.raw[:length.value].decode("utf-8", "replace")


def ask(library, session, command, timeout_ms):
    length = ctypes.c_size_t()
    status = library.qrn_send(session, command.encode(), -1, 0, timeout_ms, None, 0,
                              ctypes.byref(length))
    if status != OK:
        print("%s: %s %s" % (command, library.qrn_status_name(status).decode(),
                             last_answer(library, session)), file=sys.stderr)
    return status == OK


def main():
    default = "qrnclient.dll" if os.name == "nt" else "libqrnclient.so"
    library = load(sys.argv[1] if len(sys.argv) > 1 else default)
    session = ctypes.c_void_p()
    status = library.qrn_open(ctypes.byref(session))
    if status != OK:
        print("%s (error %d): %s" % (library.qrn_status_name(status).decode(),
                                     library.qrn_system_error(None),
                                     library.qrn_open_problem().decode()), file=sys.stderr)
        return 1
    try:
        if not (ask(library, session, "Init|simspectro|", 10000) and
                ask(library, session, "Connect", 10000) and
                ask(library, session, "Measure", 120000)):
            return 1
        values = (ctypes.c_double * SPECTRAL_VALUES)()
        status = library.qrn_spectral_data_all(session, 0, 5000, values)
        if status != OK:
            print("GetSpectralDataAll: %s %s" % (library.qrn_status_name(status).decode(),
                                                 last_answer(library, session)), file=sys.stderr)
            return 1
        for i, value in enumerate(values):
            print("%d nm: %.6g" % (400 + 10 * i, value))
        return 0
    finally:
        library.qrn_close(session)


if __name__ == "__main__":
    sys.exit(main())
