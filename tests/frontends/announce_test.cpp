// SPDX-License-Identifier: MIT
// mDNS announcements go only where the server listens: the interface of its
// address, every interface for a wildcard address, none for an address no
// interface has.
#include <gtest/gtest.h>
#include <net/if.h>

#include "frontends/net/announce.h"
#include "frontends/net/socket.h"

namespace {

using vontrel::net::ResolveListenAddress;
using vontrel::serve::AnnounceInterface;
using vontrel::serve::kEveryInterface;

TEST(AnnounceInterface, IsTheListeningAddresssOwn)
{
    EXPECT_EQ(AnnounceInterface(ResolveListenAddress("0.0.0.0").address), kEveryInterface);
    EXPECT_EQ(AnnounceInterface(ResolveListenAddress("::").address), kEveryInterface);
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    EXPECT_EQ(AnnounceInterface(ResolveListenAddress("127.0.0.1").address), static_cast<int>(lo))
        << "a server on loopback is announced on loopback alone";
    // An address of the documentation range, which no interface here has.
    EXPECT_EQ(AnnounceInterface(ResolveListenAddress("192.0.2.1").address), std::nullopt);
}

}  // namespace
