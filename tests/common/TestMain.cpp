#include <gtest/gtest.h>

#include "support/serial/SerialPortList.h"

int main(int argc, char** argv)
{
    // No test may probe the machine's serial ports by accident: the port search sees none unless
    // a test pins the pseudo-terminals it made.
    serial::pin_ports({});
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
