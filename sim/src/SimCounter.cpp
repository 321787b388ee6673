#include "sim/SimCounter.h"

#include "sim/SimWire.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A command longer than this is no command of the counter's: it is echoed and dropped at its LF.
constexpr std::size_t kMaxCommand = 600;
// Reference concentration: particles of 0.3 um and above per minute of sampling.
constexpr double kCountsPerMinuteAt03 = 2400.0;
constexpr std::uint32_t kMaxCount = 999999;

bool IsCollectedCommand(char c) { return c == 'P' || c == 'K' || c == 'L' || c == 'o'; }

// The body of a written line without its " C/S xxxxxx" field, when that field is right.
// The field is the server's "00" and four digits or the setup tool's six digits;
// both are the sum's value in hexadecimal, of either letter case.
std::optional<std::string_view> CheckedBody(std::string_view body) {
    const std::size_t cs = body.find("C/S");
    if (cs == std::string_view::npos || cs == 0 || body[cs - 1] != ' ') return std::nullopt;
    const std::string_view data = body.substr(0, cs - 1);
    std::string_view digits = body.substr(cs + 3);
    if (digits.empty() || digits.front() != ' ') return std::nullopt;
    digits.remove_prefix(1);
    if (digits.size() != 6) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    const std::uint32_t sum = simwire::Sum(data);
    if (value != sum && value != (sum & 0xFFFFu)) return std::nullopt;
    return data;
}

}  // namespace

char SimModeLetter(SimMode mode) {
    switch (mode) {
    case SimMode::Sampling: return 'C';
    case SimMode::Holding: return 'H';
    case SimMode::Stopped: break;
    }
    return 'S';
}

SimCounter::SimCounter(const SimCounterConfig& config)
    : address_(config.address),
      calibration_(config.calibration),
      intervalS_(config.sampleIntervalS),
      version_(config.versionText),
      model_(config.modelText),
      analogInputs_(config.analogInputs),
      status_(config.status),
      faults_(config.faults),
      random_(config.seed) {
    for (double size : config.binsUm) bins_.push_back({size, simwire::SizeLabel(size)});
}

void SimCounter::Update(double now) {
    if (sampling_ && now >= sampleEnd_) {
        sampling_ = false;
        held_ = MakeSample();
        ++samplesTaken_;
    }
}

void SimCounter::Emit(std::string& out, std::string_view echo, std::string reply) {
    if (faults_.noEchoAfter && echoed_ >= *faults_.noEchoAfter) return;
    echoed_ += static_cast<unsigned>(echo.size());
    if (!reply.empty() && faults_.truncateNext > 0) {
        reply.resize(reply.size() - std::min<std::size_t>(reply.size(), faults_.truncateNext));
        faults_.truncateNext = 0;
    }
    out.append(echo);
    out.append(reply);
}

void SimCounter::Select(double now, std::string& out) {
    Update(now);
    Deselect();
    const char echo = static_cast<char>(AddressByte());
    Emit(out, std::string_view(&echo, 1), {});
}

void SimCounter::Deselect() {
    collecting_ = false;
    overflow_ = false;
    command_.clear();
}

void SimCounter::Receive(std::uint8_t byte, double now, std::string& out) {
    Update(now);
    const char c = static_cast<char>(byte);
    const std::string_view echo(&c, 1);
    if (collecting_) {
        if (command_.size() < kMaxCommand) command_.push_back(c);
        else overflow_ = true;
        if (c != simwire::kLF) {
            Emit(out, echo, {});
            return;
        }
        // The reply of a read follows the echo of its LF, so the echo goes first.
        std::string reply;
        RunCollected(reply);
        Emit(out, echo, std::move(reply));
        return;
    }
    switch (c) {
    case 'T': Emit(out, echo, model_ + "\r\n"); return;
    case 'E': {
        // The version reply is taken whole by the host: no echo comes first.
        Emit(out, {}, version_ + "\r\n");
        return;
    }
    case 'M': {
        char mode = SimModeLetter(CurrentMode());
        if (faults_.busyQueries > 0) {
            --faults_.busyQueries;
            mode = 'C';
        }
        Emit(out, echo, std::string(1, mode));
        return;
    }
    case 'A': Emit(out, echo, held_ ? DataReply() : std::string("#")); return;
    case 'b': manual_ = true; break;
    case 'd': StartSample(now); break;
    case 'C': held_.reset(); break;
    default:
        if (IsCollectedCommand(c)) {
            collecting_ = true;
            overflow_ = false;
            command_.assign(1, c);
        }
        break;
    }
    Emit(out, echo, {});
}

void SimCounter::RunCollected(std::string& reply) {
    std::string text;
    text.swap(command_);
    collecting_ = false;
    if (overflow_) {
        overflow_ = false;
        ++refusedWrites_;
        return;
    }
    const char letter = text.front();
    std::string_view body(text);
    body.remove_prefix(1);
    body.remove_suffix(1);  // LF
    if (!body.empty() && body.back() == simwire::kCR) body.remove_suffix(1);

    switch (letter) {
    case 'P':
        if (body.empty()) reply = BinsReply();
        else if (!WriteBins(body)) ++refusedWrites_;
        return;
    case 'K':
        if (body.empty()) reply = CalibrationReply();
        else if (!WriteCalibration(body)) ++refusedWrites_;
        return;
    case 'L':
        if (body.empty()) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%02u%02u\r\n", intervalS_ / 60, intervalS_ % 60);
            reply = digits;
        } else if (!WriteInterval(body)) {
            ++refusedWrites_;
        }
        return;
    case 'o':
        if (body == "0001") light_ = true;
        else if (body == "0000") light_ = false;
        return;
    default: return;
    }
}

std::string SimCounter::ChecksummedLine(const std::string& payload) const {
    std::uint32_t sum = simwire::Sum(payload);
    if (faults_.badChecksum) sum += 1;
    return payload + simwire::ChecksumField(sum, faults_.lowerChecksum);
}

std::string SimCounter::BinsReply() const {
    std::string payload;
    for (const Bin& bin : bins_) payload += " " + bin.label;
    return ChecksummedLine(payload);
}

std::string SimCounter::CalibrationReply() const {
    std::string payload;
    for (const SimCalPoint& point : calibration_)
        payload += " " + simwire::CalText(point.sizeUm) + " " + simwire::CalText(point.millivolts);
    return ChecksummedLine(payload);
}

std::string SimCounter::DataReply() const {
    const Sample& sample = *held_;
    std::string payload(1, static_cast<char>(status_));
    // Twenty bytes the host does not interpret: sample number, sample time, flow in l/min.
    char head[32];
    std::snprintf(head, sizeof head, "%06u %06u %6.1f", sample.number % 1000000u, sample.intervalS % 1000000u, 28.3);
    payload.append(head, 20);
    char record[32];
    for (std::size_t j = 0; j < sample.counts.size(); ++j) {
        std::snprintf(record, sizeof record, "%-3.3s:%6u ", sample.labels[j].c_str(), sample.counts[j]);
        payload.append(record, 11);
    }
    for (std::size_t n = 0; n < sample.analog.size(); ++n) {
        std::snprintf(record, sizeof record, "AN%u:%6.2f ", static_cast<unsigned>(n), sample.analog[n]);
        payload.append(record, 11);
    }
    return ChecksummedLine(payload);
}

bool SimCounter::WriteBins(std::string_view body) {
    const auto data = CheckedBody(body);
    if (!data) return false;
    std::vector<Bin> bins;
    for (std::string_view token : simwire::SplitAtSpaces(*data)) {
        const auto size = simwire::ParseNumber(token);
        if (!size || *size <= 0 || token.size() > 3) return false;
        if (!bins.empty() && *size <= bins.back().sizeUm) return false;
        bins.push_back({*size, std::string(token)});
    }
    if (bins.empty() || bins.size() > 32) return false;
    bins_ = std::move(bins);
    return true;
}

bool SimCounter::WriteCalibration(std::string_view body) {
    std::string_view data = body;
    if (body.find("C/S") != std::string_view::npos) {
        const auto checked = CheckedBody(body);
        if (!checked) return false;
        data = *checked;
    }
    const auto tokens = simwire::SplitAtSpaces(data);
    if (tokens.empty() || tokens.size() % 2 != 0) return false;
    std::vector<SimCalPoint> points;
    for (std::size_t i = 0; i < tokens.size(); i += 2) {
        const auto size = simwire::ParseNumber(tokens[i]);
        const auto mv = simwire::ParseNumber(tokens[i + 1]);
        if (!size || !mv) return false;
        points.push_back({*size, *mv});
    }
    calibration_ = std::move(points);
    return true;
}

bool SimCounter::WriteInterval(std::string_view body) {
    // " MMSS": a space, two digits of minutes, two of seconds.
    if (body.size() != 5 || body.front() != ' ') return false;
    unsigned digits[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = body[i + 1];
        if (c < '0' || c > '9') return false;
        digits[i] = static_cast<unsigned>(c - '0');
    }
    const unsigned total = (digits[0] * 10 + digits[1]) * 60 + digits[2] * 10 + digits[3];
    if (total == 0) return false;
    intervalS_ = total;
    return true;
}

SimMode SimCounter::CurrentMode() const {
    return sampling_ ? SimMode::Sampling : held_ ? SimMode::Holding : SimMode::Stopped;
}

void SimCounter::StartSample(double now) {
    held_.reset();
    sampling_ = true;
    sampleInterval_ = intervalS_;
    sampleEnd_ = now + intervalS_;
}

SimCounter::Sample SimCounter::MakeSample() {
    Sample sample;
    sample.number = samplesTaken_ + 1;
    sample.intervalS = sampleInterval_;
    // The air's particle level drifts from sample to sample.
    std::normal_distribution<double> drift(0.0, 0.15);
    level_ = std::clamp(level_ * std::exp(drift(random_)), 0.2, 5.0);
    const double minutes = sampleInterval_ / 60.0;
    // Particles of size s and above follow a power law; each bin gets the
    // particles between its edge and the next, so the running sums from the
    // largest bin down are cumulative and fall with size.
    auto expected = [&](double size) { return kCountsPerMinuteAt03 * level_ * minutes * std::pow(0.3 / size, 2.2); };
    const std::size_t n = bins_.size();
    std::vector<std::uint64_t> differential(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double upper = j + 1 < n ? expected(bins_[j + 1].sizeUm) : 0.0;
        const double mean = std::max(0.0, expected(bins_[j].sizeUm) - upper);
        std::poisson_distribution<std::uint64_t> count(std::max(mean, 1e-9));
        differential[j] = count(random_);
    }
    sample.counts.resize(n);
    std::uint64_t running = 0;
    for (std::size_t j = n; j-- > 0;) {
        running += differential[j];
        sample.counts[j] = static_cast<std::uint32_t>(std::min<std::uint64_t>(running, kMaxCount));
    }
    for (const Bin& bin : bins_) sample.labels.push_back(bin.label);
    // Analog inputs: 4..20 mA loops moving slowly round mid-scale.
    std::normal_distribution<double> noise(0.0, 0.1);
    for (unsigned i = 0; i < analogInputs_; ++i) {
        const double value = 12.0 + 6.0 * std::sin(0.3 * sample.number + i) + noise(random_);
        sample.analog.push_back(std::clamp(value, 0.0, 20.0));
    }
    return sample;
}

SimCounterState SimCounter::State(double now) {
    Update(now);
    SimCounterState state;
    state.address = address_;
    for (const Bin& bin : bins_) {
        state.binsUm.push_back(bin.sizeUm);
        state.binLabels.push_back(bin.label);
    }
    state.calibration = calibration_;
    state.sampleIntervalS = intervalS_;
    state.light = light_;
    state.manualMode = manual_;
    state.mode = CurrentMode();
    state.samplesTaken = samplesTaken_;
    state.refusedWrites = refusedWrites_;
    state.status = status_;
    state.faults = faults_;
    return state;
}
