#include "ui/UaEndpointChoice.h"

#include <gtest/gtest.h>

TEST(UaEndpointChoice, AcceptsPortsAndAddressesAndSaysWhatIsWrongOtherwise) {
    EXPECT_EQ(UaEndpointChoice({4840, "127.0.0.1"}).Problem(), "");
    EXPECT_EQ(UaEndpointChoice({0, "127.0.0.1"}).Problem(), "");
    EXPECT_EQ(UaEndpointChoice({4840, "plant-pc"}).Problem(), "");
    EXPECT_NE(UaEndpointChoice({65536, "127.0.0.1"}).Problem(), "");
    EXPECT_NE(UaEndpointChoice({4840, ""}).Problem(), "");
    EXPECT_NE(UaEndpointChoice({4840, "opc.tcp://host"}).Problem(), "");
    EXPECT_NE(UaEndpointChoice({4840, "10.0.0.1 10.0.0.2"}).Problem(), "");
}
