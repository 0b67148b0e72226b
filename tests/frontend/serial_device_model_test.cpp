#include "frontend/serial_device_model.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(SerialDeviceModelTest, PreselectsTheSessionsDeviceAndTakesANumberOrAPath) {
    SerialDeviceModel model({{"/dev/serial/by-id/usb-FTDI-port0", "usb-FTDI-port0 (/dev/ttyUSB0)"},
                             {"/dev/ttyS0", "/dev/ttyS0"}});
    EXPECT_EQ(model.Preselected("/dev/ttyS0"), 1);
    EXPECT_EQ(model.Preselected("/dev/pts/4"), 0);  // not listed: the first entry
    EXPECT_EQ(model.InitialValue(""), "/dev/serial/by-id/usb-FTDI-port0");
    EXPECT_EQ(model.InitialValue("/dev/pts/4"), "/dev/pts/4");  // a typed path stays
    EXPECT_EQ(model.Resolve(" 2 "), "/dev/ttyS0");
    EXPECT_EQ(model.Resolve("/tmp/link/a "), "/tmp/link/a");
    EXPECT_EQ(model.Resolve("3"), "3");  // no third device: taken as typed
    EXPECT_EQ(model.ListText(), "  1  usb-FTDI-port0 (/dev/ttyUSB0)\n  2  /dev/ttyS0\n");

    SerialDeviceModel empty(std::vector<SerialDevice>{});
    EXPECT_EQ(empty.Preselected("/dev/ttyS0"), -1);
    EXPECT_EQ(empty.InitialValue(""), "");
    EXPECT_EQ(empty.ListText(), "  (no serial devices found: type the path of one)\n");
}

}  // namespace
}  // namespace tarnwick
