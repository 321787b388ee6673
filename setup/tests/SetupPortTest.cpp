// The setup tool's port: opening by COM name, the messages for ports that
// will not open, and the fallback mode text.
#include "setup/CSetupPort.h"

#include "SetupTestSupport.h"
#include "setup/SetupTexts.h"

using SetupPortTest = SetupLineTest;

TEST(PortOpenMessage, AccessDeniedAndIrqBusyHaveMessages) {
    const auto inUse = PortOpenMessage(3, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(inUse);
    EXPECT_EQ(inUse->id, 1006);
    EXPECT_EQ(inUse->caption, "Unable to open serial port 3");
    EXPECT_EQ(inUse->text, setuptexts::kPortInUse);
    const auto irq = PortOpenMessage(12, ERROR_IRQ_BUSY);
    ASSERT_TRUE(irq);
    EXPECT_EQ(irq->id, 1005);
    EXPECT_EQ(irq->caption, "Unable to open serial port 12");
    EXPECT_EQ(irq->text, setuptexts::kIrqBusy);
    EXPECT_FALSE(PortOpenMessage(3, ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(PortOpenMessage(3, ERROR_INVALID_PARAMETER));
}

TEST(SetupPort, DefinitionNamesParityAndStopBits) {
    CSetupPort port;
    EXPECT_EQ(port.Definition(), "baud=9600 parity=N data=8 stop=1");
    port.parity = EVENPARITY;
    port.stopBits = TWOSTOPBITS;
    port.byteSize = 7;
    port.baudRate = 19200;
    EXPECT_EQ(port.Definition(), "baud=19200 parity=E data=7 stop=2");
    port.parity = SPACEPARITY;
    port.stopBits = ONE5STOPBITS;
    EXPECT_EQ(port.Definition(), "baud=19200 parity=S data=7 stop=1.5");
    // The platform must accept the text it is given when the control block cannot be read.
    DCB dcb{};
    port.parity = MARKPARITY;
    port.stopBits = ONESTOPBIT;
    ASSERT_TRUE(BuildCommDCBA(port.Definition().c_str(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
}

TEST_F(SetupPortTest, MissingPortFailsWithoutMessage) {
    CSetupPort port;
    EXPECT_FALSE(port.Open(31));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.OpenMessage());
}

TEST_F(SetupPortTest, PortHeldElsewhereGivesTheInUseMessage) {
    StartLine(27, {SimCounterAt(5)});
    CSetupPort first;
    ASSERT_TRUE(first.Open(27));
    EXPECT_EQ(first.PortNumber(), 27);
    CSetupPort second;
    EXPECT_FALSE(second.Open(27));
    EXPECT_EQ(second.LastError(), ERROR_ACCESS_DENIED);
    const auto message = second.OpenMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->id, 1006);
    EXPECT_EQ(message->caption, "Unable to open serial port 27");
    // Once the first lets go the port opens again.
    first.Close();
    EXPECT_TRUE(second.Open(27));
}

TEST_F(SetupPortTest, ReadAndWriteAgainstTheCounter) {
    StartLine(27, {SimCounterAt(5)});
    CSetupPort port;
    ASSERT_TRUE(port.Open(27));
    const unsigned char select = 0x85;
    ASSERT_TRUE(port.Write(&select, 1));
    unsigned char buffer[4] = {1, 2, 3, 4};
    std::size_t got = 0;
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, &got));
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 0x85);
    EXPECT_EQ(buffer[1], 0);  // the rest of the buffer is zeroed
    // Nothing more comes: a read that times out still succeeds, with nothing.
    ASSERT_TRUE(port.SetReadConstant(20));
    ASSERT_TRUE(port.SetReadInterval(20));
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Write(&select, 1));
}
