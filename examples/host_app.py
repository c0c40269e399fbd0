#!/usr/bin/env python3
"""A host application in Python, on the qrnclient module: loads the
instrument library on the client, connects, measures and prints the 31
spectral values, 400 to 700 nm. A failure, of the channel or of the
instrument, is reported with its reason, and the program exits with 1.

    python3 host_app.py [INSTRUMENT-LIBRARY]      (default: simspectro)

qrnclient.py must be importable: on PYTHONPATH, beside this file, or in the
folder above it (an unpacked host kit). It finds the client library as its
text says (QRNCLIENT_LIBRARY, or beside the module)."""
import os
import sys

try:
    import qrnclient
except ImportError:
    # Run from an unpacked host kit's examples folder: the module is in the kit's root.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
    import qrnclient


def main():
    library = sys.argv[1] if len(sys.argv) > 1 else "simspectro"
    try:
        with qrnclient.Session() as session:
            session.send("Init|%s|" % library, timeout_ms=10000)
            # Connect and Measure answer OK|false when the instrument refuses:
            # require raises for that, with the instrument's error code and text.
            session.require("Connect", timeout_ms=10000)
            session.require("Measure", timeout_ms=120000)
            # Raises where the instrument gave -1, its value for "none".
            values = session.spectrum(0, timeout_ms=5000)
    except (qrnclient.QrnError, qrnclient.LibraryError) as error:
        print(error, file=sys.stderr)
        return 1
    for i, value in enumerate(values):
        print("%d nm: %.6g" % (400 + 10 * i, value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
