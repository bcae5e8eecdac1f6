// The UDP sockets that plain-DNS queries to upstreams share. Opening a socket
// for each query cost several system calls and a reactor registration per
// query, more than the rest of the forwarding together. Instead each address
// family has a few sockets, opened on first use on ports the system draws,
// each with one receive always pending. A query gets a random id unused on
// its socket; an answer is taken only from the server asked, with the id and
// the question (name, type and class as sent) of a query in flight there.
// Anything else is dropped; an answer that is right in all but the address it
// came from is also reported (SetForeignAnswerListener): someone on the path
// answers for the server. A socket carries kQueriesPerPort queries and is
// then retired (it takes no new query and closes once its last one ended),
// so that a forger must guess a port that keeps changing besides the id
// (RFC 5452). Its successor gets its port from the system's random choice of
// ephemeral ports. A forger has a port for no more than eight queries; the
// new sockets (an open, a reactor registration, a close each) cost about
// 1 us of CPU a query on loopback (4.9 us against 3.9 us a query with 256
// queries a port, 16 in flight), little beside a query's way through the
// service. What a socket needs besides (its 64 KiB receive buffer, the
// entries of its queries in flight) is kept and used again, so that neither
// a query nor a new port allocates.
//
// Threads: everything runs on the one I/O thread of the io_context given.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

namespace hxt::dnsprotect {

class CUdpSockets {
 public:
  // ok false: no answer (the socket failed, or Close); else the answer,
  // carrying the id the query was sent with.
  using Done = std::function<void(bool ok, std::string answer)>;
  static constexpr std::size_t kSocketsPerFamily = 4;
  static constexpr unsigned kQueriesPerPort = 8;

  explicit CUdpSockets(boost::asio::io_context& io);
  ~CUdpSockets();
  CUdpSockets(const CUdpSockets&) = delete;
  CUdpSockets& operator=(const CUdpSockets&) = delete;

  // Sends `query` under a fresh random id; returns a ticket for Cancel, 0
  // when it failed at once (`done` has then run).
  std::uint64_t Send(const boost::asio::ip::udp::endpoint& server, const std::string& query, Done done);
  // Forgets the query without calling its handler.
  void Cancel(std::uint64_t ticket);
  // Between Hold and Release, Send queues its datagrams; Release sends each
  // socket's together (one sendmmsg on Linux) and fails those a socket
  // could not send. Holds nest.
  void Hold() { ++held_; }
  void Release();
  // Closes the sockets; the queries in flight are forgotten without a call.
  void Close();
  // Called, by a handler of its own, with the question's type of each answer
  // that carries the id and question of a query in flight but comes from
  // another address than the one asked (and is dropped).
  using ForeignAnswer = std::function<void(std::uint16_t type)>;
  void SetForeignAnswerListener(ForeignAnswer listener) { *onForeign_ = std::move(listener); }

 private:
  struct Pending {
    std::uint64_t ticket;
    boost::asio::ip::udp::endpoint server;
    std::string question;  // the bytes after the header up to the end of the question
    Done done;
  };
  using PendingNode = std::map<std::uint16_t, Pending>::node_type;
  struct Outgoing {
    std::uint16_t id = 0;
    std::uint64_t ticket = 0;
    std::string bytes;  // keeps its capacity for the next burst
  };
  struct Slot : std::enable_shared_from_this<Slot> {
    Slot(boost::asio::io_context& io, std::shared_ptr<ForeignAnswer> foreign, CUdpSockets* sockets)
        : socket(io), onForeign(std::move(foreign)), owner(sockets) {}
    boost::asio::ip::udp::socket socket;
    std::shared_ptr<ForeignAnswer> onForeign;  // shared with the owner: set at any time
    boost::asio::ip::udp::endpoint sender;
    std::array<unsigned char, 65536> buffer;
    std::map<std::uint16_t, Pending> pending;  // by id
    CUdpSockets* owner;  // null once Close let go of the slot
    std::vector<Outgoing> outbox;  // the first `queued` wait for Release
    std::size_t queued = 0;
    unsigned sent = 0;
    bool retired = false;
    bool closed = false;
  };

  // A ticket names its slot and id: serial << 20 | family << 19 | slot << 16 | id.
  static std::uint64_t ticketOf(std::uint64_t serial, std::size_t family, std::size_t slot, std::uint16_t id);
  static void receive(const std::shared_ptr<Slot>& slot);
  // Closes a retired socket whose last query ended.
  static void closeIfDone(Slot& slot);
  // Closes the socket, keeping the slot for a later one.
  static void close(Slot& slot);
  // A kept slot no handler refers to any more, or a new one.
  std::shared_ptr<Slot> reusableSlot();
  // Sends the first `count` of the slot's outbox; returns how many left
  // (or were dropped like a full network would).
  static std::size_t sendQueued(Slot& slot, std::size_t count);
  // Keeps an entry that ended for a later query.
  void keep(PendingNode node);

  boost::asio::io_context& io_;
  std::vector<std::shared_ptr<Slot>> slots_[2];  // IPv4, IPv6
  std::vector<std::shared_ptr<Slot>> retired_;   // still waiting for answers
  std::size_t next_[2] = {0, 0};
  std::uint64_t serial_ = 0;
  std::string scratch_;  // the query being sent, under its id
  static constexpr std::size_t kSpareNodes = 256;
  std::vector<PendingNode> spare_;
  std::map<std::uint16_t, Pending> nodeMaker_;  // where a new entry is made, then taken out
  std::vector<std::shared_ptr<Slot>> closedSlots_;
  unsigned held_ = 0;
  std::vector<std::shared_ptr<Slot>> holding_;  // slots with datagrams queued
  std::shared_ptr<ForeignAnswer> onForeign_ = std::make_shared<ForeignAnswer>();
};

}  // namespace hxt::dnsprotect
