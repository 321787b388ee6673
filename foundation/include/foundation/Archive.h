#pragma once
// The byte stream configuration objects write themselves to and read
// themselves from: little-endian numbers, length-prefixed single-byte
// strings and typed variants, exactly as the configuration file holds them.
// A store collects the bytes in memory (the file is replaced in one step
// afterwards); a load works on the whole file read into memory and raises
// ArchiveException on anything it cannot read, never reading past the end.

#include "platform/OleAuto.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class ArchiveException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CArchive {
public:
    enum Mode { store, load };

    // An archive to store into.
    CArchive();
    // An archive that loads these bytes.
    explicit CArchive(std::vector<std::uint8_t> bytes);

    bool IsStoring() const { return mode_ == store; }
    bool IsLoading() const { return mode_ == load; }
    const std::vector<std::uint8_t>& GetBytes() const { return bytes_; }
    std::size_t GetPosition() const { return position_; }
    std::size_t GetRemaining() const { return bytes_.size() - position_; }

    void WriteU8(std::uint8_t value);
    void WriteU16(std::uint16_t value);
    void WriteU32(std::uint32_t value);
    void WriteI32(std::int32_t value) { WriteU32(static_cast<std::uint32_t>(value)); }
    void WriteBool32(bool value) { WriteU32(value ? 1u : 0u); }
    void WriteF64(double value);
    void WriteF32(float value);
    void WriteString(const std::string& text);
    // Types without a stored value (unsigned 2- and 4-byte integers among
    // them) are written as their type code alone.
    void WriteVariant(const VARIANT& value);

    std::uint8_t ReadU8();
    std::uint16_t ReadU16();
    std::uint32_t ReadU32();
    std::int32_t ReadI32() { return static_cast<std::int32_t>(ReadU32()); }
    bool ReadBool32() { return ReadU32() != 0; }
    double ReadF64();
    float ReadF32();
    // Also reads the wide form (0xFF, 0xFFFE, a length, UTF-16LE code units).
    std::string ReadString();
    // The caller's variant is cleared first; on failure it is left Empty.
    void ReadVariant(VARIANT& value);

    // The texts of the error entries written while this archive was handled,
    // for whoever stored or loaded it to report.
    void AddError(std::string text) { errors_.push_back(std::move(text)); }
    const std::vector<std::string>& GetErrors() const { return errors_; }

private:
    void Put(const void* data, std::size_t size);
    void Take(void* data, std::size_t size);
    std::size_t ReadLength(std::uint8_t first);
    void RequireStoring() const;
    void RequireLoading() const;

    Mode mode_;
    std::vector<std::uint8_t> bytes_;
    std::size_t position_ = 0;
    std::vector<std::string> errors_;
};

// A layer written in a form this program does not read: the whole file is
// treated as unreadable rather than guessed at.
class UnsupportedLayoutException : public ArchiveException {
public:
    using ArchiveException::ArchiveException;
};
