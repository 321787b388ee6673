#pragma once
// One simulated counter: its answers to the bytes the host sends while it is
// selected, and its sampling in counter time. Not locked; its owner serialises.

#include "sim/SimCounterConfig.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

enum class SimMode { Stopped, Sampling, Holding };

// The letter a mode query answers: S, C or H.
char SimModeLetter(SimMode mode);

// What a counter holds now, as tests and demos look at it.
struct SimCounterState {
    int address = 0;
    std::vector<double> binsUm;
    std::vector<std::string> binLabels;
    std::vector<SimCalPoint> calibration;
    unsigned sampleIntervalS = 0;
    bool light = false;
    bool manualMode = false;
    SimMode mode = SimMode::Stopped;
    unsigned samplesTaken = 0;
    // Writes of bins, calibration or interval that the counter turned down.
    unsigned refusedWrites = 0;
    std::uint8_t status = 0x20;
    SimFaults faults;
};

class SimCounter {
public:
    explicit SimCounter(const SimCounterConfig& config);

    int Address() const { return address_; }
    std::uint8_t AddressByte() const { return static_cast<std::uint8_t>(0x80 + address_); }
    bool Silent() const { return faults_.silent; }
    // True while a multi-byte command is being collected (up to its LF).
    bool Collecting() const { return collecting_; }

    // Its address byte arrived: appends the echo.
    void Select(double now, std::string& out);
    // Another address or the line reset: a command being collected is dropped.
    void Deselect();
    // One byte from the host while selected; appends what the counter sends.
    // now is counter time in seconds.
    void Receive(std::uint8_t byte, double now, std::string& out);

    SimCounterState State(double now);
    const SimFaults& Faults() const { return faults_; }
    void SetFaults(const SimFaults& faults) {
        faults_ = faults;
        echoed_ = 0;
    }
    void SetStatus(std::uint8_t status) { status_ = status; }

private:
    struct Bin {
        double sizeUm;
        std::string label;
    };
    struct Sample {
        std::vector<std::string> labels;
        std::vector<std::uint32_t> counts;
        std::vector<double> analog;
        unsigned number;
        unsigned intervalS;
    };

    void Update(double now);
    void Emit(std::string& out, std::string_view echo, std::string reply);
    void RunCollected(std::string& reply);
    SimMode CurrentMode() const;
    std::string ChecksummedLine(const std::string& payload) const;
    std::string DataReply() const;
    std::string BinsReply() const;
    std::string CalibrationReply() const;
    bool WriteBins(std::string_view body);
    bool WriteCalibration(std::string_view body);
    bool WriteInterval(std::string_view body);
    void StartSample(double now);
    Sample MakeSample();

    int address_;
    std::vector<Bin> bins_;
    std::vector<SimCalPoint> calibration_;
    unsigned intervalS_;
    std::string version_;
    std::string model_;
    unsigned analogInputs_;
    std::uint8_t status_;
    SimFaults faults_;
    unsigned echoed_ = 0;

    bool light_ = false;
    bool manual_ = false;
    bool sampling_ = false;
    double sampleEnd_ = 0;
    unsigned sampleInterval_ = 0;
    std::optional<Sample> held_;
    unsigned samplesTaken_ = 0;
    unsigned refusedWrites_ = 0;
    double level_ = 1.0;

    bool collecting_ = false;
    bool overflow_ = false;
    std::string command_;

    std::mt19937 random_;
};
