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
  const platform::LibraryHandle library = platform::LoadDynamicLibrary(name);
  if (library == nullptr) {
    loaded.systemError = platform::CallerError();
    const std::string why = platform::LastLoadError();
    loaded.problem = std::string(name) + " could not be loaded (" +
                     (why.empty() ? "error " + std::to_string(loaded.systemError) : why) +
                     "): the platform's virtual channel functions are only on a session host";
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
