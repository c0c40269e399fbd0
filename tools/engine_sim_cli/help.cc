#include "help.h"

namespace engine_sim_cli {

std::string HelpText() {
  return R"(Usage: engine_sim [options]

Loads a vdqrn driver module the way the ICA client engine does, opens its two
virtual channels (QrnCmd1, QrnDta1) and plays the host's part: writes command
texts to a channel and prints each response that comes back on the data
channel.

Options:
  --module PATH    the driver module to load (default: the one beside
                   engine_sim: VDQRN.DLL on Windows, vdqrn.so elsewhere,
                   or VDQRN.DLL as a Linux package names it); with --check:
                   check this module alone, not a client's installation
  --script FILE    read the commands from FILE instead of standard input
  --channel NAME   write the commands to the "command" channel (QrnCmd1,
                   default) or to the "data" channel (QrnDta1)
  --hpc            act as a Windows winstation driver with high-performance
                   mode: responses are sent at once (default: normal mode,
                   where they leave at the engine's next poll). Linux
                   engines have no high-performance mode: there the tool
                   plays the Linux engine unless --hpc is given, and the
                   module a Linux client loads stays in normal mode.
  --log            print the driver's log (QuarnClientDriver.log) at the end
  --check          check mode, for administrators, scripts and management
                   tools: read the client's installation as the client reads
                   it (Linux: its config/module.ini; Windows: the registry of
                   the client's hive and view), then load and open the
                   installed module as the client does and check both
                   channels. One line per finding, each fault with its fix;
                   the exit status is the first fault's (0, or 4-9, 13-21
                   below). No conversation.
  --client DIR     with --check: the client's folder (default: Linux
                   /opt/Citrix/ICAClient; Windows the client the registry
                   names, per machine first, then the user's own)
  --library NAME   with --check: also Init|NAME| (the library ./NAME.so,
                   .\NAME.dll on Windows, from the current folder), Connect
                   and Disconnect
  --report FILE    with --check: also write a support report, a tar archive:
                   the findings, the registration as read, the installed
                   files (size, time, architecture, version), the system's
                   version and the end of the driver's log (its last 2 MB)
  --listen ADDRESS:PORT
                   play the client for the channel stand-in (libwfapi.so,
                   wfapi64.dll, wfapi.dll) instead of reading commands: see
                   "Listening" below
  --allow CHANNEL,FULL-PATH
                   with --listen: the channel opens only for the program at
                   FULL-PATH; repeat for more entries. With any entry the
                   allow list is on: a program not listed for a channel
                   gets error 5 (access denied) when it opens it
  --no-driver      with --listen: a client without the driver installed:
                   channels open, nothing is ever answered
  --driver-not-loaded
                   with --listen: a client whose driver did not load: its
                   channels are not offered, their opens fail with error 2
                   (as they do when the module given does not load)
  --keep-session   with --listen: one client session for every connection,
                   as when programs run one after another in one session:
                   the module is loaded at the first and stays, with what
                   the programs left in it (an instrument library loaded)
  --poll MS        with --listen: normal mode's rule, as a client engine
                   polls: a response leaves only at a poll, every MS
                   milliseconds, and a command written before then replaces
                   the one whose response is pending (default: at once)
  --once           with --listen: serve one session, then exit
  --idle-limit SECONDS
                   with --listen: end a session when its program has sent
                   nothing, or read nothing it was sent, for this long
                   (default 300; 0: never). Another program's connection
                   while one is served is refused at once: its open fails
                   with error 170 (busy)
  --accept-remote  with --listen: accept connections from other machines too
                   (default: loopback addresses only)
  --ready-file FILE
                   with --listen: write ADDRESS:PORT and a line end to FILE
                   once listening, with the port actually bound (port 0
                   picks a free one)
  --version        print the tool's version and architecture
  -h, --help       print this text
An option's value follows as the next argument or after "=" (--module=x).

Commands: one command text per line, exactly as the host writes it (see
docs/protocol.md); the line end (\n or \r\n) is not part of it. Blank lines
and lines starting with "#" are skipped. A line "< RESPONSE" after a command
states the response the script expects, as engine_sim prints it (exactly; or,
ending with "...", one that starts with what comes before). Without --script the commands come
from standard input; at a terminal after a "> " prompt (end with Ctrl+D, on
Windows Ctrl+Z and Enter).

Output: "> command" (not for commands typed at the prompt) and "< response",
with control bytes shown as \r, \n, \t, \0 or \xNN. A response to
GetSpectralDataAll is also drawn as a chart of its 31 values against 400 to
700 nm.

Init|name| loads the instrument library ./name.so (.\name.dll on Windows) from
the current folder. The driver's log goes to a temporary folder of the tool's
own, removed at the end: the log of a client on the same machine stays as it
is.

Listening: engine_sim binds ADDRESS:PORT and takes one connection of the
channel stand-in at a time. Each connection is a client session: the module
is loaded and opened when it starts and closed and unloaded when it ends.
QrnCmd1 and QrnDta1 open when the module opened them, other channels fail
with error 2. Every packet the host writes goes to the module's channel; the
response goes back on QrnDta1 in packets of at most 4996 bytes. The first
line says where it listens; each session's start and end get a line, the
conversation is printed as above. Refused connections and failed opens are
noted on standard error. The stand-in finds engine_sim through the
environment variable QRN_STANDIN_ADDRESS (default 127.0.0.1:47120).

Exit codes:
  0  every command got a response
  1  a command got no response
  2  unknown option, missing or bad option value
  3  the script file cannot be read
  4  the module cannot be loaded (file missing, no Load export, Load failed)
  5  the module refused to open
  6  no temporary folder for the driver's log
  7  --check: a channel did not open, or has no write hook
  8  --check: the library named with --library did not load
  9  --check: the library loaded but did not connect (Connect not OK|true)
 10  --listen: cannot listen on the address (in use, not this machine's)
 11  --listen: the ready file cannot be written
 12  a response other than the script expects (every command answered)
 13  --check: no client in the folder (or none installed)
 14  --check: the client's module list does not name QRN
 15  --check: module.ini has no "QRN = On" in [ICA 3.0]
 16  --check: the module's own entry ([QRN], the QRN key) missing or wrong
 17  --check: VDQRN.DLL is not in the client's folder
 18  --check: the module is not of the client's architecture
 19  --check: an instrument host the client needs is missing
 20  --check: this user cannot write the driver's log
 21  --check: a registration the client may read another way
 22  --check: the report cannot be written

Example, in the folder that holds the module, simspectro and examples/ (an
unpacked package, or build/linux/bin):
  engine_sim --script examples/session.txt
  engine_sim --hpc --log
  engine_sim --check --module vdqrn.so --library simspectro   (VDQRN.DLL in a package)
  engine_sim --listen 127.0.0.1:47120
On a client machine, in the folder the package put engine_sim in:
  engine_sim --check --library simspectro --report report.tar
  > Init|simspectro|
  < OK
)";
}

}  // namespace engine_sim_cli
