#include "foundation/CLogFile.h"

#include "foundation/TextCompare.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Thread.h"
#include "platform/Time.h"

#include <cstdarg>
#include <cstdio>

CLogFile::CLogFile() { InitializeCriticalSection(&lock_); }

CLogFile::~CLogFile() {
    CloseFile();
    DeleteCriticalSection(&lock_);
}

bool CLogFile::Open(const std::string& name) {
    CriticalSectionLock hold(lock_);
    if (IsOpen() && !EqualNoCase(name, fileName_)) CloseFile();
    if (IsOpen()) return true;

    bytesWritten_ = 0;
    writeCount_ = 0;
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    file_ = file;
    fileName_ = name;
    pending_.clear();
    open_.store(true, std::memory_order_release);

    Append("Log started or reset - Max Size(bytes):").Append(static_cast<unsigned>(sizeLimit_)).Commit(kWrite);
    return true;
}

bool CLogFile::Close() {
    CriticalSectionLock hold(lock_);
    CloseFile();
    return true;
}

void CLogFile::CloseFile() {
    if (!IsOpen()) return;
    open_.store(false, std::memory_order_release);
    CloseHandle(file_);
    file_ = nullptr;
}

bool CLogFile::Reset() {
    CriticalSectionLock hold(lock_);
    if (IsOpen()) {
        CloseFile();
        Open(fileName_);
    }
    return true;
}

CLogFile& CLogFile::AppendFormatted(const char* format, ...) {
    if (!IsOpen()) return *this;
    EnterCriticalSection(&lock_);
    ++lockDepth_;
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
    if (separator_) pending_ += ' ';
    return *this;
}

CLogFile& CLogFile::Append(const char* text) {
    if (!IsOpen()) return *this;
    EnterCriticalSection(&lock_);
    ++lockDepth_;
    // Texts are copied whole: a long path or a trace line is not cut at a format buffer.
    if (text != nullptr) pending_ += text;
    else pending_ += "(null)";
    if (separator_) pending_ += ' ';
    return *this;
}

CLogFile& CLogFile::Append(const std::string& text) { return Append(text.c_str()); }
CLogFile& CLogFile::Append(int value) { return AppendFormatted("%d", value); }
CLogFile& CLogFile::Append(unsigned value) { return AppendFormatted("%u", value); }
CLogFile& CLogFile::Append(long value) { return AppendFormatted("%ld", value); }
CLogFile& CLogFile::Append(unsigned long value) { return AppendFormatted("%lu", value); }
CLogFile& CLogFile::Append(double value) { return AppendFormatted("%g", value); }
CLogFile& CLogFile::Append(char value) { return AppendFormatted("%c", value); }
CLogFile& CLogFile::AppendByte(unsigned value) { return AppendFormatted("%02X", value & 0xFFu); }
CLogFile& CLogFile::AppendHex(unsigned value) { return AppendFormatted("%4X", value); }

void CLogFile::Commit(DWORD flags) {
    if (!IsOpen()) return;
    EnterCriticalSection(&lock_);
    ++lockDepth_;
    // However the write ends, the lock goes back as often as this entry took it.
    struct Release {
        CLogFile& log;
        ~Release() {
            DWORD depth = log.lockDepth_;
            log.lockDepth_ = 0;
            for (DWORD i = 0; i < depth; ++i) LeaveCriticalSection(&log.lock_);
        }
    } release{*this};
    try {
        if (flags & kWrite) WriteEntry();
        if (flags & kDiscard) pending_.clear();
    } catch (const LogFileException& e) {
        pending_.clear();
        if (writeErrors_ == WriteErrors::Raise) throw;
        NoteWriteFailure(e);
    } catch (...) {
        pending_.clear();
        throw;
    }
}

void CLogFile::NoteWriteFailure(const LogFileException& e) {
    ++lostEntries_;
    if (!writeFailure_.empty()) return;
    writeFailure_ = std::string(e.what()) + ": " + platform::SystemMessageText(e.Code());
    std::fprintf(stderr, "%s Log entries are lost until it can be written again.\n", writeFailure_.c_str());
    std::fflush(stderr);
}

void CLogFile::NoteWriteSuccess() {
    if (writeFailure_.empty()) return;
    std::fprintf(stderr, "The log file %s is written again; %u entries were lost.\n", fileName_.c_str(),
                 static_cast<unsigned>(lostEntries_));
    std::fflush(stderr);
    writeFailure_.clear();
    lostEntries_ = 0;
}

void CLogFile::WriteEntry() {
    if (pending_.empty()) return;
    if (!IsOpen()) {
        pending_.clear();
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const DWORD thread = GetCurrentThreadId();

    std::string timeText;
    char date[128], time[128];
    if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, sizeof date) > 0 &&
        GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, sizeof time) > 0) {
        timeText = std::string(date) + " " + time;
    }
    char header[320];
    std::snprintf(header, sizeof header, "%08X - Time: %s ms: %u\n", thread, timeText.c_str(),
                  static_cast<unsigned>(now.wMilliseconds));
    WriteText(header);

    std::string text = std::move(pending_);
    pending_.clear();
    text += text.ends_with('\n') ? "\n" : "\n\n";
    WriteText(text);
    NoteWriteSuccess();

    if (bytesWritten_ > sizeLimit_) Reset();
}

void CLogFile::WriteText(const std::string& text) {
    // Text mode: every line end goes to the file as CR LF.
    std::string onDisk;
    onDisk.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '\n') onDisk += '\r';
        onDisk += c;
    }
    DWORD written = 0;
    if (!WriteFile(file_, onDisk.data(), static_cast<DWORD>(onDisk.size()), &written, nullptr) ||
        written != onDisk.size()) {
        const DWORD code = GetLastError();
        throw LogFileException("Cannot write the log file " + fileName_, code);
    }
    ++writeCount_;
    bytesWritten_ += static_cast<DWORD>(text.size());
}

std::string CLogFile::GetFileName() const {
    CriticalSectionLock hold(lock_);
    return fileName_;
}

DWORD CLogFile::GetSizeLimit() const {
    CriticalSectionLock hold(lock_);
    return sizeLimit_;
}

void CLogFile::SetSizeLimit(DWORD bytes) {
    CriticalSectionLock hold(lock_);
    sizeLimit_ = bytes;
}

DWORD CLogFile::GetBytesWritten() const {
    CriticalSectionLock hold(lock_);
    return bytesWritten_;
}

DWORD CLogFile::GetWriteCount() const {
    CriticalSectionLock hold(lock_);
    return writeCount_;
}

void CLogFile::SetWriteErrors(WriteErrors policy) {
    CriticalSectionLock hold(lock_);
    writeErrors_ = policy;
}

std::string CLogFile::GetWriteFailure() const {
    CriticalSectionLock hold(lock_);
    return writeFailure_;
}

DWORD CLogFile::GetLostEntryCount() const {
    CriticalSectionLock hold(lock_);
    return lostEntries_;
}

CLogFile& EventLog() {
    // Never destroyed, so that threads still logging at exit find it alive.
    static CLogFile* log = [] {
        auto* made = new CLogFile;
        made->SetWriteErrors(CLogFile::WriteErrors::Report);
        return made;
    }();
    return *log;
}
