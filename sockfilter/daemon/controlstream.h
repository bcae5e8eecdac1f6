// The byte stream one control peer is connected through: a UNIX stream
// socket on Linux, a named pipe instance on Windows. Both read and write the
// same way, so the sessions above them are one code.
#pragma once

#ifdef _WIN32
#include <boost/asio/windows/stream_handle.hpp>
namespace hxt::sockfilter {
using ControlStream = boost::asio::windows::stream_handle;
}
#else
#include <boost/asio/local/stream_protocol.hpp>
namespace hxt::sockfilter {
using ControlStream = boost::asio::local::stream_protocol::socket;
}
#endif
