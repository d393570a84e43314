#include "support/net/AddressFilter.h"

#include <asio/ip/address.hpp>

#include <charconv>

namespace quillon {

namespace {

// An IPv4 peer on a dual-stack socket: its address in the IPv6 form that wraps an IPv4 one.
bool IsMappedV4(const asio::ip::address_v6& address) { return address.is_v4_mapped(); }

}  // namespace

bool AddressFilter::Parse(std::string_view text, Network& network)
{
    asio::error_code error;
    const auto address = asio::ip::make_address(std::string(text), error);
    if (error)
        return false;
    network = Network{};
    if (address.is_v6() && IsMappedV4(address.to_v6())) {
        const auto v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_bytes();
        std::copy(v4.begin(), v4.end(), network.bytes.begin());
        network.prefix = 32;
    } else if (address.is_v4()) {
        const auto v4 = address.to_v4().to_bytes();
        std::copy(v4.begin(), v4.end(), network.bytes.begin());
        network.prefix = 32;
    } else {
        // A scope ("fe80::1%eth0") names an interface, not a peer: no peer address carries it here.
        if (address.to_v6().scope_id() != 0)
            return false;
        network.bytes = address.to_v6().to_bytes();
        network.v6 = true;
        network.prefix = 128;
    }
    return true;
}

std::string AddressFilter::Add(std::string_view entry)
{
    const auto slash = entry.find('/');
    Network network;
    if (!Parse(entry.substr(0, slash), network))
        return "\"" + std::string(entry.substr(0, slash)) + "\" is not an IPv4 or IPv6 address";
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        int prefix = -1;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix < 0 ||
            prefix > network.prefix)
            return "\"" + std::string(digits) + "\" is not a prefix length from 0 to " +
                   std::to_string(network.prefix) + " in \"" + std::string(entry) + "\"";
        network.prefix = prefix;
    }
    networks_.push_back(network);
    return {};
}

bool AddressFilter::Allows(std::string_view address) const
{
    if (networks_.empty())
        return true;
    Network peer;
    if (!Parse(address, peer))
        return false;
    for (const Network& network : networks_) {
        if (network.v6 != peer.v6)
            continue;
        const int whole = network.prefix / 8;
        const int rest = network.prefix % 8;
        if (!std::equal(network.bytes.begin(), network.bytes.begin() + whole, peer.bytes.begin()))
            continue;
        const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
        if (rest == 0 || ((network.bytes[whole] ^ peer.bytes[whole]) & mask) == 0)
            return true;
    }
    return false;
}

std::string ListenAddressProblem(std::string_view text)
{
    asio::error_code error;
    asio::ip::make_address(std::string(text), error);
    if (error)
        return "\"" + std::string(text) + "\" is not an IPv4 or IPv6 address";
    return {};
}

}  // namespace quillon
