#include "udpsockets.h"

#include <algorithm>
#include <cctype>

#include <boost/asio/post.hpp>

#include "dnsmessage.h"

namespace hxt::dnsprotect {

namespace asio = boost::asio;
using boost::system::error_code;

static_assert(CUdpSockets::kSocketsPerFamily <= 8, "a ticket has three bits for the socket");

namespace {

// The question as sent: what follows the header up to the question's end.
bool QuestionBytes(const std::string& message, std::string& out) {
  std::size_t end = 0;
  if (!QuestionEnd(message, end)) return false;
  out.assign(message, kHeaderSize, end - kHeaderSize);
  return true;
}

}  // namespace

CUdpSockets::CUdpSockets(asio::io_context& io) : io_(io) {
  for (auto& family : slots_) family.resize(kSocketsPerFamily);
}

CUdpSockets::~CUdpSockets() {
  Close();
  *onForeign_ = nullptr;  // a report still posted finds nobody to tell
}

std::uint64_t CUdpSockets::ticketOf(std::uint64_t serial, std::size_t family, std::size_t slot,
                                    std::uint16_t id) {
  return serial << 20 | static_cast<std::uint64_t>(family) << 19 | static_cast<std::uint64_t>(slot) << 16 |
         id;
}

std::uint64_t CUdpSockets::Send(const asio::ip::udp::endpoint& server, std::string query, Done done) {
  std::string question;
  if (query.size() < kHeaderSize || !QuestionBytes(query, question)) {
    done(false, {});
    return 0;
  }
  const std::size_t family = server.address().is_v6() ? 1 : 0;
  const std::size_t index = next_[family]++ % kSocketsPerFamily;
  std::shared_ptr<Slot>& slot = slots_[family][index];
  if (slot && !slot->closed && slot->sent >= kQueriesPerPort) {
    retired_.erase(
        std::remove_if(retired_.begin(), retired_.end(), [](const auto& old) { return old->closed; }),
        retired_.end());
    slot->retired = true;
    closeIfDone(*slot);
    if (!slot->closed) retired_.push_back(slot);
    slot.reset();
  }
  if (!slot || slot->closed) {
    slot = std::make_shared<Slot>(io_, onForeign_);
    error_code e;
    slot->socket.open(server.protocol(), e);
    if (e) {
      slot.reset();
      done(false, {});
      return 0;
    }
    receive(slot);
  }
  // A random id not in flight on this socket (at most 65,536 are).
  std::uint16_t id = 0;
  do {
    id = RandomId();
  } while (slot->pending.count(id) != 0);
  SetMessageId(query, id);
  const std::uint64_t ticket = ticketOf(++serial_, family, index, id);
  error_code e;
  // Loopback and local resolvers take a datagram at once; a full send
  // buffer drops it like the network would, and the query's deadline decides.
  ++slot->sent;
  slot->socket.send_to(asio::buffer(query), server, 0, e);
  if (e && e != asio::error::would_block) {
    done(false, {});
    return 0;
  }
  slot->pending.emplace(id, Pending{ticket, server, std::move(question), std::move(done)});
  return ticket;
}

void CUdpSockets::receive(const std::shared_ptr<Slot>& slot) {
  slot->socket.async_receive_from(
      asio::buffer(slot->buffer), slot->sender, [slot](const error_code& e, std::size_t size) {
        if (slot->closed) return;
        if (e) {
          // The socket is done for: its queries fail, and the next query opens a new one.
          slot->closed = true;
          error_code ignored;
          slot->socket.close(ignored);
          auto pending = std::move(slot->pending);
          for (auto& entry : pending) entry.second.done(false, {});
          return;
        }
        std::string answer(reinterpret_cast<const char*>(slot->buffer.data()), size);
        std::string question;
        auto found = size >= kHeaderSize ? slot->pending.find(MessageId(answer)) : slot->pending.end();
        if (found != slot->pending.end() && QuestionBytes(answer, question) &&
            question.size() == found->second.question.size() &&
            std::equal(question.begin(), question.end(), found->second.question.begin(),
                       [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); })) {
          if (found->second.server != slot->sender) {
            // Posted: the listener may act on the pool that owns these sockets.
            if (*slot->onForeign && question.size() >= 4) {
              const auto type = static_cast<std::uint16_t>(
                  static_cast<unsigned char>(question[question.size() - 4]) << 8 |
                  static_cast<unsigned char>(question[question.size() - 3]));
              asio::post(slot->socket.get_executor(), [foreign = slot->onForeign, type] {
                if (*foreign) (*foreign)(type);
              });
            }
            receive(slot);
            return;
          }
          Done done = std::move(found->second.done);
          slot->pending.erase(found);
          done(true, std::move(answer));
          closeIfDone(*slot);
          if (slot->closed) return;  // closed by the handler or retired
        }
        receive(slot);
      });
}

void CUdpSockets::closeIfDone(Slot& slot) {
  if (!slot.retired || !slot.pending.empty() || slot.closed) return;
  slot.closed = true;
  error_code ignored;
  slot.socket.close(ignored);
}

void CUdpSockets::Cancel(std::uint64_t ticket) {
  if (ticket == 0) return;
  const auto id = static_cast<std::uint16_t>(ticket & 0xffff);
  auto forget = [&](const std::shared_ptr<Slot>& slot) {
    if (!slot) return false;
    auto found = slot->pending.find(id);
    if (found == slot->pending.end() || found->second.ticket != ticket) return false;
    slot->pending.erase(found);
    closeIfDone(*slot);
    return true;
  };
  if (forget(slots_[(ticket >> 19) & 1][(ticket >> 16) & 7])) return;
  for (const auto& slot : retired_) {
    if (forget(slot)) return;
  }
}

void CUdpSockets::Close() {
  for (auto& slot : retired_) {
    slot->closed = true;
    slot->pending.clear();
    error_code ignored;
    slot->socket.close(ignored);
  }
  retired_.clear();
  for (auto& family : slots_) {
    for (auto& slot : family) {
      if (!slot) continue;
      slot->closed = true;
      slot->pending.clear();
      error_code ignored;
      slot->socket.close(ignored);
      slot.reset();
    }
  }
}

}  // namespace hxt::dnsprotect
