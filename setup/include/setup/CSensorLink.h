#pragma once
// The setup tool's exchanges with one counter on an open port: select by
// address byte, every command byte echoed, and the single byte 0xBF that
// ends the tool's reads and writes (it addresses no counter the tool uses,
// so the counter lets go of the line).

#include "setup/CSensor.h"
#include "setup/CSetupPort.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Progress of a write: position bytes of range sent and echoed so far.
using SetupProgress = std::function<void(std::size_t position, std::size_t range)>;

class CSensorLink {
public:
    static constexpr std::uint8_t kEndByte = 0xBF;
    static constexpr int kAttempts = 3;

    explicit CSensorLink(CSetupPort& port) : port_(port) {}

    // Read constant 50 ms; writes the byte and reads one back; true when it
    // is the same byte.
    bool SendEcho(std::uint8_t byte);
    // Sends the sensor's address byte (0x80 + address); true on its echo.
    bool Select(const CSensor& sensor);
    // Asks for the model; true when it is a supported one, which the sensor
    // then holds (without surrounding spaces, CR and LF).
    bool ReadType(CSensor& sensor);
    // Reads the bin sizes (three attempts); true when a reply passed its
    // checksum and gave at least one size, which replace the sensor's.
    bool ReadSizes(CSensor& sensor);
    // Reads the calibration points (three attempts); true when a reply passed
    // its checksum and gave at least one number; the pairs replace the sensor's.
    bool ReadCalPoints(CSensor& sensor);
    // Switches the sensor's light; true when every byte was echoed.
    bool SetLight(const CSensor& sensor, bool on);
    // Writes the text byte by byte against the echo; stepped(n) after the n-th
    // good byte. True when every byte was echoed.
    bool WriteBytes(std::string_view text, const std::function<void(std::size_t)>& stepped = {});

    // Programs the sizes command text (three attempts): the sensor is
    // selected, P, the text and CR LF are sent against their echoes, and the
    // text read back as a size reply becomes the sensor's sizes. True when an
    // attempt got through and gave at least one size. progress(0, length)
    // starts each attempt and follows every echoed byte of the text.
    bool ProgramSizes(CSensor& sensor, std::string_view commandText, const SetupProgress& progress = {});
    // The same for the calibration command text with K; the text read back as
    // a calibration reply becomes the sensor's calibration.
    bool ProgramCalPoints(CSensor& sensor, std::string_view commandText, const SetupProgress& progress = {});

    // What the reads make of the bytes a counter sent, apart from the line.
    // The model of a type reply when it is a supported one (without
    // surrounding spaces, CR and LF).
    static bool ModelFromReply(std::string_view reply, std::string& model);
    // The numbers of a size or calibration reply: true when it passed its
    // checksum and gave at least one number.
    static bool NumbersFromReply(std::string_view reply, std::vector<double>& numbers);

private:
    bool ReadNumberReply(const CSensor& sensor, char letter, DWORD commandConstant, DWORD commandInterval,
                         DWORD replyConstant, std::size_t replyBytes, std::vector<double>& numbers);
    bool Program(CSensor& sensor, char letter, std::string_view commandText, const SetupProgress& progress,
                 bool (*store)(CSensor&, std::string_view));
    void EndExchange();

    CSetupPort& port_;
};
