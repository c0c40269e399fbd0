#include "channel_functions.h"

#include <type_traits>

#include "platform/caller.h"
#include "platform/platform.h"

namespace qrnclient {

namespace platform = vdqrn::platform;

const char* ChannelLibraryName() {
#if defined(_WIN64)
  return "wfapi64.dll";
#elif defined(_WIN32)
  return "wfapi.dll";
#else
  return "libwfapi.so";
#endif
}

LoadedChannelFunctions LoadChannelFunctions() {
  LoadedChannelFunctions loaded;
  const char* name = ChannelLibraryName();
  platform::LibraryHandle library = platform::LoadDynamicLibrary(name);
  std::string why;
  if (library == nullptr) {
    // The first failure is the one reported: the search by name is what
    // the platform's library would meet.
    loaded.systemError = platform::CallerError();
    why = platform::LastLoadError();
#if !defined(_WIN32)
    // The search by name goes through the library path and the caller's run
    // path ($ORIGIN); where an interposed dlopen (a sanitizer's, a preloaded
    // library's) hides who the caller is, the stand-in beside this library
    // is still found.
    const std::string folder = platform::OwnDirectory();
    if (!folder.empty()) library = platform::LoadDynamicLibrary((folder + name).c_str());
    if (library != nullptr) {
      loaded.systemError = 0;
      why.clear();
    }
#endif
  }
  if (library == nullptr) {
    loaded.problem = std::string(name) + " could not be loaded (" +
                     (why.empty() ? "error " + std::to_string(loaded.systemError) : why) +
                     "): the platform's virtual channel functions are on a session host; "
                     "on a development machine put the channel stand-in (the host kit's "
                     "standin folder) beside your program" +
#if defined(_WIN32)
                     std::string(" and run engine_sim --listen");
#else
                     std::string(" or in LD_LIBRARY_PATH and run engine_sim --listen");
#endif
    return loaded;
  }
  const auto find = [&](const char* function, auto* slot) {
    void* address = platform::FindExport(library, function);
    if (address == nullptr && loaded.problem.empty()) {
      loaded.problem = std::string(name) + " has no " + function;
    }
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(address);
  };
  ChannelFunctions& functions = loaded.functions;
  find("WFVirtualChannelOpen", &functions.open);
  find("WFVirtualChannelClose", &functions.close);
  find("WFVirtualChannelRead", &functions.read);
  find("WFVirtualChannelWrite", &functions.write);
  find("WFVirtualChannelPurgeInput", &functions.purgeInput);
  functions.lastError = &platform::CallerError;
  if (!loaded.problem.empty()) {
    platform::FreeDynamicLibrary(library);
    return loaded;
  }
  loaded.ok = true;
  return loaded;
}

}  // namespace qrnclient
