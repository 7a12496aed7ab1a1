#pragma once

#include "server/common/RefusalSummary.hpp"
#include "server/realtime/room/Stats.hpp"

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <map>
#include <set>
#include <string>

namespace server {

struct Limits {
    std::size_t maxConnections = 10000;
    std::size_t maxPerAddress = 64;
    // Increments read but not yet stored, across the server; more are refused.
    std::size_t maxPending = 10000;
    // The load balancers: their connections start with a PROXY header naming the client.
    std::set<boost::asio::ip::address> proxies;
};

// Who may connect: the cap on connections, the cap per address (a machine, or an IPv6 /64), and
// the balancer's addresses, whose connections count under their clients' addresses. Refusals are
// logged at most once a second per address, with a count after.
class Admission {
public:
    Admission(Limits limits, Stats& stats) : limits_(std::move(limits)), stats_(stats) {}

    // Whether a connection from this address may join while `connections` are open; logs the
    // refusal otherwise. perAddress false: the peer is a balancer; its client is counted by place().
    bool admit(const std::string& address, const std::string& peer, std::size_t connections,
               bool perAddress = true);
    // Counts one more connection from this address; false, counting nothing, when over its cap.
    bool place(const std::string& address, const std::string& label);
    // Counts one more connection from this address, already admitted.
    void count(const std::string& address);
    // One connection from this address is gone.
    void release(const std::string& address);
    bool fromBalancer(const boost::asio::ip::address& address) const {
        return limits_.proxies.count(address) > 0;
    }
    std::size_t maxPending() const { return limits_.maxPending; }
    // Logs the counts of refusals whose second is over.
    void summarise(std::chrono::steady_clock::time_point now);

private:
    // Whether this address key holds its cap of connections already; logs the refusal if so.
    bool addressFull(const std::string& key, const std::string& label);
    void refuse(const std::string& key, const std::string& line);

    Limits limits_;
    Stats& stats_;
    std::map<std::string, std::size_t> perAddress_; // by peer::countKey
    std::map<std::string, RefusalSummary> refused_;
};

} // namespace server
