#include "tests/support/FakeRealtimeServer.hpp"

#include <SFML/Network.hpp>
#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

class FakeRealtimeServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void TearDown() override { server.stop(); }

    FakeRealtimeServer server;
};

std::string firstString(const FakeRealtimeServer::Received& received) {
    sf::Packet packet = received.packet();
    std::string text;
    packet >> text;
    return packet ? text : "<unreadable>";
}

// A receive that cannot hang the test when the server fails to send or close.
sf::Socket::Status receiveWithin(sf::TcpSocket& socket, sf::Packet& packet) {
    sf::SocketSelector selector;
    selector.add(socket);
    if (!selector.wait(sf::seconds(5)))
        return sf::Socket::NotReady;
    return socket.receive(packet);
}

} // namespace

TEST_F(FakeRealtimeServerTest, FramesPacketsBothWaysLikeSfml) {
    sf::TcpSocket client;
    ASSERT_EQ(client.connect("127.0.0.1", 34567, sf::seconds(5)), sf::Socket::Done);
    ASSERT_TRUE(server.waitForConnections(1, 5s));

    sf::Packet first;
    first << std::string("whoami") << std::string("Guest");
    sf::Packet second;
    second << std::string("ping");
    ASSERT_EQ(client.send(first), sf::Socket::Done);
    ASSERT_EQ(client.send(second), sf::Socket::Done);
    // A third packet whose size prefix arrives in two pieces.
    const char piece1[] = {0, 0};
    const char piece2[] = {0, 8, 0, 0, 0, 4, 'p', 'o', 'n', 'g'};
    ASSERT_EQ(client.send(piece1, sizeof piece1), sf::Socket::Done);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(client.send(piece2, sizeof piece2), sf::Socket::Done);

    ASSERT_TRUE(server.waitForPackets(0, 3, 5s));
    const auto received = server.received(0);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(firstString(received[0]), "whoami");
    EXPECT_EQ(received[0].bytes.size(), first.getDataSize());
    EXPECT_EQ(firstString(received[1]), "ping");
    EXPECT_EQ(firstString(received[2]), "pong");

    // The other way: the client's packet receive puts together a prefix sent in pieces.
    sf::Packet reply;
    reply << std::string("deathcount") << sf::Int32(7);
    const std::string frame = std::string("\0\0\0", 3) + static_cast<char>(reply.getDataSize()) +
                              std::string(static_cast<const char*>(reply.getData()), reply.getDataSize());
    ASSERT_TRUE(server.sendRaw(0, frame.substr(0, 3)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(server.sendRaw(0, frame.substr(3)));
    ASSERT_TRUE(server.sendPacket(0, reply));
    for (int i = 0; i < 2; ++i) {
        sf::Packet got;
        ASSERT_EQ(receiveWithin(client, got), sf::Socket::Done);
        std::string name;
        sf::Int32 total = 0;
        got >> name >> total;
        EXPECT_EQ(name, "deathcount");
        EXPECT_EQ(total, 7);
    }
}

TEST_F(FakeRealtimeServerTest, ClosesResetsStallsAndRefuses) {
    sf::TcpSocket orderly;
    sf::TcpSocket aborted;
    ASSERT_EQ(orderly.connect("127.0.0.1", 34567, sf::seconds(5)), sf::Socket::Done);
    ASSERT_TRUE(server.waitForConnections(1, 5s));
    ASSERT_EQ(aborted.connect("127.0.0.1", 34567, sf::seconds(5)), sf::Socket::Done);
    ASSERT_TRUE(server.waitForConnections(2, 5s));

    // Unread bytes from the client must not turn the orderly close into a reset.
    ASSERT_TRUE(server.setStalled(0, true));
    sf::Packet unread;
    unread << std::string("ping");
    ASSERT_EQ(orderly.send(unread), sf::Socket::Done);
    ASSERT_TRUE(server.closeConnection(0));
    sf::Packet nothing;
    EXPECT_EQ(receiveWithin(orderly, nothing), sf::Socket::Disconnected);
    EXPECT_TRUE(server.received(0).empty()) << "a stalled connection is not read";
    ASSERT_TRUE(server.setStalled(0, false));
    EXPECT_TRUE(server.waitForPackets(0, 1, 5s));
    orderly.disconnect();
    EXPECT_TRUE(server.waitForPeerClose(0, 5s));

    // SFML reports a reset as a disconnection too.
    ASSERT_TRUE(server.resetConnection(1));
    EXPECT_EQ(receiveWithin(aborted, nothing), sf::Socket::Disconnected);
    EXPECT_FALSE(server.sendRaw(1, "x")) << "a reset connection takes no more bytes";

    // Refused while not listening; listening again works although the closed connection lingers.
    ASSERT_TRUE(server.setListening(false));
    sf::TcpSocket refused;
    EXPECT_NE(refused.connect("127.0.0.1", 34567, sf::seconds(2)), sf::Socket::Done);
    ASSERT_TRUE(server.setListening(true));
    sf::TcpSocket again;
    EXPECT_EQ(again.connect("127.0.0.1", 34567, sf::seconds(5)), sf::Socket::Done);
    EXPECT_TRUE(server.waitForConnections(3, 5s));
}
