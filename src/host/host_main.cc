// The instrument host: a small program of one architecture that runs an
// instrument library of that architecture for a driver module of another
// (a 32-bit library behind a 64-bit client). The module starts it with the
// private channel as its one argument; it ends when the module closes the
// channel or its parent ends. It writes nothing, anywhere, but its replies.
#include "host/host_server.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  vdqrn::platform::ChannelEnd channel;
  if (argc != 2 || !vdqrn::platform::OpenParentChannel(argv[1], &channel)) return 64;
  return vdqrn::ServeChannel(channel);
}
