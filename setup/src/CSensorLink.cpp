#include "setup/CSensorLink.h"

#include "setup/NumberText.h"
#include "setup/SupportedModels.h"

#include <string>
#include <vector>

namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;

bool StoreSizes(CSensor& sensor, std::string_view text) {
    std::vector<double> sizes = numbertext::ReplyNumbers(text);
    if (sizes.empty()) return false;
    sensor.sizes = std::move(sizes);
    return true;
}

bool StoreCalPoints(CSensor& sensor, std::string_view text) {
    const std::vector<double> numbers = numbertext::ReplyNumbers(text);
    if (numbers.empty()) return false;
    sensor.calibration = numbertext::CalPointsFromNumbers(numbers);
    return true;
}

}  // namespace

void CSensorLink::EndExchange() { port_.Write(&kEndByte, 1); }

bool CSensorLink::SendEcho(std::uint8_t byte) {
    port_.SetReadConstant(50);
    if (!port_.Write(&byte, 1)) return false;
    std::uint8_t echo = 0;
    std::size_t got = 0;
    // A zero byte sent into silence must not count as echoed: the count decides.
    return port_.Read(&echo, 1, &got) && got == 1 && echo == byte;
}

bool CSensorLink::Select(const CSensor& sensor) {
    port_.SetReadConstant(100);
    return SendEcho(static_cast<std::uint8_t>(0x80 + sensor.address));
}

bool CSensorLink::ReadType(CSensor& sensor) {
    bool supported = false;
    if (Select(sensor)) {
        port_.SetReadConstant(100);
        port_.SetReadInterval(100);
        if (SendEcho('T')) {
            char reply[32];
            std::size_t got = 0;
            std::string model;
            if (port_.Read(reply, sizeof reply, &got) && ModelFromReply(std::string_view(reply, got), model)) {
                sensor.model = std::move(model);
                supported = true;
            }
        }
    }
    EndExchange();
    return supported;
}

bool CSensorLink::ReadNumberReply(const CSensor& sensor, char letter, DWORD commandConstant, DWORD commandInterval,
                                  DWORD replyConstant, std::size_t replyBytes, std::vector<double>& numbers) {
    if (!Select(sensor)) return false;
    port_.SetReadConstant(commandConstant);
    port_.SetReadInterval(commandInterval);
    if (!SendEcho(static_cast<std::uint8_t>(letter)) || !SendEcho(kCR) || !SendEcho(kLF)) return false;
    port_.SetReadConstant(replyConstant);
    std::string reply(replyBytes, '\0');
    std::size_t got = 0;
    if (!port_.Read(reply.data(), reply.size(), &got)) return false;
    reply.resize(got);
    return NumbersFromReply(reply, numbers);
}

bool CSensorLink::ModelFromReply(std::string_view reply, std::string& model) {
    if (!supportedmodels::IsSupported(reply)) return false;
    model = supportedmodels::Trimmed(reply);
    return true;
}

bool CSensorLink::NumbersFromReply(std::string_view reply, std::vector<double>& numbers) {
    if (!numbertext::ReplyChecksumPasses(reply)) return false;
    std::vector<double> read = numbertext::ReplyNumbers(reply);
    if (read.empty()) return false;
    numbers = std::move(read);
    return true;
}

bool CSensorLink::ReadSizes(CSensor& sensor) {
    bool done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
        std::vector<double> numbers;
        if (ReadNumberReply(sensor, 'P', 500, 200, 500, 1024, numbers)) {
            sensor.sizes = std::move(numbers);
            done = true;
        }
    }
    EndExchange();
    return done;
}

bool CSensorLink::ReadCalPoints(CSensor& sensor) {
    bool done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
        std::vector<double> numbers;
        if (ReadNumberReply(sensor, 'K', 100, 100, 250, 256, numbers)) {
            sensor.calibration = numbertext::CalPointsFromNumbers(numbers);
            done = true;
        }
    }
    EndExchange();
    return done;
}

bool CSensorLink::SetLight(const CSensor& sensor, bool on) {
    bool echoed = Select(sensor);
    const std::string command = std::string(on ? "o0001" : "o0000") + "\r\n";
    for (std::size_t i = 0; echoed && i < command.size(); ++i) echoed = SendEcho(static_cast<std::uint8_t>(command[i]));
    EndExchange();
    return echoed;
}

bool CSensorLink::WriteBytes(std::string_view text, const std::function<void(std::size_t)>& stepped) {
    port_.SetReadConstant(50);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (!port_.Write(&byte, 1)) return false;
        std::uint8_t echo = 0;
        std::size_t got = 0;
        if (!port_.Read(&echo, 1, &got) || got != 1 || echo != byte) return false;
        if (stepped) stepped(i + 1);
    }
    return true;
}

bool CSensorLink::Program(CSensor& sensor, char letter, std::string_view commandText, const SetupProgress& progress,
                          bool (*store)(CSensor&, std::string_view)) {
    const std::size_t range = commandText.size();
    bool done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
        if (progress) progress(0, range);
        if (!Select(sensor)) continue;
        port_.SetReadConstant(100);
        port_.SetReadInterval(100);
        if (!SendEcho(static_cast<std::uint8_t>(letter))) continue;
        const bool written = WriteBytes(commandText, [&](std::size_t position) {
            if (progress) progress(position, range);
        });
        if (!written || !SendEcho(kCR) || !SendEcho(kLF)) continue;
        // What went out is what the counter now holds.
        done = store(sensor, commandText);
    }
    EndExchange();
    return done;
}

bool CSensorLink::ProgramSizes(CSensor& sensor, std::string_view commandText, const SetupProgress& progress) {
    return Program(sensor, 'P', commandText, progress, StoreSizes);
}

bool CSensorLink::ProgramCalPoints(CSensor& sensor, std::string_view commandText, const SetupProgress& progress) {
    return Program(sensor, 'K', commandText, progress, StoreCalPoints);
}
