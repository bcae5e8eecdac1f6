// Boost.Chrono's compiled part (the clocks' now()), which the Windows build
// takes from Boost's own headers instead of a prebuilt library.
#define BOOST_CHRONO_SOURCE
#include <boost/chrono/detail/inlined/chrono.hpp>
