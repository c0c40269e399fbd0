// The instrument host's decoder of the module's requests, fed any bytes, with
// the recording library loaded: a request it takes gets a reply, one it
// refuses gets none (the host and the module then part); it never reads
// outside the request. Requests to load another library are left out: they
// would load whatever the bytes name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host_server.h"
#include "platform/platform.h"
#include "recording_controls.h"

namespace vdqrn {
namespace {

HostServer& Server() {
  static HostServer* server = [] {
    auto* created = new HostServer;
    host_protocol::Writer load;
    load.U8(host_protocol::kLoad);
    // The module sends the library's file as it found it.
    load.Text(platform::LocateLibrary((std::string(platform::kLocalLibraryPrefix) +
                                       "recordingspectro" + platform::kLibrarySuffix)
                                          .c_str()));
    host_protocol::Writer reply;
    host_protocol::Writer loaded;  // loaded, and no reason why not
    loaded.Bool(true);
    loaded.Text("");
    if (!created->Answer(load.Bytes(), &reply) || reply.Bytes() != loaded.Bytes()) {
      std::fprintf(stderr, "fuzz_host_request: recordingspectro does not load\n");
      std::abort();
    }
    return created;
  }();
  return *server;
}

}  // namespace
}  // namespace vdqrn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && (data[0] == vdqrn::host_protocol::kLoad ||
                   data[0] == vdqrn::host_protocol::kUnload)) {
    return 0;
  }
  // The library's journal grows with every call: emptied now and then.
  static vdqrn::RecordingLibrary recording;
  static unsigned runs = 0;
  if (++runs % 4096 == 0) recording.Reset();
  const std::vector<std::uint8_t> request(data, data + size);
  vdqrn::host_protocol::Writer reply;
  if (vdqrn::Server().Answer(request, &reply) && reply.Bytes().empty()) std::abort();
  return 0;
}
