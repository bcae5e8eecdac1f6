#include "netwatch.h"

#include <fstream>
#include <iterator>

#include "pluginlog.h"

namespace hxt::dnsprotect {

namespace {

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(64 * 1024, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

}  // namespace

CNetWatch::CNetWatch(boost::asio::io_context& io, NetWatchOptions options, Handler onChange)
    : io_(io),
      options_(std::move(options)),
      onChange_(std::move(onChange)),
      debounceTimer_(io),
      tickTimer_(io),
      lastSteady_(std::chrono::steady_clock::now()),
      lastWall_(std::chrono::system_clock::now()) {
  if (!options_.resolvConf.empty()) resolvStamp_ = ReadSmallFile(options_.resolvConf);
  source_ = MakeNetSource(io_, *this);
  tick();
}

CNetWatch::~CNetWatch() = default;

void CNetWatch::Close() {
  closed_ = true;
  debounceTimer_.cancel();
  tickTimer_.cancel();
  if (source_) source_->Close();
}

void CNetWatch::Notice(const std::string& reason) {
  if (closed_) return;
  if (pending_.find(reason) == std::string::npos) pending_ += (pending_.empty() ? "" : ", ") + reason;
  debounceTimer_.expires_after(options_.debounce);
  debounceTimer_.async_wait([this](const boost::system::error_code& e) {
    if (e || closed_ || pending_.empty()) return;
    onChange_(std::exchange(pending_, {}));
  });
}

void CNetWatch::tick() {
  tickTimer_.expires_after(options_.tick);
  tickTimer_.async_wait([this](const boost::system::error_code& e) {
    if (e || closed_) return;
    const auto steady = std::chrono::steady_clock::now();
    const auto wall = std::chrono::system_clock::now();
    // A wall clock set back or forward by hand moves both ways; a sleep only
    // lets the wall clock run ahead.
    const auto ahead = (wall - lastWall_) - (steady - lastSteady_);
    lastSteady_ = steady;
    lastWall_ = wall;
    if (ahead > options_.sleepJump) {
      PluginLog(LogLevel::Info,
                "the wall clock ran " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(ahead).count()) +
                    " s ahead of the monotonic one: resumed from sleep");
      Notice("resume from sleep");
    }
    if (!options_.resolvConf.empty()) {
      std::string stamp = ReadSmallFile(options_.resolvConf);
      if (stamp != resolvStamp_) {
        resolvStamp_ = std::move(stamp);
        Notice("resolver change");
      }
    }
    tick();
  });
}

}  // namespace hxt::dnsprotect
