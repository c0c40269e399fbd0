// QrnClient.cs: the host side of the instrument channels, for C# (any
// compiler from C# 5 on: csc, mcs; .NET Framework, .NET, mono). Add this file
// to your project. A QrnSession opens the two virtual channels of the current
// remote session, sends one command at a time and returns its one response,
// through P/Invoke to the client library (qrnclient.dll on Windows,
// libqrnclient.so elsewhere):
//
//   using (var session = new Qrn.QrnSession()) {
//     session.Send("Init|simspectro|", 10000);
//     session.Require("Connect", 10000);
//     session.Require("Measure", 120000);
//     double[] values = session.Spectrum(0);
//   }
//
// Every call throws QrnException when it does not get the answer it asked
// for: the status (its name and number, as qrnclient.h has them), the
// answer's text (the driver's reason after ERROR|) or why there is none, and
// the command. A command that reaches the instrument library always answers
// OK: what the instrument reports comes as data (OK|false, a value of -1).
// AskFlag and SpectralDataAll return that data as it came; Require and
// Spectrum throw QrnInstrumentException for it instead, with the
// instrument's own error code and text (GetLastErrorCode, GetLastErrorString).
// A call on a closed session throws ObjectDisposedException.
//
// The library: the file that QRNCLIENT_LIBRARY names when that is set, else
// the one beside the program's assembly, else the system's search. One
// session per process at a time (qrn_open's rule); a session may be shared by
// threads, and a call made while another runs on it throws QrnException with
// QrnStatus.Busy at once, as the library answers it (Cancel excepted).
using System;
using System.Globalization;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Qrn {

// qrnclient.h's qrn_status: QRN_ and the member's name in capitals, words
// joined by "_" (ErrorAnswer is QRN_ERROR_ANSWER); the values never change.
public enum QrnStatus {
  Ok = 0,
  ErrorAnswer = 1,
  TimedOut = 2,
  NotSent = 3,
  ChannelFailure = 4,
  NoChannelFunctions = 5,
  AccessDenied = 6,
  OpenFailed = 7,
  BadAnswer = 8,
  TextTooLong = 9,
  InvalidArgument = 10,
  IncompleteAnswer = 11,
  OutOfStep = 12,
  Busy = 13,
  Cancelled = 14,
  AlreadyOpen = 15
}

// A call that did not get the answer it asked for.
public class QrnException : Exception {
  // The status; a number this file does not know (a newer library's) is kept
  // in Number, and Status is then that number cast.
  public QrnStatus Status { get; private set; }
  public int Number { get; private set; }
  // The header's name ("QRN_TIMED_OUT"), or "status N" for an unknown one.
  public string StatusName { get; private set; }
  // The answer's text (the reason after ERROR|), or why there is none.
  public string Text { get; private set; }
  // The command sent, or null.
  public string Command { get; private set; }
  // The platform's error number of a failed channel function or open (0: none).
  public uint SystemError { get; private set; }

  public QrnException(int status, string text, string command, uint systemError)
      : this(status, text, command, systemError, null) {}

  protected QrnException(int status, string text, string command, uint systemError,
                         string message)
      : base(message ?? Describe(status, text, command, systemError)) {
    Status = (QrnStatus)status;
    Number = status;
    StatusName = NameOf(status);
    Text = text;
    Command = command;
    SystemError = systemError;
  }

  // The header's name of a status number.
  public static string NameOf(int status) {
    if (!Enum.IsDefined(typeof(QrnStatus), status)) {
      return "status " + status.ToString(CultureInfo.InvariantCulture);
    }
    string name = ((QrnStatus)status).ToString();
    var upper = new StringBuilder("QRN");
    foreach (char c in name) {
      if (char.IsUpper(c)) upper.Append('_');
      upper.Append(char.ToUpperInvariant(c));
    }
    return upper.ToString();
  }

  static string Describe(int status, string text, string command, uint systemError) {
    string message = string.Format(CultureInfo.InvariantCulture, "{0} ({1})", NameOf(status),
                                   status);
    if (command != null) message = command + ": " + message;
    if (!string.IsNullOrEmpty(text)) message += ": " + text;
    if (systemError != 0) {
      message += string.Format(CultureInfo.InvariantCulture, " (system error {0})", systemError);
    }
    return message;
  }
}

// The channel worked (status Ok) but the instrument reported a failure: a
// false, or QrnSession.NoValue where a value was asked for. Code and Text:
// the instrument's GetLastErrorCode and GetLastErrorString (Code null when
// even those were not answered; Text then says why).
public class QrnInstrumentException : QrnException {
  public string Answer { get; private set; }
  public int? Code { get; private set; }

  public QrnInstrumentException(string command, string answer, int? code, string text)
      : base((int)QrnStatus.Ok, text, command, 0, Describe(command, answer, code, text)) {
    Answer = answer;
    Code = code;
  }

  static string Describe(string command, string answer, int? code, string text) {
    string message = command + ": the instrument answered " + answer;
    if (code == null) return message + " (its error could not be asked: " + text + ")";
    return message + string.Format(CultureInfo.InvariantCulture, " (its error {0}: {1})",
                                   code.Value, string.IsNullOrEmpty(text) ? "no text" : text);
  }
}

// The client library could not be loaded: the message names the file and
// where its name came from.
public class QrnLibraryException : Exception {
  public QrnLibraryException(string message) : base(message) {}
}

// An open pair of channels. Dispose it (using does) once done: until then no
// other session opens in this process.
public sealed class QrnSession : IDisposable {
  public const int MaxPacketBytes = 5000;
  public const int MaxCommandBytes = 4996;
  public const int SpectralValues = 31;
  public const uint DefaultTimeoutMs = 5000;
  // What an instrument library returns for a value it could not give (no
  // measurement yet, an index out of range); GetLastErrorCode then says why.
  public const double NoValue = -1.0;
  // The environment variable that names the library file.
  public const string LibraryVariable = "QRNCLIENT_LIBRARY";

  readonly Encoding encoding;
  // Guards the handle, the count of calls inside the library, the one turn
  // and the closing flag: Dispose waits until no call is inside.
  readonly object state = new object();
  IntPtr handle;
  int calls;
  bool busy;
  bool closing;

  // Opens both channels; texts are UTF-8 unless an encoding is given.
  public QrnSession() : this(null) {}

  public QrnSession(Encoding encoding) {
    this.encoding = encoding ?? new UTF8Encoding(false);
    Loader.Load();
    try {
      handle = Open();
    } catch (DllNotFoundException error) {
      throw new QrnLibraryException("qrnclient: the client library is neither beside " +
          typeof(QrnSession).Assembly.Location + " nor found by the system's search; set " +
          LibraryVariable + " to its path (" + error.Message + ")");
    } catch (EntryPointNotFoundException error) {
      throw new QrnLibraryException("qrnclient: not the client library, or an older one: " +
                                    error.Message);
    }
  }

  // Apart from the constructor: mono binds a method's P/Invoke functions
  // when it compiles the method, which must come after Loader.Load.
  [MethodImpl(MethodImplOptions.NoInlining)]
  static IntPtr Open() {
    IntPtr opened;
    int status = Native.qrn_open(out opened);
    if (status != (int)QrnStatus.Ok) {
      // Both are this thread's, kept until its next qrn_open.
      string problem = Marshal.PtrToStringAnsi(Native.qrn_open_problem());
      throw new QrnException(status, problem, null, Native.qrn_system_error(IntPtr.Zero));
    }
    return opened;
  }

  // A session dropped undisposed would keep every later one from opening.
  ~QrnSession() { Dispose(); }

  public bool IsClosed {
    get { lock (state) return handle == IntPtr.Zero || closing; }
  }

  // Ends a call running on another thread (it throws QrnException Cancelled),
  // waits until it has returned, then closes the channels. Again: nothing.
  public void Dispose() {
    IntPtr closed;
    lock (state) {
      if (closing || handle == IntPtr.Zero) {
        while (handle != IntPtr.Zero) Monitor.Wait(state);
        return;
      }
      closing = true;
      closed = handle;
      // A call may be about to enter the library, where one cancel would
      // miss it: cancel until it has returned.
      while (calls > 0) {
        Native.qrn_cancel(closed);
        Monitor.Wait(state, 50);
      }
    }
    Native.qrn_close(closed);
    lock (state) {
      handle = IntPtr.Zero;
      Monitor.PulseAll(state);
    }
    GC.SuppressFinalize(this);
  }

  public void Close() { Dispose(); }

  // From any thread: ends the call running now (it throws QrnException
  // Cancelled once sent, OutOfStep before) or, when none runs, the next one,
  // before it writes anything (OutOfStep).
  public void Cancel() {
    IntPtr session = Enter(null, false);
    try {
      Native.qrn_cancel(session);
    } finally {
      Leave(false);
    }
  }

  // Sends a command and returns its answer's text: after OK|, or the whole
  // of a bare answer (the driver's version). timeoutMs bounds the whole call
  // (0: DefaultTimeoutMs). Throws QrnException for any other status; an
  // ERROR answer's reason is its Text.
  public string Send(string command, uint timeoutMs = 0, bool dataChannel = false) {
    byte[] bytes = encoding.GetBytes(command);
    IntPtr session = Enter(command, true);
    int status;
    byte[] answer;
    uint systemError;
    try {
      // The length first, then the whole answer however long it is.
      UIntPtr length;
      status = Native.qrn_send(session, bytes, bytes.Length, dataChannel ? 1 : 0, timeoutMs, null,
                               UIntPtr.Zero, out length);
      answer = LastAnswerOf(session);
      systemError = Native.qrn_system_error(session);
    } finally {
      Leave(true);
    }
    string text = encoding.GetString(AnswerText(answer));
    if (status != (int)QrnStatus.Ok) throw new QrnException(status, text, command, systemError);
    return text;
  }

  // A numeric answer ("OK|12", "OK|0.5", "OK|inf"). What the instrument
  // gives for a value it does not have comes as it is: NoValue (-1) from
  // GetSpectralData, GetSampleData, GetWavelengthValue.
  public double AskNumber(string command, uint timeoutMs = 0) {
    double value = 0;
    Typed(command, delegate(IntPtr session, byte[] bytes) {
      return Native.qrn_ask_number(session, bytes, timeoutMs, out value);
    });
    return value;
  }

  // A yes/no answer ("OK|true", "OK|false"): false is the instrument's
  // refusal, not an error; Require throws for it.
  public bool AskFlag(string command, uint timeoutMs = 0) {
    int value = 0;
    Typed(command, delegate(IntPtr session, byte[] bytes) {
      return Native.qrn_ask_flag(session, bytes, timeoutMs, out value);
    });
    return value != 0;
  }

  // GetSpectralDataAll|angle|: the 31 values as they came, NoValue (-1)
  // where the instrument had none (all of them before any measurement);
  // Spectrum throws for those.
  public double[] SpectralDataAll(int angle, uint timeoutMs = 0) {
    var values = new double[SpectralValues];
    Typed(SpectralCommand(angle), delegate(IntPtr session, byte[] bytes) {
      return Native.qrn_spectral_data_all(session, angle, timeoutMs, values);
    });
    return values;
  }

  // AskFlag, throwing QrnInstrumentException (with the instrument's error
  // code and text) when the instrument answers false.
  public void Require(string command, uint timeoutMs = 0) {
    if (!AskFlag(command, timeoutMs)) throw InstrumentFailure(command, "false");
  }

  // SpectralDataAll, throwing QrnInstrumentException (with the instrument's
  // error code and text) when a value is NoValue or not a number.
  public double[] Spectrum(int angle, uint timeoutMs = 0) {
    double[] values = SpectralDataAll(angle, timeoutMs);
    int missing = 0;
    foreach (double value in values) {
      if (value == NoValue || double.IsNaN(value)) ++missing;
    }
    if (missing > 0) {
      throw InstrumentFailure(SpectralCommand(angle), string.Format(CultureInfo.InvariantCulture,
          "-1, its value for none, at {0} of {1} wavelengths", missing, SpectralValues));
    }
    return values;
  }

  // The instrument's last error: GetLastErrorCode, and GetLastErrorString in text.
  public int InstrumentError(out string text, uint timeoutMs = 0) {
    int code = (int)AskNumber("GetLastErrorCode", timeoutMs);
    text = Send("GetLastErrorString", timeoutMs);
    return code;
  }

  // The last call's response exactly as it came ("OK|12abc",
  // "ERROR|No driver loaded"), or why none came.
  public string LastAnswer() { return encoding.GetString(LastAnswerBytes()); }

  public byte[] LastAnswerBytes() {
    IntPtr session = Enter(null, true);
    try {
      return LastAnswerOf(session);
    } finally {
      Leave(true);
    }
  }

  // The platform's error number of the last call that failed on a channel.
  public uint SystemError {
    get {
      IntPtr session = Enter(null, true);
      try {
        return Native.qrn_system_error(session);
      } finally {
        Leave(true);
      }
    }
  }

  delegate int TypedCall(IntPtr session, byte[] command);

  void Typed(string command, TypedCall call) {
    // A zero byte closes the command for the typed calls.
    byte[] bytes = encoding.GetBytes(command + "\0");
    IntPtr session = Enter(command, true);
    int status;
    byte[] answer;
    uint systemError;
    try {
      status = call(session, bytes);
      if (status == (int)QrnStatus.Ok) return;
      answer = LastAnswerOf(session);
      systemError = Native.qrn_system_error(session);
    } finally {
      Leave(true);
    }
    throw new QrnException(status, encoding.GetString(AnswerText(answer)), command, systemError);
  }

  QrnInstrumentException InstrumentFailure(string command, string answer) {
    try {
      string text;
      int code = InstrumentError(out text);
      return new QrnInstrumentException(command, answer, code, text);
    } catch (QrnException error) {
      return new QrnInstrumentException(command, answer, null, error.Message);
    }
  }

  static string SpectralCommand(int angle) {
    return "GetSpectralDataAll|" + angle.ToString(CultureInfo.InvariantCulture) + "|";
  }

  // The handle, for a call that counts as inside the library until Leave. An
  // exclusive one (all but Cancel) holds the session's one turn, so that its
  // answer and its last answer are its own.
  IntPtr Enter(string command, bool exclusive) {
    lock (state) {
      if (handle == IntPtr.Zero || closing) {
        throw new ObjectDisposedException("QrnSession",
            (command == null ? "" : command + ": ") + "the session is closed: nothing was sent");
      }
      if (exclusive) {
        if (busy) {
          throw new QrnException((int)QrnStatus.Busy, "another call on this session is running",
                                 command, 0);
        }
        busy = true;
      }
      ++calls;
      return handle;
    }
  }

  void Leave(bool exclusive) {
    lock (state) {
      if (exclusive) busy = false;
      --calls;
      Monitor.PulseAll(state);
    }
  }

  static byte[] LastAnswerOf(IntPtr session) {
    UIntPtr length;
    if (Native.qrn_last_answer(session, null, UIntPtr.Zero, out length) != 0) return new byte[0];
    var text = new byte[(int)length + 1];
    Native.qrn_last_answer(session, text, (UIntPtr)text.Length, out length);
    var answer = new byte[(int)length];
    Array.Copy(text, answer, answer.Length);
    return answer;
  }

  // The text of a response as qrn_send gives it: after OK| or ERROR|, or the
  // whole of any other response (or of why none came).
  static byte[] AnswerText(byte[] answer) {
    foreach (string kind in new[] {"OK", "ERROR"}) {
      int n = kind.Length;
      bool starts = answer.Length >= n;
      for (int i = 0; starts && i < n; ++i) starts = answer[i] == kind[i];
      if (!starts) continue;
      if (answer.Length == n) return new byte[0];
      if (answer[n] != '|') continue;
      var text = new byte[answer.Length - n - 1];
      Array.Copy(answer, n + 1, text, 0, text.Length);
      return text;
    }
    return answer;
  }

  // Loads the library by its path before the first P/Invoke, where
  // QRNCLIENT_LIBRARY names one or the program's folder holds one: the
  // runtime's own look-up of "qrnclient" then takes the loaded copy (the
  // system matches a loaded library by its name).
  static class Loader {
    static readonly object loading = new object();
    static bool loaded;

    public static void Load() {
      lock (loading) {
        if (loaded) return;
        bool windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
        string fileName = windows ? "qrnclient.dll" : "libqrnclient.so";
        string path = Environment.GetEnvironmentVariable(LibraryVariable);
        string origin = LibraryVariable;
        if (string.IsNullOrEmpty(path)) {
          string folder = Path.GetDirectoryName(typeof(QrnSession).Assembly.Location);
          path = string.IsNullOrEmpty(folder) ? null : Path.Combine(folder, fileName);
          origin = "beside " + typeof(QrnSession).Assembly.Location;
          if (path == null || !File.Exists(path)) {
            loaded = true;  // the system's search, at the first call
            return;
          }
        } else if (!File.Exists(path)) {
          throw new QrnLibraryException("qrnclient: " + LibraryVariable + " names " + path +
                                        ", which is not a file");
        }
        path = Path.GetFullPath(path);
        if (windows) {
          if (LoadLibraryW(path) == IntPtr.Zero) {
            throw new QrnLibraryException(string.Format(CultureInfo.InvariantCulture,
                "qrnclient: cannot load {0} (from {1}): error {2}", path, origin,
                Marshal.GetLastWin32Error()));
          }
        } else if (dlopen(path, 2 /* RTLD_NOW */) == IntPtr.Zero) {
          throw new QrnLibraryException("qrnclient: cannot load " + path + " (from " + origin +
                                        "): " + Marshal.PtrToStringAnsi(dlerror()));
        }
        loaded = true;
      }
    }

    [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern IntPtr LoadLibraryW(string path);
    [DllImport("libdl.so.2")]
    static extern IntPtr dlopen(string path, int flags);
    [DllImport("libdl.so.2")]
    static extern IntPtr dlerror();
  }

  // qrnclient.h. Winapi: __stdcall on 32-bit Windows, the platform's only
  // convention everywhere else.
  static class Native {
    const string Library = "qrnclient";
    const CallingConvention Convention = CallingConvention.Winapi;

    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_open(out IntPtr session);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern void qrn_close(IntPtr session);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_cancel(IntPtr session);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_send(IntPtr session, byte[] command, int length,
                                      int onDataChannel, uint timeoutMs, byte[] text,
                                      UIntPtr capacity, out UIntPtr textLength);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_ask_number(IntPtr session, byte[] command, uint timeoutMs,
                                            out double value);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_ask_flag(IntPtr session, byte[] command, uint timeoutMs,
                                          out int value);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_spectral_data_all(IntPtr session, int angle, uint timeoutMs,
                                                   [Out] double[] values);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int qrn_last_answer(IntPtr session, byte[] text, UIntPtr capacity,
                                             out UIntPtr textLength);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern uint qrn_system_error(IntPtr session);
    [DllImport(Library, CallingConvention = Convention)]
    public static extern IntPtr qrn_open_problem();
  }
}

}  // namespace Qrn
