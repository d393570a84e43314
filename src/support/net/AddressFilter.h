// Which peers may connect: a list of addresses and networks, IPv4 and IPv6 alike.
//
//   AddressFilter filter;
//   if (std::string error = filter.Add("192.168.7.0/24"); !error.empty()) ...
//   filter.Allows("192.168.7.40");  // true
//
// An empty filter allows everyone: that is what a host gets until it says otherwise. An IPv4 peer
// that reaches an IPv6 socket arrives as "::ffff:a.b.c.d"; it is matched as the IPv4 address it is,
// so one list serves a listener on either family.
//
// Not thread-safe while entries are added; Allows may be called from any number of threads once the
// list is complete.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class AddressFilter {
public:
    // Adds "ADDRESS" or "ADDRESS/PREFIX" ("10.0.0.5", "192.168.7.0/24", "::1", "fd00::/8"). Empty on
    // success, otherwise why the entry is not an address or network (the list is then unchanged).
    std::string Add(std::string_view entry);

    bool AllowsEveryone() const { return networks_.empty(); }
    // Whether a peer with this textual address may connect. An address that does not parse is
    // never allowed by a non-empty list.
    bool Allows(std::string_view address) const;

private:
    struct Network {
        std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four
        bool v6 = false;
        int prefix = 0;  // leading bits that must match
    };
    static bool Parse(std::string_view text, Network& address);

    std::vector<Network> networks_;
};

// Whether text is an IPv4 or IPv6 address that a socket can listen on. Empty when it is, otherwise why not.
std::string ListenAddressProblem(std::string_view text);

}  // namespace quillon
