#include "listen_session.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "conversation.h"
#include "transcript.h"

namespace engine_sim_cli {

namespace {

// Windows error numbers of the open answers.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;

constexpr int kReceiveSliceMs = 200;

// The module's file name, as the engine's module configuration names it.
std::string FileName(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

ListenSession::ListenSession(const ListenSettings& settings,
                             std::unique_ptr<engine_sim::Engine>& engine,
                             vdqrn::sockets::Socket connection, int number, std::ostream& out,
                             std::ostream& err)
    : settings_(settings), connection_(std::move(connection)), number_(number), out_(out),
      err_(err), engine_(engine) {}

void ListenSession::Note(const std::string& text) {
  out_ << std::flush;
  err_ << "engine_sim: session " << number_ << ": " << text << std::endl;
}

bool ListenSession::StartModule() {
  if (settings_.noDriver || settings_.driverNotLoaded) return true;
  if (engine_) return true;  // the session kept from an earlier connection
  engine_ = std::make_unique<engine_sim::Engine>();
  engine_->SetWdVersion(settings_.hpc ? 1 : 0);
#if !defined(_WIN32)
  engine_->SetLinuxEngine(!settings_.hpc);
#endif
  // A module that does not load or open: the client goes on without the
  // driver, as a real one does, and its channels are not offered.
  const char* const without = "; served as a client whose driver did not load";
  if (!engine_->LoadModule(settings_.module)) {
    Note("cannot load module \"" + settings_.module + "\": " + engine_->LastError() + without);
    engine_.reset();
    driverFailed_ = true;
    return true;
  }
  const std::int32_t status = engine_->Open();
  if (status != vdqrn::ica::kStatusSuccess) {
    Note("module \"" + settings_.module + "\" refused to open (status " + std::to_string(status) +
         ")" + without);
    engine_->Unload();
    engine_.reset();
    driverFailed_ = true;
    return true;
  }
  engine_->Info(vdqrn::ica::kInfoOutputSize, FileName(settings_.module));
  return true;
}

void ListenSession::StopModule() {
  if (!engine_ || settings_.keepSession) return;
  engine_->Close();
  engine_->Unload();
  engine_.reset();
}

void ListenSession::Run(const std::atomic<bool>& stop, const std::function<void()>& between) {
  // A program that stops reading ends its session after the idle limit
  // too, instead of holding the listener in a send.
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(settings_.idleLimit);
  if (limit.count() > 0) connection_.SetSendTimeout(static_cast<int>(limit.count()));
  if (StartModule()) {
    vdqrn::wire::FrameReader reader;
    char buffer[8192];
    bool going = true;
    auto lastHeard = std::chrono::steady_clock::now();
    auto lastBetween = lastHeard;
    const auto pollEvery = std::chrono::milliseconds(settings_.pollMs);
    auto nextPoll = lastHeard + pollEvery;
    while (going && !lost_ && !stop) {
      int slice = kReceiveSliceMs;
      if (settings_.pollMs > 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= nextPoll) {
          PollAndSend();
          nextPoll = now + pollEvery;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - now).count();
        slice = static_cast<int>(std::max<long long>(1, std::min<long long>(slice, left)));
      }
      std::size_t count = 0;
      const auto received = connection_.Receive(buffer, sizeof buffer, slice, &count);
      if (received == vdqrn::sockets::Socket::Received::kTimedOut) {
        // Waiting connections are refused after a quiet slice (or, below,
        // one slice of traffic): a program that just ended has its close
        // seen first, and the next program's connection is served, not
        // refused as busy.
        between();
        lastBetween = std::chrono::steady_clock::now();
        const auto idle = std::chrono::steady_clock::now() - lastHeard;
        if (settings_.idleLimit.count() > 0 && idle >= settings_.idleLimit) {
          Note("nothing from the program for " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(idle).count()) +
               " s, disconnecting (--idle-limit)");
          break;
        }
        continue;
      }
      if (received == vdqrn::sockets::Socket::Received::kClosed) break;
      if (std::chrono::steady_clock::now() - lastBetween >=
          std::chrono::milliseconds(kReceiveSliceMs)) {
        between();
        lastBetween = std::chrono::steady_clock::now();
      }
      reader.Feed(buffer, count);
      vdqrn::wire::Message message;
      vdqrn::wire::FrameReader::Next next;
      while (going && (next = reader.Take(&message)) == vdqrn::wire::FrameReader::Next::kMessage) {
        going = Handle(message);
      }
      lastHeard = std::chrono::steady_clock::now();
      if (going && next == vdqrn::wire::FrameReader::Next::kBroken) {
        Note("bad message from the server side (" + reader.Error() + "), disconnecting");
        going = false;
      }
    }
    StopModule();
  }
  connection_.Shutdown();
  connection_.Close();
}

std::uint32_t ListenSession::OpenError(const std::string& name,
                                       const std::string& programPath) const {
  if (!settings_.allowList.Permits(name, programPath)) return kErrorAccessDenied;
  // A driver that did not load offers no channel.
  if (settings_.driverNotLoaded || driverFailed_) return kErrorFileNotFound;
  // Without the driver the server still opens the channel; nobody answers.
  if (settings_.noDriver) return 0;
  if (engine_->ChannelNumber(name) == 0 || !engine_->HasWriteHook(name)) return kErrorFileNotFound;
  return 0;
}

bool ListenSession::Handle(const vdqrn::wire::Message& message) {
  using vdqrn::wire::MessageType;
  switch (message.type) {
    case MessageType::kOpenRequest: {
      const std::uint32_t error = OpenError(message.name, message.path);
      if (error == kErrorAccessDenied) {
        Note("channel " + message.name + " not opened for \"" + message.path +
             "\": not on the allow list");
      }
      if (error == 0) channels_[message.channel] = message.name;
      const std::string frame =
          vdqrn::wire::Encode(vdqrn::wire::OpenAnswer(message.channel, error));
      lost_ = !connection_.SendAll(frame.data(), frame.size());
      return !lost_;
    }
    case MessageType::kData: {
      const auto channel = channels_.find(message.channel);
      if (channel != channels_.end()) Deliver(channel->second, message.data);
      return !lost_;
    }
    case MessageType::kClose:
      channels_.erase(message.channel);
      return true;
    case MessageType::kOpenAnswer:
      break;
  }
  Note("unexpected open answer from the server side, disconnecting");
  return false;
}

void ListenSession::Deliver(const std::string& channelName, const std::string& bytes) {
  conversation_text::PrintCommand(out_, bytes);
  out_ << std::flush;
  if (!engine_) return;  // no driver: the client drops what it gets
  if (settings_.pollMs > 0) {
    // The response leaves at the next poll; a command written before then
    // replaces it in the driver.
    if (!engine_->Write(channelName, bytes)) Note("\"" + conversation_text::Visible(bytes) + "\" not written");
    return;
  }
  const std::optional<std::string> response = Exchange(*engine_, channelName, bytes);
  if (!response) {
    Note("no response to \"" + conversation_text::Visible(bytes) + "\"");
    return;
  }
  conversation_text::PrintResponse(out_, *response);
  conversation_text::PrintChartIfSpectral(out_, bytes, *response);
  out_ << std::flush;
  if (!SendResponse(*response)) lost_ = true;
}

void ListenSession::PollAndSend() {
  if (!engine_) return;
  const std::uint16_t data = engine_->ChannelNumber(engine_sim::kDataChannelName);
  engine_->ClearSent();
  engine_->Poll();
  std::string response;
  for (const engine_sim::SentData& sent : engine_->Sent()) {
    if (sent.channel == data) response += sent.bytes;
  }
  engine_->ClearSent();
  if (response.empty()) return;
  conversation_text::PrintResponse(out_, response);
  out_ << std::flush;
  if (!SendResponse(response)) lost_ = true;
}

bool ListenSession::SendResponse(const std::string& response) {
  // The response goes to the data channel the server side opened last; when
  // it has none open, nobody reads it.
  std::uint32_t target = 0;
  bool found = false;
  for (const auto& channel : channels_) {
    if (channel.second == engine_sim::kDataChannelName) {
      target = channel.first;
      found = true;
    }
  }
  if (!found) return true;
  // Full packets, then the shorter rest.
  std::size_t offset = 0;
  do {
    const std::size_t size = std::min(response.size() - offset, vdqrn::wire::kMaxPacketData);
    const std::string frame =
        vdqrn::wire::Encode(vdqrn::wire::Data(target, response.substr(offset, size)));
    if (!connection_.SendAll(frame.data(), frame.size())) return false;
    offset += size;
  } while (offset < response.size());
  return true;
}

}  // namespace engine_sim_cli
