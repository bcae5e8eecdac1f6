#include "udpsockets.h"

#include <algorithm>

#include <boost/asio/post.hpp>

#if defined(__linux__)
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#endif

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

// Whether `answer` carries `question` (as QuestionBytes gives it), names
// compared without regard to case.
bool SameQuestionBytes(const std::string& answer, const std::string& question) {
  std::size_t end = 0;
  if (!QuestionEnd(answer, end) || end - kHeaderSize != question.size()) return false;
  return std::equal(question.begin(), question.end(), answer.begin() + kHeaderSize,
                    [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
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

std::uint64_t CUdpSockets::Send(const asio::ip::udp::endpoint& server, const std::string& query, Done done) {
  // The pending entry (its question's buffer included) is a kept one when there is one.
  PendingNode node;
  if (spare_.empty()) {
    node = nodeMaker_.extract(nodeMaker_.emplace(0, Pending{}).first);
  } else {
    node = std::move(spare_.back());
    spare_.pop_back();
  }
  Pending& entry = node.mapped();
  if (query.size() < kHeaderSize || !QuestionBytes(query, entry.question)) {
    keep(std::move(node));
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
    slot = reusableSlot();
    error_code e;
    slot->socket.open(server.protocol(), e);
    if (e) {
      slot.reset();
      keep(std::move(node));
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
  const std::uint64_t ticket = ticketOf(++serial_, family, index, id);
  ++slot->sent;
  if (held_ > 0) {
    // Sent with the others of the burst when the hold ends.
    if (slot->queued == slot->outbox.size()) slot->outbox.emplace_back();
    Outgoing& out = slot->outbox[slot->queued++];
    out.id = id;
    out.ticket = ticket;
    out.bytes.assign(query);
    SetMessageId(out.bytes, id);
    if (slot->queued == 1) holding_.push_back(slot);
  } else {
    scratch_.assign(query);
    SetMessageId(scratch_, id);
    error_code e;
    // Loopback and local resolvers take a datagram at once; a full send
    // buffer drops it like the network would, and the query's deadline decides.
    slot->socket.send_to(asio::buffer(scratch_), server, 0, e);
    if (e && e != asio::error::would_block) {
      keep(std::move(node));
      done(false, {});
      return 0;
    }
  }
  node.key() = id;
  entry.ticket = ticket;
  entry.server = server;
  entry.done = std::move(done);
  slot->pending.insert(std::move(node));
  return ticket;
}

void CUdpSockets::Release() {
  if (held_ == 0 || --held_ > 0) return;
  // The queries that failed are told after every socket has sent: their
  // handlers may send again.
  std::vector<Done> failed;
  for (const auto& slot : holding_) {
    const std::size_t count = std::exchange(slot->queued, 0);
    if (slot->closed) continue;  // every query on it was cancelled
    // Whatever was cancelled meanwhile stays unsent.
    std::size_t live = 0;
    for (std::size_t i = 0; i < count; ++i) {
      auto found = slot->pending.find(slot->outbox[i].id);
      if (found == slot->pending.end() || found->second.ticket != slot->outbox[i].ticket) continue;
      if (live != i) std::swap(slot->outbox[live], slot->outbox[i]);
      ++live;
    }
    const std::size_t sent = sendQueued(*slot, live);
    if (sent == live) continue;
    // A socket that cannot send: its unsent queries fail. (A full buffer
    // counts as sent: the network would have dropped them too.)
    for (std::size_t i = sent; i < live; ++i) {
      auto found = slot->pending.find(slot->outbox[i].id);
      failed.push_back(std::move(found->second.done));
      keep(slot->pending.extract(found));
    }
    closeIfDone(*slot);
  }
  holding_.clear();
  for (auto& done : failed) done(false, {});
}

std::size_t CUdpSockets::sendQueued(Slot& slot, std::size_t count) {
#if defined(__linux__)
  // One system call for the burst: the kernel's entry and the resolver's
  // wake-up are paid once rather than per datagram.
  constexpr std::size_t kBatch = 64;
  std::array<mmsghdr, kBatch> messages{};
  std::array<iovec, kBatch> vectors{};
  std::size_t done = 0;
  while (done < count) {
    const std::size_t n = std::min(kBatch, count - done);
    for (std::size_t i = 0; i < n; ++i) {
      Outgoing& out = slot.outbox[done + i];
      const auto& server = slot.pending.find(out.id)->second.server;
      vectors[i] = iovec{out.bytes.data(), out.bytes.size()};
      messages[i].msg_hdr = msghdr{};
      messages[i].msg_hdr.msg_name = const_cast<sockaddr*>(server.data());
      messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(server.size());
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(slot.socket.native_handle(), messages.data(), static_cast<unsigned>(n), MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
      return count;
    } else {
      return done;
    }
  }
  return count;
#else
  for (std::size_t i = 0; i < count; ++i) {
    Outgoing& out = slot.outbox[i];
    error_code e;
    slot.socket.send_to(asio::buffer(out.bytes), slot.pending.find(out.id)->second.server, 0, e);
    if (e && e != asio::error::would_block) return i;
  }
  return count;
#endif
}

void CUdpSockets::keep(PendingNode node) {
  node.mapped().done = nullptr;
  if (spare_.size() < kSpareNodes) spare_.push_back(std::move(node));
}

std::shared_ptr<CUdpSockets::Slot> CUdpSockets::reusableSlot() {
  // A closed socket's slot whose last receive has ended is ours alone; its
  // 64 KiB buffer serves the new socket rather than being freed and another
  // allocated every few queries.
  for (auto it = closedSlots_.begin(); it != closedSlots_.end(); ++it) {
    if (it->use_count() != 1) continue;
    std::shared_ptr<Slot> slot = std::move(*it);
    closedSlots_.erase(it);
    slot->sent = 0;
    slot->retired = false;
    slot->closed = false;
    return slot;
  }
  return std::make_shared<Slot>(io_, onForeign_, this);
}

void CUdpSockets::receive(const std::shared_ptr<Slot>& slot) {
  slot->socket.async_receive_from(
      asio::buffer(slot->buffer), slot->sender, [slot](const error_code& e, std::size_t size) {
        if (slot->closed) return;
        if (e) {
          // The socket is done for: its queries fail, and the next query opens a new one.
          auto pending = std::move(slot->pending);
          slot->pending.clear();
          close(*slot);
          for (auto& entry : pending) entry.second.done(false, {});
          return;
        }
        std::string answer(reinterpret_cast<const char*>(slot->buffer.data()), size);
        auto found = size >= kHeaderSize ? slot->pending.find(MessageId(answer)) : slot->pending.end();
        if (found != slot->pending.end() && SameQuestionBytes(answer, found->second.question)) {
          if (found->second.server != slot->sender) {
            // Posted: the listener may act on the pool that owns these sockets.
            const std::string& question = found->second.question;
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
          if (slot->owner != nullptr) {
            slot->owner->keep(slot->pending.extract(found));
          } else {
            slot->pending.erase(found);
          }
          done(true, std::move(answer));
          closeIfDone(*slot);
          if (slot->closed) return;  // closed by the handler or retired
        }
        receive(slot);
      });
}

void CUdpSockets::close(Slot& slot) {
  slot.closed = true;
  error_code ignored;
  slot.socket.close(ignored);
  if (slot.owner != nullptr && slot.owner->closedSlots_.size() < kSocketsPerFamily) {
    slot.owner->closedSlots_.push_back(slot.shared_from_this());
  }
}

void CUdpSockets::closeIfDone(Slot& slot) {
  if (!slot.retired || !slot.pending.empty() || slot.closed) return;
  close(slot);
}

void CUdpSockets::Cancel(std::uint64_t ticket) {
  if (ticket == 0) return;
  const auto id = static_cast<std::uint16_t>(ticket & 0xffff);
  auto forget = [&](const std::shared_ptr<Slot>& slot) {
    if (!slot) return false;
    auto found = slot->pending.find(id);
    if (found == slot->pending.end() || found->second.ticket != ticket) return false;
    keep(slot->pending.extract(found));
    closeIfDone(*slot);
    return true;
  };
  if (forget(slots_[(ticket >> 19) & 1][(ticket >> 16) & 7])) return;
  for (const auto& slot : retired_) {
    if (forget(slot)) return;
  }
}

void CUdpSockets::Close() {
  auto closeSlot = [](Slot& slot) {
    slot.closed = true;
    slot.owner = nullptr;
    slot.pending.clear();
    error_code ignored;
    slot.socket.close(ignored);
  };
  for (auto& slot : retired_) closeSlot(*slot);
  retired_.clear();
  for (auto& family : slots_) {
    for (auto& slot : family) {
      if (!slot) continue;
      closeSlot(*slot);
      slot.reset();
    }
  }
  for (auto& slot : closedSlots_) slot->owner = nullptr;
  closedSlots_.clear();
}

}  // namespace hxt::dnsprotect
