#include "fake_channels.h"

#include <cstring>

#include "session.h"

namespace qrnclient_test {

namespace {

FakeChannels g_fake;
// Handles are the addresses of these names.
char g_commandHandle;
char g_dataHandle;

std::string NameOf(qrnclient::ChannelHandle handle) {
  if (handle == &g_commandHandle) return qrnclient::kCommandChannelName;
  if (handle == &g_dataHandle) return qrnclient::kDataChannelName;
  return "?";
}

std::vector<std::string> DefaultDriver(const std::string&, const std::string& command) {
  if (command == "QuarnClientDriverVersion") return {"1.5.0"};
  if (command.rfind("Hello", 0) == 0) return {"OK|Hello"};
  return {UnknownCommandAnswer(command)};
}

qrnclient::ChannelHandle QRN_CHANNEL_CALL Open(qrnclient::ChannelHandle server,
                                               qrnclient::ChannelWord session, char* name) {
  g_fake.openArguments.emplace_back(server, session);
  const std::string channel(name);
  const auto failure = g_fake.openFailures.find(channel);
  if (failure != g_fake.openFailures.end()) {
    g_fake.lastError = failure->second;
    return nullptr;
  }
  g_fake.opened.push_back(channel);
  if (channel == qrnclient::kCommandChannelName) return &g_commandHandle;
  if (channel == qrnclient::kDataChannelName) return &g_dataHandle;
  g_fake.lastError = 2;
  return nullptr;
}

int QRN_CHANNEL_CALL Close(qrnclient::ChannelHandle channel) {
  g_fake.closed.push_back(NameOf(channel));
  return 1;
}

int QRN_CHANNEL_CALL Read(qrnclient::ChannelHandle channel, qrnclient::ChannelWord, char* buffer,
                          qrnclient::ChannelWord capacity, qrnclient::ChannelWord* bytesRead) {
  g_fake.readCapacities.push_back(capacity);
  *bytesRead = 0;
  if (g_fake.readFailure != 0 && g_fake.packets.empty()) {
    g_fake.lastError = g_fake.readFailure;
    return 0;
  }
  if (channel != &g_dataHandle || g_fake.packets.empty()) {
    g_fake.lastError = 121;  // ERROR_SEM_TIMEOUT
    return 0;
  }
  const std::string packet = g_fake.packets.front();
  g_fake.packets.pop_front();
  if (packet.size() > capacity) {
    g_fake.lastError = 122;  // the platform discards the whole packet
    return 0;
  }
  std::memcpy(buffer, packet.data(), packet.size());
  *bytesRead = static_cast<qrnclient::ChannelWord>(packet.size());
  return 1;
}

int QRN_CHANNEL_CALL Write(qrnclient::ChannelHandle channel, char* bytes,
                           qrnclient::ChannelWord length, qrnclient::ChannelWord* written) {
  if (g_fake.writeFailure != 0) {
    g_fake.lastError = g_fake.writeFailure;
    return 0;
  }
  const std::string name = NameOf(channel);
  const std::string command(bytes, length);
  g_fake.writes.emplace_back(name, command);
  *written = length;
  for (const std::string& response : g_fake.driver(name, command)) QueueResponse(response);
  return 1;
}

int QRN_CHANNEL_CALL PurgeInput(qrnclient::ChannelHandle) {
  g_fake.packets.clear();
  return 1;
}

std::uint32_t LastError() { return g_fake.lastError; }

}  // namespace

FakeChannels& Fake() { return g_fake; }

void ResetFake() {
  g_fake = FakeChannels();
  g_fake.driver = &DefaultDriver;
}

qrnclient::ChannelFunctions FakeFunctions() {
  qrnclient::ChannelFunctions functions;
  functions.open = &Open;
  functions.close = &Close;
  functions.read = &Read;
  functions.write = &Write;
  functions.purgeInput = &PurgeInput;
  functions.lastError = &LastError;
  return functions;
}

void QueueResponse(const std::string& response) {
  std::size_t start = 0;
  do {
    g_fake.packets.push_back(response.substr(start, qrnclient::kMaxCommandBytes));
    start += qrnclient::kMaxCommandBytes;
  } while (start < response.size());
}

std::string UnknownCommandAnswer(const std::string& command) {
  return "ERROR|Unknown command \"" + command.substr(0, command.find('|')) + "\"";
}

}  // namespace qrnclient_test
