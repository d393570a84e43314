#include "support/serial/SerialPortList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/PseudoTerminal.h"
#include "support/serial/SerialPort.h"

namespace {

using quillon::testing::PseudoTerminal;

std::vector<std::string> Names(const std::vector<serial::PortInfo>& ports)
{
    std::vector<std::string> names;
    for (const auto& port : ports)
        names.push_back(port.port);
    return names;
}

// Leaves the list pinned to nothing, as every test starts, whatever the test did.
struct RestoreEmptyPin {
    ~RestoreEmptyPin() { serial::pin_ports({}); }
};

TEST(SerialPortList, APinnedListHoldsExactlyThePinnedNamesInOrderAndUnpinningGoesBackToTheMachines)
{
    EXPECT_TRUE(serial::list_ports().empty()) << "every test starts with the list pinned to nothing";
    RestoreEmptyPin restore;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"COM10", "COM2", "COM2", "COM1"},
        {"/tmp/z", "/tmp/a", "/tmp/m"},
        {"/quillon-test/fake-port"},  // last: no machine has it
    };
    for (const auto& names : cases) {
        serial::pin_ports(names);
        const auto ports = serial::list_ports();
        EXPECT_EQ(Names(ports), names);
        for (const auto& port : ports)
            EXPECT_EQ(port.hardware_id, "") << port.port;
    }
    serial::unpin_ports();
    // Only the names are looked at: nothing from the machine's list is ever opened here.
    for (const auto& port : serial::list_ports()) {
        EXPECT_FALSE(port.port.empty());
        EXPECT_NE(port.port, cases.back().back()) << "still pinned";
    }
}

TEST(SerialPortList, APinnedPseudoTerminalCanBeOpenedByItsListedName)
{
    if (!PseudoTerminal::Supported())
        GTEST_SKIP() << "needs pseudo-terminals, which this platform does not have";
    RestoreEmptyPin restore;
    PseudoTerminal pty;
    ASSERT_TRUE(pty.ok()) << pty.error();
    serial::pin_ports({pty.slavePath()});
    const auto ports = serial::list_ports();
    ASSERT_EQ(ports.size(), 1u);
    libmarl::SerialPort port;
    port.setPort(ports[0].port);
    EXPECT_EQ(port.serialOpen(), 0);
    EXPECT_EQ(port.send("*", 1), 1);
    EXPECT_EQ(pty.read(1), "*");
}

}  // namespace
