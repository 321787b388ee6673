#pragma once
// A size-limited text log. An entry is built by a chain of appends and written
// whole by Commit(2) with a header line naming the thread and the local time.
// One instance is the program's event log (EventLog()); the port monitor keeps
// another for its I/O log.

#include "platform/Sync.h"

#include <atomic>
#include <stdexcept>
#include <string>

// Raised when the log file cannot be written; the lock is released first.
class LogFileException : public std::runtime_error {
public:
    LogFileException(const std::string& what, DWORD code) : std::runtime_error(what), code_(code) {}
    DWORD Code() const { return code_; }

private:
    DWORD code_;
};

class CLogFile {
public:
    static constexpr DWORD kDefaultSizeLimit = 1048576;
    // Commit flags.
    static constexpr DWORD kDiscard = 1;
    static constexpr DWORD kWrite = 2;

    // What a write error does. Raise: the commit raises LogFileException, for
    // callers that handle it. Report: the entry is dropped, the failure is told
    // once on standard error and kept as a status until a write succeeds again,
    // so that a full disk or a pulled stick never ends a program that logs from
    // destructors and worker threads. The program's event log reports.
    enum class WriteErrors { Raise, Report };

    CLogFile();
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    bool Open(const std::string& name);
    bool Close();
    bool Reset();

    // Each append adds its text and one space to the pending entry and keeps the
    // log's lock until the commit, so that the entry is written in one piece.
    CLogFile& Append(const char* text);
    CLogFile& Append(const std::string& text);
    CLogFile& Append(int value);
    CLogFile& Append(unsigned value);
    CLogFile& Append(long value);
    CLogFile& Append(unsigned long value);
    CLogFile& Append(double value);
    CLogFile& Append(char value);
    CLogFile& AppendByte(unsigned value);  // low 8 bits, "%02X"
    CLogFile& AppendHex(unsigned value);   // "%4X"

    void Commit(DWORD flags);

    bool IsOpen() const { return open_.load(std::memory_order_acquire); }
    std::string GetFileName() const;
    DWORD GetSizeLimit() const;
    void SetSizeLimit(DWORD bytes);
    DWORD GetBytesWritten() const;
    DWORD GetWriteCount() const;

    void SetWriteErrors(WriteErrors policy);
    // Why the last write failed, empty while entries are written; and how many
    // entries were dropped since the log last wrote one.
    std::string GetWriteFailure() const;
    DWORD GetLostEntryCount() const;

private:
    CLogFile& AppendFormatted(const char* format, ...);
    void WriteEntry();
    void WriteText(const std::string& text);
    void CloseFile();
    void NoteWriteFailure(const LogFileException& e);
    void NoteWriteSuccess();

    std::string pending_;
    std::string fileName_;
    mutable CRITICAL_SECTION lock_;
    DWORD lockDepth_ = 0;
    DWORD bytesWritten_ = 0;
    DWORD sizeLimit_ = kDefaultSizeLimit;
    DWORD writeCount_ = 0;
    std::atomic<bool> open_{false};
    bool separator_ = true;
    HANDLE file_ = nullptr;
    WriteErrors writeErrors_ = WriteErrors::Raise;
    std::string writeFailure_;
    DWORD lostEntries_ = 0;
};

// The program-wide event log; it lives for the whole process.
CLogFile& EventLog();
