// Support for the cleanup tests under Wine: helper processes played by the test program itself.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The test program, started again from program (itself when empty) as "--play ROLE [ARG]":
// "wait" or "load DLL" get ready and then wait to be ended; "sweep [DLL]" ends at once with 100 + SweepProcesses(). Ended, if
// still running, when it goes out of scope.
class Helper {
public:
    Helper(const std::string& program, const std::string& roleAndArg);
    ~Helper() { Stop(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    bool ready() const { return ready_; }
    // The exit code once it has ended within timeoutMs; ~0u while it still runs.
    DWORD ExitCode(DWORD timeoutMs = 60000) const;
    bool Running() const { return ExitCode(0) == ~0u; }
    void Stop();

private:
    HANDLE process_ = nullptr;
    bool ready_ = false;
};

std::string ThisProgram();
// The do-nothing DLL the build makes, in the platform's path syntax.
std::string ProbeDllPath();
bool CopyTo(const std::string& from, const std::string& to);
