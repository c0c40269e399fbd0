// A host application in C#, on QrnClient.cs (the kit's C# session class):
// loads the instrument library on the client, connects, measures and prints
// the 31 spectral values, 400 to 700 nm. A failure, of the channel or of the
// instrument, is reported with its reason, and the program exits with 1.
//
//   HostApp [INSTRUMENT-LIBRARY]      (default: simspectro)
//
// Builds with any C# compiler from C# 5 on, together with QrnClient.cs
// (mcs HostApp.cs ../QrnClient.cs; csc HostApp.cs ..\QrnClient.cs), and runs
// beside qrnclient.dll (Windows) or libqrnclient.so (or where
// QRNCLIENT_LIBRARY names it).
using System;
using System.Globalization;

static class HostApp {
  static int Main(string[] args) {
    string library = args.Length > 0 ? args[0] : "simspectro";
    double[] values;
    try {
      using (var session = new Qrn.QrnSession()) {
        session.Send("Init|" + library + "|", 10000);
        // Connect and Measure answer OK|false when the instrument refuses:
        // Require throws for that, with the instrument's error code and text.
        session.Require("Connect", 10000);
        session.Require("Measure", 120000);
        // Throws where the instrument gave -1, its value for "none".
        values = session.Spectrum(0, 5000);
      }
    } catch (Qrn.QrnException error) {
      Console.Error.WriteLine(error.Message);
      return 1;
    } catch (Qrn.QrnLibraryException error) {
      Console.Error.WriteLine(error.Message);
      return 1;
    }
    for (int i = 0; i < values.Length; ++i) {
      Console.WriteLine("{0} nm: {1}", 400 + 10 * i,
                        values[i].ToString("G6", CultureInfo.InvariantCulture));
    }
    return 0;
  }
}
