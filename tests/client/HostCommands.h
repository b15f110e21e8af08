#pragma once
// Driving the test host from a test: command lines through its command file, and its log.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline std::string testLogDir()
{
    const char* env = getenv("QV_TEST_LOGDIR");
    return env && *env ? env : "";
}

inline bool waitGone(const std::string& path, int timeoutMs)
{
    for (int waited = 0; GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; waited += 20) {
        if (waited >= timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

// Hands the host command lines and waits until its main loop has run them (it deletes the
// file afterwards).
inline ::testing::AssertionResult hostCommands(const std::vector<std::string>& lines)
{
    std::string dir = testLogDir();
    if (dir.empty()) return ::testing::AssertionFailure() << "QV_TEST_LOGDIR not set";
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string path = dir + "\\qvtesthost.cmd";
    std::string tmp = dir + "\\qvtesthost.cmd.tmp";
    if (!waitGone(path, 15000)) return ::testing::AssertionFailure() << "an earlier command file was never run";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return ::testing::AssertionFailure() << "cannot write " << tmp;
    for (const std::string& l : lines) fprintf(f, "%s\n", l.c_str());
    fclose(f);
    if (!MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return ::testing::AssertionFailure() << "rename failed: " << GetLastError();
    if (!waitGone(path, 15000)) return ::testing::AssertionFailure() << "the host did not run the command file";
    return ::testing::AssertionSuccess();
}

// A file's text from a byte offset on ("" when it cannot be read).
inline std::string readFrom(const std::string& path, long offset)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return text;
    if (fseek(f, offset, SEEK_SET) == 0) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    }
    fclose(f);
    return text;
}

// The host's log from a byte offset on.
inline std::string hostLogFrom(long offset) { return readFrom(testLogDir() + "\\qvtesthost.log", offset); }

// The pid of the host that logged "start: pid N" last in the log text, and whether it said "sta".
inline DWORD lastHostPid(const std::string& log, bool* sta = nullptr)
{
    size_t p = log.rfind("start: pid ");
    if (p == std::string::npos) return 0;
    if (sta) *sta = log.find(" sta", p) < log.find('\n', p);
    return static_cast<DWORD>(strtoul(log.c_str() + p + 11, nullptr, 10));
}

// Waits until the host's log after offset contains the text.
inline bool waitHostLog(long offset, const char* text, int timeoutMs)
{
    for (int waited = 0;; waited += 50) {
        if (hostLogFrom(offset).find(text) != std::string::npos) return true;
        if (waited >= timeoutMs) return false;
        Sleep(50);
    }
}
