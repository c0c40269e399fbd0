// Tests of QrnClient.cs against engine_sim --listen through the stand-in
// (scripts/test_host_side.sh builds them with mcs and runs them with mono):
//
//   QrnClientTests HEADER ADDRESS SILENT-ADDRESS
//
// ADDRESS: a listener with simspectro beside its driver; SILENT-ADDRESS: one
// whose client has no driver (nothing answers). Prints "ok: ..." or
// "FAILED: ..." per check and exits with 1 when one failed.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text.RegularExpressions;
using System.Threading;
using Qrn;

static class QrnClientTests {
  static int failed;

  static void Check(string what, bool passed) {
    Console.WriteLine("{0}: {1}", passed ? "ok" : "FAILED", what);
    if (!passed) ++failed;
  }

  // The status the call threw, or -1 when it threw none.
  static int StatusOf(Action call) {
    try {
      call();
    } catch (QrnException error) {
      return error.Number;
    }
    return -1;
  }

  static QrnSession At(string address) {
    Environment.SetEnvironmentVariable("QRN_STANDIN_ADDRESS", address);
    return new QrnSession();
  }

  static void StatusTable(string header) {
    Match statuses = Regex.Match(File.ReadAllText(header),
                                 @"typedef enum qrn_status \{(.*?)\} qrn_status;",
                                 RegexOptions.Singleline);
    var numbers = new List<int>();
    foreach (Match status in Regex.Matches(statuses.Groups[1].Value,
                                           @"^\s*(QRN_[A-Z_]+) = (\d+)", RegexOptions.Multiline)) {
      int number = int.Parse(status.Groups[2].Value);
      numbers.Add(number);
      var error = new QrnException(number, "why", null, 0);
      Check(status.Groups[1].Value + " is " + number + " (" + error.StatusName + ")",
            error.StatusName == status.Groups[1].Value && (int)error.Status == number &&
            error.Message == status.Groups[1].Value + " (" + number + "): why");
    }
    Check("the header's statuses are the enum's, no more",
          numbers.Count >= 16 && numbers.Count == Enum.GetValues(typeof(QrnStatus)).Length);
    int unknown = numbers.Count;
    Check("a status this file does not know keeps its number",
          new QrnException(unknown, "", null, 0).StatusName == "status " + unknown);
  }

  static void Measurement(string address) {
    using (QrnSession session = At(address)) {
      session.Send("Init|simspectro|", 10000);
      string text = null;
      try {
        session.Spectrum(0);
      } catch (QrnInstrumentException error) {
        text = error.Code + " " + error.Text;
      }
      Check("-1 values before a measurement throw the instrument's error 4 (" + text + ")",
            text == "4 No measurement data");
      Check("and SpectralDataAll gives them as they came",
            Array.TrueForAll(session.SpectralDataAll(0), v => v == QrnSession.NoValue));
      text = null;
      try {
        session.Require("SetOption|Aperture|XYZ|");
      } catch (QrnInstrumentException error) {
        text = error.Code + " " + error.Text;
      }
      Check("OK|false throws the instrument's error (" + text + ")",
            text == "9 Invalid value for setting");
      session.Require("Connect", 10000);
      session.Require("Measure", 10000);
      double[] values = session.Spectrum(1);
      Check("a measurement gives 31 values",
            values.Length == 31 && Array.TrueForAll(values, v => v > 0 && v < 1.5));
      Check("an ERROR answer throws ErrorAnswer with its text",
            StatusOf(() => session.Send("Zero")) == (int)QrnStatus.ErrorAnswer &&
            session.LastAnswer() == "ERROR|Unknown command \"Zero\"");
    }
  }

  static void TimeOutsThreadsAndClose(string address, string silent) {
    QrnSession session = At(silent);
    Check("a command nothing answers times out",
          StatusOf(() => session.Send("Hello", 300)) == (int)QrnStatus.TimedOut);
    int waited = -1;
    var waiting = new Thread(() => { waited = StatusOf(() => session.Send("Hello", 20000)); });
    waiting.Start();
    Thread.Sleep(300);
    Check("a call while another runs is Busy",
          StatusOf(() => session.Send("Hello", 100)) == (int)QrnStatus.Busy);
    DateTime started = DateTime.UtcNow;
    session.Dispose();
    waiting.Join(5000);
    // OutOfStep: the time-out before left the session getting back in step.
    Check("Dispose cancels the waiting call (" + waited + ")",
          (waited == (int)QrnStatus.Cancelled || waited == (int)QrnStatus.OutOfStep) &&
          (DateTime.UtcNow - started).TotalSeconds < 5);
    session.Dispose();
    bool refused = false;
    try {
      session.AskFlag("Connect");
    } catch (ObjectDisposedException) {
      refused = true;
    }
    Check("a disposed session throws ObjectDisposedException", refused && session.IsClosed);

    using (QrnSession again = At(address)) {
      int answers = 0;
      ThreadStart hello = () => {
        for (int i = 0; i < 20; ++i) {
          for (;;) {
            try {
              if (again.Send("Hello") == "Hello") Interlocked.Increment(ref answers);
              break;
            } catch (QrnException error) {
              if (error.Status != QrnStatus.Busy) return;
              Thread.Sleep(1);
            }
          }
        }
      };
      var threads = new[] {new Thread(hello), new Thread(hello)};
      foreach (Thread thread in threads) thread.Start();
      foreach (Thread thread in threads) thread.Join(30000);
      Check("two threads on one session get their own answers", answers == 40);
    }
  }

  static int Main(string[] args) {
    StatusTable(args[0]);
    Measurement(args[1]);
    TimeOutsThreadsAndClose(args[1], args[2]);
    Console.WriteLine(failed == 0 ? "all passed" : failed + " FAILED");
    return failed == 0 ? 0 : 1;
  }
}
