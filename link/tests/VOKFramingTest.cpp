#include "link/VOKCommands.h"
#include "link/VOKMsg.h"
#include "link/VOKProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Built(const BYTE* buffer, DWORD length) { return std::string(reinterpret_cast<const char*>(buffer), length); }

std::string Command(int type, DWORD capacity = 500) {
    BYTE buffer[500];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD length = capacity;
    VOK_BuildCommand(type, buffer, length);
    if (length == capacity) return "<nothing>";
    return Built(buffer, length);
}

TEST(VOKBuilders, CommandsCarryTheirLetterAndTheCrLfOnesTheirLineEnd) {
    EXPECT_EQ(Command(VOKType::ReadData), "A");
    EXPECT_EQ(Command(VOKType::ClearBuffer), "C");
    EXPECT_EQ(Command(VOKType::ReadVersion), "E");
    EXPECT_EQ(Command(VOKType::ReadMode), "M");
    EXPECT_EQ(Command(VOKType::ReadType), "T");
    EXPECT_EQ(Command(VOKType::StartSampling), "d");
    EXPECT_EQ(Command(VOKType::ManualMode), "b");
    EXPECT_EQ(Command(VOKType::ReadCalPoints), "K\r\n");
    EXPECT_EQ(Command(VOKType::ReadBinSizes), "P\r\n");
    EXPECT_EQ(Command(VOKType::ReadSampleInterval), "L\r\n");
    EXPECT_EQ(Command(VOKType::ResetLine), " \r\n");
    for (int none : {0, 1, 10, 12, 14, 17, 18, 20, 22}) EXPECT_EQ(Command(none), "<nothing>") << none;
    EXPECT_EQ(Command(VOKType::ReadData, 2), "<nothing>") << "a buffer below three bytes takes nothing";
}

TEST(VOKBuilders, TheAddressIsOneByte) {
    BYTE buffer[500];
    DWORD length = 500;
    VOK_BuildAddress(0x85, buffer, length);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(buffer[0], 0x85);
    EXPECT_EQ(buffer[1], 0) << "the rest of the buffer is zeroed";
}

TEST(VOKBuilders, TheSampleIntervalIsSentAsMinutesAndSeconds) {
    BYTE buffer[500];
    DWORD length = 500;
    VOK_BuildSampleInterval(5400, buffer, length);
    EXPECT_EQ(Built(buffer, length), "L 9000\r\n");
    length = 500;
    VOK_BuildSampleInterval(90, buffer, length);
    EXPECT_EQ(Built(buffer, length), "L 0130\r\n");
    length = 9;
    VOK_BuildSampleInterval(90, buffer, length);
    EXPECT_EQ(length, 9u) << "below ten bytes nothing is built";
}

TEST(VOKBuilders, BinSizesAreCutToThreeCharactersAndCarryTheChecksumOfWhatFollowsP) {
    Dll<double> sizes;
    for (double s : {0.3, 0.5, 0.75, 1.0, 5.0, 10.0}) sizes.AddTail(s);
    BYTE buffer[500];
    DWORD length = 500;
    VOK_BuildBinSizes(sizes, buffer, length);
    const std::string body = " 0.3 0.5 0.7 1 5 10";
    DWORD sum = 0;
    for (char c : body) sum += static_cast<unsigned char>(c);
    char field[16];
    std::snprintf(field, sizeof field, " C/S 00%04X\r\n", sum);
    EXPECT_EQ(Built(buffer, length), "P" + body + field);

    Dll<double> tooWide;
    tooWide.AddTail(0.3);
    tooWide.AddTail(1000);
    length = 500;
    VOK_BuildBinSizes(tooWide, buffer, length);
    EXPECT_EQ(length, 0u) << "a size of four digits abandons the whole line";

    length = 20;  // "P 0.3 0.5 0.7 1 5 10" is 20 characters: no room for the field
    VOK_BuildBinSizes(sizes, buffer, length);
    EXPECT_EQ(length, 0u);
}

TEST(VOKChecksum, IsTheLow16BitsOfTheByteSumInAThirteenCharacterField) {
    const std::string text = " 0.3 0.5";
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    EXPECT_EQ(VOK_Checksum(bytes, 0, 7), 0x0164u);
    EXPECT_EQ(VOK_ChecksumField(0x0164), " C/S 000164\r\n");
    EXPECT_EQ(VOK_Checksum(bytes, 3, 2), 0u) << "first after last sums nothing";
    std::string many(300, '\xFF');
    EXPECT_EQ(VOK_Checksum(reinterpret_cast<const BYTE*>(many.data()), 0, 299), (300u * 255u) & 0xFFFF);
}

// A message as it stands after an exchange: type, the last byte sent, the bytes received.
struct Reply {
    VOKMsg msg;
    Reply(int type, int lastSent, const std::string& received) {
        msg.SetType(type);
        if (lastSent >= 0) msg.SetLastSent(static_cast<BYTE>(lastSent));
        msg.SetData(reinterpret_cast<const BYTE*>(received.data()), static_cast<DWORD>(received.size()));
    }
    // The payload, or "<bad>".
    std::string Payload() {
        BYTE out[500];
        DWORD length = 99;
        if (!msg.GetPayload(out, length)) return "<bad>";
        return Built(out, length);
    }
};

std::string WithChecksum(const std::string& echo, const std::string& payload) {
    DWORD sum = 0;
    for (char c : payload) sum += static_cast<unsigned char>(c);
    return echo + payload + VOK_ChecksumField(sum);
}

TEST(VOKPayload, DataRepliesNeedTheNoDataMarkOrTwentyNineBytesWithARightChecksum) {
    EXPECT_EQ(Reply(VOKType::ReadData, 'A', "A#").Payload(), "");
    const std::string payload = std::string(" ") + std::string(20, '0') + "0.3 001234 ";
    EXPECT_EQ(Reply(VOKType::ReadData, 'A', WithChecksum("A", payload)).Payload(), payload);

    // Shorter than 29 bytes, even with a right checksum field.
    const std::string shortPayload = "ABCDEFGHIJKLMN";
    ASSERT_LT(WithChecksum("A", shortPayload).size(), 29u);
    EXPECT_EQ(Reply(VOKType::ReadData, 'A', WithChecksum("A", shortPayload)).Payload(), "<bad>");

    std::string lower = WithChecksum("A", payload);
    for (std::size_t i = lower.size() - 6; i < lower.size() - 2; ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
    if (lower != WithChecksum("A", payload)) {
        EXPECT_EQ(Reply(VOKType::ReadData, 'A', lower).Payload(), "<bad>") << "the comparison is exact";
    }
    std::string wrong = WithChecksum("A", payload);
    wrong[1] = static_cast<char>(wrong[1] + 1);
    EXPECT_EQ(Reply(VOKType::ReadData, 'A', wrong).Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadData, 'B', WithChecksum("A", payload)).Payload(), "<bad>") << "wrong echo";
}

TEST(VOKPayload, ALowerCaseChecksumFieldIsBad) {
    // Bytes chosen so the sum has letters in hex: " ZZZZ..." sums to a value with A-F digits.
    const std::string payload = " 0.3 0.5 1 5 ZZ";
    DWORD sum = 0;
    for (char c : payload) sum += static_cast<unsigned char>(c);
    char field[16];
    std::snprintf(field, sizeof field, " C/S 00%04x\r\n", sum);
    ASSERT_NE(std::string(field), VOK_ChecksumField(sum)) << "the test needs hex letters in the sum";
    EXPECT_EQ(Reply(VOKType::ReadBinSizes, '\n', "\n" + payload + field).Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadBinSizes, '\n', WithChecksum("\n", payload)).Payload(), payload);
}

TEST(VOKPayload, TextModeAndIntervalRepliesHaveTheirLayouts) {
    EXPECT_EQ(Reply(VOKType::ReadVersion, 'E', "V3.12\r\n").Payload(), "V3.12") << "taken whole from its first byte";
    EXPECT_EQ(Reply(VOKType::ReadVersion, -1, "V3.12\r\n").Payload(), "V3.12") << "no echo check for the version";
    EXPECT_EQ(Reply(VOKType::ReadVersion, 'E', "V\n").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadType, 'T', "TMCA\r\n").Payload(), "MCA");
    EXPECT_EQ(Reply(VOKType::ReadType, 'T', "XMCA\r\n").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadMode, 'M', "MH").Payload(), "H");
    EXPECT_EQ(Reply(VOKType::ReadMode, 'M', "MX").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadMode, 'M', "MHH").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadSampleInterval, '\n', "\n0130\r\n").Payload(), "0130");
    EXPECT_EQ(Reply(VOKType::ReadSampleInterval, '\n', "\n01300\r\n").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::ReadCalPoints, '\n', "\n C/S 000000\r").Payload(), "<bad>");
}

TEST(VOKPayload, NoPayloadCommandsNeedOnlyTheirEchoAndTheResetLineNothing) {
    EXPECT_EQ(Reply(VOKType::StartSampling, 'd', "d").Payload(), "");
    EXPECT_EQ(Reply(VOKType::StartSampling, 'd', "x").Payload(), "<bad>");
    EXPECT_EQ(Reply(VOKType::StartSampling, -1, "d").Payload(), "<bad>") << "nothing was sent in this exchange";
    EXPECT_EQ(Reply(VOKType::Address, 0x85, "\x85").Payload(), "");
    EXPECT_EQ(Reply(VOKType::ResetLine, -1, "").Payload(), "");
    EXPECT_EQ(Reply(VOKType::None, '?', "?").Payload(), "<bad>");
}

TEST(VOKMsgRules, CompletionFollowsTheTypeAndTheLastByteSent) {
    auto complete = [](int type, int lastSent, const std::string& bytes) {
        return Reply(type, lastSent, bytes).msg.IsComplete();
    };
    EXPECT_TRUE(complete(VOKType::ResetLine, -1, ""));
    EXPECT_FALSE(complete(VOKType::StartSampling, 'd', ""));
    EXPECT_TRUE(complete(VOKType::StartSampling, 'd', "d"));
    EXPECT_FALSE(complete(VOKType::ReadType, 'T', "TMC"));
    EXPECT_TRUE(complete(VOKType::ReadType, 'T', "TMCA\r\n"));
    EXPECT_FALSE(complete(VOKType::ReadMode, 'M', "M"));
    EXPECT_TRUE(complete(VOKType::ReadMode, 'M', "MC"));
    EXPECT_FALSE(complete(VOKType::ReadData, 'A', "A"));
    EXPECT_TRUE(complete(VOKType::ReadData, 'A', "A#"));
    EXPECT_FALSE(complete(VOKType::ReadData, 'A', "A 0.3"));
    // The P of "P CR LF" is complete with its echo; after the LF the reply runs to its own LF.
    EXPECT_TRUE(complete(VOKType::ReadBinSizes, 'P', "P"));
    EXPECT_FALSE(complete(VOKType::ReadBinSizes, '\n', "\n"));
    EXPECT_FALSE(complete(VOKType::ReadBinSizes, '\n', "\n 0.3"));
    EXPECT_TRUE(complete(VOKType::ReadBinSizes, '\n', "\n 0.3\n"));

    Reply echo(VOKType::ReadVersion, 'E', "V");
    EXPECT_TRUE(echo.msg.CheckEcho()) << "the version is never echoed";
    Reply wrong(VOKType::ReadType, 'T', "X");
    EXPECT_FALSE(wrong.msg.CheckEcho());
}

}  // namespace

namespace {

const BYTE* Bytes(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }
DWORD Size(const std::string& s) { return static_cast<DWORD>(s.size()); }

TEST(VOKDecode, DataRecordsStartAtByte21AndNeedAllElevenBytes) {
    const std::string head = std::string("!") + std::string(20, '.');
    BYTE status = 0;
    Dll<VOK_DataRec> records;
    // 32 bytes: one record (21 + 10 < 32); 31 bytes: none.
    const std::string one = head + "0.5  12345 ";
    ASSERT_EQ(one.size(), 32u);
    EXPECT_TRUE(VOK_DecodeData(Bytes(one), Size(one), status, records));
    EXPECT_EQ(status, '!');
    ASSERT_EQ(records.GetCount(), 1);
    EXPECT_EQ(records.GetAt(0), (VOK_DataRec{"0.5", 12345}));
    const std::string none = one.substr(0, 31);
    EXPECT_TRUE(VOK_DecodeData(Bytes(none), Size(none), status, records));
    EXPECT_EQ(records.GetCount(), 0);

    const std::string two = head + "0.3 001500 AN2  12.75 ";
    EXPECT_TRUE(VOK_DecodeData(Bytes(two), Size(two), status, records));
    ASSERT_EQ(records.GetCount(), 2);
    EXPECT_EQ(records.GetAt(1), (VOK_DataRec{"AN2", 12.75}));

    const std::string tooShort = "!abc";
    EXPECT_FALSE(VOK_DecodeData(Bytes(tooShort), Size(tooShort), status, records));
    EXPECT_EQ(status, 0);
}

TEST(VOKDecode, NumberListsSkipEmptyPiecesAndCalibrationTakesPairs) {
    Dll<double> sizes;
    const std::string bins = " 0.3  0.5 ";
    VOK_DecodeBinSizes(Bytes(bins), Size(bins), sizes);
    ASSERT_EQ(sizes.GetCount(), 2);
    EXPECT_DOUBLE_EQ(sizes.GetAt(1), 0.5);

    Dll<VOK_CalPt> points;
    const std::string cal = " 0.3 100 0.5 180 1.0";
    VOK_DecodeCalPts(Bytes(cal), Size(cal), points);
    ASSERT_EQ(points.GetCount(), 2) << "five numbers give two points";
    EXPECT_EQ(points.GetAt(1), (VOK_CalPt{0.5, 180}));

    EXPECT_EQ(VOK_DecodeSampleInterval(Bytes("0130")), 90);
    EXPECT_EQ(VOK_DecodeSampleInterval(Bytes("9000")), 5400);
}

}  // namespace
