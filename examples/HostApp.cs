// A host application in C#, on the client library's C interface: loads the
// instrument library on the client, connects, measures and prints the 31
// spectral values, 400 to 700 nm. Builds with any C# compiler (mcs
// HostApp.cs; csc HostApp.cs) and runs beside qrnclient.dll (Windows) or
// libqrnclient.so (Linux, on the library path).
using System;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;

static class HostApp {
  // qrnclient.dll on Windows, libqrnclient.so elsewhere. Winapi: __stdcall
  // on 32-bit Windows, the platform's only convention everywhere else.
  const string Library = "qrnclient";
  const CallingConvention Convention = CallingConvention.Winapi;
  const int Ok = 0;
  const int SpectralValues = 31;

  [DllImport(Library, CallingConvention = Convention)]
  static extern int qrn_open(out IntPtr session);
  [DllImport(Library, CallingConvention = Convention)]
  static extern void qrn_close(IntPtr session);
  [DllImport(Library, CallingConvention = Convention)]
  static extern int qrn_send(IntPtr session, byte[] command, int length, int onDataChannel,
                             uint timeoutMs, byte[] text, UIntPtr capacity, out UIntPtr textLength);
  [DllImport(Library, CallingConvention = Convention)]
  static extern int qrn_last_answer(IntPtr session, byte[] text, UIntPtr capacity,
                                    out UIntPtr textLength);
  [DllImport(Library, CallingConvention = Convention)]
  static extern int qrn_spectral_data_all(IntPtr session, int angle, uint timeoutMs,
                                          [Out] double[] values);
  [DllImport(Library, CallingConvention = Convention)]
  static extern uint qrn_system_error(IntPtr session);
  [DllImport(Library, CallingConvention = Convention)]
  static extern IntPtr qrn_open_problem();
  [DllImport(Library, CallingConvention = Convention)]
  static extern IntPtr qrn_status_name(int status);

  static string StatusName(int status) { return Marshal.PtrToStringAnsi(qrn_status_name(status)); }

  // The last call's whole answer, however long: its size first.
  static string LastAnswer(IntPtr session) {
    UIntPtr length;
    qrn_last_answer(session, null, UIntPtr.Zero, out length);
    byte[] text = new byte[(int)length + 1];
    qrn_last_answer(session, text, (UIntPtr)text.Length, out length);
    return Encoding.UTF8.GetString(text, 0, (int)length);
  }

  // Sends a command; on failure prints why and returns false.
  static bool Ask(IntPtr session, string command, uint timeoutMs) {
    byte[] bytes = Encoding.UTF8.GetBytes(command);
    UIntPtr length;
    int status = qrn_send(session, bytes, bytes.Length, 0, timeoutMs, null, UIntPtr.Zero, out length);
    if (status == Ok) return true;
    Console.Error.WriteLine("{0}: {1} {2}", command, StatusName(status), LastAnswer(session));
    return false;
  }

  static int Main() {
    IntPtr session;
    int status = qrn_open(out session);
    if (status != Ok) {
      Console.Error.WriteLine("{0} (error {1}): {2}", StatusName(status),
                              qrn_system_error(IntPtr.Zero),
                              Marshal.PtrToStringAnsi(qrn_open_problem()));
      return 1;
    }
    int exitCode = 1;
    try {
      if (Ask(session, "Init|simspectro|", 10000) && Ask(session, "Connect", 10000) &&
          Ask(session, "Measure", 120000)) {
        double[] values = new double[SpectralValues];
        status = qrn_spectral_data_all(session, 0, 5000, values);
        if (status == Ok) {
          for (int i = 0; i < SpectralValues; ++i) {
            Console.WriteLine("{0} nm: {1}", 400 + 10 * i,
                              values[i].ToString("G6", CultureInfo.InvariantCulture));
          }
          exitCode = 0;
        } else {
          Console.Error.WriteLine("GetSpectralDataAll: {0} {1}", StatusName(status),
                                  LastAnswer(session));
        }
      }
    } finally {
      qrn_close(session);
    }
    return exitCode;
  }
}
