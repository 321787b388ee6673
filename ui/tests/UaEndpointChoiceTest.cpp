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

TEST(UaEndpointChoice, TheUrlNamesAHostAClientOnThisMachineReaches) {
    EXPECT_EQ(UaEndpointChoice({4840, "127.0.0.1"}).EndpointUrl("plant-pc"), "opc.tcp://localhost:4840");
    EXPECT_EQ(UaEndpointChoice({4841, "0.0.0.0"}).EndpointUrl("plant-pc"), "opc.tcp://plant-pc:4841");
    EXPECT_EQ(UaEndpointChoice({4840, "10.1.2.3"}).EndpointUrl("plant-pc"), "opc.tcp://10.1.2.3:4840");
    EXPECT_EQ(UaEndpointChoice({4840, "fe80::1"}).EndpointUrl("plant-pc"), "opc.tcp://[fe80::1]:4840");
    EXPECT_EQ(UaEndpointChoice({0, "127.0.0.1"}).EndpointUrl("plant-pc"), "");
}
